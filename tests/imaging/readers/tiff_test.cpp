// The TIFF reader on files written with libtiff in the test (each layout's expected colours
// computed here from the written samples) and on the TIFF files of the corpora, compared with
// ImageMagick.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <tiffio.h>

#include "base/error.h"
#include "imaging/readers/readers.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

struct TiffLayout {
    const char* name;
    int width;
    int height;
    std::uint16_t photometric;
    std::uint16_t samples;  // per pixel, alpha included
    std::uint16_t bits;
    std::uint16_t compression;
    std::uint16_t extraSample;  // 0: no alpha; EXTRASAMPLE_ASSOCALPHA or EXTRASAMPLE_UNASSALPHA
    bool tiled;
    bool separatePlanes;
    std::uint16_t orientation;
    int expectedBits;  // of the raster
};

struct Rgba {
    int r, g, b, a;
};

// Sample s of the pixel at column x of stored row y, at most 2^bits - 1.
unsigned SampleAt(const TiffLayout& layout, int x, int y, int s) {
    const unsigned max = (1u << layout.bits) - 1;
    if (layout.bits == 1) return ((x / 3 + y / 2 + s) % 2) ? max : 0;
    if (layout.extraSample && s == layout.samples - 1) {
        // Alpha: fully opaque, fully clear and a few partial levels of at least half.
        static const unsigned kAlpha[] = {255, 0, 128, 200, 255, 170};
        unsigned a = kAlpha[(x + 2 * y) % 6];
        return layout.bits == 8 ? a : a * 257;
    }
    unsigned v = static_cast<unsigned>(x * 37 + y * 11 + s * 101) * (layout.bits == 16 ? 263u : 1u);
    v = v % (max + 1);
    // Associated alpha stores colours already multiplied by alpha.
    if (layout.extraSample == EXTRASAMPLE_ASSOCALPHA) v = v * SampleAt(layout, x, y, layout.samples - 1) / max;
    return v;
}

std::vector<std::uint16_t> PaletteMap(int channel) {
    std::vector<std::uint16_t> map(16);
    for (int i = 0; i < 16; ++i) map[i] = static_cast<std::uint16_t>(((i * 53 + channel * 90) % 256) * 257);
    return map;
}

int To8(const TiffLayout& layout, unsigned v) {
    if (layout.bits == 16) return static_cast<int>((v * 255 + 32767) / 65535);
    return static_cast<int>(v);
}

// The colour this program should show for stored pixel (x, y), with straight alpha.
Rgba Expected(const TiffLayout& layout, int x, int y) {
    auto s = [&](int i) { return To8(layout, SampleAt(layout, x, y, i)); };
    Rgba c{0, 0, 0, 255};
    switch (layout.photometric) {
        case PHOTOMETRIC_MINISWHITE: {
            int v = layout.bits == 1 ? (SampleAt(layout, x, y, 0) ? 0 : 255) : 255 - s(0);
            c = {v, v, v, 255};
            break;
        }
        case PHOTOMETRIC_MINISBLACK:
            c = {s(0), s(0), s(0), 255};
            break;
        case PHOTOMETRIC_PALETTE: {
            unsigned i = SampleAt(layout, x, y, 0);
            c = {PaletteMap(0)[i] >> 8, PaletteMap(1)[i] >> 8, PaletteMap(2)[i] >> 8, 255};
            break;
        }
        case PHOTOMETRIC_SEPARATED: {
            int k = s(3);
            auto ink = [&](int v) { return (255 - v) * (255 - k) / 255; };
            c = {ink(s(0)), ink(s(1)), ink(s(2)), 255};
            break;
        }
        default:
            c = {s(0), s(1), s(2), 255};
            break;
    }
    if (layout.extraSample) {
        c.a = s(layout.samples - 1);
        if (layout.extraSample == EXTRASAMPLE_ASSOCALPHA && c.a > 0) {
            c.r = (c.r * 255 + c.a / 2) / c.a;
            c.g = (c.g * 255 + c.a / 2) / c.a;
            c.b = (c.b * 255 + c.a / 2) / c.a;
        }
    }
    return c;
}

