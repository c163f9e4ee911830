#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <string>

#include "base/error.h"
#include "imaging/raster.h"
#include "imaging/writers/halftone_palette.h"
#include "imaging/transparency.h"
#include "imaging/writers/writers.h"
#include "support/fixtures.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Chunk {
    std::string type;
    Bytes data;
};

std::uint32_t BigEndian32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// Splits a PNG into its chunks, checking the signature, every length and every CRC.
std::vector<Chunk> ParseChunks(const Bytes& png) {
    static const std::uint8_t kSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
    std::vector<Chunk> chunks;
    EXPECT_GE(png.size(), 8u);
    EXPECT_EQ(0, std::memcmp(png.data(), kSignature, 8));
    std::size_t pos = 8;
    while (pos + 12 <= png.size()) {
        const std::uint32_t len = BigEndian32(&png[pos]);
        if (pos + 12 + len > png.size()) break;
        Chunk c;
        c.type.assign(reinterpret_cast<const char*>(&png[pos + 4]), 4);
        c.data.assign(png.begin() + static_cast<std::ptrdiff_t>(pos + 8),
                      png.begin() + static_cast<std::ptrdiff_t>(pos + 8 + len));
        EXPECT_EQ(BigEndian32(&png[pos + 8 + len]),
                  crc32(0, &png[pos + 4], static_cast<uInt>(len + 4)))
            << "CRC of " << c.type;
        chunks.push_back(std::move(c));
        pos += 12 + len;
    }
    EXPECT_EQ(pos, png.size()) << "bytes after the last whole chunk";
    return chunks;
}

Bytes ZlibStream(const std::vector<Chunk>& chunks) {
    Bytes z;
    for (const Chunk& c : chunks)
        if (c.type == "IDAT") z.insert(z.end(), c.data.begin(), c.data.end());
    return z;
}

Bytes Inflate(const Bytes& z) {
    Bytes out;
    z_stream zs{};
    EXPECT_EQ(Z_OK, inflateInit(&zs));
    zs.next_in = const_cast<Bytef*>(z.data());
    zs.avail_in = static_cast<uInt>(z.size());
    std::uint8_t buf[65536];
    int rc;
    do {
        zs.next_out = buf;
        zs.avail_out = sizeof buf;
        rc = inflate(&zs, Z_NO_FLUSH);
        out.insert(out.end(), buf, buf + (sizeof buf - zs.avail_out));
    } while (rc == Z_OK);
    EXPECT_EQ(Z_STREAM_END, rc);
    inflateEnd(&zs);
    return out;
}

// Filter-type bytes of a non-interlaced image whose rows are rowBytes long.
Bytes FilterTypes(const Bytes& png, std::size_t rowBytes) {
    const Bytes raw = Inflate(ZlibStream(ParseChunks(png)));
    EXPECT_EQ(0u, raw.size() % (rowBytes + 1));
    Bytes types;
    for (std::size_t pos = 0; pos < raw.size(); pos += rowBytes + 1) types.push_back(raw[pos]);
    return types;
}

struct Decoded {
    int width = 0, height = 0;
    Bytes rgba;
};

// libpng's simplified reader: an independent decoder, giving RGBA whatever the colour type.
Decoded DecodeWithLibpng(const Bytes& png) {
    Decoded d;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) {
        ADD_FAILURE() << "libpng: " << image.message;
        return d;
    }
    image.format = PNG_FORMAT_RGBA;
    d.rgba.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, d.rgba.data(), 0, nullptr)) {
        ADD_FAILURE() << "libpng: " << image.message;
        png_image_free(&image);
        return d;
    }
    d.width = static_cast<int>(image.width);
    d.height = static_cast<int>(image.height);
    return d;
}

