#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "imaging/readers/readers.h"
#include "support/fixtures.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using Bytes = std::vector<std::uint8_t>;

using test::Put16;
using test::Put32;

// A bitmap file made in code. Rows are given top-down as they look; the builder stores them
// bottom-up unless the height is negative, and pads each to 4 bytes.
struct Bmp {
    int headerSize = 40;
    std::int32_t width = 1;
    std::int32_t height = 1;
    int bits = 24;
    std::uint32_t compression = 0;
    std::uint32_t coloursUsed = 0;
    std::vector<std::uint32_t> masks = {};    // red, green, blue[, alpha]
    std::vector<std::uint32_t> palette = {};  // 0xRRGGBB
    std::vector<Bytes> rows = {};             // pixel bytes of each row, top-down
    Bytes raw = {};                           // stored pixel data as is (RLE), instead of rows
    std::size_t gap = 0;                 // bytes between the palette and the pixels
    std::optional<std::uint32_t> offset = {};  // the file header's pixel offset; right when absent
    bool fileHeader = true;

    Bytes Build() const {
        Bytes info;
        Put32(info, static_cast<std::uint32_t>(headerSize));
        if (headerSize == 12) {
            Put16(info, static_cast<std::uint32_t>(width));
            Put16(info, static_cast<std::uint32_t>(height));
            Put16(info, 1);
            Put16(info, static_cast<std::uint32_t>(bits));
        } else {
            Put32(info, static_cast<std::uint32_t>(width));
            Put32(info, static_cast<std::uint32_t>(height));
            Put16(info, 1);
            Put16(info, static_cast<std::uint32_t>(bits));
        }
        if (headerSize >= 40) {
            Put32(info, compression);
            Put32(info, 0);
            Put32(info, 2835);
            Put32(info, 2835);
            Put32(info, coloursUsed);
            Put32(info, 0);
        }
        if (headerSize >= 52 && headerSize != 64)
            for (std::size_t i = 0; i < (headerSize >= 56 ? 4u : 3u); ++i)
                Put32(info, i < masks.size() ? masks[i] : 0);
        info.resize(static_cast<std::size_t>(headerSize), 0);
        if (headerSize == 40)
            for (std::uint32_t m : masks) Put32(info, m);
        for (std::uint32_t c : palette) {
            info.push_back(static_cast<std::uint8_t>(c));
            info.push_back(static_cast<std::uint8_t>(c >> 8));
            info.push_back(static_cast<std::uint8_t>(c >> 16));
            if (headerSize != 12) info.push_back(0);
        }
        info.resize(info.size() + gap, 0xee);

        Bytes pixels = raw;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const Bytes& row = rows[height < 0 ? i : rows.size() - 1 - i];
            pixels.insert(pixels.end(), row.begin(), row.end());
            pixels.resize((pixels.size() + 3) / 4 * 4, 0);
        }

        Bytes file;
        if (fileHeader) {
            const std::uint32_t start = static_cast<std::uint32_t>(14 + info.size());
            file = {'B', 'M'};
            Put32(file, static_cast<std::uint32_t>(14 + info.size() + pixels.size()));
            Put32(file, 0);
            Put32(file, offset.value_or(start));
        }
        file.insert(file.end(), info.begin(), info.end());
        file.insert(file.end(), pixels.begin(), pixels.end());
        return file;
    }
};

// Decodes from a heap block of exactly the file's size, so that AddressSanitizer sees any
// read past the end.
DecodedPicture Decode(const Bytes& file) {
    std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[file.size()]);
    if (!file.empty()) std::memcpy(exact.get(), file.data(), file.size());
    return ReadBmp({exact.get(), file.size()});
}

// Pixels top-down as 0xRRGGBB.
std::vector<std::uint32_t> Colours(const Raster& r) {
    std::vector<std::uint32_t> out;
    for (int y = 0; y < r.height(); ++y)
        for (int x = 0; x < r.width(); ++x) {
            Rgb c = r.PixelColour(x, y);
            out.push_back((std::uint32_t{c.red} << 16) | (c.green << 8) | c.blue);
        }
    return out;
}

