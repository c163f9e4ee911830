// The JPEG XL writer's files against djxl and exiftool, and the lossless recompression of JPEG
// files against djxl's rebuilt JPEG.
#include <gtest/gtest.h>

#include <lcms2.h>

#include <string>
#include <vector>

#include "base/error.h"
#include "imaging/readers/readers.h"
#include "imaging/writers/writers.h"
#include "support/exif_fixtures.h"
#include "support/fixtures.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using test::ShellQuote;

using test::RampMask;
using test::TexturedPicture;

test::CommandResult Djxl(const std::string& in, const std::string& out, const std::string& options = "") {
    return test::RunCommand("djxl --quiet " + options + " " + ShellQuote(in) + " " + ShellQuote(out) + " 2>&1");
}

TEST(JxlWriter, LosslessComesBackExactlyThroughDjxlWithAlpha) {
    ASSERT_TRUE(test::HaveProgram("djxl")) << "install-deps.sh installs libjxl-tools";
    const Raster image = TexturedPicture(37, 21);
    const Raster mask = RampMask(37, 21);
    test::TempDir dir;
    for (const bool withMask : {false, true}) {
        SCOPED_TRACE(withMask ? "with alpha" : "opaque");
        const std::vector<std::uint8_t> jxl = EncodeJxl(image, withMask ? &mask : nullptr, {90, true, 3});
        test::WriteBytes(dir / "a.jxl", jxl);
        const test::CommandResult r = Djxl(dir / "a.jxl", dir / "a.png");
        ASSERT_EQ(r.exitStatus, 0) << r.output;
        const test::RgbaImage decoded = test::DecodePngWithLibpng(dir / "a.png");
        ASSERT_EQ(decoded.width, 37);
        ASSERT_EQ(decoded.height, 21);
        for (int y = 0; y < 21; ++y)
            for (int x = 0; x < 37; ++x) {
                const std::uint8_t* d = &decoded.pixels[(static_cast<std::size_t>(y) * 37 + x) * 4];
                const std::uint8_t* s = image.row(y) + 3 * x;
                const int alpha = withMask ? mask.row(y)[3 * x + 2] : 255;
                ASSERT_EQ((std::vector<int>{d[0], d[1], d[2], d[3]}), (std::vector<int>{s[2], s[1], s[0], alpha}))
                    << "pixel " << x << "," << y;
            }
        EXPECT_EQ(ReadJxl(jxl).raster.bitsPerPixel(), withMask ? 32 : 24);
    }
}

TEST(JxlWriter, QualityMapsToDistanceAsTheReferenceEncoderDoes) {
    EXPECT_FLOAT_EQ(JxlDistance(100), 0.0f);
    EXPECT_FLOAT_EQ(JxlDistance(90), 1.0f);
    EXPECT_FLOAT_EQ(JxlDistance(30), 6.4f);
    EXPECT_NEAR(JxlDistance(29), 6.508f, 0.001f) << "the parabola below 30 joins the line";
    EXPECT_NEAR(JxlDistance(1), 23.868f, 0.001f);
    for (int q = 2; q <= 100; ++q) EXPECT_LT(JxlDistance(q), JxlDistance(q - 1)) << q;

    const Raster image = TexturedPicture(160, 120);
    const std::size_t high = EncodeJxl(image, nullptr, {95, false, 3}).size();
    const std::size_t middle = EncodeJxl(image, nullptr, {60, false, 3}).size();
    const std::size_t low = EncodeJxl(image, nullptr, {10, false, 3}).size();
    EXPECT_GT(high, middle);
    EXPECT_GT(middle, low);
}

TEST(JxlWriter, CarriesTheIccProfileAndTheExifBlock) {
    ASSERT_TRUE(test::HaveProgram("exiftool") && test::HaveProgram("djxl"));
    // Wide primaries with gamma 2.2: the picture's colours travel with it, lossy or lossless.
    const cmsCIExyY white{0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries{{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve* gamma = cmsBuildGamma(nullptr, 2.2);
    cmsToneCurve* curves[3] = {gamma, gamma, gamma};
    cmsHPROFILE wide = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsFreeToneCurve(gamma);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(wide, nullptr, &size);
    std::vector<std::uint8_t> profile(size);
    cmsSaveProfileToMem(wide, profile.data(), &size);
    cmsCloseProfile(wide);
    EXPECT_TRUE(ReadJxl(EncodeJxl(TexturedPicture(8, 8), nullptr, {90, true, 1})).iccProfile.empty()) << "none given: sRGB";

    for (const bool lossless : {false, true}) {
        SCOPED_TRACE(lossless ? "lossless" : "lossy");
        std::vector<std::uint8_t> jxl = EncodeJxl(TexturedPicture(20, 10), nullptr, {80, lossless, 3}, profile);
        EXPECT_FALSE(ReadJxl(jxl).iccProfile.empty());
        jxl = JxlWithExif(jxl, test::ExifOrientationBlock(3));
        test::TempDir dir;
        test::WriteBytes(dir / "a.jxl", jxl);
        EXPECT_EQ(test::ExifToolTags(dir / "a.jxl")["IFD0:Orientation"], "Rotate 180");
        const test::CommandResult r = Djxl(dir / "a.jxl", dir / "a.png");
        EXPECT_EQ(r.exitStatus, 0) << "still a valid file: " << r.output;
        EXPECT_EQ(ReadJxl(jxl).raster.width(), 20);
    }
}

TEST(JxlWriter, AJpegRecompressedComesBackBitForBit) {
    ASSERT_TRUE(test::HaveProgram("djxl") && test::HaveProgram("cjpeg"));
    test::TempDir dir;
    test::WritePngFile(dir / "src.png", 256, 160, test::PngKind::Rgb,
                       [](int x, int y) { return test::Rgba{std::uint8_t(x * 4), std::uint8_t(y * 6), std::uint8_t(x ^ y), 255}; });
    for (const char* options : {"-quality 85", "-quality 60 -progressive", "-grayscale -quality 90"}) {
        SCOPED_TRACE(options);
        ASSERT_EQ(test::RunCommand("convert " + ShellQuote(dir / "src.png") + " ppm:- | cjpeg " + options + " > " +
                                   ShellQuote(dir / "a.jpg"))
                      .exitStatus,
                  0);
        const std::vector<std::uint8_t> jpeg =
            test::WithExifSegment(test::ReadBytes(dir / "a.jpg"), test::ExifOrientationBlock(1));
        const std::vector<std::uint8_t> jxl = JxlFromJpeg(jpeg, 7);
        EXPECT_LT(jxl.size(), jpeg.size());
        test::WriteBytes(dir / "a.jxl", jxl);
        const test::CommandResult r = Djxl(dir / "a.jxl", dir / "back.jpg");
        ASSERT_EQ(r.exitStatus, 0) << r.output;
        EXPECT_EQ(test::ReadBytes(dir / "back.jpg"), jpeg);
    }
    EXPECT_THROW(JxlFromJpeg(std::vector<std::uint8_t>{0xFF, 0xD8, 0xFF, 0xD9}, 7), Error);
}

}  // namespace
}  // namespace zelvan
