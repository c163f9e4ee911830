#pragma once

// Embedded ICC profiles: which one a picture keeps, turning pixels to sRGB for outputs that cannot
// carry one or when asked to, and turning CMYK inks to sRGB. A damaged or unfitting profile is
// dropped, never a failure of the file.

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "imaging/decoded_picture.h"

namespace zelvan {

// The largest profile read from a file; real ones stay far below (a camera's is under 1 MiB).
inline constexpr std::size_t kMaxIccProfileBytes = 16u << 20;

// The profile the picture's pixels are in, to be carried into outputs: the file's own when Little
// CMS reads it as a whole RGB profile and the file stores RGB samples; empty otherwise (grey,
// CMYK and other samples carry none, since every output is written as RGB; a CMYK JPEG's reader
// has already turned it to sRGB through its profile). A grey picture whose grey profile is usable
// has its pixels turned to sRGB through it here instead. The picture's iccProfile is consumed.
std::vector<std::uint8_t> SettleColourProfile(DecodedPicture& picture);

// The CMYK profile used for CMYK JPEGs that carry no usable profile of their own: the SWOP-like
// press profile Ghostscript ships (Debian libgs-common, installed by scripts/install-deps.sh). It
// is read from this path at run time rather than built into the program, because it is under the
// AGPL, which a program that built it in would have to take on; without the file, CMYK is turned
// to RGB by the plain ink arithmetic.
inline constexpr const char* kGenericCmykProfilePath = "/usr/share/color/icc/ghostscript/default_cmyk.icc";

// How a file stores its CMYK samples: Plain, 0 is no ink; Inverted, 255 is no ink, as Adobe's
// applications write them (a JPEG with an Adobe APP14 marker).
enum class InkSamples { Plain, Inverted };

class SrgbTransform;

// Turns rows of a CMYK picture to sRGB blue, green, red, perceptual intent: through the file's
// own profile when Little CMS can use it as a CMYK profile, else through the generic CMYK
// profile, else by arithmetic. Shares its transform with every other job that meets the same
// profile. Throws std::bad_alloc.
class CmykToSrgb {
public:
    CmykToSrgb(std::span<const std::uint8_t> fileProfile, InkSamples samples);
    ~CmykToSrgb();
    CmykToSrgb(const CmykToSrgb&) = delete;
    CmykToSrgb& operator=(const CmykToSrgb&) = delete;

    // `pixels` CMYK quadruples in, as many BGR triples out.
    void ConvertRow(const std::uint8_t* cmyk, std::uint8_t* bgr, std::size_t pixels) const;

private:
    std::shared_ptr<const SrgbTransform> transform_;  // null: by arithmetic
    InkSamples samples_;
};

// Turns rows of linear-light sRGB samples (floats, 1 the white; values beyond 0 to 1 are colours
// outside sRGB and are kept) into 8-bit BGR or BGRA pixels in an RGB profile's colours, relative
// colorimetric intent; alpha goes from the fourth float to the fourth byte. For decoders that
// can give a picture's colours only as linear sRGB. One object serves one thread. Throws
// std::bad_alloc.
class LinearSrgbToProfile {
public:
    LinearSrgbToProfile(std::span<const std::uint8_t> profile, bool alpha);
    ~LinearSrgbToProfile();
    LinearSrgbToProfile(const LinearSrgbToProfile&) = delete;
    LinearSrgbToProfile& operator=(const LinearSrgbToProfile&) = delete;

    // False when Little CMS cannot use the profile as an RGB profile.
    bool Usable() const { return transform_ != nullptr; }
    // `pixels` RGB(A) float groups in, as many BGR(A) pixels out.
    void ConvertRow(const float* linear, std::uint8_t* pixels, std::size_t count) const;

private:
    std::shared_ptr<const SrgbTransform> transform_;
    bool alpha_;
    mutable std::vector<float> scratch_;  // one row of the transform's floats
};

// True when Little CMS reads the bytes as an RGB profile it can convert from.
bool IsUsableRgbProfile(std::span<const std::uint8_t> profile);

// Turns the pixels (the palette's entries for palette rasters) from the profile's colours to sRGB,
// perceptual intent; a fourth byte is kept. Leaves the image as it is for an unusable profile.
void ConvertToSrgb(Raster& image, std::span<const std::uint8_t> profile);

}  // namespace zelvan