// A raster with runs, gradients and noise; palette rasters get a random palette that holds
// magenta at entry 1.
Raster PatternRaster(int width, int height, int bpp, unsigned seed) {
    std::mt19937 rng(seed);
    Raster r(width, height, bpp);
    if (bpp <= 8) {
        for (auto& e : r.palette())
            e = {static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()),
                 static_cast<std::uint8_t>(rng()), 0};
        if (r.palette().size() > 1) r.palette()[1] = {255, 0, 255, 0};
    }
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = r.row(y);
        if (bpp <= 8) {
            const int perByte = 8 / bpp;
            for (int x = 0; x < width; ++x) {
                unsigned v = (x / 4 + y) % 3 == 0 ? 1u : static_cast<unsigned>(rng());
                v &= (1u << bpp) - 1;
                row[x / perByte] |= static_cast<std::uint8_t>(v << (8 - bpp * (x % perByte + 1)));
            }
        } else {
            const int n = bpp / 8;
            for (int x = 0; x < width; ++x) {
                std::uint8_t* p = row + static_cast<std::size_t>(x) * n;
                if ((x / 5 + y) % 4 == 0) {
                    p[0] = 255, p[1] = 0, p[2] = 255;  // magenta patches
                } else {
                    p[0] = static_cast<std::uint8_t>(x * 7 + y);
                    p[1] = static_cast<std::uint8_t>(rng());
                    p[2] = static_cast<std::uint8_t>(y * 11);
                }
                if (n == 4) p[3] = static_cast<std::uint8_t>(rng());
            }
        }
    }
    return r;
}

Raster MaskFor(int width, int height) {
    Raster m(width, height, 24);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = m.row(y) + 3 * x;
            p[0] = 7;  // only the third byte carries opacity
            p[1] = 9;
            p[2] = static_cast<std::uint8_t>((x * 37 + y * 91) % 256);
        }
    return m;
}

Raster FlatRaster(int width, int height, Rgb c) {
    Raster r(width, height, 24);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = r.row(y) + 3 * x;
            p[0] = c.blue, p[1] = c.green, p[2] = c.red;
        }
    return r;
}

