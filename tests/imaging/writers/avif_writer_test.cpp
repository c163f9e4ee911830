// The AVIF writer's files as avifdec and exiftool see them: the picture and its opacity, the
// quality setting's effect on size, the ICC profile and EXIF block, the size limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/error.h"
#include "imaging/writers/writers.h"
#include "support/exif_fixtures.h"
#include "support/fixtures.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using test::ShellQuote;

constexpr int kWidth = 64, kHeight = 40;

// Smooth colours (a photograph's kind of content) over 24 bits, and an opacity mask (its third
// byte) that is clear on the left, opaque on the right and half-way between.
Raster Picture() {
    Raster r(kWidth, kHeight, 24);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            std::uint8_t* p = r.row(y) + x * 3;
            p[0] = static_cast<std::uint8_t>(x * 4), p[1] = static_cast<std::uint8_t>(y * 6),
            p[2] = static_cast<std::uint8_t>(128 + (x - y) / 2);
        }
    return r;
}
Raster Mask() {
    Raster m(kWidth, kHeight, 24);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) m.row(y)[x * 3 + 2] = x < 16 ? 0 : x < 32 ? 128 : 255;
    return m;
}

class AvifWriter : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(test::HaveProgram("avifdec")) << "install-deps.sh installs libavif-bin"; }
    test::RgbaImage Decoded(const std::vector<std::uint8_t>& avif) {
        const std::string path = dir_ / "out.avif", png = dir_ / "out.png";
        test::WriteBytes(path, avif);
        const auto r = test::RunCommand("avifdec -d 8 " + ShellQuote(path) + " " + ShellQuote(png) + " 2>&1");
        EXPECT_EQ(r.exitStatus, 0) << r.output;
        return test::DecodePngWithLibpng(png);
    }
    test::TempDir dir_;
};

TEST_F(AvifWriter, AvifdecGivesThePictureAndItsExactOpacity) {
    const Raster picture = Picture(), mask = Mask();
    for (const int quality : {95, 60}) {
        SCOPED_TRACE("quality " + std::to_string(quality));
        const test::RgbaImage decoded = Decoded(EncodeAvif(picture, &mask, {quality, 8}));
        ASSERT_EQ(decoded.width, kWidth);
        ASSERT_EQ(decoded.height, kHeight);
        int worst = 0;
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                const std::uint8_t* d = &decoded.pixels[(static_cast<std::size_t>(y) * kWidth + x) * 4];
                const std::uint8_t* p = picture.row(y) + x * 3;
                EXPECT_EQ(d[3], mask.row(y)[x * 3 + 2]) << "opacity at " << x << "," << y;
                for (int c = 0; c < 3; ++c) worst = std::max(worst, std::abs(d[c] - p[2 - c]));
            }
        EXPECT_LE(worst, quality >= 90 ? 6 : 24);
    }
}

TEST_F(AvifWriter, FilesGetSmallerAsQualityDrops) {
    const Raster picture = Picture();
    std::size_t previous = SIZE_MAX;
    for (const int quality : {100, 90, 60, 30, 1}) {
        const std::size_t size = EncodeAvif(picture, nullptr, {quality, 8}).size();
        EXPECT_LT(size, previous) << "quality " << quality;
        previous = size;
    }
}

TEST_F(AvifWriter, CarriesTheProfileAndTheExifBlock) {
    ASSERT_TRUE(test::HaveProgram("exiftool"));
    // Ghostscript's sRGB profile (install-deps.sh installs libgs-common) travels as bytes.
    const std::vector<std::uint8_t> profile = test::ReadBytes("/usr/share/color/icc/ghostscript/srgb.icc");
    ASSERT_FALSE(profile.empty());
    // Orientation 1: another value would also become the container's rotation.
    const std::vector<std::uint8_t> exif = test::ExifOrientationBlock(1);
    const std::string path = dir_ / "meta.avif";
    test::WriteBytes(path, EncodeAvif(Picture(), nullptr, {60, 8}, profile, exif));
    const auto tags = test::ExifToolTags(path);
    ASSERT_TRUE(tags.count("IFD0:Orientation")) << "no EXIF block";
    EXPECT_EQ(tags.at("IFD0:Orientation"), "Horizontal (normal)");
    const std::string extracted = dir_ / "extracted.icc";
    const auto r = test::RunCommand("exiftool -b -ICC_Profile " + ShellQuote(path) + " > " + ShellQuote(extracted));
    ASSERT_EQ(r.exitStatus, 0);
    EXPECT_EQ(test::ReadBytes(extracted), profile);
}

TEST_F(AvifWriter, RefusesASideOverTheFormatsLimit) {
    const Raster wide(65537, 1, 24);
    try {
        EncodeAvif(wide, nullptr, {60, 10});
        FAIL() << "encoded";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("65536 pixels a side"), std::string::npos) << e.what();
    }
}

}  // namespace
}  // namespace zelvan
