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

using Bytes = std::vector<std::uint8_t>;

// A file from header text and raw bytes after it.
Bytes Pnm(const std::string& header, const Bytes& raw = {}) {
    Bytes f(header.begin(), header.end());
    f.insert(f.end(), raw.begin(), raw.end());
    return f;
}

// Every pixel as 0xRRGGBB, top row first.
std::vector<std::uint32_t> Pixels(const Raster& r) {
    std::vector<std::uint32_t> out;
    for (int y = 0; y < r.height(); ++y)
        for (int x = 0; x < r.width(); ++x) {
            Rgb c = r.PixelColour(x, y);
            out.push_back(std::uint32_t{c.red} << 16 | c.green << 8 | c.blue);
        }
    return out;
}



std::string GdkImages() {
    return test::CorporaDir() + "/gdk-pixbuf-tests/usr/libexec/installed-tests/gdk-pixbuf/test-images/";
}

constexpr std::uint32_t W = 0xFFFFFF;
constexpr std::uint32_t K = 0x000000;

// Pixels as 0xRRGGBB, top row first.
using DecodeCase = test::DecodedFile;

class PnmReaderDecodes : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(PnmReaderDecodes, ToExpectedPixels) {
    const DecodeCase& c = GetParam();
    DecodedPicture picture = ReadPnm(c.file);
    EXPECT_EQ(picture.kind, PictureKind::Other);
    EXPECT_EQ(picture.raster.bitsPerPixel(), c.bitsPerPixel);
    EXPECT_EQ(picture.raster.width(), c.width);
    EXPECT_EQ(Pixels(picture.raster), c.pixels);
}

INSTANTIATE_TEST_SUITE_P(
    Variants, PnmReaderDecodes,
    ::testing::Values(
        // Digits of a plain bitmap need no separators; comments may sit anywhere.
        DecodeCase{"PlainBitmap", Pnm("P1\n# c\n3 2\n0 1 0\n#c\n110"), 1, 3, {W, K, W, K, K, W}},
        DecodeCase{"RawBitmapOverTwoBytes", Pnm("P4 10 2\n", {0xA5, 0x80, 0x00, 0x40}), 1, 10,
                   {K, W, K, W, W, K, W, K, K, W, W, W, W, W, W, W, W, W, W, K}},
        // 3 of maxval 10 is 76.5: rounded, not cut.
        DecodeCase{"PlainGreyScaled", Pnm("P2 4 1 10 0 3 5 10"), 8, 4, {0x000000, 0x4D4D4D, 0x808080, W}},
        DecodeCase{"RawGrey", Pnm("P5 3 1 255\n", {0, 100, 255}), 8, 3, {0x000000, 0x646464, W}},
        // Big-endian: 0xFF00 is 254, 0x00FF would be 1.
        DecodeCase{"RawGrey16", Pnm("P5 3 1 65535\n", {0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xFF}), 8, 3,
                   {0xFEFEFE, 0x010101, W}},
        DecodeCase{"PlainPixmap", Pnm("P3\n2 1\n255\n255 0 0  1 2 3\n"), 24, 2, {0xFF0000, 0x010203}},
        DecodeCase{"RawPixmapWithCommentsEverywhere", Pnm("P6#a\n2#b\n#c\n1 # d\n255\n", {255, 0, 0, 1, 2, 3}), 24, 2,
                   {0xFF0000, 0x010203}},
        // maxval 1000 takes two bytes a sample: 500 is 127.5, rounded to 128.
        DecodeCase{"RawPixmap16", Pnm("P6 1 1 1000\n", {0x01, 0xF4, 0x03, 0xE8, 0x00, 0x00}), 24, 1, {0x80FF00}},
        // Only the first image of a file of several.
        DecodeCase{"FirstOfTwoImages", Pnm("P5 1 1 255\n", {7, 'P', '5', ' ', '2', ' ', '2', ' ', '2', '\n'}), 8, 1,
                   {0x070707}},
        // maxval 1: 1 is full white in a grey map.
        DecodeCase{"GreyMaxvalOne", Pnm("P2 2 1 1 1 0"), 8, 2, {W, K}}),
    test::CaseName());

TEST(PnmReader, BitmapRowsKeepNoBitsPastTheirWidth) {
    DecodedPicture picture = ReadPnm(Pnm("P4 3 1\n", {0xFF}));
    EXPECT_EQ(picture.raster.row(0)[0], 0xE0);
    EXPECT_EQ(picture.raster.palette()[0], (PaletteEntry{255, 255, 255, 0}));
    EXPECT_EQ(picture.raster.palette()[1], (PaletteEntry{0, 0, 0, 0}));
}