TEST(PngWriter, FilterChoiceFollowsTheRepeatCount) {
    struct Case {
        const char* name;
        Raster image;
        bool allFilters;
        Bytes expected;
    };
    Case cases[] = {
        // 28 repeats for None; Up (and later Paeth) tie with it and None comes first.
        {"flat grey", FlatRaster(10, 4, {128, 128, 128}), true, {0, 0, 0, 0}},
        // First row: Sub reaches 26 and Paeth ties later; below it Up reaches 28.
        {"flat colour", FlatRaster(10, 4, {50, 100, 200}), true, {1, 2, 2, 2}},
        // Rows of one pixel have a single counted position: only Up (0, 0, 0) repeats there.
        {"one pixel wide", FlatRaster(1, 3, {50, 100, 200}), true, {0, 2, 2}},
        {"None only", PatternRaster(40, 6, 24, 1), false, {0, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PngSettings settings;
        settings.allFilters = c.allFilters;
        settings.reduceLayout = false;  // RGB rows whatever the colours
        const Bytes png = EncodePng(c.image, nullptr, settings);
        EXPECT_EQ(c.expected, FilterTypes(png, static_cast<std::size_t>(c.image.width()) * 3));
    }
}

std::string PngcheckVerdict(const Bytes& png) {
    test::TempDir dir;
    const std::string path = dir / "out.png";
    test::WriteBytes(path, png);
    auto r = test::RunCommand("pngcheck -v " + test::ShellQuote(path) + " 2>&1");
    return r.exitStatus == 0 && r.output.find("No errors detected") != std::string::npos ? "OK" : r.output;
}

// Opacity per palette entry: entry i is i * 17 % 256 opaque.
std::vector<std::uint8_t> EntryOpacities() {
    std::vector<std::uint8_t> opacity(256);
    for (int i = 0; i < 256; ++i) opacity[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i * 17 % 256);
    return opacity;
}

TEST(PngWriter, RoundTripsThroughLibpngForEveryColourTypeAndDepth) {
    ASSERT_TRUE(test::HaveProgram("pngcheck"));
    // A mask per pixel, or one that follows the palette entries.
    enum Transparency { kNone, kMask, kByEntry };
    struct Case {
        int width, height, bpp;
        Transparency transparency;
        int colourType;
    };
    const Case cases[] = {
        {37, 23, 24, kNone, 2}, {37, 23, 32, kNone, 2},   {37, 23, 8, kNone, 3},    {37, 23, 4, kNone, 3},
        {37, 23, 1, kNone, 3},  {37, 23, 24, kMask, 6},   {37, 23, 32, kMask, 6},   {37, 23, 8, kMask, 6},
        {37, 23, 8, kByEntry, 3}, {37, 23, 4, kByEntry, 3}, {37, 23, 1, kByEntry, 3}, {1, 1, 24, kNone, 2},
        {3, 2, 24, kMask, 6},   {2, 9, 8, kByEntry, 3},   {9, 1, 32, kNone, 2},
    };
    for (const Case& c : cases) {
        for (bool interlace : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " bpp " << c.bpp << " transparency "
                                            << c.transparency << " interlace " << interlace);
            const Raster image = PatternRaster(c.width, c.height, c.bpp, 42);
            const Raster mask = c.transparency == kByEntry ? PaletteOpacityMask(image, EntryOpacities())
                                                           : MaskFor(c.width, c.height);
            PngSettings settings;
            settings.interlace = interlace;
            settings.compressionLevel = 6;
            settings.reduceLayout = false;  // every layout as the raster has it
            const Bytes png = EncodePng(image, c.transparency == kNone ? nullptr : &mask, settings);

            const auto chunks = ParseChunks(png);
            ASSERT_FALSE(chunks.empty());
            ASSERT_EQ("IHDR", chunks[0].type);
            EXPECT_EQ(8, chunks[0].data[8]);
            EXPECT_EQ(c.colourType, chunks[0].data[9]);
            EXPECT_EQ(interlace ? 1 : 0, chunks[0].data[12]);
            EXPECT_EQ("OK", PngcheckVerdict(png));

            const Decoded d = DecodeWithLibpng(png);
            ASSERT_EQ(c.width, d.width);
            ASSERT_EQ(c.height, d.height);
            int mismatches = 0;
            for (int y = 0; y < c.height; ++y)
                for (int x = 0; x < c.width; ++x) {
                    const Rgb colour = image.PixelColour(x, y);
                    const std::uint8_t alpha = c.transparency == kNone ? 255 : mask.row(y)[3 * x + 2];
                    const std::uint8_t* p = &d.rgba[4 * (static_cast<std::size_t>(y) * c.width + x)];
                    const bool same = p[0] == colour.red && p[1] == colour.green && p[2] == colour.blue &&
                                      p[3] == alpha;
                    if (!same && mismatches++ < 3)
                        ADD_FAILURE() << "pixel " << x << "," << y << " is " << int(p[0]) << "," << int(p[1])
                                      << "," << int(p[2]) << "," << int(p[3]);
                }
            EXPECT_EQ(0, mismatches);
        }
    }
}

using test::ReadPpm;

// Opaque pixels of the decoded PNG that differ from the raster.
int CountMismatches(const Raster& image, const Decoded& d) {
    if (d.width != image.width() || d.height != image.height()) return -1;
    int mismatches = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const Rgb c = image.PixelColour(x, y);
            const std::uint8_t* p = &d.rgba[4 * (static_cast<std::size_t>(y) * d.width + x)];
            mismatches += p[0] != c.red || p[1] != c.green || p[2] != c.blue || p[3] != 255;
        }
    return mismatches;
}

