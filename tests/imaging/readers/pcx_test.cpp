#include <png.h>

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/error.h"
#include "imaging/readers/readers.h"
#include "support/fixtures.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using test::DecodePngWithLibpng;
using test::RgbaImage;
using test::Pixels;

using Bytes = std::vector<std::uint8_t>;

struct PcxHeader {
    int planes = 1;
    int bits = 8;
    int width = 1;
    int height = 1;
    int bytesPerLine = -1;  // -1: the least that holds the width
    int encoding = 1;
    int version = 5;
    int xMin = 0;
    int yMin = 0;
    Bytes headerPalette = {};  // RGB triples from the first entry on
};

// The 128-byte header, then the image data as given, then an optional 256-colour trailer.
Bytes Pcx(const PcxHeader& h, const Bytes& data, const Bytes& trailer = {}) {
    Bytes f(128, 0);
    auto u16 = [&f](int at, int v) {
        f[at] = static_cast<std::uint8_t>(v & 0xFF);
        f[at + 1] = static_cast<std::uint8_t>((v >> 8) & 0xFF);
    };
    f[0] = 10;
    f[1] = static_cast<std::uint8_t>(h.version);
    f[2] = static_cast<std::uint8_t>(h.encoding);
    f[3] = static_cast<std::uint8_t>(h.bits);
    u16(4, h.xMin);
    u16(6, h.yMin);
    u16(8, h.xMin + h.width - 1);
    u16(10, h.yMin + h.height - 1);
    for (std::size_t i = 0; i < h.headerPalette.size() && i < 48; ++i) f[16 + i] = h.headerPalette[i];
    f[65] = static_cast<std::uint8_t>(h.planes);
    u16(66, h.bytesPerLine >= 0 ? h.bytesPerLine : (h.width * h.bits + 7) / 8);
    f.insert(f.end(), data.begin(), data.end());
    if (!trailer.empty()) {
        f.push_back(0x0C);
        Bytes palette = trailer;
        palette.resize(768, 0);
        f.insert(f.end(), palette.begin(), palette.end());
    }
    return f;
}

// Every pixel as 0xAARRGGBB, top row first; rasters without alpha read as opaque.



// Red, green, blue, white, then 12 greys 0x10, 0x20, ...
Bytes SixteenColours() {
    Bytes p = {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255};
    for (int i = 1; i <= 12; ++i) p.insert(p.end(), 3, static_cast<std::uint8_t>(i * 0x10));
    return p;
}

constexpr std::uint32_t W = 0xFFFFFFFF;
constexpr std::uint32_t K = 0xFF000000;
constexpr std::uint32_t R = 0xFFFF0000;
constexpr std::uint32_t G = 0xFF00FF00;
constexpr std::uint32_t B = 0xFF0000FF;

// Pixels as 0xAARRGGBB, top row first.
using DecodeCase = test::DecodedFile;

class PcxReaderDecodes : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(PcxReaderDecodes, ToExpectedPixels) {
    const DecodeCase& c = GetParam();
    DecodedPicture picture = ReadPcx(c.file);
    EXPECT_EQ(picture.kind, PictureKind::Other);
    EXPECT_EQ(picture.raster.bitsPerPixel(), c.bitsPerPixel);
    EXPECT_EQ(picture.raster.width(), c.width);
    EXPECT_EQ(Pixels(picture.raster), c.pixels);
}

INSTANTIATE_TEST_SUITE_P(
    Variants, PcxReaderDecodes,
    ::testing::Values(
        // Lines of 4 bytes a plane for 3 pixels: bytes of 0xC0 and above are stored as runs of
        // one, and the run of five zeros carries from the red plane's padding into the green one.
        DecodeCase{"Rgb24RunAcrossPlanes",
                   Pcx({.planes = 3, .width = 3, .height = 1, .bytesPerLine = 4},
                       {0xC1, 0xFF, 0xC1, 0xC3, 0x01, 0xC5, 0x00, 9, 9, 9, 9}),
                   24, 3, {0xFFFF0009, 0xFFC30009, 0xFF010009}},
        DecodeCase{"Rgb24NotEncoded",
                   Pcx({.planes = 3, .width = 1, .height = 2, .encoding = 0}, {1, 2, 3, 4, 5, 6}), 24, 1,
                   {0xFF010203, 0xFF040506}},
        // A run may carry on from one scan line into the next.
        DecodeCase{"Indexed8RunAcrossLines",
                   Pcx({.width = 2, .height = 2}, {0xC3, 1, 2}, {0, 0, 0, 10, 20, 30, 40, 50, 60}), 8, 2,
                   {0xFF0A141E, 0xFF0A141E, 0xFF0A141E, 0xFF28323C}},
        DecodeCase{"Indexed8WithoutPaletteIsGrey", Pcx({.width = 2, .height = 1}, {0x00, 0xC1, 0xC8}), 8, 2,
                   {0xFF000000, 0xFFC8C8C8}},
        DecodeCase{"Rgba32", Pcx({.planes = 4, .width = 1, .height = 1, .encoding = 0}, {1, 2, 3, 4}), 32, 1,
                   {0x04010203}},
        // 0 is black and 1 white; lines of 2 bytes for 10 pixels.
        DecodeCase{"Mono", Pcx({.bits = 1, .width = 10, .height = 1, .encoding = 0}, {0xA5, 0x40}), 1, 10,
                   {W, K, W, K, K, W, K, W, K, W}},
        // Four planes of one bit: plane 0 holds the lowest bit of the index.
        DecodeCase{"PlanarSixteenColours",
                   Pcx({.planes = 4, .bits = 1, .width = 4, .height = 1, .headerPalette = SixteenColours()},
                       {0x50, 0x30, 0x10, 0x10}),
                   4, 4, {R, G, B, 0xFFC0C0C0}},
        DecodeCase{"PackedSixteenColours",
                   Pcx({.bits = 4, .width = 3, .height = 1, .encoding = 0, .headerPalette = SixteenColours()},
                       {0x12, 0xF0}), 4, 3,
                   {G, B, 0xFFC0C0C0}},
        DecodeCase{"PackedFourColours",
                   Pcx({.bits = 2, .width = 5, .height = 1, .headerPalette = SixteenColours()}, {0x1B, 0x40}), 4, 5,
                   {R, G, B, W, G}},
        // Version 3 carries no palette: the standard EGA colours are used.
        DecodeCase{"Version3DefaultPalette",
                   Pcx({.bits = 4, .width = 2, .height = 1, .version = 3, .headerPalette = SixteenColours()}, {0x1F}),
                   4, 2, {0xFF0000AA, W}},
        // The window need not start at 0.
        DecodeCase{"WindowOffset",
                   Pcx({.planes = 3, .width = 2, .height = 1, .encoding = 0, .xMin = 100, .yMin = 7},
                       {1, 2, 3, 4, 5, 6}),
                   24, 2, {0xFF010305, 0xFF020406}},
        // A run of 40, the longest count being 63.
        DecodeCase{"LongRun", Pcx({.width = 40, .height = 1}, {0xE8, 3}), 8, 40,
                   std::vector<std::uint32_t>(40, 0xFF030303)},
        // The last run is far longer than the image: it is cut at the end of the picture.
        DecodeCase{"RunPastTheEndIsCut", Pcx({.width = 2, .height = 1}, {0xFF, 5}), 8, 2, {0xFF050505, 0xFF050505}}),
    test::CaseName());

