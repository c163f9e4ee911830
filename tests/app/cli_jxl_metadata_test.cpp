// The command line's -q for JPEG sources written as JPEG XL (the JSON record says whether the
// source was recompressed), and its --metadata flag.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "imaging/writers/writers.h"
#include "support/fixtures.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using test::ShellQuote;

std::string Cli(const std::string& arguments) {
    return test::CliCommand() + " --set Rename_enabled=0 " + arguments + " 2>&1";
}

TEST(CliJxlQuality, QualityEncodesThePixelsAndTheRecordSaysSo) {
    test::TempDir dir;
    std::filesystem::create_directories(dir / "in");
    test::WriteBytes(dir / "in/photo.jpg", EncodeJpeg(test::TexturedPicture(160, 120), 92, false));
    const struct {
        const char* flags;
        const char* record;
    } cases[] = {
        {"", "\"jpeg_recompressed\":true"},
        {"-q 50", "\"jpeg_recompressed\":false"},
        {"-q 50 --set JXL_recompress_jpeg=1", "\"jpeg_recompressed\":true"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flags);
        std::filesystem::remove_all(dir / "out");
        const auto r = test::RunCommand(Cli("--json -f jxl " + std::string(c.flags) + " -o " + ShellQuote(dir / "out") +
                                            " " + ShellQuote(dir / "in")));
        EXPECT_EQ(r.exitStatus, 0) << r.output;
        EXPECT_NE(r.output.find(c.record), std::string::npos) << r.output;
    }
}

TEST(CliMetadata, ChoiceByNameAndUnknownNamesRefused) {
    ASSERT_TRUE(test::HaveProgram("exiftool")) << "install-deps.sh installs libimage-exiftool-perl";
    test::TempDir dir;
    std::filesystem::create_directories(dir / "in");
    test::WriteBytes(dir / "in/photo.jpg", EncodeJpeg(test::TexturedPicture(64, 48), 90, false));
    ASSERT_EQ(test::RunCommand("exiftool -q -overwrite_original -Make=Maker -GPSLatitude=48.85 -GPSLatitudeRef=N " +
                               ShellQuote(dir / "in/photo.jpg"))
                  .exitStatus,
              0);
    const struct {
        const char* choice;
        bool make, location;
    } cases[] = {{"all", true, true}, {"no-location", true, false}, {"none", false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.choice);
        std::filesystem::remove_all(dir / "out");
        const auto r = test::RunCommand(Cli("-f webp --metadata " + std::string(c.choice) + " -o " +
                                            ShellQuote(dir / "out") + " " + ShellQuote(dir / "in/photo.jpg")));
        ASSERT_EQ(r.exitStatus, 0) << r.output;
        const auto tags = test::ExifToolTags(dir / "out/photo.WEBP");
        EXPECT_EQ(tags.count("IFD0:Make") == 1, c.make);
        EXPECT_EQ(tags.count("GPS:GPSLatitude") == 1, c.location);
    }
    const auto r = test::RunCommand(Cli("--metadata nowhere " + ShellQuote(dir / "in")));
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_NE(r.output.find("unknown metadata choice"), std::string::npos) << r.output;
}

}  // namespace
}  // namespace zelvan