// Packs row y of one plane (or of all samples, interleaved) as libtiff expects it.
Bytes StoredRow(const TiffLayout& layout, int y, int plane) {
    const int first = plane < 0 ? 0 : plane;
    const int count = plane < 0 ? layout.samples : 1;
    std::vector<unsigned> values;
    for (int x = 0; x < layout.width; ++x)
        for (int s = first; s < first + count; ++s) values.push_back(SampleAt(layout, x, y, s));
    Bytes row;
    if (layout.bits == 16) {
        for (unsigned v : values) {
            std::uint16_t w = static_cast<std::uint16_t>(v);
            row.insert(row.end(), reinterpret_cast<std::uint8_t*>(&w), reinterpret_cast<std::uint8_t*>(&w) + 2);
        }
    } else if (layout.bits == 8) {
        for (unsigned v : values) row.push_back(static_cast<std::uint8_t>(v));
    } else {
        row.assign((values.size() * layout.bits + 7) / 8, 0);
        for (std::size_t i = 0; i < values.size(); ++i) {
            const std::size_t bit = i * layout.bits;
            row[bit / 8] |= static_cast<std::uint8_t>(values[i] << (8 - layout.bits - bit % 8));
        }
    }
    return row;
}

Bytes WriteTiff(const TiffLayout& layout, const std::string& path) {
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    EXPECT_NE(tif, nullptr);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, layout.width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, layout.height);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, layout.samples);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, layout.bits);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, layout.photometric);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, layout.compression);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, layout.orientation);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, layout.separatePlanes ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    if (layout.photometric == PHOTOMETRIC_SEPARATED) TIFFSetField(tif, TIFFTAG_INKSET, INKSET_CMYK);
    if (layout.extraSample) {
        std::uint16_t extra = layout.extraSample;
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    if (layout.photometric == PHOTOMETRIC_PALETTE) {
        auto r = PaletteMap(0), g = PaletteMap(1), b = PaletteMap(2);
        TIFFSetField(tif, TIFFTAG_COLORMAP, r.data(), g.data(), b.data());
    }
    if (layout.compression == COMPRESSION_LZW || layout.compression == COMPRESSION_ADOBE_DEFLATE)
        TIFFSetField(tif, TIFFTAG_PREDICTOR, layout.bits >= 8 ? PREDICTOR_HORIZONTAL : PREDICTOR_NONE);
    const int planes = layout.separatePlanes ? layout.samples : 1;
    if (layout.tiled) {
        const int tile = 16;
        TIFFSetField(tif, TIFFTAG_TILEWIDTH, tile);
        TIFFSetField(tif, TIFFTAG_TILELENGTH, tile);
        for (int plane = 0; plane < planes; ++plane)
            for (int ty = 0; ty < layout.height; ty += tile)
                for (int tx = 0; tx < layout.width; tx += tile) {
                    Bytes buffer(static_cast<std::size_t>(TIFFTileSize(tif)), 0);
                    const std::size_t tileRow = buffer.size() / tile;
                    for (int y = ty; y < std::min(ty + tile, layout.height); ++y) {
                        Bytes row = StoredRow(layout, y, layout.separatePlanes ? plane : -1);
                        const std::size_t pixelBytes = row.size() / layout.width;
                        const std::size_t from = tx * pixelBytes;
                        const std::size_t n = std::min<std::size_t>(tileRow, row.size() - from);
                        std::copy_n(row.begin() + from, n, buffer.begin() + (y - ty) * tileRow);
                    }
                    EXPECT_GT(TIFFWriteTile(tif, buffer.data(), tx, ty, 0, static_cast<std::uint16_t>(plane)), 0);
                }
    } else {
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 5);
        for (int plane = 0; plane < planes; ++plane)
            for (int y = 0; y < layout.height; ++y) {
                Bytes row = StoredRow(layout, y, layout.separatePlanes ? plane : -1);
                EXPECT_EQ(TIFFWriteScanline(tif, row.data(), y, static_cast<std::uint16_t>(plane)), 1);
            }
    }
    TIFFClose(tif);
    return test::ReadBytes(path);
}

