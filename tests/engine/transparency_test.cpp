// Transparency through whole jobs: only what a file declares is transparent, PNG outputs keep it
// exactly, and outputs without alpha show it over the background colour.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "imaging/readers/readers.h"
#include "imaging/transparency.h"
#include "imaging/writers/writers.h"
#include "support/fixtures.h"
#include "support/job_fixture.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using Bytes = std::vector<std::uint8_t>;
using TransparencyTest = test::SingleJobTest;

// A few rows of every kind of PNG source, 6 x 3 pixels, with and without tRNS. The transparent
// colour of the keyed sources also sits in the bottom-left corner, where it once made keys up.
struct PngSource {
    const char* name;
    Bytes bytes;
    int outputColourType;  // what the PNG output is written as
};

std::vector<PngSource> PngSources() {
    const std::vector<std::vector<std::uint8_t>> indices = {{0, 1, 2, 3, 0, 1}, {2, 2, 3, 3, 1, 0}, {0, 3, 1, 2, 2, 1}};
    const Bytes palette = {200, 10, 10, 10, 200, 10, 10, 10, 200, 250, 250, 0};
    const std::vector<std::vector<std::uint8_t>> greys = {{0, 40, 80, 120, 160, 200}, {40, 40, 255, 7, 0, 0}, {40, 1, 2, 3, 4, 5}};
    std::vector<std::vector<std::uint8_t>> rgb;
    for (const auto& row : greys) {
        std::vector<std::uint8_t> line;
        for (std::uint8_t v : row) line.insert(line.end(), {v, static_cast<std::uint8_t>(255 - v), 90});
        rgb.push_back(line);
    }
    // 16-bit grey: the key 0x2800 must not match 0x2801, which scales to the same 8 bits.
    std::vector<std::vector<std::uint8_t>> grey16;
    for (const auto& row : greys) {
        std::vector<std::uint8_t> line;
        for (std::size_t i = 0; i < row.size(); ++i) line.insert(line.end(), {row[i], static_cast<std::uint8_t>(i == 1 ? 1 : 0)});
        grey16.push_back(line);
    }
    return {
        {"indexed", test::MakePngChunks(6, 3, 3, 8, indices, palette), 3},
        {"indexed_trns", test::MakePngChunks(6, 3, 3, 8, indices, palette, {255, 0, 128}), 3},
        {"grey", test::MakePngChunks(6, 3, 0, 8, greys), 0},
        // The other sources have few colours: their outputs are palettes (with tRNS for the
        // transparent colour), which keep every pixel and its opacity.
        {"grey_trns", test::MakePngChunks(6, 3, 0, 8, greys, {}, {0, 40}), 3},
        {"grey16_trns", test::MakePngChunks(6, 3, 0, 16, grey16, {}, {0x28, 0x00}), 3},
        {"rgb", test::MakePngChunks(6, 3, 2, 8, rgb), 3},
        {"rgb_trns", test::MakePngChunks(6, 3, 2, 8, rgb, {}, {0, 40, 0, 215, 0, 90}), 3},
    };
}

TEST_F(TransparencyTest, PngSourcesRoundTripExactlyIntoPng) {
    for (const PngSource& source : PngSources()) {
        SCOPED_TRACE(source.name);
        const std::string path = src(std::string(source.name) + ".png");
        test::WriteBytes(path, source.bytes);
        const test::PngImage original = test::ReadPngFile(path);
        const test::PngImage output = test::ReadPngFile(Run(path, "PNG"));
        EXPECT_EQ(output.colourType, source.outputColourType);
        if (source.bytes[24] == 8) {
            EXPECT_EQ(output.rgba, original.rgba) << "colours and opacity as libpng reads the source";
        } else {
            // libpng's simple reader takes 16-bit samples as linear light: only opacity compares.
            ASSERT_EQ(output.rgba.size(), original.rgba.size());
            for (std::size_t i = 3; i < output.rgba.size(); i += 4) EXPECT_EQ(output.rgba[i], original.rgba[i]) << i;
        }
    }
    // The fixtures do hold transparency where tRNS says, and none elsewhere.
    const test::PngImage keyed = test::ReadPngFile(src("grey_trns.png"));
    EXPECT_EQ(keyed.rgba[4 * 1 + 3], 0);
    EXPECT_EQ(keyed.rgba[4 * 0 + 3], 255);
    const test::PngImage grey16 = test::ReadPngFile(src("grey16_trns.png"));
    EXPECT_EQ(grey16.rgba[4 * 1 + 3], 255) << "0x2801 is not the key 0x2800";
    EXPECT_EQ(grey16.rgba[4 * 6 + 3], 0);
    EXPECT_EQ(errors.Count(), 0u);
}

