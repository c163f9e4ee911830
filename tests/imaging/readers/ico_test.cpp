#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
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

// One icon bitmap: an info header of twice the height, the palette, the colour rows and the
// mask rows, both stored bottom-up and padded to 4 bytes. Rows are given top-down.
struct IconBitmap {
    int width = 1;
    int height = 1;
    int bits = 32;
    std::vector<std::uint32_t> palette = {};  // 0xRRGGBB
    std::vector<Bytes> colourRows = {};
    std::vector<Bytes> maskRows = {};  // none: the mask is left out
    std::uint32_t compression = 0;

    Bytes Build() const {
        Bytes b;
        Put32(b, 40);
        Put32(b, static_cast<std::uint32_t>(width));
        Put32(b, static_cast<std::uint32_t>(2 * height));
        Put16(b, 1);
        Put16(b, static_cast<std::uint32_t>(bits));
        Put32(b, compression);
        for (int i = 0; i < 3; ++i) Put32(b, 0);
        Put32(b, bits <= 8 ? static_cast<std::uint32_t>(palette.size()) : 0);  // colours used
        Put32(b, 0);
        for (std::uint32_t c : palette) Put32(b, c);
        for (const std::vector<Bytes>* rows : {&colourRows, &maskRows})
            for (auto it = rows->rbegin(); it != rows->rend(); ++it) {
                b.insert(b.end(), it->begin(), it->end());
                b.resize((b.size() + 3) / 4 * 4, 0);
            }
        return b;
    }
};

struct Entry {
    int width;   // directory values; 256 is written as 0
    int height;
    Bytes data;
    std::uint16_t planes = 1;  // a cursor's hot spot
    std::uint16_t bitCount = 0;
};

Bytes Ico(const std::vector<Entry>& entries, std::uint16_t type = 1) {
    Bytes b;
    Put16(b, 0);
    Put16(b, type);
    Put16(b, static_cast<std::uint32_t>(entries.size()));
    std::uint32_t offset = static_cast<std::uint32_t>(6 + 16 * entries.size());
    for (const Entry& e : entries) {
        b.push_back(static_cast<std::uint8_t>(e.width & 0xff));
        b.push_back(static_cast<std::uint8_t>(e.height & 0xff));
        b.push_back(0);
        b.push_back(0);
        Put16(b, e.planes);
        Put16(b, e.bitCount);
        Put32(b, static_cast<std::uint32_t>(e.data.size()));
        Put32(b, offset);
        offset += static_cast<std::uint32_t>(e.data.size());
    }
    for (const Entry& e : entries) b.insert(b.end(), e.data.begin(), e.data.end());
    return b;
}

DecodedPicture Decode(const Bytes& file) {
    std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[file.size()]);
    if (!file.empty()) std::memcpy(exact.get(), file.data(), file.size());
    return ReadIco({exact.get(), file.size()});
}

// Pixels top-down as 0xAARRGGBB.
std::vector<std::uint32_t> Argb(const Raster& r) {
    std::vector<std::uint32_t> out;
    for (int y = 0; y < r.height(); ++y)
        for (int x = 0; x < r.width(); ++x) {
            const std::uint8_t* p = r.row(y) + 4 * x;
            out.push_back((std::uint32_t{p[3]} << 24) | (p[2] << 16) | (p[1] << 8) | p[0]);
        }
    return out;
}

Bytes Le32Row(std::initializer_list<std::uint32_t> px) {
    Bytes b;
    for (std::uint32_t v : px) Put32(b, v);
    return b;
}

struct DepthCase {
    const char* name;
    IconBitmap bitmap;
    std::vector<std::uint32_t> argb;  // top-down
};

void PrintTo(const DepthCase& c, std::ostream* os) { *os << c.name; }

class IcoReaderDecodes : public testing::TestWithParam<DepthCase> {};

TEST_P(IcoReaderDecodes, ToBgraWithTheExpectedOpacity) {
    const DepthCase& c = GetParam();
    DecodedPicture p = Decode(Ico({{c.bitmap.width, c.bitmap.height, c.bitmap.Build()}}));
    EXPECT_EQ(p.kind, PictureKind::Icon);
    ASSERT_EQ(p.raster.bitsPerPixel(), 32);
    EXPECT_TRUE(p.HasAlpha());
    EXPECT_EQ(p.raster.width(), c.bitmap.width);
    EXPECT_EQ(p.raster.height(), c.bitmap.height);
    EXPECT_EQ(Argb(p.raster), c.argb);
}