// Slopes with a little noise above, columns beside rows below: rows for each of the five
// filters, so that their arithmetic is checked by the decoder.
Raster FilterMixRaster() {
    std::mt19937 rng(4);
    Raster r(64, 64, 24);
    for (int y = 0; y < 64; ++y)
        for (int i = 0; i < 64 * 3; ++i) {
            const int x = i / 3;
            int v;
            if (y < 32) v = x * (y % 5) + static_cast<int>(rng() % 2);
            else v = x < 32 ? x * 37 % 256 : y * 53 % 256 + static_cast<int>(rng() % 2);
            r.row(y)[i] = static_cast<std::uint8_t>(v);
        }
    return r;
}

TEST(PngWriter, AllFiltersRoundTripExactly) {
    const Raster mix = FilterMixRaster();
    const Bytes mixPng = EncodePng(mix, nullptr, PngSettings{});
    std::map<int, int> used;
    for (std::uint8_t f : FilterTypes(mixPng, 64 * 3)) ++used[f];
    EXPECT_EQ(5u, used.size()) << "the fixture should give rows of each of the five filters";
    EXPECT_EQ(0, CountMismatches(mix, DecodeWithLibpng(mixPng)));

    const std::string photo =
        test::CorporaDir() + "/golang-github-rwcarlsen-goexif-dev/usr/share/gocode/src/github.com/rwcarlsen/goexif/exif/sample1.jpg";
    auto decoded = test::RunCommand("djpeg -pnm " + test::ShellQuote(photo));
    ASSERT_EQ(0, decoded.exitStatus) << photo;
    const Raster image = ReadPpm(decoded.output);
    ASSERT_FALSE(image.empty()) << "djpeg wrote no binary PPM";
    EXPECT_EQ(0, CountMismatches(image, DecodeWithLibpng(EncodePng(image, nullptr, PngSettings{}))));
}

TEST(PngWriter, LargeImageSplitsImageDataIntoFullChunks) {
    const Raster image = PatternRaster(400, 300, 32, 7);
    const Bytes png = EncodePng(image, nullptr, PngSettings{});
    const auto chunks = ParseChunks(png);
    ASSERT_GE(chunks.size(), 5u);
    EXPECT_EQ("IHDR", chunks.front().type);
    EXPECT_EQ("IEND", chunks.back().type);
    EXPECT_TRUE(chunks.back().data.empty());
    const std::size_t idats = chunks.size() - 2;
    EXPECT_GE(idats, 3u) << "the test image should need several IDAT chunks";
    for (std::size_t i = 1; i + 1 < chunks.size(); ++i) {
        EXPECT_EQ("IDAT", chunks[i].type) << "chunk " << i;
        if (i + 2 < chunks.size()) {
            EXPECT_EQ(65535u, chunks[i].data.size()) << "chunk " << i;
        }
    }
    EXPECT_GT(chunks[chunks.size() - 2].data.size(), 0u);
    EXPECT_LE(chunks[chunks.size() - 2].data.size(), 65535u);
    EXPECT_EQ("OK", PngcheckVerdict(png));
}

