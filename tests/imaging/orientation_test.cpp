#include "imaging/orientation.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <array>
#include <initializer_list>
#include <string>
#include <vector>

#include "imaging/readers/readers.h"
#include "imaging/writers/writers.h"
#include "support/exif_fixtures.h"
#include "support/fixtures.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Point {
    int x, y;
};

// Where three corners of the stored picture end up in the picture as shown, in words a camera
// manual would use; the mapping of every other pixel follows from them. `far` stands for the
// last column or row of the shown picture.
struct Turn {
    int orientation;
    const char* name;
    bool swapsSides;
    Point topLeft, topRight, bottomLeft;  // -1 is the last column or row
};

const Turn kTurns[] = {
    {1, "AsStored", false, {0, 0}, {-1, 0}, {0, -1}},
    {2, "MirroredLeftRight", false, {-1, 0}, {0, 0}, {-1, -1}},
    {3, "Turned180", false, {-1, -1}, {0, -1}, {-1, 0}},
    {4, "MirroredTopBottom", false, {0, -1}, {-1, -1}, {0, 0}},
    {5, "Transposed", true, {0, 0}, {0, -1}, {-1, 0}},
    {6, "TurnedClockwise", true, {-1, 0}, {-1, -1}, {0, 0}},
    {7, "Transversed", true, {-1, -1}, {-1, 0}, {0, -1}},
    {8, "TurnedCounterClockwise", true, {0, -1}, {0, 0}, {-1, -1}},
};

int Resolve(int coordinate, int size) { return coordinate < 0 ? size - 1 : coordinate; }

// The picture as shown, pixel by pixel (as test::Pixels lists them), from the stored one and the
// corners of `turn`: stored (x, y) lands at topLeft + x * across + y * down.
std::vector<std::uint32_t> Shown(const Raster& stored, const Turn& turn, int& width, int& height) {
    const int w = stored.width(), h = stored.height();
    width = turn.swapsSides ? h : w;
    height = turn.swapsSides ? w : h;
    const Point tl{Resolve(turn.topLeft.x, width), Resolve(turn.topLeft.y, height)};
    const Point tr{Resolve(turn.topRight.x, width), Resolve(turn.topRight.y, height)};
    const Point bl{Resolve(turn.bottomLeft.x, width), Resolve(turn.bottomLeft.y, height)};
    const Point across{(tr.x - tl.x) / (w - 1), (tr.y - tl.y) / (w - 1)};
    const Point down{(bl.x - tl.x) / (h - 1), (bl.y - tl.y) / (h - 1)};
    const std::vector<std::uint32_t> from = test::Pixels(stored);
    std::vector<std::uint32_t> shown(from.size(), 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int sx = tl.x + x * across.x + y * down.x, sy = tl.y + x * across.y + y * down.y;
            shown[static_cast<std::size_t>(sy) * width + sx] = from[static_cast<std::size_t>(y) * w + x];
        }
    return shown;
}

// A picture in which (nearly) every pixel differs from every other, at any depth.
Raster Distinct(int width, int height, int bits) {
    Raster r(width, height, bits);
    for (std::size_t i = 0; i < r.palette().size(); ++i)
        r.palette()[i] = {static_cast<std::uint8_t>(i * 7), static_cast<std::uint8_t>(255 - i),
                          static_cast<std::uint8_t>(i * 13 + 1), 0};
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = r.row(y);
        for (int x = 0; x < width; ++x) {
            const unsigned n = static_cast<unsigned>(y * width + x);
            switch (bits) {
                case 1: row[x / 8] = static_cast<std::uint8_t>(row[x / 8] | ((n * 7 / 3) % 2) << (7 - x % 8)); break;
                case 4: row[x / 2] = static_cast<std::uint8_t>(row[x / 2] | (n % 16) << (x % 2 ? 0 : 4)); break;
                case 8: row[x] = static_cast<std::uint8_t>(n); break;
                default:
                    for (int c = 0; c < bits / 8; ++c)
                        row[x * (bits / 8) + c] = static_cast<std::uint8_t>(n * 3 + static_cast<unsigned>(c) * 101 + n / 256);
            }
        }
    }
    return r;
}

struct Depth {
    int bits;
    int width, height;
};