INSTANTIATE_TEST_SUITE_P(
    IcoDepths, IcoReaderDecodes,
    testing::Values(
        // Mask bit set: transparent, whatever the colour.
        DepthCase{"Bits1", {.width = 3, .height = 2, .bits = 1, .palette = {0x000000, 0xffffff},
                            .colourRows = {{0b10100000}, {0b01000000}},
                            .maskRows = {{0b00100000}, {0b10000000}}},
                  {0xffffffff, 0xff000000, 0x00ffffff, 0x00000000, 0xffffffff, 0xff000000}},
        // Two colours declared: index 7 is past them and reads black.
        DepthCase{"Bits4ShortPalette",
                  {.width = 3, .height = 1, .bits = 4, .palette = {0x112233, 0x445566},
                   .colourRows = {{0x10, 0x70}}, .maskRows = {{0b01000000}}},
                  {0xff445566, 0x00112233, 0xff000000}},
        DepthCase{"Bits8WithMask",
                  {.width = 2, .height = 2, .bits = 8, .palette = std::vector<std::uint32_t>(256, 0x808080),
                   .colourRows = {{0, 255}, {1, 2}}, .maskRows = {{0x40}, {0x80}}},
                  {0xff808080, 0x00808080, 0x00808080, 0xff808080}},
        DepthCase{"Bits24WithMask",
                  {.width = 2, .height = 1, .bits = 24, .colourRows = {{1, 2, 3, 4, 5, 6}},
                   .maskRows = {{0x80}}},
                  {0x00030201, 0xff060504}},
        // Its own alpha wins over a mask that says otherwise.
        DepthCase{"Bits32WithAlpha",
                  {.width = 2, .height = 1, .colourRows = {Le32Row({0x80112233, 0x00445566})},
                   .maskRows = {{0x00}}},
                  {0x80112233, 0x00445566}},
        // Every alpha byte 0: the mask gives the opacity.
        DepthCase{"Bits32ZeroAlphaUsesMask",
                  {.width = 2, .height = 1, .colourRows = {Le32Row({0x00112233, 0x00445566})},
                   .maskRows = {{0x40}}},
                  {0xff112233, 0x00445566}},
        DepthCase{"Bits24MissingMaskIsOpaque",
                  {.width = 2, .height = 1, .bits = 24, .colourRows = {{1, 2, 3, 4, 5, 6}}},
                  {0xff030201, 0xff060504}},
        DepthCase{"Bits32ZeroAlphaMissingMaskIsOpaque",
                  {.width = 1, .height = 1, .colourRows = {Le32Row({0x00112233})}},
                  {0xff112233}}),
    test::CaseName());

IconBitmap Flat8(int size, std::uint32_t colour) {
    return {.width = size, .height = size, .bits = 8, .palette = {colour},
            .colourRows = std::vector<Bytes>(static_cast<std::size_t>(size), Bytes(static_cast<std::size_t>(size), 0)),
            .maskRows = std::vector<Bytes>(static_cast<std::size_t>(size),
                                           Bytes(static_cast<std::size_t>(size + 31) / 32 * 4, 0))};
}

TEST(IcoReader, ChoosesTheLargestEntryThenTheDeepestThenTheFirst) {
    IconBitmap four = Flat8(32, 0x0000ff);
    four.bits = 4;
    four.colourRows.assign(32, Bytes(16, 0));
    IconBitmap big32 = Flat8(16, 0);
    big32.bits = 32;
    big32.palette.clear();
    big32.colourRows.assign(16, Bytes(64, 0xff));
    const Bytes file = Ico({{16, 16, big32.Build()},
                            {32, 32, four.Build()},
                            {32, 32, Flat8(32, 0x00ff00).Build()},
                            {32, 32, Flat8(32, 0xff0000).Build()}});
    const DecodedPicture p = Decode(file);
    ASSERT_EQ(p.raster.width(), 32);
    EXPECT_EQ(Argb(p.raster)[0], 0xff00ff00u);
}

