#pragma once

// Transparency beside a raster: an opacity mask (a 24-bit raster of the image's size, the
// opacity of each pixel in the third byte), and what becomes of it in outputs that keep palettes
// or have no alpha at all.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "imaging/raster.h"

namespace zelvan {

// The mask of a palette image whose transparency is per palette entry (256 opacities).
Raster PaletteOpacityMask(const Raster& image, std::span<const std::uint8_t> entryOpacity);

// For a palette image: the opacity of each of its palette entries when every pixel of an entry
// has the same opacity in the mask (as for a picture whose transparency was declared per entry
// and whose pixels have not been resampled since); nullopt when the mask does not follow the
// palette. Entries no pixel uses are opaque.
std::optional<std::vector<std::uint8_t>> OpacityByPaletteEntry(const Raster& image, const Raster& mask);

// The image as it looks over an even background of the given colour, for outputs without alpha:
// a palette image whose opacity follows its palette keeps its indices (the palette's entries are
// blended, so that palette outputs keep the picture's colours); any other image becomes 24-bit.
// Throws Error when the mask does not match the image.
Raster OverBackground(const Raster& image, const Raster& mask, Rgb background);

// The colour option 0xRRGGBB as an Rgb.
inline Rgb RgbOf(int rgb) {
    return {static_cast<std::uint8_t>(rgb >> 16), static_cast<std::uint8_t>(rgb >> 8), static_cast<std::uint8_t>(rgb)};
}

}  // namespace zelvan
