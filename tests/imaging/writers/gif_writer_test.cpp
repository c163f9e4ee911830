#include <gif_lib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "base/error.h"
#include "imaging/raster.h"
#include "imaging/readers/readers.h"
#include "imaging/writers/writers.h"
#include "support/fixtures.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct GifImage {
    int width = 0, height = 0;
    Bytes indices;
    std::vector<Rgb> colours;  // the local colour table
};

struct MemoryInput {
    const Bytes* data;
    std::size_t pos;
};

int ReadFromMemory(GifFileType* gif, GifByteType* buf, int n) {
    auto* in = static_cast<MemoryInput*>(gif->UserData);
    const std::size_t count = std::min(static_cast<std::size_t>(n), in->data->size() - in->pos);
    std::memcpy(buf, in->data->data() + in->pos, count);
    in->pos += count;
    return static_cast<int>(count);
}

// giflib as the independent decoder: the first image's indices and local colour table.
GifImage DecodeWithGiflib(const Bytes& gif) {
    GifImage out;
    MemoryInput in{&gif, 0};
    int error = 0;
    GifFileType* file = DGifOpen(&in, ReadFromMemory, &error);
    if (!file) {
        ADD_FAILURE() << "giflib: " << GifErrorString(error);
        return out;
    }
    if (DGifSlurp(file) != GIF_OK || file->ImageCount != 1) {
        ADD_FAILURE() << "giflib: " << GifErrorString(file->Error);
    } else {
        const SavedImage& image = file->SavedImages[0];
        out.width = image.ImageDesc.Width;
        out.height = image.ImageDesc.Height;
        out.indices.assign(image.RasterBits, image.RasterBits + static_cast<std::size_t>(out.width) * out.height);
        EXPECT_EQ(nullptr, file->SColorMap) << "no global colour table expected";
        if (const ColorMapObject* map = image.ImageDesc.ColorMap)
            for (int i = 0; i < map->ColorCount; ++i)
                out.colours.push_back({map->Colors[i].Red, map->Colors[i].Green, map->Colors[i].Blue});
    }
    DGifCloseFile(file, &error);
    return out;
}

// ImageMagick's reading of the file, as RGB bytes.
std::string DecodeWithImageMagick(const Bytes& gif) {
    test::TempDir dir;
    test::WriteBytes(dir / "in.gif", gif);
    const auto r = test::RunCommand("convert " + test::ShellQuote(dir / "in.gif") + " -depth 8 rgb:-");
    EXPECT_EQ(0, r.exitStatus);
    return r.output;
}

std::string Giftext(const Bytes& gif) {
    test::TempDir dir;
    test::WriteBytes(dir / "in.gif", gif);
    return test::RunCommand("giftext " + test::ShellQuote(dir / "in.gif") + " 2>&1").output;
}