TEST(PngWriter, LevelZeroWritesStoredBlocks) {
    const Raster image = PatternRaster(120, 90, 24, 3);
    const Raster mask = MaskFor(120, 90);
    PngSettings settings;
    settings.compressionLevel = 0;
    settings.interlace = true;
    settings.allFilters = false;
    const Bytes png = EncodePng(image, &mask, settings);
    const auto chunks = ParseChunks(png);
    ASSERT_EQ("IHDR", chunks[0].type);
    EXPECT_EQ(6, chunks[0].data[9]);
    EXPECT_EQ(1, chunks[0].data[12]);

    // Stored blocks keep byte alignment, so the stream can be walked block by block.
    const Bytes z = ZlibStream(chunks);
    ASSERT_GT(z.size(), 2u);
    std::size_t pos = 2, blocks = 0, payload = 0;
    for (;;) {
        ASSERT_LT(pos + 5, z.size());
        const std::uint8_t header = z[pos];
        ASSERT_EQ(0, (header >> 1) & 3) << "block " << blocks << " is not stored";
        const unsigned len = z[pos + 1] | (z[pos + 2] << 8);
        const unsigned nlen = z[pos + 3] | (z[pos + 4] << 8);
        ASSERT_EQ(0xFFFFu, len ^ nlen);
        pos += 5 + len;
        payload += len;
        ++blocks;
        if (header & 1) break;
    }
    EXPECT_EQ(z.size(), pos + 4) << "only the Adler-32 follows the last block";
    // Adam7 rows of 120x90 RGBA: every pass row is 1 filter byte plus 4 bytes a pixel.
    std::size_t expected = 0;
    const int passes[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                              {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    for (const auto& p : passes)
        expected += static_cast<std::size_t>((90 - p[1] + p[3] - 1) / p[3]) * (1 + 4 * ((120 - p[0] + p[2] - 1) / p[2]));
    EXPECT_EQ(expected, payload);
    EXPECT_EQ("OK", PngcheckVerdict(png));
}

// The coder is not zlib's, but each level's stream starts as zlib's does at that level, and the
// level changes only the compressed bytes: the filtered rows and the pixels stay the same.
TEST(PngWriter, EveryLevelKeepsZlibsHeaderAndTheSameRows) {
    const Raster image = PatternRaster(211, 157, 24, 5);
    const Bytes reference = Inflate(ZlibStream(ParseChunks(EncodePng(image, nullptr, PngSettings{}))));
    ASSERT_EQ(157u * (211 * 3 + 1), reference.size());
    for (int level = 0; level <= 9; ++level) {
        SCOPED_TRACE(testing::Message() << "level " << level);
        const Bytes sample(1000, 7);
        Bytes zlibOut(compressBound(sample.size()));
        uLongf zlibSize = zlibOut.size();
        ASSERT_EQ(Z_OK, compress2(zlibOut.data(), &zlibSize, sample.data(), sample.size(), level));

        PngSettings settings;
        settings.compressionLevel = level;
        const Bytes png = EncodePng(image, nullptr, settings);
        const Bytes z = ZlibStream(ParseChunks(png));
        ASSERT_GT(z.size(), 6u);
        EXPECT_EQ(zlibOut[0], z[0]);
        EXPECT_EQ(zlibOut[1], z[1]);
        EXPECT_TRUE(reference == Inflate(z)) << "the filtered rows differ";
        EXPECT_EQ(0, CountMismatches(image, DecodeWithLibpng(png)));
    }
}

// A palette image keeps its own palette (not a fixed one) and only the opacities it needs; the
// grey ramp is written as grey.
TEST(PngWriter, PaletteImagesKeepTheirPaletteAndEntryOpacity) {
    Raster image(5, 1, 4);
    for (std::size_t i = 0; i < 16; ++i)
        image.palette()[i] = {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(100 + i), static_cast<std::uint8_t>(200 + i), 0};
    for (int x = 0; x < 5; ++x) image.row(0)[x / 2] |= static_cast<std::uint8_t>((x == 4 ? 9 : x) << ((x & 1) ? 0 : 4));
    std::vector<std::uint8_t> opacity(16, 255);
    opacity[2] = 0;
    opacity[3] = 128;
    const Raster mask = PaletteOpacityMask(image, opacity);
    const auto chunks = ParseChunks(EncodePng(image, &mask, PngSettings{}));
    ASSERT_EQ(5u, chunks.size());
    EXPECT_EQ(3, chunks[0].data[9]);
    ASSERT_EQ("PLTE", chunks[1].type);
    ASSERT_EQ(48u, chunks[1].data.size());
    EXPECT_EQ((Bytes{209, 109, 9}), Bytes(&chunks[1].data[27], &chunks[1].data[30]));
    ASSERT_EQ("tRNS", chunks[2].type);
    EXPECT_EQ((Bytes{255, 255, 0, 128}), chunks[2].data) << "up to the last entry that is not opaque";

    const auto opaque = ParseChunks(EncodePng(image, nullptr, PngSettings{}));
    EXPECT_EQ(3, opaque[0].data[9]);
    for (const Chunk& c : opaque) EXPECT_NE("tRNS", c.type);

    Raster grey(3, 2, 8);
    grey.SetGreyPalette();
    grey.row(1)[2] = 77;
    const auto greyChunks = ParseChunks(EncodePng(grey, nullptr, PngSettings{}));
    EXPECT_EQ(0, greyChunks[0].data[9]);
    const Decoded d = DecodeWithLibpng(EncodePng(grey, nullptr, PngSettings{}));
    EXPECT_EQ((Bytes{77, 77, 77, 255}), Bytes(&d.rgba[20], &d.rgba[24]));
}

TEST(PngWriter, RejectsMismatchedMaskAndLevel) {
    const Raster image = PatternRaster(8, 8, 24, 1);
    const Raster smallMask = MaskFor(8, 7);
    EXPECT_THROW(EncodePng(image, &smallMask, PngSettings{}), Error);
    PngSettings settings;
    settings.compressionLevel = 10;
    EXPECT_THROW(EncodePng(image, nullptr, settings), Error);
}

TEST(HalftonePalette, IsTheCubeFollowedByFortyNewGreys) {
    const auto& p = HalftonePalette();
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 6; ++g)
            for (int b = 0; b < 6; ++b)
                EXPECT_EQ((Rgb{static_cast<std::uint8_t>(51 * r), static_cast<std::uint8_t>(51 * g),
                               static_cast<std::uint8_t>(51 * b)}),
                          p[36 * r + 6 * g + b]);
    int previous = 0;
    for (int i = 216; i < 256; ++i) {
        EXPECT_EQ(p[i].red, p[i].green);
        EXPECT_EQ(p[i].red, p[i].blue);
        EXPECT_NE(0, p[i].red % 51) << "grey " << int(p[i].red) << " is in the cube already";
        EXPECT_GT(p[i].red, previous);
        previous = p[i].red;
    }
    // 46 greys in all, evenly spaced (steps of 5 or 6).
    EXPECT_EQ(6, p[216].red);
    EXPECT_EQ(249, p[255].red);
}

TEST(HalftonePalette, NearestIndexMatchesExhaustiveSearch) {
    const auto& p = HalftonePalette();
    auto exhaustive = [&](int r, int g, int b) {
        int best = 0, bestDist = 1 << 30;
        for (int i = 0; i < 256; ++i) {
            int d = (r - p[i].red) * (r - p[i].red) + (g - p[i].green) * (g - p[i].green) +
                    (b - p[i].blue) * (b - p[i].blue);
            if (d < bestDist) best = i, bestDist = d;
        }
        return best;
    };
    std::vector<std::array<int, 3>> colours;
    for (int v = 0; v < 256; ++v) colours.push_back({v, v, v});
    for (int r = 0; r < 256; r += 5)
        for (int g = 0; g < 256; g += 5)
            for (int b = 0; b < 256; b += 5) colours.push_back({r, g, b});
    std::mt19937 rng(5);
    for (int i = 0; i < 20000; ++i) {
        int v = static_cast<int>(rng() % 256);
        colours.push_back({v, std::clamp(v + static_cast<int>(rng() % 9) - 4, 0, 255), static_cast<int>(rng() % 256)});
    }
    int mismatches = 0;
    for (const auto& c : colours) {
        const int expected = exhaustive(c[0], c[1], c[2]);
        const int got = NearestHalftoneIndex(static_cast<std::uint8_t>(c[0]), static_cast<std::uint8_t>(c[1]),
                                             static_cast<std::uint8_t>(c[2]));
        if (expected != got && mismatches++ < 5)
            ADD_FAILURE() << c[0] << "," << c[1] << "," << c[2] << ": " << got << " instead of " << expected;
    }
    EXPECT_EQ(0, mismatches);
}

// Pixels of the decoded PNG that differ from the raster and the mask's opacity (255 without one).
int CountRgbaMismatches(const Raster& image, const Raster* mask, const Decoded& d) {
    if (d.width != image.width() || d.height != image.height()) return -1;
    int mismatches = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const Rgb c = image.PixelColour(x, y);
            const int alpha = mask ? mask->row(y)[3 * x + 2] : 255;
            const std::uint8_t* p = &d.rgba[4 * (static_cast<std::size_t>(y) * d.width + x)];
            mismatches += p[0] != c.red || p[1] != c.green || p[2] != c.blue || p[3] != alpha;
        }
    return mismatches;
}

