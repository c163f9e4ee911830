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

struct SgiHeader {
    int storage = 0;
    int bpc = 1;
    int dimension = 3;
    int xsize = 1;
    int ysize = 1;
    int zsize = 3;
    int magic = 474;
};

void PutU16(Bytes& f, std::size_t at, unsigned v) {
    f[at] = static_cast<std::uint8_t>(v >> 8);
    f[at + 1] = static_cast<std::uint8_t>(v);
}
void PutU32(Bytes& f, std::size_t at, std::uint32_t v) {
    PutU16(f, at, v >> 16);
    PutU16(f, at + 2, v & 0xFFFF);
}

// The 512-byte header followed by `body`: for verbatim files the channels one after another,
// each bottom row first.
Bytes Sgi(const SgiHeader& h, const Bytes& body) {
    Bytes f(512, 0);
    PutU16(f, 0, h.magic);
    f[2] = static_cast<std::uint8_t>(h.storage);
    f[3] = static_cast<std::uint8_t>(h.bpc);
    PutU16(f, 4, h.dimension);
    PutU16(f, 6, h.xsize);
    PutU16(f, 8, h.ysize);
    PutU16(f, 10, h.zsize);
    PutU32(f, 16, h.bpc == 1 ? 255 : 65535);
    f.insert(f.end(), body.begin(), body.end());
    return f;
}

// A run-length file: `rows` holds the encoded data of each row, channel by channel and bottom
// row first; the offset and length tables are laid out before them.
Bytes SgiRle(SgiHeader h, const std::vector<Bytes>& rows) {
    h.storage = 1;
    Bytes tables(rows.size() * 8, 0);
    Bytes data;
    std::uint32_t offset = static_cast<std::uint32_t>(512 + tables.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        PutU32(tables, i * 4, offset + static_cast<std::uint32_t>(data.size()));
        PutU32(tables, (rows.size() + i) * 4, static_cast<std::uint32_t>(rows[i].size()));
        data.insert(data.end(), rows[i].begin(), rows[i].end());
    }
    tables.insert(tables.end(), data.begin(), data.end());
    return Sgi(h, tables);
}

// Every pixel as 0xAARRGGBB, top row first; rasters without alpha read as opaque.

// Pixels as 0xAARRGGBB, top row first.
using DecodeCase = test::DecodedFile;

class SgiReaderDecodes : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(SgiReaderDecodes, ToExpectedPixels) {
    const DecodeCase& c = GetParam();
    DecodedPicture picture = ReadSgi(c.file);
    EXPECT_EQ(picture.kind, PictureKind::Other);
    EXPECT_EQ(picture.raster.bitsPerPixel(), c.bitsPerPixel);
    EXPECT_EQ(picture.raster.width(), c.width);
    EXPECT_EQ(Pixels(picture.raster), c.pixels);
}

INSTANTIATE_TEST_SUITE_P(
    Variants, SgiReaderDecodes,
    ::testing::Values(
        // Red plane, green plane, blue plane; each bottom row first.
        DecodeCase{"VerbatimRgbBottomUp",
                   Sgi({.xsize = 2, .ysize = 2}, {1, 2, 3, 4, 10, 20, 30, 40, 100, 110, 120, 130}), 24, 2,
                   {0xFF031E78, 0xFF042882, 0xFF010A64, 0xFF02146E}},
        DecodeCase{"VerbatimGrey", Sgi({.dimension = 2, .xsize = 2, .ysize = 1, .zsize = 1}, {0, 200}), 8, 2,
                   {0xFF000000, 0xFFC8C8C8}},
        // One dimension: a single row whatever ysize and zsize say.
        DecodeCase{"OneDimension", Sgi({.dimension = 1, .xsize = 2, .ysize = 9, .zsize = 3}, {5, 6}), 8, 2,
                   {0xFF050505, 0xFF060606}},
        DecodeCase{"VerbatimGreyAlpha", Sgi({.xsize = 2, .ysize = 1, .zsize = 2}, {10, 20, 255, 0}), 32, 2,
                   {0xFF0A0A0A, 0x00141414}},
        // Sixteen bits a channel, high byte first: the high byte is kept.
        DecodeCase{"Verbatim16", Sgi({.bpc = 2, .xsize = 1, .ysize = 1}, {0x12, 0xFF, 0x34, 0x00, 0x56, 0x80}), 24, 1,
                   {0xFF123456}},
        // A repeat of two and a copy of one in each row; the alpha row ends without its 0.
        DecodeCase{"RleRgba",
                   SgiRle({.xsize = 3, .ysize = 1, .zsize = 4},
                          {{0x02, 9, 0x81, 1, 0}, {0x83, 1, 2, 3, 0}, {0x03, 7, 0}, {0x02, 0xFF, 0x01, 0x40}}),
                   32, 3, {0xFF090107, 0xFF090207, 0x40010307}},
        DecodeCase{"Rle16",
                   SgiRle({.bpc = 2, .xsize = 2, .ysize = 1, .zsize = 1},
                          {{0x00, 0x01, 0xAB, 0xCD, 0x00, 0x81, 0x12, 0x34, 0x00, 0x00}}),
                   8, 2, {0xFFABABAB, 0xFF121212}},
        DecodeCase{"RleRowsBottomUp",
                   SgiRle({.xsize = 1, .ysize = 2, .zsize = 1}, {{0x01, 10, 0}, {0x01, 20, 0}}), 8, 1,
                   {0xFF141414, 0xFF0A0A0A}}),
    test::CaseName());