std::vector<int> Indices(const Raster& r) {
    std::vector<int> out;
    const int bits = r.bitsPerPixel();
    for (int y = 0; y < r.height(); ++y)
        for (int x = 0; x < r.width(); ++x) {
            const int perByte = 8 / bits;
            const int shift = 8 - bits * (x % perByte + 1);
            out.push_back((r.row(y)[x / perByte] >> shift) & ((1 << bits) - 1));
        }
    return out;
}

std::vector<int> Alphas(const Raster& r) {
    std::vector<int> out;
    for (int y = 0; y < r.height(); ++y)
        for (int x = 0; x < r.width(); ++x) out.push_back(r.row(y)[4 * x + 3]);
    return out;
}

struct DecodeCase {
    const char* name;
    Bmp bmp;
    int depth;
    std::vector<std::uint32_t> colours;  // top-down
    std::vector<int> alphas = {};        // 32-bit only
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

class BmpReaderDecodes : public testing::TestWithParam<DecodeCase> {};

TEST_P(BmpReaderDecodes, ToTheExpectedPixels) {
    const DecodeCase& c = GetParam();
    DecodedPicture p = Decode(c.bmp.Build());
    EXPECT_EQ(p.kind, PictureKind::Bitmap);
    ASSERT_EQ(p.raster.bitsPerPixel(), c.depth);
    EXPECT_EQ(p.raster.width(), c.bmp.width);
    EXPECT_EQ(p.raster.height(), std::abs(c.bmp.height));
    EXPECT_EQ(Colours(p.raster), c.colours);
    if (c.depth == 32) {
        EXPECT_EQ(Alphas(p.raster), c.alphas);
    }
}

// Red, green, blue and white in the five-bit fields of 5-5-5.
constexpr std::uint16_t kR555 = 0x7c00, kG555 = 0x03e0, kB555 = 0x001f;

Bytes Le16Row(std::initializer_list<std::uint16_t> px) {
    Bytes b;
    for (std::uint16_t v : px) Put16(b, v);
    return b;
}
Bytes Le32Row(std::initializer_list<std::uint32_t> px) {
    Bytes b;
    for (std::uint32_t v : px) Put32(b, v);
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    BmpDepths, BmpReaderDecodes,
    testing::Values(
        // 10 pixels cross a byte; bits past the width are junk in the file.
        DecodeCase{"Bits1BottomUp",
                   {.width = 10, .height = 2, .bits = 1, .palette = {0x102030, 0xffeedd},
                    .rows = {{0b10100000, 0b01111111}, {0b00000001, 0b10000000}}},
                   1,
                   {0xffeedd, 0x102030, 0xffeedd, 0x102030, 0x102030, 0x102030, 0x102030, 0x102030,
                    0x102030, 0xffeedd,
                    0x102030, 0x102030, 0x102030, 0x102030, 0x102030, 0x102030, 0x102030, 0xffeedd,
                    0xffeedd, 0x102030}},
        // Three colours declared: index 5 is past them and reads black.
        DecodeCase{"Bits4TopDownShortPalette",
                   {.width = 3, .height = -2, .bits = 4, .coloursUsed = 3,
                    .palette = {0xff0000, 0x00ff00, 0x0000ff}, .rows = {{0x01, 0x20}, {0x25, 0x00}}},
                   4,
                   {0xff0000, 0x00ff00, 0x0000ff, 0x0000ff, 0x000000, 0xff0000}},
        DecodeCase{"Bits8BottomUp",
                   {.width = 2, .height = 2, .bits = 8, .coloursUsed = 2, .palette = {0x111111, 0xabcdef},
                    .rows = {{1, 0}, {0, 1}}},
                   8,
                   {0xabcdef, 0x111111, 0x111111, 0xabcdef}},
        DecodeCase{"Bits16Default555",
                   {.width = 3, .height = 1, .bits = 16, .rows = {Le16Row({kR555, kG555 | 0x8000, 0x4210})}},
                   24,
                   {0xff0000, 0x00ff00, 0x848484}},
        DecodeCase{"Bits16Bitfields565",
                   {.width = 4, .height = 1, .bits = 16, .compression = 3, .masks = {0xf800, 0x07e0, 0x001f},
                    .rows = {Le16Row({0xf800, 0x07e0, 0x001f, 0x0400})}},
                   24,
                   {0xff0000, 0x00ff00, 0x0000ff, 0x008200}},
        // 4-4-4 in a V3 header: four-bit fields stretch to 0..255.
        DecodeCase{"Bits16Bitfields444",
                   {.headerSize = 56, .width = 2, .height = 1, .bits = 16, .compression = 3,
                    .masks = {0x0f00, 0x00f0, 0x000f, 0xf000}, .rows = {Le16Row({0xff80, 0x0123})}},
                   24,
                   {0xff8800, 0x112233}},
        DecodeCase{"Bits24BottomUpPadded",
                   {.width = 3, .height = 2,
                    .rows = {{1, 2, 3, 4, 5, 6, 7, 8, 9}, {10, 11, 12, 13, 14, 15, 16, 17, 18}}},
                   24,
                   {0x030201, 0x060504, 0x090807, 0x0c0b0a, 0x0f0e0d, 0x121110}},
        // No alpha mask: the fourth byte is kept exactly, zeros included.
        DecodeCase{"Bits32FourthByteAsStored",
                   {.width = 2, .height = 1, .bits = 32, .rows = {Le32Row({0x00112233, 0x80445566})}},
                   32,
                   {0x112233, 0x445566},
                   {0x00, 0x80}},
        // Masks in the odd order of the corpus' mandatory-bitmasks.bmp: red in the top byte.
        DecodeCase{"Bits32AlphaMaskReordered",
                   {.headerSize = 56, .width = 2, .height = 1, .bits = 32, .compression = 3,
                    .masks = {0xff000000, 0x00ff0000, 0x0000ff00, 0x000000ff},
                    .rows = {Le32Row({0x11223344, 0xaabbcc00})}},
                   32,
                   {0x112233, 0xaabbcc},
                   {0x44, 0x00}},
        DecodeCase{"Bits32V5StandardAlpha",
                   {.headerSize = 124, .width = 1, .height = -2, .bits = 32, .compression = 3,
                    .masks = {0xff0000, 0xff00, 0xff, 0xff000000},
                    .rows = {Le32Row({0x7f010203}), Le32Row({0xff040506})}},
                   32,
                   {0x010203, 0x040506},
                   {0x7f, 0xff}},
        // 2-10-10-10: ten-bit fields keep their top eight bits.
        DecodeCase{"Bits32TenBitFields",
                   {.width = 1, .height = 1, .bits = 32, .compression = 3,
                    .masks = {0x3ff00000, 0x000ffc00, 0x000003ff},
                    .rows = {Le32Row({(0x3ffu << 20) | (0x200u << 10) | 0x004u})}},
                   32,
                   {0xff8001},
                   {0x3f}},
        DecodeCase{"Os2CoreHeader8Bit",
                   {.headerSize = 12, .width = 2, .height = 1, .bits = 8,
                    .palette = std::vector<std::uint32_t>(256, 0x0a0b0c), .rows = {{0, 255}}},
                   8,
                   {0x0a0b0c, 0x0a0b0c}},
        DecodeCase{"Os2V2Header24Bit",
                   {.headerSize = 64, .width = 1, .height = 1, .rows = {{1, 2, 3}}}, 24, {0x030201}},
        DecodeCase{"V4Header24Bit",
                   {.headerSize = 108, .width = 1, .height = 1, .rows = {{1, 2, 3}}}, 24, {0x030201}},
        DecodeCase{"PackedDibWithoutFileHeader",
                   {.width = 1, .height = 1, .rows = {{9, 8, 7}}, .fileHeader = false}, 24, {0x070809}},
        // The pixel offset is honoured across a gap, and ignored when it points nowhere useful.
        DecodeCase{"OffsetPastAGap",
                   {.width = 1, .height = 1, .bits = 8, .coloursUsed = 1, .palette = {0x123456},
                    .rows = {{0}}, .gap = 6},
                   8,
                   {0x123456}},
        DecodeCase{"OffsetZeroIgnored",
                   {.width = 1, .height = 1, .rows = {{4, 5, 6}}, .offset = 0}, 24, {0x060504}},
        DecodeCase{"OffsetPastTheEndIgnored",
                   {.width = 1, .height = 1, .rows = {{4, 5, 6}}, .offset = 100000}, 24, {0x060504}}),
    test::CaseName());

TEST(BmpReader, AcceptsALastRowWithoutItsPadding) {
    Bytes file = Bmp{.width = 1, .height = 2, .rows = {{1, 2, 3}, {4, 5, 6}}}.Build();
    file.pop_back();  // the stored last row is the top one
    DecodedPicture p = Decode(file);
    EXPECT_EQ(Colours(p.raster), (std::vector<std::uint32_t>{0x030201, 0x060504}));
    file.pop_back();
    file.pop_back();
    EXPECT_THROW(Decode(file), Error);
}

TEST(BmpReader, PaletteRowsCarryNoJunkBitsPastTheWidth) {
    DecodedPicture p = Decode(Bmp{.width = 3, .height = 1, .bits = 1, .palette = {0, 0xffffff},
                                  .rows = {{0xff, 0xff, 0xff, 0xff}}}
                                  .Build());
    EXPECT_EQ(p.raster.row(0)[0], 0xe0);
    EXPECT_EQ(p.raster.row(0)[1], 0);
}

struct RleCase {
    const char* name;
    int width;
    int height;
    int bits;
    Bytes data;
    std::vector<int> indices;  // top-down
};

void PrintTo(const RleCase& c, std::ostream* os) { *os << c.name; }

class BmpReaderRle : public testing::TestWithParam<RleCase> {};

TEST_P(BmpReaderRle, DecodesToTheExpectedIndices) {
    const RleCase& c = GetParam();
    Bmp bmp{.width = c.width, .height = c.height, .bits = c.bits,
            .compression = c.bits == 8 ? 1u : 2u, .palette = {0x000000, 0x0000ff}, .raw = c.data};
    bmp.coloursUsed = 2;
    DecodedPicture p = Decode(bmp.Build());
    ASSERT_EQ(p.raster.bitsPerPixel(), c.bits);
    EXPECT_EQ(Indices(p.raster), c.indices);
    EXPECT_EQ(p.raster.palette()[1], (PaletteEntry{0xff, 0, 0, 0}));
}

INSTANTIATE_TEST_SUITE_P(
    BmpRle, BmpReaderRle,
    testing::Values(
        // Bottom row: a run, then an odd absolute run with its pad byte; then a delta that
        // skips the middle row, a run, and the end of the bitmap.
        RleCase{"Rle8RunsDeltaAbsolute", 6, 3, 8,
                {3, 1, 0, 3, 2, 3, 4, 0, 0, 0, 0, 2, 2, 1, 2, 5, 0, 1},
                {0, 0, 5, 5, 0, 0,
                 0, 0, 0, 0, 0, 0,
                 1, 1, 1, 2, 3, 4}},
        // A run longer than the row is cut at the row's end and does not spill upwards.
        RleCase{"Rle8RunPastTheRowIsCut", 3, 2, 8,
                {9, 7, 0, 0, 0, 4, 1, 2, 3, 4, 0, 1},
                {1, 2, 3,
                 7, 7, 7}},
        // The data ends after the last line without an end-of-bitmap code: the image is whole.
        RleCase{"Rle8EndsAfterTheLastLine", 2, 1, 8, {2, 9, 0, 0}, {9, 9}},
        RleCase{"Rle4RunsAndAbsolute", 5, 2, 4,
                {5, 0x12, 0, 0, 0, 3, 0x34, 0x50, 0, 1},
                {3, 4, 5, 0, 0,
                 1, 2, 1, 2, 1}},
        // Five nibbles take three bytes, padded to four.
        RleCase{"Rle4OddAbsoluteIsPadded", 6, 1, 4,
                {0, 5, 0xab, 0xcd, 0xe0, 0, 1, 0xf0, 0, 1},
                {0xa, 0xb, 0xc, 0xd, 0xe, 0xf}},
        RleCase{"Rle4RunPastTheRowIsCut", 3, 1, 4, {7, 0x9a, 0, 1}, {9, 0xa, 9}}),
    test::CaseName());

struct BadCase {
    const char* name;
    Bytes file;
    const char* message;  // part of the error's text
};

void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

class BmpReaderRefuses : public testing::TestWithParam<BadCase> {};

TEST_P(BmpReaderRefuses, WithAnError) {
    const BadCase& c = GetParam();
    try {
        Decode(c.file);
        FAIL() << "decoded";
    } catch (const Error& e) {
        const std::string text = e.what();
        EXPECT_EQ(text.rfind("BMP: ", 0), 0u) << text;
        EXPECT_NE(text.find(c.message), std::string::npos) << text;
    }
}

Bytes Rle8(int width, int height, Bytes data) {
    return Bmp{.width = width, .height = height, .bits = 8, .compression = 1, .coloursUsed = 1,
               .palette = {0}, .raw = std::move(data)}
        .Build();
}

Bytes Truncate(Bytes b, std::size_t drop) {
    b.resize(b.size() - drop);
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    BmpHostile, BmpReaderRefuses,
    testing::Values(
        BadCase{"EmptyBuffer", {}, "truncated"},
        BadCase{"SignatureOnly", {'B', 'M'}, "truncated"},
        BadCase{"NotABitmap", {'G', 'I', 'F', '8', '9', 'a', 0, 0}, "not a bitmap"},
        BadCase{"HeaderCut", Truncate(Bmp{}.Build(), 20), "truncated"},
        BadCase{"HugeDeclaredSize", Bmp{.width = 100000, .height = 100000}.Build(), "limit"},
        BadCase{"HeightIntMin", Bmp{.width = 1, .height = INT32_MIN}.Build(), "limit"},
        BadCase{"ZeroWidth", Bmp{.width = 0, .height = 1}.Build(), "invalid image size"},
        BadCase{"NegativeWidth", Bmp{.width = -4, .height = 1}.Build(), "invalid image size"},
        BadCase{"TruncatedRows",
                Bmp{.width = 4, .height = 4, .rows = std::vector<Bytes>(3, Bytes(12, 1))}.Build(),
                "file is truncated"},
        BadCase{"PaletteBeyond256", Bmp{.bits = 8, .coloursUsed = 257, .rows = {{0}}}.Build(), "palette"},
        BadCase{"PaletteCut",
                Bmp{.bits = 8, .palette = {1, 2, 3}, .offset = 0}.Build(),
                "truncated"},
        BadCase{"Jpeg", Bmp{.compression = 4, .rows = {{0}}}.Build(), "JPEG"},
        BadCase{"Png", Bmp{.compression = 5, .rows = {{0}}}.Build(), "PNG"},
        BadCase{"UnknownCompression", Bmp{.compression = 0x990000c7, .rows = {{0}}}.Build(),
                "unknown compression 2566914247"},
        BadCase{"OtherHeaderSize", Bmp{.headerSize = 44, .rows = {{0, 0, 0}}}.Build(), "header size 44"},
        BadCase{"TwoBitDepth", Bmp{.bits = 2, .rows = {{0}}}.Build(), "bit depth 2"},
        BadCase{"Rle8With24Bits", Bmp{.compression = 1, .rows = {{0}}}.Build(), "RLE8"},
        BadCase{"BitfieldsWith24Bits", Bmp{.compression = 3, .masks = {1, 2, 4}, .rows = {{0}}}.Build(),
                "bit field"},
        BadCase{"MaskWithAHole",
                Bmp{.bits = 16, .compression = 3, .masks = {0xf801, 0x07e0, 0x001e}, .rows = {{0, 0}}}.Build(),
                "not contiguous"},
        BadCase{"RleDeltaPastTheImage", Rle8(4, 2, {0, 2, 1, 3, 0, 1}), "delta"},
        BadCase{"RleDeltaPastTheRow", Rle8(4, 2, {0, 2, 5, 0, 0, 1}), "delta"},
        BadCase{"RleDataStopsMidImage", Rle8(4, 2, {4, 1, 0, 0, 2, 1}), "truncated"},
        BadCase{"RleAbsoluteRunCut", Rle8(8, 1, {0, 6, 1, 2, 3}), "truncated"},
        BadCase{"RleAbsolutePadMissing", Rle8(8, 1, {0, 3, 1, 2, 3}), "truncated"}),
    test::CaseName());

// ----- the test corpora -----

namespace fs = std::filesystem;

const std::string kPixbufImages =
    "/gdk-pixbuf-tests/usr/libexec/installed-tests/gdk-pixbuf/test-images";
const std::string kSdlImages = "/libsdl2-image-tests/usr/libexec/installed-tests/SDL2_image";

std::vector<std::string> FilesIn(const std::string& folder, const std::string& extension) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(test::CorporaDir() + folder))
        if (e.path().extension() == extension) out.push_back(e.path().string());
    std::sort(out.begin(), out.end());
    return out;
}