using ErrorCase = test::RefusedFile;

class PnmReaderRefuses : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(PnmReaderRefuses, WithAnError) {
    test::ExpectRefused(ReadPnm, "PNM: ", GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    HostileFiles, PnmReaderRefuses,
    ::testing::Values(
        ErrorCase{"Empty", {}, "not a PBM"},
        ErrorCase{"ArbitraryMap", Pnm("P7\nWIDTH 1\n"), "not a PBM"},
        ErrorCase{"MissingMaxval", Pnm("P5 2 2"), "truncated"},
        ErrorCase{"MaxvalZero", Pnm("P5 1 1 0\n", {0}), "maxval is 0"},
        ErrorCase{"MaxvalTooLarge", Pnm("P5 1 1 65536\n", {0, 0, 0}), "maxval is out of range"},
        ErrorCase{"NegativeWidth", Pnm("P6 -1 1 255\n"), "invalid width"},
        ErrorCase{"WidthOverflowing", Pnm("P6 99999999999999999999 1 255\n"), "width is out of range"},
        ErrorCase{"ZeroHeight", Pnm("P5 1 0 255\n"), "invalid image size"},
        ErrorCase{"AboveThePixelLimit", Pnm("P5 100000 100000 255\n"), "larger than the limit"},
        // Within the pixel limit, but far too little data: refused before anything is allocated.
        ErrorCase{"HugePlainWithLittleData", Pnm("P2 16384 16384 255 0 0 0"), "truncated"},
        ErrorCase{"HugeRawWithLittleData", Pnm("P6 16384 16384 255\n", Bytes(64, 0)), "truncated"},
        ErrorCase{"CommentRightAfterMaxval", Pnm("P5 1 1 255#\n", {0}), "whitespace"},
        ErrorCase{"PlainSampleAboveMaxval", Pnm("P2 2 1 10 5 11"), "sample value is out of range"},
        ErrorCase{"PlainSampleMissing", Pnm("P3 1 1 255 1 2"), "truncated"},
        ErrorCase{"PlainSampleNotANumber", Pnm("P2 2 1 10 5 x"), "invalid sample value"},
        ErrorCase{"PlainBitNotABit", Pnm("P1 2 1 0 2"), "invalid bit"},
        ErrorCase{"RawDataCut", Pnm("P6 2 1 255\n", {1, 2, 3, 4, 5}), "truncated"},
        ErrorCase{"RawBitmapCut", Pnm("P4 9 2\n", {0, 0, 0}), "truncated"}),
    test::CaseName());

TEST(PnmReaderReference, GdkPixbufFailuresThrowAndModifiedFilesDecodeOrThrow) {
    for (int i : {1, 2, 3, 5, 6, 7, 8}) {
        const std::string name = "invalid." + std::to_string(i) + ".ppm";
        SCOPED_TRACE(name);
        EXPECT_THROW(ReadPnm(test::ReadBytes(GdkImages() + "fail/" + name)), Error);
    }
    for (const char* name : {"bug775232.pnm", "invalid.4.ppm", "valid.1.ppm", "valid.2.ppm", "valid.3.ppm",
                             "valid.4.ppm"}) {
        SCOPED_TRACE(name);
        Bytes file = test::ReadBytes(GdkImages() + "randomly-modified/" + name);
        ASSERT_FALSE(file.empty());
        try {
            DecodedPicture picture = ReadPnm(file);
            EXPECT_FALSE(picture.raster.empty());
        } catch (const Error&) {
        }
    }
}

TEST(PnmReaderReference, SdlSampleMatchesItsPng) {
    const std::string dir = test::CorporaDir() + "/libsdl2-image-tests/usr/libexec/installed-tests/SDL2_image/";
    DecodedPicture picture = ReadPnm(test::ReadBytes(dir + "sample.pnm"));
    RgbaImage ref = DecodePngWithLibpng(dir + "sample.png");
    ASSERT_EQ(picture.raster.width(), ref.width);
    ASSERT_EQ(picture.raster.height(), ref.height);
    std::vector<std::uint32_t> expected;
    for (std::size_t i = 0; i < ref.pixels.size(); i += 4)
        expected.push_back(std::uint32_t{ref.pixels[i]} << 16 | ref.pixels[i + 1] << 8 | ref.pixels[i + 2]);
    EXPECT_EQ(Pixels(picture.raster), expected);
}

}  // namespace
}  // namespace zelvan
