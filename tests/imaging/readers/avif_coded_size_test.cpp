// AVIF files whose container size and coded frames disagree, made by avifenc and edited in the
// test: refused before the codec decodes (and allocates for) either size.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "base/error.h"
#include "imaging/readers/avif_coded_size.h"
#include "imaging/readers/readers.h"
#include "support/fixtures.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

test::Rgba Sample(int x, int y) {
    return {static_cast<std::uint8_t>(x * 5), static_cast<std::uint8_t>(y * 3), 90, static_cast<std::uint8_t>(200 - x)};
}

Bytes Encode(const test::TempDir& dir, int width, int height, test::PngKind kind, const std::string& options = "") {
    const std::string name = std::to_string(width) + "x" + std::to_string(height) + (kind == test::PngKind::Rgba ? "a" : "");
    const std::string png = dir / (name + ".png"), avif = dir / (name + ".avif");
    test::WritePngFile(png, width, height, kind, Sample);
    const auto r = test::RunCommand("avifenc -s 10 " + options + " " + test::ShellQuote(png) + " " + test::ShellQuote(avif) + " 2>&1");
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    return test::ReadBytes(avif);
}

std::size_t Find(const Bytes& b, const char* type, std::size_t from = 0) {
    const auto at = std::search(b.begin() + static_cast<std::ptrdiff_t>(from), b.end(), type, type + 4);
    return at == b.end() ? kNotFound : static_cast<std::size_t>(at - b.begin());
}

void PutBe32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

// The file with every ispe box (the colour's and the alpha's) saying width x height.
Bytes WithContainerSize(Bytes b, std::uint32_t width, std::uint32_t height) {
    for (std::size_t at = Find(b, "ispe"); at != kNotFound; at = Find(b, "ispe", at + 4)) {
        PutBe32(b, at + 8, width);  // after the type, the version and the flags
        PutBe32(b, at + 12, height);
    }
    return b;
}

std::string ErrorOf(const Bytes& bytes) {
    try {
        ReadAvif(bytes);
    } catch (const Error& e) {
        return e.what();
    }
    return {};
}

class AvifCodedSize : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(test::HaveProgram("avifenc")) << "install-deps.sh installs libavif-bin"; }
    test::TempDir dir_;
};

// The sequence header's frame size, read from the media data of files of several sizes (frame
// size fields of 1 to 9 bits), with and without an alpha item beside the colour.
TEST_F(AvifCodedSize, SequenceHeaderGivesTheFrameSize) {
    const int sizes[][2] = {{1, 1}, {40, 24}, {257, 3}, {3, 300}};
    for (const auto& [width, height] : sizes)
        for (const test::PngKind kind : {test::PngKind::Rgb, test::PngKind::Rgba}) {
            SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
            const Bytes file = Encode(dir_, width, height, kind);
            const std::size_t mdat = Find(file, "mdat");
            ASSERT_NE(mdat, kNotFound);
            const std::span<const std::uint8_t> media(file.data() + mdat + 4, file.size() - mdat - 4);
            const auto frame = Av1SequenceFrameSize(media);
            ASSERT_TRUE(frame.has_value());
            EXPECT_EQ(*frame, (CodedSize{static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height)}));
            EXPECT_FALSE(AvifPrimaryIsGrid(file));
            EXPECT_NO_THROW(ReadAvif(file));
        }
    EXPECT_FALSE(Av1SequenceFrameSize(std::vector<std::uint8_t>{0x0A, 0x05, 0x00}).has_value());  // cut short
}

TEST_F(AvifCodedSize, DisagreeingSizesAreRefusedBeforeDecoding) {
    struct Case {
        const char* name;
        Bytes bytes;
        const char* message;
    };
    const Bytes small = Encode(dir_, 40, 24, test::PngKind::Rgba);
    const Bytes large = Encode(dir_, 136, 72, test::PngKind::Rgb);
    const Case cases[] = {
        {"container far larger than the coded picture", WithContainerSize(small, 16384, 16384),
         "AVIF: the container declares 16384x16384 pixels for a coded picture of 40x24"},
        {"container one pixel wider", WithContainerSize(small, 41, 24),
         "AVIF: the container declares 41x24 pixels for a coded picture of 40x24"},
        {"coded picture larger than the container", WithContainerSize(large, 40, 24),
         "AVIF: the coded picture declares 136x72 pixels for a picture of 40x24"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ErrorOf(c.bytes), c.message);
    }
}

// A grid's tiles are smaller than the picture they make up; the picture decodes.
TEST_F(AvifCodedSize, GridTilesMayBeSmallerThanThePicture) {
    const Bytes grid = Encode(dir_, 128, 128, test::PngKind::Rgb, "--grid 2x2");
    EXPECT_TRUE(AvifPrimaryIsGrid(grid));
    const DecodedPicture picture = ReadAvif(grid);
    EXPECT_EQ(picture.raster.width(), 128);
    EXPECT_EQ(picture.raster.height(), 128);
}

}  // namespace
}  // namespace zelvan