// A PNG decoded by libpng as blue, green, red, alpha.
struct PngPixels {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> bgra;
};
PngPixels ReadPngBgra(const std::string& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    PngPixels out;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return out;
    image.format = PNG_FORMAT_BGRA;
    out.bgra.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.bgra.data(), 0, nullptr)) return out;
    out.width = static_cast<int>(image.width);
    out.height = static_cast<int>(image.height);
    return out;
}

// Counts pixels whose colour (and alpha, where the raster has it) differs from the PNG's.
int Differences(const Raster& r, const PngPixels& png) {
    int differ = 0;
    for (int y = 0; y < r.height(); ++y)
        for (int x = 0; x < r.width(); ++x) {
            const std::uint8_t* q = &png.bgra[(static_cast<std::size_t>(y) * png.width + x) * 4];
            const Rgb c = r.PixelColour(x, y);
            const int alpha = r.bitsPerPixel() == 32 ? r.row(y)[4 * x + 3] : 255;
            if (c.blue != q[0] || c.green != q[1] || c.red != q[2] || alpha != q[3]) ++differ;
        }
    return differ;
}

TEST(BmpReaderCorpus, ReferenceBitmapsMatchTheirPngs) {
    struct Pair {
        std::string bmp, png;
    };
    const std::string dir = test::CorporaDir();
    for (const Pair& c : {Pair{kPixbufImages + "/reftests/mandatory-bitmasks.bmp",
                               kPixbufImages + "/reftests/mandatory-bitmasks.bmp.ref.png"},
                          Pair{kSdlImages + "/sample.bmp", kSdlImages + "/sample.png"}}) {
        SCOPED_TRACE(c.bmp);
        const PngPixels png = ReadPngBgra(dir + c.png);
        ASSERT_GT(png.width, 0);
        const DecodedPicture p = ReadBmp(test::ReadBytes(dir + c.bmp));
        ASSERT_EQ(p.raster.width(), png.width);
        ASSERT_EQ(p.raster.height(), png.height);
        EXPECT_EQ(Differences(p.raster, png), 0);
    }
}

