// The WebP writer's files against dwebp and exiftool.
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

std::vector<std::uint8_t> SrgbLikeProfile() {
    cmsHPROFILE profile = cmsCreate_sRGBProfile();
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    std::vector<std::uint8_t> bytes(size);
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    return bytes;
}

TEST(WebpWriter, LosslessComesBackExactlyThroughDwebpWithAlpha) {
    ASSERT_TRUE(test::HaveProgram("dwebp")) << "install-deps.sh installs webp";
    const Raster image = TexturedPicture(37, 21);
    const Raster mask = RampMask(37, 21);
    test::TempDir dir;
    for (const bool withMask : {false, true}) {
        SCOPED_TRACE(withMask ? "with alpha" : "opaque");
        const std::vector<std::uint8_t> webp = EncodeWebp(image, withMask ? &mask : nullptr, {80, true, 4});
        test::WriteBytes(dir / "a.webp", webp);
        const test::CommandResult r =
            test::RunCommand("dwebp -quiet " + ShellQuote(dir / "a.webp") + " -o " + ShellQuote(dir / "a.png") + " 2>&1");
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
        EXPECT_EQ(ReadWebp(webp).raster.bitsPerPixel(), withMask ? 32 : 24);
    }
}

TEST(WebpWriter, SmallerAsQualityDropsAndEffortCounts) {
    const Raster image = TexturedPicture(160, 120);
    const std::size_t high = EncodeWebp(image, nullptr, {95, false, 4}).size();
    const std::size_t middle = EncodeWebp(image, nullptr, {60, false, 4}).size();
    const std::size_t low = EncodeWebp(image, nullptr, {10, false, 4}).size();
    EXPECT_GT(high, middle);
    EXPECT_GT(middle, low);
    EXPECT_LT(EncodeWebp(image, nullptr, {80, true, 6}).size(), EncodeWebp(image, nullptr, {80, true, 0}).size());
}

TEST(WebpWriter, CarriesTheIccProfileAndTheExifBlock) {
    ASSERT_TRUE(test::HaveProgram("exiftool"));
    const std::vector<std::uint8_t> profile = SrgbLikeProfile();
    std::vector<std::uint8_t> webp = EncodeWebp(TexturedPicture(20, 10), nullptr, {80, false, 4}, profile);
    webp = WebpWithExif(webp, test::ExifOrientationBlock(3));
    test::TempDir dir;
    test::WriteBytes(dir / "a.webp", webp);
    EXPECT_EQ(test::ExifToolTags(dir / "a.webp")["IFD0:Orientation"], "Rotate 180");
    const test::CommandResult icc =
        test::RunCommand("exiftool -s3 -ICC_Profile:ProfileDescription " + ShellQuote(dir / "a.webp"));
    EXPECT_NE(icc.output.find("sRGB"), std::string::npos) << icc.output;
    const DecodedPicture back = ReadWebp(webp);
    EXPECT_EQ(back.iccProfile, profile);
    EXPECT_EQ(back.orientation, 3);
}

TEST(WebpWriter, RefusesSidesOverTheFormatsLimitNamingIt) {
    for (const auto& [w, h] : {std::pair{16384, 1}, std::pair{1, 16384}}) {
        try {
            EncodeWebp(Raster(w, h, 24), nullptr, {});
            ADD_FAILURE() << w << "x" << h << " was written";
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find("16383"), std::string::npos) << e.what();
        }
    }
    EXPECT_NO_THROW(EncodeWebp(Raster(16383, 1, 24), nullptr, {}));
}

}  // namespace
}  // namespace zelvan