TEST(SgiReader, RleRowsMaySharePackedData) {
    // Both rows point at the same bytes, as some writers store repeated rows.
    Bytes file = SgiRle({.xsize = 2, .ysize = 2, .zsize = 1}, {{0x02, 77, 0}, {}});
    PutU32(file, 512 + 4, 512 + 16);
    PutU32(file, 512 + 12, 3);
    DecodedPicture picture = ReadSgi(file);
    EXPECT_EQ(Pixels(picture.raster), (std::vector<std::uint32_t>(4, 0xFF4D4D4D)));
}

using ErrorCase = test::RefusedFile;

class SgiReaderRefuses : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(SgiReaderRefuses, WithAnError) {
    test::ExpectRefused(ReadSgi, "SGI: ", GetParam());
}

Bytes RleRowAt(std::uint32_t start, std::uint32_t length) {
    Bytes file = SgiRle({.xsize = 1, .ysize = 1, .zsize = 1}, {{0x01, 5, 0}});
    PutU32(file, 512, start);
    PutU32(file, 516, length);
    return file;
}

INSTANTIATE_TEST_SUITE_P(
    HostileFiles, SgiReaderRefuses,
    ::testing::Values(
        ErrorCase{"Empty", {}, "too short"},
        ErrorCase{"ShortHeader", Bytes(511, 0), "too short"},
        ErrorCase{"Magic", Sgi({.magic = 0x1DB}, {1, 2, 3}), "not an SGI"},
        ErrorCase{"Storage", Sgi({.storage = 2}, {1, 2, 3}), "storage"},
        ErrorCase{"BytesPerChannel", Sgi({.bpc = 3}, {1, 2, 3}), "3 bytes per channel"},
        ErrorCase{"Dimension", Sgi({.dimension = 4}, {1, 2, 3}), "dimension"},
        ErrorCase{"Channels", Sgi({.zsize = 5}, {1, 2, 3, 4, 5}), "channels"},
        ErrorCase{"ZeroWidth", Sgi({.xsize = 0}, {}), "invalid image size"},
        ErrorCase{"AboveThePixelLimit", Sgi({.xsize = 65535, .ysize = 65535}, {}), "larger than the limit"},
        // Within the pixel limit, but far too little data: refused before anything is allocated.
        ErrorCase{"HugeVerbatimWithLittleData", Sgi({.xsize = 16384, .ysize = 16384, .zsize = 4}, Bytes(64, 0)),
                  "truncated"},
        ErrorCase{"VerbatimCut", Sgi({.xsize = 2, .ysize = 1}, {1, 2, 3, 4, 5}), "truncated"},
        ErrorCase{"RleTablesCut", Sgi({.storage = 1, .xsize = 1, .ysize = 100, .zsize = 4}, Bytes(64, 0)),
                  "truncated"},
        ErrorCase{"RleRowPastTheEnd", RleRowAt(512 + 8, 4), "outside the file"},
        ErrorCase{"RleRowStartHuge", RleRowAt(0xFFFFFFF0u, 0x20), "outside the file"},
        ErrorCase{"RleRunPastTheWidth", SgiRle({.xsize = 2, .ysize = 1, .zsize = 1}, {{0x03, 5, 0}}),
                  "longer than the image width"},
        ErrorCase{"RleCopyPastTheWidth", SgiRle({.xsize = 2, .ysize = 1, .zsize = 1}, {{0x01, 5, 0x82, 1, 2, 0}}),
                  "longer than the image width"},
        ErrorCase{"RleRowShort", SgiRle({.xsize = 3, .ysize = 1, .zsize = 1}, {{0x02, 5, 0}}), "shorter"},
        ErrorCase{"RleCopyCut", SgiRle({.xsize = 3, .ysize = 1, .zsize = 1}, {{0x83, 1, 2}}), "truncated"}),
    test::CaseName());



// ImageMagick writes the SDL sample picture as SGI files of several kinds, and the same
// picture as PNG; each SGI file must decode to the PNG's pixels.
TEST(SgiReaderReference, ImageMagickFilesMatchTheSamePictureAsPng) {
    const test::MagickVariant variants[] = {
        {"rle", "-compress RLE", 24},
        {"verbatim", "-compress None", 24},
        {"sixteen", "-depth 16", 24},
        {"grey", "-colorspace gray -compress RLE", 8},
        {"alpha", "-alpha set -channel A -fx 'i/w' +channel -compress RLE", 32},
    };
    test::ExpectMagickVariantsMatchPng("sgi", variants, ReadSgi);
}

}  // namespace
}  // namespace zelvan