TEST(BmpReaderCorpus, EveryOtherBitmapDecodesToTheSizeImageMagickReports) {
    ASSERT_TRUE(test::HaveProgram("identify"));
    std::vector<std::string> files = FilesIn(kSdlImages, ".bmp");
    const std::string sixel = "/libsixel-examples/usr/share/doc/libsixel-examples/examples/images";
    for (const std::string& f : FilesIn(sixel, ".bmp")) files.push_back(f);
    ASSERT_GE(files.size(), 5u);
    for (const std::string& f : files) {
        SCOPED_TRACE(f);
        const DecodedPicture p = ReadBmp(test::ReadBytes(f));
        const auto size = test::RunCommand("identify -format '%w %h' " + test::ShellQuote(f));
        EXPECT_EQ(size.output, std::to_string(p.raster.width()) + " " + std::to_string(p.raster.height()));
    }
}

TEST(BmpReaderCorpus, FailCasesThrow) {
    const std::vector<std::string> files = FilesIn(kPixbufImages + "/fail", ".bmp");
    ASSERT_EQ(files.size(), 3u);
    for (const std::string& f : files) {
        SCOPED_TRACE(f);
        EXPECT_THROW(ReadBmp(test::ReadBytes(f)), Error);
    }
    // Outside test-images, the same corpus' height overflow.
    EXPECT_THROW(ReadBmp(test::ReadBytes(test::CorporaDir() +
                                         "/gdk-pixbuf-tests/usr/libexec/installed-tests/gdk-pixbuf/"
                                         "cve-2015-4491.bmp")),
                 Error);
}

TEST(BmpReaderCorpus, RandomlyModifiedFilesDecodeOrThrow) {
    const std::vector<std::string> files = FilesIn(kPixbufImages + "/randomly-modified", ".bmp");
    ASSERT_EQ(files.size(), 4u);
    int decoded = 0;
    for (const std::string& f : files) {
        SCOPED_TRACE(f);
        try {
            const DecodedPicture p = ReadBmp(test::ReadBytes(f));
            EXPECT_FALSE(p.raster.empty());
            ++decoded;
        } catch (const Error&) {
        }
    }
    // valid.1.bmp's changes are all in its pixels.
    EXPECT_GE(decoded, 1);
}

}  // namespace
}  // namespace zelvan