TEST(IcoReader, RanksCursorsByTheBitmapsDepthNotTheHotSpot) {
    IconBitmap mono = Flat8(8, 0x0000ff);
    mono.bits = 1;
    mono.palette = {0x0000ff, 0};
    mono.colourRows.assign(8, Bytes{0});
    // The directory holds hot spots where an icon's holds planes and depth.
    const Bytes file = Ico({{8, 8, mono.Build(), 3, 99}, {8, 8, Flat8(8, 0xff0000).Build(), 3, 0}}, 2);
    EXPECT_EQ(Argb(Decode(file).raster)[0], 0xffff0000u);
}

// The directory writes 256 as 0; the bitmap's own header gives the size.
TEST(IcoReader, Decodes256PixelIcons) {
    const DecodedPicture p = Decode(Ico({{256, 256, Flat8(256, 0x123456).Build()}}));
    EXPECT_EQ(p.raster.width(), 256);
    EXPECT_EQ(p.raster.height(), 256);
    EXPECT_EQ(Argb(p.raster)[256 * 256 - 1], 0xff123456u);
}

// A PNG made with libpng: `format` is one of the simplified API's formats; a colour-mapped
// one takes RGB palette entries.
Bytes MakePng(int width, int height, png_uint_32 format, const Bytes& pixels, const Bytes& colourMap = {}) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = format;
    image.colormap_entries = static_cast<png_uint_32>(colourMap.size() / 3);
    const void* map = colourMap.empty() ? nullptr : colourMap.data();
    png_alloc_size_t size = 0;
    EXPECT_TRUE(png_image_write_to_memory(&image, nullptr, &size, 0, pixels.data(), 0, map));
    Bytes out(size);
    EXPECT_TRUE(png_image_write_to_memory(&image, out.data(), &size, 0, pixels.data(), 0, map));
    out.resize(size);
    return out;
}

// The PNG with a tRNS chunk put before its first IDAT.
Bytes WithTrns(Bytes png, const Bytes& data) {
    std::size_t pos = 8;
    while (std::memcmp(&png[pos + 4], "IDAT", 4) != 0)
        pos += 12 + ((std::size_t{png[pos]} << 24) | (png[pos + 1] << 16) | (png[pos + 2] << 8) | png[pos + 3]);
    Bytes chunk;
    for (int shift = 24; shift >= 0; shift -= 8) chunk.push_back(static_cast<std::uint8_t>(data.size() >> shift));
    chunk.insert(chunk.end(), {'t', 'R', 'N', 'S'});
    chunk.insert(chunk.end(), data.begin(), data.end());
    const auto crc = static_cast<std::uint32_t>(crc32(0, chunk.data() + 4, static_cast<uInt>(chunk.size() - 4)));
    for (int shift = 24; shift >= 0; shift -= 8) chunk.push_back(static_cast<std::uint8_t>(crc >> shift));
    png.insert(png.begin() + static_cast<std::ptrdiff_t>(pos), chunk.begin(), chunk.end());
    return png;
}

struct PngCase {
    const char* name;
    Bytes png;  // 3x1
    std::vector<std::uint32_t> argb;
};

void PrintTo(const PngCase& c, std::ostream* os) { *os << c.name; }

class IcoReaderPngEntry : public testing::TestWithParam<PngCase> {};

TEST_P(IcoReaderPngEntry, DecodesToBgraWithItsTransparency) {
    // Beside a 1x1 bitmap, the 3x1 PNG is the larger image.
    const PngCase& c = GetParam();
    const DecodedPicture p = Decode(Ico({{1, 1, Flat8(1, 0x777777).Build()}, {3, 1, c.png}}));
    EXPECT_EQ(p.kind, PictureKind::Icon);
    ASSERT_EQ(p.raster.bitsPerPixel(), 32);
    EXPECT_EQ(Argb(p.raster), c.argb);
}