const TiffLayout kLayouts[] = {
    {"RGB", 7, 9, PHOTOMETRIC_RGB, 3, 8, COMPRESSION_NONE, 0, false, false, ORIENTATION_TOPLEFT, 24},
    {"RGB LZW tiled", 37, 21, PHOTOMETRIC_RGB, 3, 8, COMPRESSION_LZW, 0, true, false, ORIENTATION_TOPLEFT, 24},
    {"RGB 16-bit deflate", 11, 6, PHOTOMETRIC_RGB, 3, 16, COMPRESSION_ADOBE_DEFLATE, 0, false, false, ORIENTATION_TOPLEFT, 24},
    {"RGB separate planes", 13, 12, PHOTOMETRIC_RGB, 3, 8, COMPRESSION_PACKBITS, 0, false, true, ORIENTATION_TOPLEFT, 24},
    {"RGB bottom-up", 5, 8, PHOTOMETRIC_RGB, 3, 8, COMPRESSION_NONE, 0, false, false, ORIENTATION_BOTLEFT, 24},
    {"grey", 10, 3, PHOTOMETRIC_MINISBLACK, 1, 8, COMPRESSION_LZW, 0, false, false, ORIENTATION_TOPLEFT, 24},
    {"grey 16-bit min-is-white", 4, 4, PHOTOMETRIC_MINISWHITE, 1, 16, COMPRESSION_NONE, 0, false, false, ORIENTATION_TOPLEFT, 24},
    {"palette 4-bit", 9, 7, PHOTOMETRIC_PALETTE, 1, 4, COMPRESSION_NONE, 0, false, false, ORIENTATION_TOPLEFT, 24},
    {"fax group 4", 70, 20, PHOTOMETRIC_MINISWHITE, 1, 1, COMPRESSION_CCITTFAX4, 0, false, false, ORIENTATION_TOPLEFT, 24},
    {"fax group 3", 33, 9, PHOTOMETRIC_MINISWHITE, 1, 1, COMPRESSION_CCITTFAX3, 0, false, false, ORIENTATION_TOPLEFT, 24},
    {"CMYK", 6, 6, PHOTOMETRIC_SEPARATED, 4, 8, COMPRESSION_NONE, 0, false, false, ORIENTATION_TOPLEFT, 24},
    {"RGBA unassociated", 12, 5, PHOTOMETRIC_RGB, 4, 8, COMPRESSION_LZW, EXTRASAMPLE_UNASSALPHA, false, false, ORIENTATION_TOPLEFT, 32},
    {"RGBA associated tiled", 20, 18, PHOTOMETRIC_RGB, 4, 8, COMPRESSION_NONE, EXTRASAMPLE_ASSOCALPHA, true, false, ORIENTATION_TOPLEFT, 32},
    {"grey and alpha", 6, 5, PHOTOMETRIC_MINISBLACK, 2, 8, COMPRESSION_NONE, EXTRASAMPLE_UNASSALPHA, false, false, ORIENTATION_TOPLEFT, 32},
    {"grey and associated alpha", 6, 5, PHOTOMETRIC_MINISBLACK, 2, 8, COMPRESSION_LZW, EXTRASAMPLE_ASSOCALPHA, false, false, ORIENTATION_TOPLEFT, 32},
};

