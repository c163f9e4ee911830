#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "imaging/raster.h"

namespace zelvan {

// Each writer turns a raster into the complete bytes of one file; the caller writes them to
// disk (atomically) or compares candidate sizes in memory. Failures throw Error.
// The JPEG, PNG and JPEG 2000 writers embed an ICC profile when one is given (the colours the
// pixels are in); without one the pixels are sRGB.

// Baseline (or progressive) colour JFIF at a quality of 1 to 100; any depth is accepted, a
// fourth byte is dropped and palettes are expanded.
std::vector<std::uint8_t> EncodeJpeg(const Raster& image, int quality, bool progressive,
                                     std::span<const std::uint8_t> iccProfile = {});

struct PngSettings {
    int compressionLevel = 9;  // zlib level 0 to 9
    bool allFilters = true;    // choose among all five row filters, else None only
    bool interlace = false;    // Adam7
};
// 8 bits per sample. A palette raster keeps its palette and indices (colour type 3, with tRNS when
// the mask's opacity follows the palette entries; 0 when the palette is the grey ramp and there is
// no mask); otherwise 6 with an alpha mask (opacity in the third byte of each mask pixel), 2
// without.
std::vector<std::uint8_t> EncodePng(const Raster& image, const Raster* alphaMask, const PngSettings& settings,
                                    std::span<const std::uint8_t> iccProfile = {});

// GIF87a: palette rasters keep their palette and indices, others go to the 216-colour cube.
std::vector<std::uint8_t> EncodeGif(const Raster& image);

// Run-length true-colour Targa, 32-bit with the mask's opacity when a mask is given.
std::vector<std::uint8_t> EncodeTga(const Raster& image, const Raster* alphaMask);

// JP2 file: 3 components (4 with the mask's opacity when a mask is given), one quality layer at
// the rate the quality asks for (no limit when lossless), no colour transform.
std::vector<std::uint8_t> EncodeJp2(const Raster& image, const Raster* alphaMask, int quality, bool lossless,
                                    std::span<const std::uint8_t> iccProfile = {});
// The layer's compression ratio for a quality of 1 to 100, and the resolution levels an image
// of this size allows (at most 6).
float Jpeg2000Rate(int quality, int components, int width, int height);
int Jpeg2000Resolutions(int width, int height);

// Uncompressed Windows bitmap at the raster's own depth.
std::vector<std::uint8_t> EncodeBmp(const Raster& image);

}  // namespace zelvan
