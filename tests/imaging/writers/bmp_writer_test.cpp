#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "imaging/raster.h"
#include "imaging/writers/writers.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t U32(const Bytes& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
int U16(const Bytes& b, std::size_t at) { return b[at] | (b[at + 1] << 8); }

Raster NoiseRaster(int width, int height, int bpp, unsigned seed) {
    std::mt19937 rng(seed);
    Raster r(width, height, bpp);
    for (auto& e : r.palette())
        e = {static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()), 0};
    const std::size_t used = (static_cast<std::size_t>(width) * bpp + 7) / 8;
    for (int y = 0; y < height; ++y)
        for (std::size_t i = 0; i < used; ++i) r.row(y)[i] = static_cast<std::uint8_t>(rng());
    // Bits beyond the last pixel of 1- and 4-bit rows are not part of the picture.
    if (bpp < 8 && width * bpp % 8)
        for (int y = 0; y < height; ++y) r.row(y)[used - 1] &= static_cast<std::uint8_t>(0xFF << (8 - width * bpp % 8));
    return r;
}

TEST(BmpWriter, LayoutAtEachDepth) {
    struct Case {
        int width, bpp;
        std::size_t rowBytes;  // padded to 4
    };
    const Case cases[] = {{3, 24, 12}, {5, 24, 16}, {3, 32, 12}, {13, 8, 16}, {9, 4, 8}, {33, 1, 8}, {1, 1, 4}};
    const int height = 5;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << " wide, bpp " << c.bpp);
        const Raster image = NoiseRaster(c.width, height, c.bpp, 11);
        const Bytes bmp = EncodeBmp(image);
        const std::size_t colours = c.bpp <= 8 ? std::size_t{1} << c.bpp : 0;
        const std::size_t offset = 14 + 40 + 4 * colours;
        ASSERT_EQ(offset + c.rowBytes * height, bmp.size());
        EXPECT_EQ('B', bmp[0]);
        EXPECT_EQ('M', bmp[1]);
        EXPECT_EQ(bmp.size(), U32(bmp, 2));
        EXPECT_EQ(0u, U32(bmp, 6)) << "reserved words";
        EXPECT_EQ(offset, U32(bmp, 10));
        EXPECT_EQ(40u, U32(bmp, 14));
        EXPECT_EQ(static_cast<std::uint32_t>(c.width), U32(bmp, 18));
        EXPECT_EQ(static_cast<std::uint32_t>(height), U32(bmp, 22)) << "positive height: bottom-up";
        EXPECT_EQ(1, U16(bmp, 26));
        EXPECT_EQ(c.bpp, U16(bmp, 28));
        EXPECT_EQ(0u, U32(bmp, 30)) << "uncompressed";
        EXPECT_EQ(c.rowBytes * height, U32(bmp, 34));
        for (std::size_t i = 0; i < colours; ++i) {
            const PaletteEntry& e = image.palette()[i];
            ASSERT_EQ((Bytes{e.blue, e.green, e.red, 0}), Bytes(&bmp[54 + 4 * i], &bmp[54 + 4 * i + 4])) << i;
        }
        // Bottom row first, each row's bytes as stored (the fourth byte included) and zero padding.
        const std::size_t used = (static_cast<std::size_t>(c.width) * c.bpp + 7) / 8;
        for (int y = 0; y < height; ++y) {
            const std::uint8_t* fileRow = &bmp[offset + static_cast<std::size_t>(height - 1 - y) * c.rowBytes];
            EXPECT_EQ(0, std::memcmp(fileRow, image.row(y), used)) << "row " << y;
            for (std::size_t i = used; i < c.rowBytes; ++i) EXPECT_EQ(0, fileRow[i]) << "padding of row " << y;
        }
    }
}

TEST(BmpWriter, ImageMagickReadsEveryDepth) {
    ASSERT_TRUE(test::HaveProgram("convert"));
    for (int bpp : {1, 4, 8, 24, 32}) {
        SCOPED_TRACE(bpp);
        const Raster image = NoiseRaster(19, 6, bpp, 5);
        test::TempDir dir;
        test::WriteBytes(dir / "in.bmp", EncodeBmp(image));
        const auto r = test::RunCommand("convert " + test::ShellQuote(dir / "in.bmp") + " -depth 8 rgb:-");
        ASSERT_EQ(0, r.exitStatus);
        std::string expected;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                const Rgb c = image.PixelColour(x, y);
                expected += {static_cast<char>(c.red), static_cast<char>(c.green), static_cast<char>(c.blue)};
            }
        EXPECT_TRUE(expected == r.output);
    }
}

}  // namespace
}  // namespace zelvan
