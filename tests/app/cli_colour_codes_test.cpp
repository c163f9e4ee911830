// A Display P3 or BT.2020 AVIF made by avifenc with colour codes only, converted by the command
// line: with Colour_profile=1 the PNG matches ImageMagick's conversion through the equivalent ICC
// profile; by default the PNG keeps the colours as they are and carries that profile.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/colour_fixtures.h"
#include "support/fixtures.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using test::ShellQuote;

void RunTool(const std::string& command) {
    const test::CommandResult r = test::RunCommand(command + " 2>&1");
    ASSERT_EQ(r.exitStatus, 0) << command << "\n" << r.output;
}

int LargestDifference(const test::RgbaImage& a, const test::RgbaImage& b) {
    int largest = 0;
    for (std::size_t i = 0; i < a.pixels.size() && i < b.pixels.size(); ++i)
        if (i % 4 != 3) largest = std::max(largest, std::abs(a.pixels[i] - b.pixels[i]));
    return largest;
}

struct Case {
    const char* name;
    const char* cicp;
    test::Primaries primaries;
};

class CliColourCodes : public ::testing::TestWithParam<Case> {};

TEST_P(CliColourCodes, ConvertedLikeImageMagickOrKeptWithTheProfile) {
    ASSERT_TRUE(test::HaveProgram("avifenc") && test::HaveProgram("avifdec")) << "install-deps.sh installs libavif-bin";
    ASSERT_TRUE(test::HaveProgram("convert")) << "install-deps.sh installs imagemagick";
    ASSERT_TRUE(test::HaveProgram("exiftool")) << "install-deps.sh installs libimage-exiftool-perl";
    const Case& c = GetParam();
    test::TempDir dir;
    std::filesystem::create_directories(dir / "in");
    test::WritePngFile(dir / "src.png", 40, 30, test::PngKind::Rgb, [](int x, int y) {
        return test::Rgba{static_cast<std::uint8_t>(20 + 5 * x), static_cast<std::uint8_t>(230 - 6 * y), 60, 255};
    });
    RunTool("avifenc --ignore-icc --cicp " + std::string(c.cicp) + " " + ShellQuote(dir / "src.png") + " " +
            ShellQuote(dir / "in/a.avif"));
    RunTool("avifdec -d 8 " + ShellQuote(dir / "in/a.avif") + " " + ShellQuote(dir / "stored.png"));
    RunTool("convert " + ShellQuote(dir / "stored.png") + " -profile " +
            ShellQuote(test::WriteRgbProfile(dir / "codes.icc", c.primaries)) + " -profile " +
            ShellQuote(test::WriteRgbProfile(dir / "srgb.icc", test::kSrgbPrimaries)) + " " + ShellQuote(dir / "im.png"));
    const test::RgbaImage expected = test::DecodePngWithLibpng(dir / "im.png");

    const std::string cli = test::CliCommand() + " --set Rename_enabled=0 -f png ";
    RunTool(cli + "--set Colour_profile=1 -o " + ShellQuote(dir / "srgb") + " " + ShellQuote(dir / "in/a.avif"));
    EXPECT_LE(LargestDifference(test::DecodePngWithLibpng(dir / "srgb/a.PNG"), expected), 3);
    EXPECT_EQ(test::RunCommand("exiftool -s3 -ProfileDescription " + ShellQuote(dir / "srgb/a.PNG")).output, "");

    RunTool(cli + "-o " + ShellQuote(dir / "kept") + " " + ShellQuote(dir / "in/a.avif"));
    const test::RgbaImage kept = test::DecodePngWithLibpng(dir / "kept/a.PNG");
    EXPECT_LE(LargestDifference(kept, test::DecodePngWithLibpng(dir / "stored.png")), 1) << "the samples as stored";
    EXPECT_NE(test::RunCommand("exiftool -s3 -ProfileDescription " + ShellQuote(dir / "kept/a.PNG")).output, "")
        << "with the profile of the colour codes";
}

INSTANTIATE_TEST_SUITE_P(Cases, CliColourCodes,
                         ::testing::Values(Case{"DisplayP3", "12/13/6", test::kDisplayP3Primaries},
                                           Case{"Bt2020", "9/13/9", test::kBt2020Primaries}),
                         test::CaseName());

}  // namespace
}  // namespace zelvan