// Grey pixels, with `levels` grey levels.
Raster GreyRaster(int width, int height, int bpp, int levels) {
    Raster r(width, height, bpp);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) std::fill_n(r.row(y) + x * (bpp / 8), 3, static_cast<std::uint8_t>((x + 3 * y) % levels * (255 / std::max(1, levels - 1))));
    return r;
}

// A colour raster of `colours` colours; at 32 bits the fourth byte is noise.
Raster FewColours(int width, int height, int bpp, int colours) {
    Raster r = PatternRaster(width, height, bpp, 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = r.row(y) + x * (bpp / 8);
            const int k = (x * 5 + y * 3) % colours;
            p[0] = static_cast<std::uint8_t>(k), p[1] = static_cast<std::uint8_t>(200 - k / 2), p[2] = 40;
        }
    return r;
}

Raster ConstantMask(int width, int height, std::uint8_t opacity) {
    Raster m(width, height, 24);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) m.row(y)[3 * x + 2] = opacity;
    return m;
}

// Opacity of at most four levels.
Raster FewOpacities(int width, int height) {
    Raster m(width, height, 24);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) m.row(y)[3 * x + 2] = static_cast<std::uint8_t>((x / 3 % 4) * 85);
    return m;
}

// True-colour pictures go into the smallest layout that keeps every pixel; with the reduction
// off they keep RGB or RGBA.
TEST(PngWriter, ReductionsKeepEveryPixel) {
    struct Case {
        const char* name;
        Raster image;
        std::optional<Raster> mask;
        int reducedType;
        int keptType;
    };
    const int w = 37, h = 23;
    Case cases[] = {
        {"grey", GreyRaster(w, h, 24, 256), std::nullopt, 0, 2},
        {"grey at 32 bits with an opaque mask", GreyRaster(w, h, 32, 256), ConstantMask(w, h, 255), 0, 6},
        {"grey with many opacities", GreyRaster(w, h, 24, 256), MaskFor(w, h), 4, 6},
        {"two greys with few opacities", GreyRaster(w, h, 24, 2), FewOpacities(w, h), 3, 6},
        {"200 colours", FewColours(w, h, 24, 200), std::nullopt, 3, 2},
        {"256 colours at 32 bits", FewColours(w, h, 32, 256), std::nullopt, 3, 2},
        {"few colours with few opacities", FewColours(w, h, 24, 30), FewOpacities(w, h), 3, 6},
        {"many colours with an opaque mask", PatternRaster(w, h, 24, 5), ConstantMask(w, h, 255), 2, 6},
        {"many colours with opacity", PatternRaster(w, h, 24, 5), MaskFor(w, h), 6, 6},
        {"many colours", PatternRaster(w, h, 32, 5), std::nullopt, 2, 2},
    };
    for (const Case& c : cases) {
        for (bool reduce : {true, false}) {
            SCOPED_TRACE(testing::Message() << c.name << (reduce ? ", reduced" : ", kept"));
            PngSettings settings;
            settings.reduceLayout = reduce;
            const Raster* mask = c.mask ? &*c.mask : nullptr;
            const Bytes png = EncodePng(c.image, mask, settings);
            const auto chunks = ParseChunks(png);
            ASSERT_FALSE(chunks.empty());
            EXPECT_EQ(reduce ? c.reducedType : c.keptType, chunks[0].data[9]);
            EXPECT_EQ(0, CountRgbaMismatches(c.image, mask, DecodeWithLibpng(png)));
        }
    }
}