INSTANTIATE_TEST_SUITE_P(
    IcoPng, IcoReaderPngEntry,
    testing::Values(
        PngCase{"RgbIsOpaque", MakePng(3, 1, PNG_FORMAT_RGB, {255, 0, 0, 0, 255, 0, 1, 2, 3}),
                {0xffff0000, 0xff00ff00, 0xff010203}},
        PngCase{"RgbaKeepsItsAlpha", MakePng(3, 1, PNG_FORMAT_RGBA, {1, 2, 3, 0, 4, 5, 6, 128, 7, 8, 9, 255}),
                {0x00010203, 0x80040506, 0xff070809}},
        // tRNS shorter than the palette: the last entry is opaque.
        PngCase{"PaletteWithTrns",
                WithTrns(MakePng(3, 1, PNG_FORMAT_RGB_COLORMAP, {0, 1, 2}, {10, 20, 30, 40, 50, 60, 70, 80, 90}),
                         {0, 128}),
                {0x000a141e, 0x8028323c, 0xff46505a}},
        PngCase{"GreyKey", WithTrns(MakePng(3, 1, PNG_FORMAT_GRAY, {10, 20, 30}), {0, 20}),
                {0xff0a0a0a, 0x00141414, 0xff1e1e1e}},
        PngCase{"RgbKey", WithTrns(MakePng(3, 1, PNG_FORMAT_RGB, {1, 2, 3, 4, 5, 6, 1, 2, 3}), {0, 4, 0, 5, 0, 6}),
                {0xff010203, 0x00040506, 0xff010203}}),
    test::CaseName());

struct BadCase {
    const char* name;
    Bytes file;
    const char* message;
};

void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

class IcoReaderRefuses : public testing::TestWithParam<BadCase> {};

TEST_P(IcoReaderRefuses, WithAnError) {
    const BadCase& c = GetParam();
    try {
        Decode(c.file);
        FAIL() << "decoded";
    } catch (const Error& e) {
        const std::string text = e.what();
        EXPECT_EQ(text.rfind("ICO: ", 0), 0u) << text;
        EXPECT_NE(text.find(c.message), std::string::npos) << text;
    }
}

Bytes WithByte(Bytes b, std::size_t at, std::uint8_t value) {
    b[at] = value;
    return b;
}
Bytes Cut(Bytes b, std::size_t drop) {
    b.resize(b.size() - drop);
    return b;
}

const Bytes kGood = Ico({{2, 2, Flat8(2, 0x123456).Build()}});
// The single entry's size field is at 14, its offset at 18; the bitmap starts at 22.

INSTANTIATE_TEST_SUITE_P(
    IcoHostile, IcoReaderRefuses,
    testing::Values(
        BadCase{"EmptyBuffer", {}, "truncated"},
        BadCase{"NotAnIcon", WithByte(kGood, 0, 'R'), "not an icon"},
        BadCase{"TypeThree", WithByte(kGood, 2, 3), "not an icon"},
        BadCase{"NoImages", WithByte(kGood, 4, 0), "no images"},
        BadCase{"DirectoryCut", WithByte(Bytes(kGood.begin(), kGood.begin() + 22), 4, 2), "truncated"},
        BadCase{"EntryPastTheEnd", WithByte(kGood, 14, static_cast<std::uint8_t>(kGood[14] + 1)),
                "image 1 of 1 lies outside the file"},
        BadCase{"EntryOffsetPastTheEnd", WithByte(kGood, 21, 0x7f), "outside the file"},
        BadCase{"EntryInsideTheDirectory", WithByte(kGood, 18, 2), "outside the file"},
        BadCase{"EntryEmpty", WithByte(WithByte(kGood, 14, 0), 15, 0), "empty"},
        // The colour rows cut: an error, unlike a missing mask.
        BadCase{"ColourRowsCut",
                Ico({{4, 4, Cut(IconBitmap{.width = 4, .height = 4, .bits = 24,
                                           .colourRows = std::vector<Bytes>(4, Bytes(12, 9))}
                                    .Build(),
                                4)}}),
                "truncated"},
        BadCase{"HugeBitmap", Ico({{1, 1, IconBitmap{.width = 70000, .height = 70000}.Build()}}), "limit"},
        BadCase{"Compressed", Ico({{1, 1, IconBitmap{.bits = 8, .compression = 1}.Build()}}), "compressed"},
        BadCase{"PngCompression", Ico({{1, 1, IconBitmap{.compression = 5}.Build()}}), "PNG"},
        // The PNG's own error, named as the icon's; its header's size is also the largest.
        BadCase{"PngEntryDamaged",
                Ico({{1, 1, Flat8(1, 0).Build()},
                     {1, 1, WithByte(WithByte(MakePng(1, 1, PNG_FORMAT_GRAY, {0}), 16, 0xfe), 20, 0xff)}}),
                "ICO: PNG: "},
        BadCase{"PaletteBeyond256",
                Ico({{1, 1, WithByte(IconBitmap{.bits = 8, .colourRows = {{0}}}.Build(), 34, 1)}}),
                "palette"}),
    test::CaseName());

