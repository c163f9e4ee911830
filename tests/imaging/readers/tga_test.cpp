#include <png.h>

#include <cstdint>
#include <filesystem>
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

struct TgaMap {
    int first = 0;
    int length = 0;
    int entryBits = 0;
    Bytes entries;
};

// A Targa file: the 18-byte header, an ID field, the colour map and the pixel data as given.
Bytes Tga(int type, int width, int height, int depth, int descriptor, const Bytes& data,
          const TgaMap& map = {}, int idLength = 0) {
    const bool hasMap = map.length > 0 || map.entryBits > 0;
    Bytes f = {static_cast<std::uint8_t>(idLength), static_cast<std::uint8_t>(hasMap ? 1 : 0),
               static_cast<std::uint8_t>(type)};
    auto u16 = [&f](int v) {
        f.push_back(static_cast<std::uint8_t>(v & 0xFF));
        f.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
    };
    u16(map.first);
    u16(map.length);
    f.push_back(static_cast<std::uint8_t>(map.entryBits));
    u16(0);
    u16(0);
    u16(width);
    u16(height);
    f.push_back(static_cast<std::uint8_t>(depth));
    f.push_back(static_cast<std::uint8_t>(descriptor));
    for (int i = 0; i < idLength; ++i) f.push_back(static_cast<std::uint8_t>('A' + i));
    f.insert(f.end(), map.entries.begin(), map.entries.end());
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

constexpr int kTopDown = 0x20;
constexpr int kRightToLeft = 0x10;

// Every pixel as 0xAARRGGBB, top row first; rasters without alpha read as opaque.



using test::SamePixels;

std::string GdkImages() {
    return test::CorporaDir() + "/gdk-pixbuf-tests/usr/libexec/installed-tests/gdk-pixbuf/test-images/";
}
std::string SdlImages() {
    return test::CorporaDir() + "/libsdl2-image-tests/usr/libexec/installed-tests/SDL2_image/";
}

// Pixels as 0xAARRGGBB, top row first.
using DecodeCase = test::DecodedFile;

class TgaReaderDecodes : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(TgaReaderDecodes, ToExpectedPixels) {
    const DecodeCase& c = GetParam();
    DecodedPicture picture = ReadTga(c.file);
    EXPECT_EQ(picture.kind, PictureKind::Targa);
    EXPECT_EQ(picture.raster.bitsPerPixel(), c.bitsPerPixel);
    EXPECT_EQ(picture.targaAlpha, c.bitsPerPixel == 32);
    EXPECT_EQ(picture.raster.width(), c.width);
    EXPECT_EQ(Pixels(picture.raster), c.pixels);
    if (c.bitsPerPixel == 8) {
        EXPECT_EQ(picture.raster.palette()[200], (PaletteEntry{200, 200, 200, 0}));
    }
}

// A 24-bit colour map of four entries (red, green, blue, white) starting at index 2.
const TgaMap kMap24{2, 4, 24, {0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255}};

INSTANTIATE_TEST_SUITE_P(
    Variants, TgaReaderDecodes,
    ::testing::Values(
        DecodeCase{"BottomUp24", Tga(2, 2, 2, 24, 0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}), 24, 2,
                   {0xFF090807, 0xFF0C0B0A, 0xFF030201, 0xFF060504}},
        DecodeCase{"TopDownRightToLeft24", Tga(2, 3, 1, 24, kTopDown | kRightToLeft, {1, 2, 3, 4, 5, 6, 7, 8, 9}),
                   24, 3, {0xFF090807, 0xFF060504, 0xFF030201}},
        DecodeCase{"BottomUpRightToLeft24", Tga(2, 2, 2, 24, kRightToLeft, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}),
                   24, 2, {0xFF0C0B0A, 0xFF090807, 0xFF060504, 0xFF030201}},
        // Attribute-bit count 0, as the program's own writer leaves it: the alpha is kept.
        DecodeCase{"ThirtyTwoBitsKeepAlpha", Tga(2, 2, 1, 32, kTopDown, {1, 2, 3, 0x80, 4, 5, 6, 0}), 32, 2,
                   {0x80030201, 0x00060504}},
        // x-R-G-B 1-5-5-5 with the attribute bit set on one pixel: the bit is not colour.
        DecodeCase{"Rgb555", Tga(2, 3, 1, 16, kTopDown, {0x00, 0x7C, 0xE0, 0x83, 0x1F, 0x00}), 24, 3,
                   {0xFFFF0000, 0xFF00FF00, 0xFF0000FF}},
        DecodeCase{"Rgb555HalfSteps", Tga(2, 1, 1, 15, kTopDown, {0x10, 0x42}), 24, 1, {0xFF848484}},
        DecodeCase{"Grey8", Tga(3, 2, 1, 8, kTopDown, {0, 200}), 8, 2, {0xFF000000, 0xFFC8C8C8}},
        DecodeCase{"GreyAlpha16", Tga(3, 2, 1, 16, kTopDown, {10, 255, 20, 0}), 32, 2, {0xFF0A0A0A, 0x00141414}},
        // Indices below the map's first entry or past its last one are black.
        DecodeCase{"MapWithFirstEntryAndIdField", Tga(1, 6, 1, 8, kTopDown, {2, 3, 4, 5, 1, 6}, kMap24, 5), 24, 6,
                   {0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFFFFFFFF, 0xFF000000, 0xFF000000}},
        DecodeCase{"Map32KeepsAlpha",
                   Tga(1, 2, 1, 8, kTopDown, {1, 0}, TgaMap{0, 2, 32, {1, 2, 3, 0x40, 4, 5, 6, 0xFF}}),
                   32, 2, {0xFF060504, 0x40030201}},
        DecodeCase{"Map16", Tga(1, 2, 1, 8, kTopDown, {0, 1}, TgaMap{0, 2, 16, {0x00, 0x7C, 0x1F, 0x80}}), 24, 2,
                   {0xFFFF0000, 0xFF0000FF}},
        DecodeCase{"SixteenBitIndices",
                   Tga(1, 2, 1, 16, kTopDown, {0x02, 0x01, 0x03, 0x01}, TgaMap{0x102, 1, 24, {9, 8, 7}}),
                   24, 2, {0xFF070809, 0xFF000000}},
        // A run of four and a raw packet of two, both running on into the next row.
        DecodeCase{"RleAcrossRows", Tga(10, 3, 2, 24, kTopDown, {0x83, 1, 2, 3, 0x01, 4, 5, 6, 7, 8, 9}), 24, 3,
                   {0xFF030201, 0xFF030201, 0xFF030201, 0xFF030201, 0xFF060504, 0xFF090807}},
        DecodeCase{"RleColourMapped", Tga(9, 4, 1, 8, kTopDown, {0x82, 3, 0x00, 5}, kMap24), 24, 4,
                   {0xFF00FF00, 0xFF00FF00, 0xFF00FF00, 0xFFFFFFFF}},
        // The last packet promises more pixels than the image holds: the rest is left unread.
        DecodeCase{"RlePastLastPixelIsClipped", Tga(11, 2, 1, 8, kTopDown, {0xFF, 7}), 8, 2,
                   {0xFF070707, 0xFF070707}},
        DecodeCase{"RleRawPastLastPixelIsClipped", Tga(11, 2, 1, 8, kTopDown, {0x7F, 7, 9}), 8, 2,
                   {0xFF070707, 0xFF090909}},
        // A true-colour image may carry a colour map; it is skipped.
        DecodeCase{"TrueColourWithIgnoredMap", Tga(2, 1, 1, 24, kTopDown, {1, 2, 3}, kMap24), 24, 1, {0xFF030201}}),
    test::CaseName());