// On pictures with grain, where row filters cannot predict much, a byte per pixel beats three.
TEST(PngWriter, ReductionsMakeGrainyPicturesSmaller) {
    std::mt19937 rng(9);
    Raster grey(256, 192, 24), colours(256, 192, 24);
    std::vector<std::array<std::uint8_t, 3>> palette(200);
    for (auto& e : palette) e = {static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng())};
    for (int y = 0; y < 192; ++y)
        for (int x = 0; x < 256; ++x) {
            std::fill_n(grey.row(y) + 3 * x, 3, static_cast<std::uint8_t>(x / 2 + rng() % 9));
            std::copy_n(palette[rng() % 200].data(), 3, colours.row(y) + 3 * x);
        }
    PngSettings kept;
    kept.reduceLayout = false;
    for (const Raster* image : {&grey, &colours}) {
        const Bytes reduced = EncodePng(*image, nullptr, PngSettings{});
        EXPECT_LT(reduced.size(), EncodePng(*image, nullptr, kept).size());
        EXPECT_EQ(0, CountRgbaMismatches(*image, nullptr, DecodeWithLibpng(reduced)));
    }
}

// A palette PNG: pictures of at most 256 colours exactly, others in 256 colours that keep the
// picture's mean, in a file smaller than the RGB one.
TEST(PngWriter, PalettePngIsExactForFewColoursAndCloseForMany) {
    PngSettings palette;
    palette.adaptivePalette = true;
    const Raster few = FewColours(40, 30, 24, 60);  // 240 colours with their opacity
    const Raster mask = FewOpacities(40, 30);
    const Bytes exact = EncodePng(few, &mask, palette);
    EXPECT_EQ(3, ParseChunks(exact)[0].data[9]);
    EXPECT_EQ(0, CountRgbaMismatches(few, &mask, DecodeWithLibpng(exact)));

    // Smooth colours with grain, as a photo has: RGB rows cannot predict the grain away.
    Raster photo(256, 192, 24);
    std::mt19937 rng(8);
    for (int y = 0; y < 192; ++y)
        for (int x = 0; x < 256; ++x)
            for (int c = 0; c < 3; ++c)
                photo.row(y)[3 * x + c] = static_cast<std::uint8_t>(std::clamp(
                    (c == 0 ? x : c == 1 ? y : (x + y) / 2) + static_cast<int>(rng() % 17) - 8, 0, 255));
    const Bytes lossy = EncodePng(photo, nullptr, palette);
    const Bytes rgb = EncodePng(photo, nullptr, PngSettings{});
    EXPECT_EQ(3, ParseChunks(lossy)[0].data[9]);
    EXPECT_LT(lossy.size(), rgb.size());
    const Decoded d = DecodeWithLibpng(lossy);
    double source = 0, written = 0;
    for (int y = 0; y < 192; ++y)
        for (int x = 0; x < 256; ++x) {
            const Rgb c = photo.PixelColour(x, y);
            const std::uint8_t* p = &d.rgba[4 * (static_cast<std::size_t>(y) * 256 + x)];
            source += c.red + c.green + c.blue;
            written += p[0] + p[1] + p[2];
            EXPECT_EQ(255, p[3]);
        }
    EXPECT_NEAR(source / (3.0 * 256 * 192), written / (3.0 * 256 * 192), 2.0);
}

}  // namespace
}  // namespace zelvan