// Opacity 0, 128 and 255 over the background, in blocks of 8 x 8 pixels: exact in BMP, close in
// JPEG.
TEST_F(TransparencyTest, OutputsWithoutAlphaShowTheBackgroundColour) {
    test::WritePngFile(src("rgba.png"), 24, 8, test::PngKind::Rgba, [](int x, int) {
        const std::uint8_t alpha[] = {0, 128, 255};
        return test::Rgba{0, 0, 0, alpha[x / 8]};
    });
    struct Case {
        int background;
        std::uint8_t expected[3];  // the red of each block over it
    };
    for (const Case& c : {Case{0xFFFFFF, {255, 127, 0}}, Case{0x204060, {0x20, 0x10, 0}}}) {
        SCOPED_TRACE(c.background);
        options->backgroundColour = c.background;
        options->overwrite = true;
        const DecodedPicture bmp = ReadBmp(test::ReadBytes(Run(src("rgba.png"), "BMP")));
        ASSERT_EQ(bmp.raster.bitsPerPixel(), 24);
        for (int block = 0; block < 3; ++block) EXPECT_EQ(bmp.raster.PixelColour(8 * block + 3, 3).red, c.expected[block]) << block;
        EXPECT_EQ(bmp.raster.PixelColour(3, 3), RgbOf(c.background));

        const DecodedPicture jpeg = ReadJpeg(test::ReadBytes(Run(src("rgba.png"), "JPG")));
        for (int block = 0; block < 3; ++block) EXPECT_NEAR(jpeg.raster.PixelColour(8 * block + 3, 3).red, c.expected[block], 4) << block;
    }
    EXPECT_EQ(errors.Count(), 0u);
}

// An indexed source with transparent entries keeps its palette in GIF, the transparent entries
// blended over the background; a 32-bit bitmap whose fourth byte is all zero is opaque.
TEST_F(TransparencyTest, PalettesStayAndPaddingIsNotTransparency) {
    const PngSource indexed = PngSources()[1];
    test::WriteBytes(src("logo.png"), indexed.bytes);
    const DecodedPicture gif = ReadGif(test::ReadBytes(Run(src("logo.png"), "GIF")));
    ASSERT_EQ(gif.raster.bitsPerPixel(), 8);
    EXPECT_EQ(gif.raster.PixelColour(1, 0), (Rgb{255, 255, 255})) << "entry 1 is transparent";
    EXPECT_EQ(gif.raster.PixelColour(2, 0), (Rgb{132, 132, 227})) << "entry 2 is half opaque";
    EXPECT_EQ(gif.raster.PixelColour(0, 0), (Rgb{200, 10, 10}));

    Raster padded(4, 2, 32);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x) padded.row(y)[4 * x + 2] = static_cast<std::uint8_t>(60 * x);
    test::WriteBytes(src("padded.bmp"), EncodeBmp(padded));
    const test::PngImage png = test::ReadPngFile(Run(src("padded.bmp"), "PNG"));
    EXPECT_EQ(png.colourType, 3) << "four colours, without tRNS";
    EXPECT_EQ(png.rgba[3], 255);
    EXPECT_EQ(png.rgba[4 * 3], 180);
    EXPECT_EQ(errors.Count(), 0u);
}

// A grey picture stamped and saved as GIF keeps its greys: only the stamp's pixels change, and
// they become greys of the picture's own ramp.
TEST_F(TransparencyTest, StampKeepsAGreyPictureGreyInPaletteOutputs) {
    std::vector<std::vector<std::uint8_t>> rows(64, std::vector<std::uint8_t>(256));
    for (auto& row : rows)
        for (int x = 0; x < 256; ++x) row[static_cast<std::size_t>(x)] = static_cast<std::uint8_t>(x);
    test::WriteBytes(src("ramp.png"), test::MakePngChunks(256, 64, 0, 8, rows));
    options->textStampEnabled = true;
    options->textStampMask = "Zelvan";
    options->textFont.colour = 0x0000FF;  // red: the grey ramp has none
    options->textPosition = 0;
    const DecodedPicture gif = ReadGif(test::ReadBytes(Run(src("ramp.png"), "GIF")));
    ASSERT_EQ(gif.raster.bitsPerPixel(), 8);
    std::set<int> greys;
    int changed = 0;
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 256; ++x) {
            const Rgb c = gif.raster.PixelColour(x, y);
            ASSERT_TRUE(c.red == c.green && c.green == c.blue) << x << "," << y;
            greys.insert(c.red);
            changed += c.red != x;
        }
    EXPECT_EQ(greys.size(), 256u);
    EXPECT_GT(changed, 20) << "the stamp is drawn";
    EXPECT_LT(changed, 64 * 256 / 4) << "and only the stamp";
    EXPECT_EQ(errors.Count(), 0u);
}

}  // namespace
}  // namespace zelvan