class OrientationTurn : public ::testing::TestWithParam<Turn> {};

// Every depth a Raster holds, at a size with row padding and at one that crosses the tiles the
// turn works in.
TEST_P(OrientationTurn, EveryPixelLandsWhereTheCornersSay) {
    const Turn& turn = GetParam();
    for (const Depth d : {Depth{24, 5, 3}, Depth{32, 5, 3}, Depth{8, 5, 3}, Depth{4, 5, 3}, Depth{1, 11, 3},
                          Depth{24, 131, 67}, Depth{32, 70, 129}, Depth{8, 67, 66}}) {
        SCOPED_TRACE(std::to_string(d.bits) + " bits, " + std::to_string(d.width) + "x" + std::to_string(d.height));
        const Raster stored = Distinct(d.width, d.height, d.bits);
        int width = 0, height = 0;
        const std::vector<std::uint32_t> expected = Shown(stored, turn, width, height);
        const Raster shown = Oriented(stored, turn.orientation);
        ASSERT_EQ(shown.bitsPerPixel(), d.bits);
        ASSERT_EQ(shown.width(), width);
        ASSERT_EQ(shown.height(), height);
        EXPECT_EQ(shown.palette(), stored.palette());
        EXPECT_EQ(test::Pixels(shown), expected);
        EXPECT_EQ(OrientationSwapsSides(turn.orientation), turn.swapsSides);
    }
}

// A TIFF file's rows as stored, its Orientation tag naming the turn: libtiff's reader undoes a
// part of it, the reader's orientation the rest.
TEST_P(OrientationTurn, TiffFilesShowAsTheirTagSays) {
    const Turn& turn = GetParam();
    const Raster stored = Distinct(5, 3, 24);
    test::TempDir dir;
    const std::string path = dir / "turned.tif";
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    ASSERT_NE(tif, nullptr);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, stored.width());
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, stored.height());
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, turn.orientation);
    for (int y = 0; y < stored.height(); ++y) {
        Bytes rgb;
        for (int x = 0; x < stored.width(); ++x) {
            const Rgb c = stored.PixelColour(x, y);
            rgb.insert(rgb.end(), {c.red, c.green, c.blue});
        }
        ASSERT_EQ(TIFFWriteScanline(tif, rgb.data(), static_cast<std::uint32_t>(y), 0), 1);
    }
    TIFFClose(tif);

    const DecodedPicture picture = ReadTiff(test::ReadBytes(path));
    int width = 0, height = 0;
    const std::vector<std::uint32_t> expected = Shown(stored, turn, width, height);
    const Raster shown = Oriented(picture.raster, picture.orientation);
    ASSERT_EQ(shown.width(), width);
    ASSERT_EQ(shown.height(), height);
    EXPECT_EQ(test::Pixels(shown), expected);
}

// The reader hands the tag on untouched; turning is the job's.
TEST_P(OrientationTurn, JpegAndPngReadersReportTheExifTag) {
    const Turn& turn = GetParam();
    const Raster stored = Distinct(6, 4, 24);
    const Bytes block = test::ExifOrientationBlock(turn.orientation);

    const DecodedPicture jpeg = ReadJpeg(test::WithExifSegment(EncodeJpeg(stored, 90, false), block));
    EXPECT_EQ(jpeg.orientation, turn.orientation);
    EXPECT_EQ(jpeg.raster.width(), 6);

    test::TempDir dir;
    test::WritePngFile(dir / "p.png", 6, 4, test::PngKind::Rgb, [](int x, int y) {
        return test::Rgba{static_cast<std::uint8_t>(x * 40), static_cast<std::uint8_t>(y * 60), 7, 255};
    });
    const DecodedPicture png = ReadPng(test::WithExifChunk(test::ReadBytes(dir / "p.png"), block));
    EXPECT_EQ(png.orientation, turn.orientation);
    EXPECT_EQ(png.raster.width(), 6);
}

INSTANTIATE_TEST_SUITE_P(EightValues, OrientationTurn, ::testing::ValuesIn(kTurns), test::CaseName());

TEST(Orientation, ValuesOutsideTheEightLeaveThePictureAsStored) {
    const Raster stored = Distinct(5, 3, 24);
    for (int orientation : {0, 9, -1, 65535}) {
        const Raster shown = Oriented(stored, orientation);
        EXPECT_EQ(shown.width(), 5);
        EXPECT_EQ(test::Pixels(shown), test::Pixels(stored)) << orientation;
    }
}

