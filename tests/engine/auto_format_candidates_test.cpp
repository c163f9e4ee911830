// The automatic format's PNG candidate: every source gets one but a .jpg or .jpeg file, whose
// picture is a JPEG already; .jfif and .jpe files are tried as PNG too.
#include <gtest/gtest.h>

#include <string>

#include "imaging/writers/writers.h"
#include "support/job_fixture.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using AutoFormatCandidates = test::SingleJobTest;

TEST_F(AutoFormatCandidates, OnlyJpgAndJpegSourcesSkipThePngCandidate) {
    options->autoFormat = true;
    // Flat artwork stored as JPEG: as PNG it is far smaller.
    Raster flat(80, 60, 24);
    for (int y = 0; y < flat.height(); ++y)
        for (int x = 0; x < flat.width(); ++x) flat.row(y)[3 * x + 2] = x < 40 ? 200 : 20;
    const std::vector<std::uint8_t> jpeg = EncodeJpeg(flat, 95, false);
    const struct {
        const char* name;
        const char* winner;
    } cases[] = {{"a.jfif", "PNG"}, {"b.JFIF", "PNG"}, {"c.jpe", "PNG"}, {"d.jpg", "JPG"}, {"e.JPEG", "JPG"}};
    for (const auto& c : cases) {
        test::WriteBytes(src(c.name), jpeg);
        const std::string written = Run(src(c.name), "JPG");
        EXPECT_EQ(written.substr(written.size() - 3), c.winner) << c.name;
    }
    EXPECT_EQ(errors.Count(), 0u);
}

}  // namespace
}  // namespace zelvan