using ErrorCase = test::RefusedFile;

class PcxReaderRefuses : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(PcxReaderRefuses, WithAnError) {
    test::ExpectRefused(ReadPcx, "PCX: ", GetParam());
}

Bytes With(Bytes b, std::size_t at, std::uint8_t value) {
    b[at] = value;
    return b;
}

const Bytes kOnePixel = Pcx({}, {0x01});

INSTANTIATE_TEST_SUITE_P(
    HostileFiles, PcxReaderRefuses,
    ::testing::Values(
        ErrorCase{"Empty", {}, "too short"},
        ErrorCase{"ShortHeader", Bytes(kOnePixel.begin(), kOnePixel.begin() + 100), "too short"},
        ErrorCase{"Manufacturer", With(kOnePixel, 0, 9), "not a PCX"},
        ErrorCase{"Version", With(kOnePixel, 1, 6), "version 6"},
        ErrorCase{"Encoding", With(kOnePixel, 2, 2), "encoding 2"},
        ErrorCase{"XmaxBelowXmin", With(With(kOnePixel, 4, 5), 8, 4), "invalid picture window"},
        ErrorCase{"LayoutUnknown", Pcx({.planes = 2, .bits = 8}, {0, 0}), "2 planes of 8 bits"},
        ErrorCase{"BytesPerLineZero", Pcx({.width = 3, .bytesPerLine = 0, .encoding = 0}, {}), "bytes per line (0)"},
        ErrorCase{"BytesPerLineTooFew", Pcx({.width = 3, .bytesPerLine = 2}, {0, 0, 0}), "bytes per line"},
        ErrorCase{"BytesPerLineTooFewForBits", Pcx({.bits = 1, .width = 17, .bytesPerLine = 2}, {0, 0, 0}),
                  "bytes per line"},
        ErrorCase{"AboveThePixelLimit", Pcx({.width = 65535, .height = 65535}, {}), "larger than the limit"},
        // Within the pixel limit, but far too little data: refused before 1 GB is allocated.
        ErrorCase{"HugeRleWithLittleData", Pcx({.planes = 4, .width = 16384, .height = 16384}, Bytes(64, 0xFF)),
                  "truncated"},
        ErrorCase{"RawDataCut", Pcx({.planes = 3, .width = 2, .height = 1, .encoding = 0}, {1, 2, 3, 4, 5}),
                  "truncated"},
        ErrorCase{"RleDataCut", Pcx({.width = 4, .height = 2}, {0xC5, 1, 0xC2}), "truncated"}),
    test::CaseName());

TEST(PcxReaderReference, SdlSampleMatchesItsPng) {
    const std::string dir = test::CorporaDir() + "/libsdl2-image-tests/usr/libexec/installed-tests/SDL2_image/";
    DecodedPicture picture = ReadPcx(test::ReadBytes(dir + "sample.pcx"));
    EXPECT_EQ(picture.raster.bitsPerPixel(), 24);
    EXPECT_TRUE(test::SamePixels(picture.raster, DecodePngWithLibpng(dir + "sample.png")));
}

// ImageMagick writes the sample picture as PCX files of other layouts than the SDL sample's,
// and the same picture as PNG; each PCX file must decode to the PNG's pixels.
TEST(PcxReaderReference, ImageMagickFilesMatchTheSamePictureAsPng) {
    const test::MagickVariant variants[] = {
        {"palette", "-colors 16 -type palette", 8},
        {"palette-not-encoded", "-colors 200 -type palette -compress None", 8},
        {"alpha", "-alpha set -channel A -fx 'i/w' +channel", 32},
    };
    test::ExpectMagickVariantsMatchPng("pcx", variants, ReadPcx);
}

}  // namespace
}  // namespace zelvan