using ErrorCase = test::RefusedFile;

class TgaReaderRefuses : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(TgaReaderRefuses, WithAnError) {
    test::ExpectRefused(ReadTga, "TGA: ", GetParam());
}

Bytes Truncate(Bytes b, std::size_t n) {
    b.resize(b.size() - n);
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    HostileFiles, TgaReaderRefuses,
    ::testing::Values(
        ErrorCase{"Empty", {}, "too short"},
        ErrorCase{"HeaderOnlyPartly", Truncate(Tga(2, 1, 1, 24, 0, {}), 1), "too short"},
        ErrorCase{"NoImageData", Tga(0, 1, 1, 24, 0, {1, 2, 3}), "image type 0"},
        ErrorCase{"ColourMappedWithoutMap", Tga(1, 1, 1, 8, 0, {0}), "without a colour map"},
        ErrorCase{"MapEntrySize", Tga(1, 1, 1, 8, 0, {0}, TgaMap{0, 1, 8, {0}}), "entry size"},
        ErrorCase{"TrueColourDepth", Tga(2, 1, 1, 8, 0, {0}), "depth of 8"},
        ErrorCase{"GreyDepth", Tga(3, 1, 1, 24, 0, {0, 0, 0}), "depth of 24"},
        ErrorCase{"ZeroWidth", Tga(2, 0, 1, 24, 0, {}), "invalid image size"},
        ErrorCase{"AboveThePixelLimit", Tga(2, 65535, 65535, 32, 0, {}), "larger than the limit"},
        // Within the pixel limit, but far too little data: refused before 1 GB is allocated.
        ErrorCase{"HugeRleWithLittleData", Tga(10, 16384, 16384, 32, 0, Bytes(64, 0xFF)), "truncated"},
        ErrorCase{"HugeRawWithLittleData", Tga(2, 16384, 16384, 32, 0, Bytes(64, 0)), "truncated"},
        ErrorCase{"RawDataCut", Truncate(Tga(2, 2, 2, 24, 0, Bytes(12, 1)), 1), "truncated"},
        ErrorCase{"RlePacketCut", Tga(10, 4, 4, 24, 0, {0x83, 1, 2, 3, 0x05, 1, 2, 3}), "truncated"},
        ErrorCase{"MapCut", Truncate(Tga(1, 1, 1, 8, 0, {}, kMap24), 1), "truncated"}),
    test::CaseName());