// The fixed palette, kept as a choice.
TEST(GifWriter, TrueColourGoesToTheCubeWithoutDithering) {
    ASSERT_TRUE(test::HaveProgram("convert"));
    ASSERT_TRUE(test::HaveProgram("giftext"));
    // Channel values at the edges of each level: (c + 3) div 51.
    const int values[] = {0, 47, 48, 98, 99, 149, 150, 200, 201, 251, 252, 255};
    const int levels[] = {0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5};
    const int n = 12;
    for (int bpp : {24, 32}) {
        SCOPED_TRACE(bpp);
        Raster image(n, 2, bpp);
        const int step = bpp / 8;
        Bytes expected;
        for (int x = 0; x < n; ++x) {
            std::uint8_t* p = image.row(0) + x * step;
            p[2] = static_cast<std::uint8_t>(values[x]);  // red steps, green and blue fixed
            p[1] = 100;
            p[0] = 50;
            if (step == 4) p[3] = 0xA5;
            expected.push_back(static_cast<std::uint8_t>(36 * levels[x] + 6 * 2 + 1));
        }
        for (int x = 0; x < n; ++x) {
            std::uint8_t* p = image.row(1) + x * step;
            p[0] = static_cast<std::uint8_t>(values[x]);  // blue steps
            expected.push_back(static_cast<std::uint8_t>(levels[x]));
        }
        const Bytes gif = EncodeGif(image, false);

        const Bytes header = {'G', 'I', 'F', '8', '7', 'a', n, 0, 2, 0, 0x77, 0, 0,
                              0x2C, 0, 0, 0, 0, n, 0, 2, 0, 0x87};
        ASSERT_GT(gif.size(), header.size() + 768 + 3);
        EXPECT_EQ(header, Bytes(gif.begin(), gif.begin() + static_cast<std::ptrdiff_t>(header.size())));
        const std::uint8_t* table = gif.data() + header.size();
        EXPECT_EQ((Bytes{153, 102, 51}), Bytes(table + 3 * 121, table + 3 * 122));  // (200, 100, 50)
        EXPECT_EQ(std::count(table + 3 * 216, table + 768, 0), 3 * 40) << "padding entries are black";
        EXPECT_EQ(8, table[768]) << "minimum code size";
        EXPECT_EQ(0x00, gif[gif.size() - 2]);
        EXPECT_EQ(0x3B, gif.back());

        const GifImage decoded = DecodeWithGiflib(gif);
        EXPECT_EQ(expected, decoded.indices);
        ASSERT_EQ(256u, decoded.colours.size());
        for (int r = 0; r < 6; ++r)
            for (int g = 0; g < 6; ++g)
                for (int b = 0; b < 6; ++b)
                    ASSERT_EQ((Rgb{static_cast<std::uint8_t>(51 * r), static_cast<std::uint8_t>(51 * g),
                                   static_cast<std::uint8_t>(51 * b)}),
                              decoded.colours[36 * r + 6 * g + b]);

        const std::string rgb = DecodeWithImageMagick(gif);
        ASSERT_EQ(3u * 2 * n, rgb.size());
        EXPECT_EQ(std::string("\x99\x66\x33", 3), rgb.substr(3 * 7, 3)) << "(200, 100, 50) shows as (153, 102, 51)";
        EXPECT_EQ(std::string("\xCC\x66\x33", 3), rgb.substr(3 * 8, 3)) << "red 201 is level 4";

        const std::string text = Giftext(gif);
        EXPECT_NE(std::string::npos, text.find("Image Size - Left = 0, Top = 0, Width = 12, Height = 2.")) << text;
        EXPECT_NE(std::string::npos, text.find("terminated normally")) << text;
        EXPECT_EQ(std::string::npos, text.find("Ext Code")) << "no extension blocks: " << text;
    }
}

Raster PaletteRaster(int width, int height, int bpp, bool flat, unsigned seed) {
    std::mt19937 rng(seed);
    Raster r(width, height, bpp);
    for (auto& e : r.palette())
        e = {static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()), 0};
    if (flat) {
        // Every pixel index 1: long strings, so the codes reach their full width.
        const std::uint8_t fill = bpp == 8 ? 1 : bpp == 4 ? 0x11 : 0xFF;
        for (int y = 0; y < height; ++y) std::memset(r.row(y), fill, (static_cast<std::size_t>(width) * bpp + 7) / 8);
        return r;
    }
    const int perByte = 8 / bpp;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            // Runs and noise mixed, so the table fills and resets many times.
            unsigned v = (x / 7 + y) % 5 == 0 ? 3u : static_cast<unsigned>(rng());
            v &= (1u << bpp) - 1;
            r.row(y)[x / perByte] |= static_cast<std::uint8_t>(v << (8 - bpp * (x % perByte + 1)));
        }
    return r;
}

