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
// fourth byte is dropped and palettes are expanded. Huffman tables are optimised for the picture
// (the same pixels in fewer bytes) unless `optimizedTables` asks for the standard ones.
// `qualityTenths` (0 to 9) are added to the quality: the quantisation tables are then scaled
// between two whole qualities, as libjpeg scales them (a target search steps that finely).
std::vector<std::uint8_t> EncodeJpeg(const Raster& image, int quality, bool progressive,
                                     std::span<const std::uint8_t> iccProfile = {}, bool optimizedTables = true,
                                     int qualityTenths = 0);

struct PngSettings {
    int compressionLevel = 9;  // zlib level 0 to 9
    bool allFilters = true;    // choose among all five row filters, else None only
    bool interlace = false;    // Adam7
    // Lossless: true-colour pictures written in the smallest layout that keeps every pixel
    // (grey, palette with tRNS, grey and alpha; an opacity that is everywhere full dropped).
    bool reduceLayout = true;
    // Lossy: true-colour pictures in a palette of their own of up to 256 colours (with opacity),
    // with error diffusion; pictures of at most 256 colours stay exact.
    bool adaptivePalette = false;
};
// 8 bits per sample. A palette raster keeps its palette and indices (colour type 3, with tRNS when
// the mask's opacity follows the palette entries; 0 when the palette is the grey ramp and there is
// no mask); a true-colour one is reduced as the settings say, else 6 with an alpha mask (opacity
// in the third byte of each mask pixel), 2 without.
std::vector<std::uint8_t> EncodePng(const Raster& image, const Raster* alphaMask, const PngSettings& settings,
                                    std::span<const std::uint8_t> iccProfile = {});

// GIF87a: palette rasters keep their palette and indices; others get a palette of their own
// (exact for at most 256 colours, else 256 colours with error diffusion), or with
// `adaptivePalette` off the fixed 216-colour cube, each channel truncated to its level.
std::vector<std::uint8_t> EncodeGif(const Raster& image, bool adaptivePalette = true);

// Run-length true-colour Targa, 32-bit with the mask's opacity when a mask is given.
std::vector<std::uint8_t> EncodeTga(const Raster& image, const Raster* alphaMask);

// JP2 file: 3 components (4 with the mask's opacity when a mask is given), one quality layer at
// the rate the quality asks for (no limit when lossless), no colour transform. OpenJPEG codes
// the tiles on `threads` threads of its own.
std::vector<std::uint8_t> EncodeJp2(const Raster& image, const Raster* alphaMask, int quality, bool lossless,
                                    std::span<const std::uint8_t> iccProfile = {}, int threads = 1);
// The layer's compression ratio for a quality of 1 to 100, and the resolution levels an image
// of this size allows (at most 6).
float Jpeg2000Rate(int quality, int components, int width, int height);
int Jpeg2000Resolutions(int width, int height);

// Uncompressed Windows bitmap at the raster's own depth.
std::vector<std::uint8_t> EncodeBmp(const Raster& image);

// WebP, lossy or lossless, with the mask's opacity as its alpha when a mask is given and the
// ICC profile in an ICCP chunk. Throws Error naming the limit for a side above 16383 pixels.
struct WebpSettings {
    int quality = 80;  // 1 to 100
    bool lossless = false;
    int effort = 4;    // 0 (fastest) to 6
    int qualityTenths = 0;  // 0 to 9, added to the quality: the scale is continuous
};
std::vector<std::uint8_t> EncodeWebp(const Raster& image, const Raster* alphaMask, const WebpSettings& settings,
                                     std::span<const std::uint8_t> iccProfile = {});
// The WebP file with this EXIF block (the TIFF structure, "II*\0" or "MM\0*") as its EXIF chunk;
// an empty block leaves the file as it is.
std::vector<std::uint8_t> WebpWithExif(std::span<const std::uint8_t> webp, std::span<const std::uint8_t> tiffBlock);

