// A JPEG source written as JPEG XL: recompressed without loss unless a quality below 100 is asked
// for, which encodes its pixels at that quality; JXL_recompress_jpeg given explicitly recompresses
// whatever the quality, and set off never does.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/conversion_options.h"
#include "imaging/writers/writers.h"
#include "support/fixtures.h"
#include "support/job_fixture.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using JxlQualityChoice = test::SingleJobTest;

TEST_F(JxlQualityChoice, AQualityAskedForEncodesThePixels) {
    test::WriteBytes(src("photo.jpg"), EncodeJpeg(test::TexturedPicture(96, 64), 92, false));
    const struct {
        const char* name;
        std::vector<std::pair<const char*, const char*>> sets;  // in order, as --set gives them
        bool recompressed;
    } cases[] = {
        {"default", {}, true},
        {"quality 50", {{"JXL_quality", "50"}}, false},
        {"quality 90 given", {{"JXL_quality", "90"}}, false},
        {"quality 100", {{"JXL_quality", "100"}}, true},
        {"forced", {{"JXL_quality", "50"}, {"JXL_recompress_jpeg", "1"}}, true},
        {"forced first", {{"JXL_recompress_jpeg", "1"}, {"JXL_quality", "50"}}, true},
        {"off", {{"JXL_recompress_jpeg", "0"}}, false},
    };
    const ConversionOptions base = *options;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        *options = base;
        for (const auto& [key, value] : c.sets) SetOption(*options, key, value);
        const std::string out = Run(src("photo.jpg"), "JXL", dir / (std::string("out/") + c.name + ".JXL"));
        const std::vector<std::uint8_t> bytes = test::ReadBytes(out);
        // The reconstruction data of a recompressed JPEG lives in a jbrd box.
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()).find("jbrd") != std::string::npos, c.recompressed);
    }
    // The control on the JPEG XL page moved off its default asks for a quality too.
    *options = base;
    options->jxlQuality = 60;
    EXPECT_TRUE(JxlQualityAsked(*options));
    options->jxlQuality = base.jxlQuality;
    EXPECT_FALSE(JxlQualityAsked(*options));
    EXPECT_EQ(errors.Count(), 0u);
}

}  // namespace
}  // namespace zelvan