TEST(GifWriter, PaletteRastersKeepTheirPaletteAndIndices) {
    struct Case {
        int width, height, bpp;
        bool flat;
    };
    const Case cases[] = {{1, 1, 1, false},   {37, 5, 1, false}, {37, 5, 4, false},    {37, 5, 8, false},
                          {300, 200, 8, false}, {300, 200, 4, false}, {700, 300, 1, false}, {3000, 3000, 8, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " bpp " << c.bpp << " flat " << c.flat);
        const Raster image = PaletteRaster(c.width, c.height, c.bpp, c.flat, 9);
        const Bytes gif = EncodeGif(image);
        ASSERT_GT(gif.size(), 23u);
        EXPECT_EQ((c.bpp - 1) * 0x11, gif[10]) << "colour resolution and table size fields";
        EXPECT_EQ(0x80 | (c.bpp - 1), gif[22]) << "local table, not interlaced";
        EXPECT_EQ(std::max(c.bpp, 2), gif[23 + 3 * (1 << c.bpp)]) << "minimum code size";

        const GifImage decoded = DecodeWithGiflib(gif);
        ASSERT_EQ(c.width, decoded.width);
        ASSERT_EQ(c.height, decoded.height);
        ASSERT_EQ(image.palette().size(), decoded.colours.size());
        for (std::size_t i = 0; i < decoded.colours.size(); ++i) {
            const PaletteEntry& e = image.palette()[i];
            EXPECT_EQ((Rgb{e.red, e.green, e.blue}), decoded.colours[i]) << i;
        }
        int mismatches = 0;
        std::string expectedRgb;
        for (int y = 0; y < c.height; ++y)
            for (int x = 0; x < c.width; ++x) {
                const int bits = c.bpp, perByte = 8 / bits;
                const int index = (image.row(y)[x / perByte] >> (8 - bits * (x % perByte + 1))) & ((1 << bits) - 1);
                mismatches += decoded.indices[static_cast<std::size_t>(y) * c.width + x] != index;
                const PaletteEntry& e = image.palette()[index];
                expectedRgb += {static_cast<char>(e.red), static_cast<char>(e.green), static_cast<char>(e.blue)};
            }
        EXPECT_EQ(0, mismatches);
        if (c.width * c.height <= 300 * 200) {
            EXPECT_TRUE(expectedRgb == DecodeWithImageMagick(gif)) << "ImageMagick's pixels";
        }
    }
}

TEST(GifWriter, RejectsSidesAbove65535) {
    const Raster wide(65536, 1, 8);
    try {
        EncodeGif(wide);
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(0u, std::string(e.what()).rfind("GIF: ", 0)) << e.what();
    }
    EXPECT_NO_THROW(EncodeGif(Raster(65535, 1, 8)));
}

// Mean of red, green and blue over all pixels.
double MeanLevel(const Raster& image) {
    double sum = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const Rgb c = image.PixelColour(x, y);
            sum += c.red + c.green + c.blue;
        }
    return sum / (3.0 * image.width() * image.height());
}

double MeanLevel(const GifImage& gif) {
    double sum = 0;
    for (std::uint8_t i : gif.indices) sum += gif.colours[i].red + gif.colours[i].green + gif.colours[i].blue;
    return sum / (3.0 * static_cast<double>(gif.indices.size()));
}

// A photo in 256 colours of its own with error diffusion keeps its brightness; the fixed cube
// with truncated levels makes it darker.
TEST(GifWriter, AdaptivePaletteKeepsAPhotosMeanBrightness) {
    const Raster photo = test::PhotoCrop(512, 512);
    const double source = MeanLevel(photo);
    const GifImage adaptive = DecodeWithGiflib(EncodeGif(photo));
    ASSERT_EQ(photo.width() * photo.height(), static_cast<int>(adaptive.indices.size()));
    EXPECT_NEAR(source, MeanLevel(adaptive), 2.0);
    // Every channel error is diffused, so no colour of the picture drifts either.
    const GifImage fixed = DecodeWithGiflib(EncodeGif(photo, false));
    EXPECT_GT(source - MeanLevel(fixed), 2.0) << "the fixed palette no longer darkens: is it still the old one?";
}

// True-colour pictures of at most 256 colours keep every pixel.
TEST(GifWriter, AdaptivePaletteKeepsFewColoursExactly) {
    for (int colours : {1, 2, 200, 256}) {
        SCOPED_TRACE(colours);
        Raster image(40, 30, 32);
        for (int y = 0; y < 30; ++y)
            for (int x = 0; x < 40; ++x) {
                const int k = (x * 7 + y * 13) % colours;
                std::uint8_t* p = image.row(y) + 4 * x;
                p[0] = static_cast<std::uint8_t>(k), p[1] = static_cast<std::uint8_t>(255 - k);
                p[2] = static_cast<std::uint8_t>(k * 3), p[3] = static_cast<std::uint8_t>(x);  // padding
            }
        const GifImage gif = DecodeWithGiflib(EncodeGif(image));
        ASSERT_EQ(1200u, gif.indices.size());
        int mismatches = 0;
        for (int y = 0; y < 30; ++y)
            for (int x = 0; x < 40; ++x) mismatches += gif.colours[gif.indices[static_cast<std::size_t>(y * 40 + x)]] != image.PixelColour(x, y);
        EXPECT_EQ(0, mismatches);
    }
}

}  // namespace
}  // namespace zelvan
