// A JPEG XL file of a picture in a wide-gamut ICC profile comes back in that profile's colours,
// lossy or lossless, whether cjxl or the program's own writer made it: no 8-bit linear light
// (posterised shadows, a near-black picture), no clip to sRGB.
#include <gtest/gtest.h>

#include <lcms2.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "imaging/colour_profile.h"
#include "imaging/readers/readers.h"
#include "imaging/writers/writers.h"
#include "support/fixtures.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using test::ShellQuote;

// Adobe RGB (1998) as Little CMS builds it: its primaries, D65, gamma 563/256.
std::vector<std::uint8_t> AdobeRgbProfile() {
    const cmsCIExyY d65{0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries{{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve* gamma = cmsBuildGamma(nullptr, 563.0 / 256.0);
    cmsToneCurve* curves[3] = {gamma, gamma, gamma};
    cmsHPROFILE profile = cmsCreateRGBProfile(&d65, &primaries, curves);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    std::vector<std::uint8_t> bytes(size);
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    cmsFreeToneCurve(gamma);
    return bytes;
}

// Smooth colours, saturated ones (outside sRGB in Adobe RGB) among them, and dark shadows, where
// 8-bit linear samples would show as steps.
Raster SourcePicture() {
    Raster r(64, 48, 24);
    for (int y = 0; y < r.height(); ++y)
        for (int x = 0; x < r.width(); ++x) {
            std::uint8_t* p = r.row(y) + 3 * x;
            p[2] = static_cast<std::uint8_t>(40 + 2 * x);
            p[1] = static_cast<std::uint8_t>(y < 24 ? 10 + y : 40 + 3 * y);
            p[0] = static_cast<std::uint8_t>(210 - x - y);
        }
    return r;
}

struct Difference {
    double mean = 0;
    double withinTwo = 0;  // share of samples at most 2 levels apart
    int largest = 0;
};

Difference Compare(const Raster& a, const Raster& b) {
    Difference d;
    long samples = 0, close = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width() * 3; ++x) {
            const int diff = std::abs(a.row(y)[x] - b.row(y)[x]);
            d.mean += diff;
            d.largest = std::max(d.largest, diff);
            close += diff <= 2 ? 1 : 0;
            ++samples;
        }
    d.mean /= static_cast<double>(samples);
    d.withinTwo = static_cast<double>(close) / static_cast<double>(samples);
    return d;
}

double MeanLevel(const Raster& r) {
    double sum = 0;
    for (int y = 0; y < r.height(); ++y)
        for (int x = 0; x < r.width() * 3; ++x) sum += r.row(y)[x];
    return sum / (static_cast<double>(r.height()) * r.width() * 3);
}

struct RoundTrip {
    const char* name;
    bool cjxl;        // made by the reference encoder, else by the program's writer
    bool lossless;
};

class JxlKeepsTheSourceProfile : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(JxlKeepsTheSourceProfile, ColoursComeBackInTheSourceProfile) {
    const RoundTrip& c = GetParam();
    const std::vector<std::uint8_t> adobe = AdobeRgbProfile();
    const Raster source = SourcePicture();
    std::vector<std::uint8_t> jxl;
    test::TempDir dir;
    if (c.cjxl) {
        ASSERT_TRUE(test::HaveProgram("cjxl")) << "install-deps.sh installs libjxl-tools";
        test::WriteBytes(dir / "adobe.png", EncodePng(source, nullptr, PngSettings{}, adobe));
        const auto r = test::RunCommand("cjxl --quiet " + std::string(c.lossless ? "-d 0" : "-q 90") + " " +
                                        ShellQuote(dir / "adobe.png") + " " + ShellQuote(dir / "a.jxl") + " 2>&1");
        ASSERT_EQ(r.exitStatus, 0) << r.output;
        jxl = test::ReadBytes(dir / "a.jxl");
    } else {
        jxl = EncodeJxl(source, nullptr, JxlSettings{90, c.lossless, 7}, adobe);
    }

    DecodedPicture picture = ReadJxl(jxl);
    ASSERT_EQ(picture.raster.bitsPerPixel(), 24);
    const std::vector<std::uint8_t> profile = SettleColourProfile(picture);
    ASSERT_FALSE(profile.empty()) << "the picture keeps a profile";
    // The profile the pixels come in shows them as the source showed: compared in sRGB.
    Raster seen = picture.raster, expected = source;
    ConvertToSrgb(seen, profile);
    ConvertToSrgb(expected, adobe);
    const Difference d = Compare(seen, expected);
    if (c.lossless) {
        EXPECT_EQ(d.largest, 0);
        EXPECT_EQ(Compare(picture.raster, source).largest, 0) << "lossless keeps the samples themselves";
    } else {
        EXPECT_LT(d.mean, 1.0);
        // The coder's own loss, at quality 90, in the darkest saturated colours: 8-bit linear light
        // there would put every shadow sample several levels off.
        EXPECT_LT(d.mean, 1.0);
        EXPECT_GE(d.withinTwo, 0.9) << "largest difference " << d.largest;
        EXPECT_NEAR(MeanLevel(seen), MeanLevel(expected), 0.5) << "no darker, no lighter";
        EXPECT_LT(Compare(picture.raster, source).mean, 1.0) << "the samples are in the source's own colour space";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, JxlKeepsTheSourceProfile,
                         ::testing::Values(RoundTrip{"CjxlLossy", true, false}, RoundTrip{"CjxlLossless", true, true},
                                           RoundTrip{"OwnLossy", false, false}, RoundTrip{"OwnLossless", false, true}),
                         test::CaseName());

}  // namespace
}  // namespace zelvan