// Each layout decodes to the colours its samples stand for, in picture orientation; files
// with alpha give 32-bit rasters with straight alpha, others 24-bit ones. Undoing libtiff's
// premultiplication costs up to one step at alpha of half or more; fully clear pixels carry no
// colour. libtiff rounds 16-bit colour samples to 8 bits but cuts 16-bit grey to its high byte.
TEST(TiffReader, WrittenLayoutsDecodeToTheirColours) {
    test::TempDir dir;
    for (const TiffLayout& layout : kLayouts) {
        SCOPED_TRACE(layout.name);
        const Bytes bytes = WriteTiff(layout, dir / "t.tif");
        DecodedPicture picture = ReadTiff(bytes);
        EXPECT_EQ(picture.kind, PictureKind::Tiff);
        const Raster& r = picture.raster;
        ASSERT_EQ(r.width(), layout.width);
        ASSERT_EQ(r.height(), layout.height);
        ASSERT_EQ(r.bitsPerPixel(), layout.expectedBits);
        int mismatches = 0;
        for (int y = 0; y < layout.height; ++y)
            for (int x = 0; x < layout.width; ++x) {
                const int storedRow = layout.orientation == ORIENTATION_BOTLEFT ? layout.height - 1 - y : y;
                const Rgba want = Expected(layout, x, storedRow);
                const Rgb got = r.PixelColour(x, y);
                const int alpha = layout.expectedBits == 32 ? r.row(y)[x * 4 + 3] : 255;
                const int tolerance = want.a == 255 && layout.bits != 16 ? 0 : 1;
                const bool colourKnown = want.a > 0;
                const bool same = alpha == want.a &&
                                  (!colourKnown || (std::abs(got.red - want.r) <= tolerance &&
                                                    std::abs(got.green - want.g) <= tolerance &&
                                                    std::abs(got.blue - want.b) <= tolerance));
                if (!same && ++mismatches <= 3)
                    ADD_FAILURE() << "pixel " << x << "," << y << ": " << int{got.red} << ","
                                  << int{got.green} << "," << int{got.blue} << "," << alpha
                                  << " instead of " << want.r << "," << want.g << "," << want.b
                                  << "," << want.a;
            }
    }
}

struct Magick {
    bool ok = false;
    Bytes rgba;
};

Magick DecodeWithImageMagick(const std::string& path) {
    test::CommandResult r = test::RunCommand("convert " + test::ShellQuote(path + "[0]") + " -depth 8 rgba:- 2>/dev/null");
    return {r.exitStatus == 0, Bytes(r.output.begin(), r.output.end())};
}

// The corpora's TIFF files: valid ones match ImageMagick (colours where opaque, and alpha),
// gdk-pixbuf's fail/ cases and a JPEG named .tiff fail.
TEST(TiffReader, CorpusFilesMatchImageMagickOrFail) {
    int decoded = 0, failed = 0;
    for (const auto& entry : fs::recursive_directory_iterator(test::CorporaDir())) {
        const std::string ext = entry.path().extension().string();
        if (ext != ".tif" && ext != ".tiff") continue;
        const std::string path = entry.path().string();
        SCOPED_TRACE(path);
        const Bytes bytes = test::ReadBytes(path);
        const bool isTiff = bytes.size() >= 4 && ((bytes[0] == 'I' && bytes[1] == 'I') || (bytes[0] == 'M' && bytes[1] == 'M'));
        if (path.find("/randomly-modified/") != std::string::npos) continue;  // the test below
        if (path.find("/fail/") != std::string::npos || !isTiff) {
            EXPECT_THROW(ReadTiff(bytes), Error);
            ++failed;
            continue;
        }
        DecodedPicture picture = ReadTiff(bytes);
        const Raster& r = picture.raster;
        Magick reference = DecodeWithImageMagick(path);
        ASSERT_TRUE(reference.ok);
        ASSERT_EQ(reference.rgba.size(), static_cast<std::size_t>(r.width()) * r.height() * 4);
        int mismatches = 0;
        for (int y = 0; y < r.height(); ++y)
            for (int x = 0; x < r.width(); ++x) {
                const std::uint8_t* p = reference.rgba.data() + (static_cast<std::size_t>(y) * r.width() + x) * 4;
                const int alpha = r.bitsPerPixel() == 32 ? r.row(y)[x * 4 + 3] : 255;
                const Rgb c = r.PixelColour(x, y);
                if (alpha != p[3] || (p[3] == 255 && c != Rgb{p[0], p[1], p[2]}))
                    ++mismatches;
            }
        EXPECT_EQ(mismatches, 0);
        ++decoded;
    }
    EXPECT_GE(decoded, 3);
    EXPECT_GE(failed, 3);
}