// ----- the test corpora -----

namespace fs = std::filesystem;

const std::string kPixbufImages =
    "/gdk-pixbuf-tests/usr/libexec/installed-tests/gdk-pixbuf/test-images";
const std::string kSdlImages = "/libsdl2-image-tests/usr/libexec/installed-tests/SDL2_image";

std::vector<std::string> IconsIn(const std::string& folder) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(test::CorporaDir() + folder))
        if (e.path().extension() == ".ico") out.push_back(e.path().string());
    std::sort(out.begin(), out.end());
    return out;
}

// A PNG decoded by libpng as blue, green, red, alpha.
std::vector<std::uint8_t> ReadPngBgra(const std::string& path, int& width, int& height) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    std::vector<std::uint8_t> out;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return out;
    image.format = PNG_FORMAT_BGRA;
    out.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.data(), 0, nullptr)) return {};
    width = static_cast<int>(image.width);
    height = static_cast<int>(image.height);
    return out;
}

TEST(IcoReaderCorpus, IconsMatchTheirReferencePngs) {
    struct Pair {
        std::string ico, png;
    };
    const std::string dir = test::CorporaDir();
    for (const Pair& c : {Pair{kPixbufImages + "/reftests/squares.ico", kPixbufImages + "/reftests/squares.ico.ref.png"},
                          Pair{kSdlImages + "/sample.ico", kSdlImages + "/sample.png"},
                          Pair{kSdlImages + "/sample.cur", kSdlImages + "/sample.png"}}) {
        SCOPED_TRACE(c.ico);
        int width = 0, height = 0;
        const std::vector<std::uint8_t> expected = ReadPngBgra(dir + c.png, width, height);
        ASSERT_FALSE(expected.empty());
        const DecodedPicture p = ReadIco(test::ReadBytes(dir + c.ico));
        ASSERT_EQ(p.raster.width(), width);
        ASSERT_EQ(p.raster.height(), height);
        int differ = 0;
        for (int y = 0; y < height; ++y)
            differ += std::memcmp(p.raster.row(y), &expected[static_cast<std::size_t>(y) * width * 4],
                                  static_cast<std::size_t>(width) * 4) != 0;
        EXPECT_EQ(differ, 0) << "rows differ";
    }
}

TEST(IcoReaderCorpus, EveryReferenceIconDecodesToItsLargestImage) {
    // bug785447.ico's largest image is a 256x256 PNG.
    const std::vector<std::string> files = IconsIn(kPixbufImages + "/reftests");
    ASSERT_EQ(files.size(), 2u);
    const int sizes[] = {256, 100};
    for (std::size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i]);
        const DecodedPicture p = ReadIco(test::ReadBytes(files[i]));
        EXPECT_EQ(p.raster.width(), sizes[i]);
        EXPECT_EQ(p.raster.height(), sizes[i]);
        EXPECT_EQ(p.raster.bitsPerPixel(), 32);
    }
}

TEST(IcoReaderCorpus, FailCasesThrow) {
    const std::vector<std::string> files = IconsIn(kPixbufImages + "/fail");
    ASSERT_EQ(files.size(), 4u);
    for (const std::string& f : files) {
        SCOPED_TRACE(f);
        EXPECT_THROW(ReadIco(test::ReadBytes(f)), Error);
    }
}

TEST(IcoReaderCorpus, RandomlyModifiedFilesDecodeOrThrow) {
    const std::vector<std::string> files = IconsIn(kPixbufImages + "/randomly-modified");
    ASSERT_EQ(files.size(), 4u);
    for (const std::string& f : files) {
        SCOPED_TRACE(f);
        try {
            const DecodedPicture p = ReadIco(test::ReadBytes(f));
            EXPECT_EQ(p.raster.bitsPerPixel(), 32);
        } catch (const Error&) {
        }
    }
}

}  // namespace
}  // namespace zelvan