using test::ExifBlock;

TEST(ExifOrientation, ReadsTheTagOrSaysAsStored) {
    using test::ByteOrder;
    constexpr std::uint32_t kShort = 3, kLong = 4, kAscii = 2, kSignedLong = 9;
    struct Case {
        const char* name;
        Bytes block;
        int expected;
    };
    const Bytes whole = ExifBlock(ByteOrder::Intel, {{0x010F, kAscii, 4, 0x6E6F43}, {0x0112, kShort, 1, 6}});
    Bytes cutInsideTheEntry = whole;
    cutInsideTheEntry.resize(8 + 2 + 12 + 6);
    Bytes badMagic = whole;
    badMagic[2] = 43;
    const Case cases[] = {
        {"little endian, after another tag", whole, 6},
        {"big endian", ExifBlock(ByteOrder::Motorola, {{0x0112, kShort, 1, 8}}), 8},
        {"big endian, directory further on", ExifBlock(ByteOrder::Motorola, {{0x0112, kShort, 1, 3}}, 20), 3},
        {"stored as LONG", ExifBlock(ByteOrder::Intel, {{0x0112, kLong, 1, 5}}), 5},
        {"stored as SLONG, big endian", ExifBlock(ByteOrder::Motorola, {{0x0112, kSignedLong, 1, 6}}), 6},
        {"SLONG of -6", ExifBlock(ByteOrder::Intel, {{0x0112, kSignedLong, 1, 0xFFFFFFFA}}), 1},
        {"no orientation tag", ExifBlock(ByteOrder::Intel, {{0x0110, kAscii, 4, 0x786F62}}), 1},
        {"value 0", ExifBlock(ByteOrder::Intel, {{0x0112, kShort, 1, 0}}), 1},
        {"value 9", ExifBlock(ByteOrder::Motorola, {{0x0112, kShort, 1, 9}}), 1},
        {"value 0x10006 as LONG", ExifBlock(ByteOrder::Intel, {{0x0112, kLong, 1, 0x10006}}), 1},
        {"count 0", ExifBlock(ByteOrder::Intel, {{0x0112, kShort, 0, 6}}), 1},
        {"ASCII type", ExifBlock(ByteOrder::Intel, {{0x0112, kAscii, 2, 0x36}}), 1},
        {"entry cut short", cutInsideTheEntry, 1},
        {"directory past the end", ExifBlock(ByteOrder::Intel, {{0x0112, kShort, 1, 6}}, 0xFFFFFFF0), 1},
        {"directory offset at the very end", ExifBlock(ByteOrder::Motorola, {{0x0112, kShort, 1, 6}}, 0xFFFFFFFF), 1},
        {"count of 65535 entries, the first one read",
         ExifBlock(ByteOrder::Intel, {{0x0112, kShort, 1, 7}}, 8, 0xFFFF), 7},
        {"count of 65535 entries, the tag never there",
         ExifBlock(ByteOrder::Intel, {{0x0100, kShort, 1, 7}}, 8, 0xFFFF), 1},
        {"bad magic number", badMagic, 1},
        {"mixed byte order marks", Bytes{'I', 'M', 42, 0, 8, 0, 0, 0}, 1},
        {"header only", Bytes{'I', 'I', 42, 0}, 1},
        {"empty", Bytes{}, 1},
    };
    for (const Case& c : cases) EXPECT_EQ(ExifOrientation(c.block), c.expected) << c.name;

    // A JPEG segment carries the same block after its signature, and nothing else counts.
    Bytes segment{'E', 'x', 'i', 'f', 0, 0};
    segment.insert(segment.end(), whole.begin(), whole.end());
    EXPECT_EQ(ExifSegmentOrientation(segment), 6);
    segment[4] = 'x';
    EXPECT_EQ(ExifSegmentOrientation(segment), 1);
    EXPECT_EQ(ExifSegmentOrientation(whole), 1);
    EXPECT_EQ(ExifSegmentOrientation(Bytes{'E', 'x', 'i', 'f', 0}), 1);
}

}  // namespace
}  // namespace zelvan