TEST(TiffReader, RandomlyModifiedFilesDecodeOrFail) {
    const fs::path dir = test::CorporaDir() +
                         "/gdk-pixbuf-tests/usr/libexec/installed-tests/gdk-pixbuf/test-images/randomly-modified";
    int files = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".tiff" && entry.path().extension() != ".tif") continue;
        ++files;
        SCOPED_TRACE(entry.path().string());
        try {
            DecodedPicture picture = ReadTiff(test::ReadBytes(entry.path().string()));
            EXPECT_FALSE(picture.raster.empty());
        } catch (const Error& e) {
            EXPECT_EQ(std::string(e.what()).rfind("TIFF: ", 0), 0u) << e.what();
        }
    }
    EXPECT_GT(files, 0);
}

std::string ErrorOf(const Bytes& bytes) {
    try {
        ReadTiff(bytes);
    } catch (const Error& e) {
        return e.what();
    }
    return {};
}

// Offset of the value of a SHORT or LONG tag in a little-endian file's first directory.
std::size_t TagValueOffset(const Bytes& tiff, std::uint16_t tag) {
    const std::size_t ifd = tiff[4] | tiff[5] << 8 | tiff[6] << 16 | static_cast<std::size_t>(tiff[7]) << 24;
    const int count = tiff[ifd] | tiff[ifd + 1] << 8;
    for (int i = 0; i < count; ++i) {
        const std::size_t entry = ifd + 2 + 12 * i;
        if ((tiff[entry] | tiff[entry + 1] << 8) == tag) return entry + 8;
    }
    return 0;
}

// Errors libtiff reports fail the file even where it would hand back partial pixels.
TEST(TiffReader, DamagedFilesFail) {
    test::TempDir dir;
    const Bytes good = WriteTiff(kLayouts[1], dir / "good.tif");
    ASSERT_EQ(good[0], 'I');
    ASSERT_NO_THROW(ReadTiff(good));
    const Bytes plain = WriteTiff(kLayouts[0], dir / "plain.tif");

    Bytes huge = plain;
    const std::size_t width = TagValueOffset(huge, TIFFTAG_IMAGEWIDTH);
    const std::size_t height = TagValueOffset(huge, TIFFTAG_IMAGELENGTH);
    ASSERT_TRUE(width && height);
    for (std::size_t at : {width, height}) {
        huge[at] = 0x20;  // 20000 as SHORT or LONG
        huge[at + 1] = 0x4E;
    }
    Bytes badLzw = good;
    // Image data starts right after the 8-byte header: damage the first tile's codes.
    for (std::size_t i = 8; i < 60; ++i) badLzw[i] = 0xFF;

    struct Case {
        const char* name;
        Bytes bytes;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"pixel data cut short", Bytes(plain.begin(), plain.begin() + 100), "TIFF: "},
        {"header only", Bytes(good.begin(), good.begin() + 8), "TIFF: "},
        {"damaged compressed data", badLzw, "TIFF: "},
        {"not a TIFF", Bytes{'G', 'I', 'F', '8', '9', 'a', 0, 0}, "TIFF: "},
        {"empty", Bytes{}, "TIFF: "},
        {"declared size over the limit", huge, "TIFF: image of 20000x20000 pixels is larger than the limit"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string error = ErrorOf(c.bytes);
        EXPECT_NE(error.find(c.message), std::string::npos) << "error: " << error;
    }
}

// libtiff's messages are caught per handle: damaged files failing on other threads never make
// a good file fail, and the good file never hides their errors.
TEST(TiffReader, ConcurrentDecodesKeepTheirOwnErrors) {
    test::TempDir dir;
    const Bytes good = WriteTiff(kLayouts[1], dir / "good.tif");
    Bytes bad = good;
    for (std::size_t i = 8; i < 60; ++i) bad[i] = 0xFF;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 40; ++i) {
                const bool expectGood = (t + i) % 2 == 0;
                if (ErrorOf(expectGood ? good : bad).empty() != expectGood) ++wrong;
            }
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace zelvan
