#pragma once

// Embedded ICC profiles: which one a picture keeps, and turning pixels to sRGB for outputs that
// cannot carry one. A damaged or unfitting profile is dropped, never a failure of the file.

#include <cstdint>
#include <span>
#include <vector>

#include "imaging/decoded_picture.h"

namespace zelvan {

// The largest profile read from a file; real ones stay far below (a camera's is under 1 MiB).
inline constexpr std::size_t kMaxIccProfileBytes = 16u << 20;

// The profile the picture's pixels are in, to be carried into outputs: the file's own when Little
// CMS reads it as a whole RGB profile and the file stores RGB samples; empty otherwise (grey,
// CMYK and other samples carry none, since every output is written as RGB). A grey picture
// whose grey profile is usable has its pixels turned to sRGB through it here instead. The
// picture's iccProfile is consumed.
std::vector<std::uint8_t> SettleColourProfile(DecodedPicture& picture);

// True when Little CMS reads the bytes as an RGB profile it can convert from.
bool IsUsableRgbProfile(std::span<const std::uint8_t> profile);

// Turns the pixels (the palette's entries for palette rasters) from the profile's colours to sRGB,
// perceptual intent; a fourth byte is kept. Leaves the image as it is for an unusable profile.
void ConvertToSrgb(Raster& image, std::span<const std::uint8_t> profile);

}  // namespace zelvan