// gdk-pixbuf's logo in every type, depth and orientation, each with its reference picture.
TEST(TgaReaderReference, EveryGdkPixbufVariantMatchesItsReference) {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(GdkImages() + "reftests/tga"))
        if (entry.path().extension() == ".tga") files.push_back(entry.path().string());
    for (const char* name : {"colormap-too-small.tga", "rle-too-many-pixels.tga", "rle-too-many-pixels-2.tga"})
        files.push_back(GdkImages() + "reftests/" + name);
    ASSERT_EQ(files.size(), 47u);
    for (const std::string& path : files) {
        SCOPED_TRACE(path);
        DecodedPicture picture = ReadTga(test::ReadBytes(path));
        EXPECT_TRUE(SamePixels(picture.raster, DecodePngWithLibpng(path + ".ref.png")));
        const bool alpha = path.find("32bpp") != std::string::npos || path.find("gray-16bpp") != std::string::npos ||
                           path.find("gray-rle-16bpp") != std::string::npos ||
                           path.find("colormap-too-small") != std::string::npos;
        EXPECT_EQ(picture.targaAlpha, alpha);
    }
}

TEST(TgaReaderReference, SdlSampleMatchesItsPng) {
    DecodedPicture picture = ReadTga(test::ReadBytes(SdlImages() + "sample.tga"));
    EXPECT_EQ(picture.raster.bitsPerPixel(), 24);
    EXPECT_TRUE(SamePixels(picture.raster, DecodePngWithLibpng(SdlImages() + "sample.png")));
}

TEST(TgaReaderReference, GdkPixbufFailuresThrowAndModifiedFilesDecodeOrThrow) {
    for (const char* name : {"DoS.tga", "androstanRezeptor.tga", "colormap-image-without-colormap.tga",
                             "empty-file.tga", "overflow.tga"}) {
        SCOPED_TRACE(name);
        EXPECT_THROW(ReadTga(test::ReadBytes(GdkImages() + "fail/" + name)), Error);
    }
    for (const char* name : {"valid.1.tga", "valid.2.tga"}) {
        SCOPED_TRACE(name);
        Bytes file = test::ReadBytes(GdkImages() + "randomly-modified/" + name);
        ASSERT_FALSE(file.empty());
        try {
            DecodedPicture picture = ReadTga(file);
            EXPECT_FALSE(picture.raster.empty());
        } catch (const Error&) {
        }
    }
}

}  // namespace
}  // namespace zelvan
