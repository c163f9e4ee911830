#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <span>

#include "imaging/decoded_picture.h"
#include "imaging/raster.h"

namespace zelvan::test {

struct Rgba {
    std::uint8_t r = 0, g = 0, b = 0, a = 255;
};
using PixelFn = std::function<Rgba(int x, int y)>;

// Source files made independently of the program's own writers.
// A 24-bit bottom-up bitmap file.
std::vector<std::uint8_t> MakeBmp24(int width, int height, const PixelFn& pixel);
// PNG files through libpng's simplified API: RGB (colour type 2), RGBA (6), or colour-mapped
// (3) from at most 256 distinct colours.
// IndexedAlpha is colour-mapped with a tRNS chunk for the colours that are not opaque.
enum class PngKind { Rgb, Rgba, Indexed, IndexedAlpha };
void WritePngFile(const std::string& path, int width, int height, PngKind kind, const PixelFn& pixel);

// A PNG file built chunk by chunk: the IHDR of this size, colour type and bit depth, the given
// PLTE and tRNS chunks when not empty, and the rows (without filter bytes) deflated into IDAT.
std::vector<std::uint8_t> MakePngChunks(int width, int height, int colourType, int bitDepth,
                                        const std::vector<std::vector<std::uint8_t>>& rows,
                                        const std::vector<std::uint8_t>& plte = {},
                                        const std::vector<std::uint8_t>& trns = {});

// Decodes any PNG with libpng's simplified API into RGBA; reports the IHDR colour type.
struct PngImage {
    int width = 0, height = 0, colourType = -1;
    std::vector<std::uint8_t> rgba;
};
PngImage ReadPngFile(const std::string& path);

// A reference picture decoded by libpng's simplified API: red, green, blue, alpha per pixel.
struct RgbaImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;
};
RgbaImage DecodePngWithLibpng(const std::string& path);

// A photo-like 24-bit picture (smooth, with some texture), so that an encoder's quality changes
// its size; and an opacity mask for it (opacity in the third byte, as the working image's mask
// holds it): transparent in the first four columns, ramps after them.
Raster TexturedPicture(int width, int height);
Raster RampMask(int width, int height);
// A real photo as users compress them: the middle, at most maxWidth x maxHeight, of the first
// benchmark corpus photo (/dev/shm/zc/jpeg), else of a corpus JPEG, else the textured picture of
// that size.
Raster PhotoCrop(int maxWidth, int maxHeight);

// A binary PPM as djpeg writes it, as a 24-bit raster; empty when it is not an 8-bit one.
Raster ReadPpm(const std::string& ppm);

// Every pixel of a raster as 0xAARRGGBB (alpha 0xFF below 32 bits), rows top-down.
std::vector<std::uint32_t> Pixels(const Raster& r);

// The colour of every pixel, and its alpha where the raster has one (255 otherwise), against a
// reference picture; the first difference is named.
::testing::AssertionResult SamePixels(const Raster& r, const RgbaImage& reference);

// Names each test of a table of cases after its record's `name`; the last argument of
// INSTANTIATE_TEST_SUITE_P.
struct CaseName {
    template <class Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
        return info.param.name;
    }
};

// A file made in code for a reader's table of cases, with what it must decode to: its bits per
// pixel, its width and its pixels (as the test file's Pixels() writes them, top row first).
struct DecodedFile {
    const char* name;
    std::vector<std::uint8_t> file;
    int bitsPerPixel;
    int width;
    std::vector<std::uint32_t> pixels;
};
void PrintTo(const DecodedFile& c, std::ostream* os);

// A file a reader must refuse, with a part of the message it must give.
struct RefusedFile {
    const char* name;
    std::vector<std::uint8_t> file;
    const char* message;
};
void PrintTo(const RefusedFile& c, std::ostream* os);
// `read` must throw an Error whose message begins with `prefix` ("PCX: ") and contains the
// case's message.
void ExpectRefused(const std::function<DecodedPicture(const std::vector<std::uint8_t>&)>& read,
                   const std::string& prefix, const RefusedFile& c);

// One way of writing a picture with ImageMagick's convert: its options and the bits per pixel a
// reader should deliver for the result.
struct MagickVariant {
    const char* name;
    const char* options;
    int bitsPerPixel;
};
// The SDL sample picture written by ImageMagick in `format` once per variant, and each time as
// PNG too: every file, decoded by `read`, must give the PNG's pixels.
void ExpectMagickVariantsMatchPng(const std::string& format, std::span<const MagickVariant> variants,
                                  const std::function<DecodedPicture(const std::vector<std::uint8_t>&)>& read);

}  // namespace zelvan::test