// JPEG XL with 8 bits per sample, the mask's opacity as alpha when a mask is given, the ICC
// profile when one is given (sRGB otherwise). Quality 100 is lossless.
struct JxlSettings {
    int quality = 90;  // 1 to 100, turned into a distance by JxlDistance
    bool lossless = false;
    int effort = 7;    // 1 (fastest) to 9
    int qualityTenths = 0;  // 0 to 9, added to the quality: the distance is continuous
};
std::vector<std::uint8_t> EncodeJxl(const Raster& image, const Raster* alphaMask, const JxlSettings& settings,
                                    std::span<const std::uint8_t> iccProfile = {});
// The effort EncodeJxl uses for a picture of this many pixels: above kJxlLargePicturePixels at
// most 3, since libjxl holds about 92 bytes per pixel at effort 7 and 285 at 9, but 42 at 3
// (48 MP: 2 GiB instead of 4.1 or 13).
inline constexpr std::uint64_t kJxlLargePicturePixels = 40'000'000;
int JxlEffortFor(int effort, std::uint64_t pixels);
// The encoder's distance for a quality, as the reference encoder maps its quality option:
// 0 at 100, 0.1 + (100 - q) * 0.09 down to 30, a parabola below reaching 25 at 0.
float JxlDistance(double quality);
// A JPEG file recompressed without loss: its coefficients and the data to rebuild the file byte
// for byte (the JPEG's own EXIF and ICC travel inside). Throws Error for a JPEG libjxl cannot
// take (CMYK, for one).
std::vector<std::uint8_t> JxlFromJpeg(std::span<const std::uint8_t> jpeg, int effort);
// The JPEG XL file with this EXIF block (the TIFF structure) in an Exif box, a bare codestream
// wrapped in a container first; an empty block leaves the file as it is.
std::vector<std::uint8_t> JxlWithExif(std::span<const std::uint8_t> jxl, std::span<const std::uint8_t> tiffBlock);

// AVIF through libavif and aom: 8 bits per sample, the mask's opacity as a lossless alpha plane
// when a mask is given, the ICC profile (sRGB declared otherwise) and the EXIF block (the TIFF
// structure) when given. Throws Error naming the limit for a side above 65536 pixels.
struct AvifSettings {
    int quality = 60;  // 1 to 100, turned into a quantizer by AvifQuantizer
    int speed = 6;     // 0 (slowest, smallest) to 10
};
std::vector<std::uint8_t> EncodeAvif(const Raster& image, const Raster* alphaMask, const AvifSettings& settings,
                                     std::span<const std::uint8_t> iccProfile = {},
                                     std::span<const std::uint8_t> exifBlock = {});
// The colour planes' AV1 quantizer for a quality: 0 (best) at 100 to 62 at 1, in even steps,
// round((100 - quality) * 63 / 100). Quality 90 and up also keeps full-resolution chroma (4:4:4).
int AvifQuantizer(int quality);

// One frame of an animated output: the whole canvas, its opacity mask (nullptr: opaque; opacity
// in the third byte of each mask pixel) and how long it shows. Every frame has the first's size.
struct FrameToWrite {
    const Raster* image = nullptr;
    const Raster* alphaMask = nullptr;
    int durationMs = 0;
};

// GIF89a animation: every frame whole, in a palette of its own as EncodeGif makes it (opaque:
// the caller lays frames with opacity over a background first), delays in hundredths of a second,
// and the loop count (times played, 0 for ever) in a NETSCAPE2.0 block as repeats after the first
// play, none when it plays once.
std::vector<std::uint8_t> EncodeGifAnimation(std::span<const FrameToWrite> frames, int loopCount,
                                             bool adaptivePalette = true);

// Animated WebP through libwebp's animation encoder, every frame lossy or lossless as the
// settings say, the loop count (0 for ever) and the ICC profile kept.
std::vector<std::uint8_t> EncodeWebpAnimation(std::span<const FrameToWrite> frames, int loopCount,
                                              const WebpSettings& settings, std::span<const std::uint8_t> iccProfile = {});

}  // namespace zelvan
