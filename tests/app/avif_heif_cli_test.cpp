// zelvan-cli with AVIF outputs and HEIC/AVIF sources: the EXIF step's block inside an AVIF
// output of a turned photo, the camera's EXIF of HEIC and AVIF photos carried into other outputs,
// and damaged sources reported on an "AFO:" line.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "imaging/readers/readers.h"
#include "support/exif_fixtures.h"
#include "support/fixtures.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using test::RunCommand;
using test::ShellQuote;

std::string Cli() { return test::CliCommand() + " --set Rename_enabled=0"; }

test::Rgba Sample(int x, int y) {
    return {static_cast<std::uint8_t>(x * 5), static_cast<std::uint8_t>(y * 7), static_cast<std::uint8_t>(x + y), 255};
}

TEST(AvifCli, TurnedPhotoCarriesTheExifStepsBlockAndIsUpright) {
    for (const char* tool : {"cjpeg", "avifdec", "exiftool"}) ASSERT_TRUE(test::HaveProgram(tool)) << tool;
    test::TempDir dir;
    test::WriteBytes(dir / "photo.bmp", test::MakeBmp24(48, 32, Sample));
    ASSERT_EQ(RunCommand("cjpeg -quality 95 -outfile " + ShellQuote(dir / "plain.jpg") + " " + ShellQuote(dir / "photo.bmp"))
                  .exitStatus,
              0);
    // Orientation 6: shown turned a quarter clockwise, 32 wide and 48 high.
    test::WriteBytes(dir / "photo.jpg",
                     test::WithExifSegment(test::ReadBytes(dir / "plain.jpg"), test::ExifOrientationBlock(6)));

    const auto run = RunCommand(Cli() + " --set Output_format=7 -o " + ShellQuote(dir / "out") + " " +
                                ShellQuote(dir / "photo.jpg"));
    ASSERT_EQ(run.exitStatus, 0) << run.output;
    const std::string avif = dir / "out/photo.AVIF";
    const auto tags = test::ExifToolTags(avif);
    ASSERT_TRUE(tags.count("IFD0:Software")) << "no EXIF block in " << avif;
    EXPECT_EQ(tags.at("IFD0:Software").rfind("Zelvan v", 0), 0u);
    EXPECT_TRUE(tags.count("IFD0:ModifyDate"));
    EXPECT_EQ(tags.at("IFD0:Orientation"), "Horizontal (normal)");

    // avifdec applies no turn of its own here: the pixels themselves are upright.
    ASSERT_EQ(RunCommand("avifdec -d 8 " + ShellQuote(avif) + " " + ShellQuote(dir / "back.png") + " 2>&1").exitStatus, 0);
    const test::RgbaImage back = test::DecodePngWithLibpng(dir / "back.png");
    EXPECT_EQ(back.width, 32);
    EXPECT_EQ(back.height, 48);
}

// A phone's photo: stored 48 x 32, EXIF Orientation 6 and the camera's tags. avifenc turns the
// tag into the container's rotation (irot), heif-enc keeps only the tag; either way the readers
// give the picture as the container shows it, and the outputs carry Orientation 1 beside it.
TEST(AvifCli, HeifAndAvifPhotosKeepTheirCameraExifAndAreTurnedOnce) {
    for (const char* tool : {"cjpeg", "exiftool", "avifenc", "heif-enc"}) ASSERT_TRUE(test::HaveProgram(tool)) << tool;
    test::TempDir dir;
    std::filesystem::create_directories(dir / "in");
    test::WriteBytes(dir / "photo.bmp", test::MakeBmp24(48, 32, Sample));
    ASSERT_EQ(RunCommand("cjpeg -quality 95 -outfile " + ShellQuote(dir / "photo.jpg") + " " + ShellQuote(dir / "photo.bmp"))
                  .exitStatus,
              0);
    ASSERT_EQ(RunCommand("exiftool -q -overwrite_original -Make=Acme -Model=Phone -DateTimeOriginal='2021:02:03 04:05:06' "
                         "-GPSLatitude=48.5 -GPSLatitudeRef=N -Orientation#=6 " + ShellQuote(dir / "photo.jpg"))
                  .exitStatus,
              0);
    ASSERT_EQ(RunCommand("avifenc -s 10 " + ShellQuote(dir / "photo.jpg") + " " + ShellQuote(dir / "in/phone.avif")).exitStatus, 0);
    ASSERT_EQ(RunCommand("heif-enc -q 50 " + ShellQuote(dir / "photo.jpg") + " -o " + ShellQuote(dir / "in/phone.heic")).exitStatus,
              0);
    struct Case {
        const char* source;
        int width, height;  // as the container shows the picture
    };
    const Case cases[] = {{"phone.avif", 32, 48}, {"phone.heic", 48, 32}};
    const std::pair<int, const char*> outputs[] = {{0, "JPG"}, {6, "WEBP"}, {8, "JXL"}};
    for (const Case& c : cases) {
        for (const int autoRotate : {0, 1}) {
            for (const auto& [format, extension] : outputs) {
                SCOPED_TRACE(std::string(c.source) + " Auto_rotate=" + std::to_string(autoRotate) + " to " + extension);
                const std::string out = dir / ("out" + std::to_string(autoRotate));
                const auto run = RunCommand(Cli() + " --overwrite --set Auto_rotate=" + std::to_string(autoRotate) +
                                            " --set Output_format=" + std::to_string(format) + " -o " + ShellQuote(out) +
                                            " " + ShellQuote(dir / ("in/" + std::string(c.source))));
                ASSERT_EQ(run.exitStatus, 0) << run.output;
                const std::string output =
                    out + "/" + std::filesystem::path(c.source).stem().string() + "." + extension;
                const auto tags = test::ExifToolTags(output);
                EXPECT_EQ(tags.count("IFD0:Make") ? tags.at("IFD0:Make") : "", "Acme");
                EXPECT_EQ(tags.count("ExifIFD:DateTimeOriginal") ? tags.at("ExifIFD:DateTimeOriginal") : "",
                          "2021:02:03 04:05:06");
                EXPECT_TRUE(tags.count("GPS:GPSLatitude"));
                EXPECT_EQ(tags.count("IFD0:Orientation") ? tags.at("IFD0:Orientation") : "", "Horizontal (normal)");
                const DecodedPicture picture = FindReader(extension)(test::ReadBytes(output));
                EXPECT_EQ(picture.raster.width(), c.width);
                EXPECT_EQ(picture.raster.height(), c.height);
                EXPECT_EQ(picture.orientation, 1);
            }
        }
    }
}

TEST(AvifCli, DamagedHeifAndAvifSourcesGiveAnAfoLine) {
    ASSERT_TRUE(test::HaveProgram("avifenc"));
    ASSERT_TRUE(test::HaveProgram("heif-enc"));
    test::TempDir dir;
    test::WritePngFile(dir / "src.png", 48, 32, test::PngKind::Rgba, Sample);
    ASSERT_EQ(RunCommand("avifenc -s 9 " + ShellQuote(dir / "src.png") + " " + ShellQuote(dir / "whole.avif")).exitStatus, 0);
    ASSERT_EQ(RunCommand("heif-enc -q 50 " + ShellQuote(dir / "src.png") + " -o " + ShellQuote(dir / "whole.heic")).exitStatus, 0);
    for (const std::string ext : {"avif", "heic"}) {
        SCOPED_TRACE(ext);
        std::vector<std::uint8_t> bytes = test::ReadBytes(dir / ("whole." + ext));
        ASSERT_GT(bytes.size(), 100u);
        const std::vector<std::uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() * 2 / 3));
        test::WriteBytes(dir / ("cut." + ext), cut);
        // The container's boxes overwritten: nothing to find the picture by.
        for (std::size_t i = 12; i < 80; ++i) bytes[i] = 0xEE;
        test::WriteBytes(dir / ("damaged." + ext), bytes);
        for (const std::string name : {"cut.", "damaged."}) {
            const std::string path = dir / (name + ext);
            const auto r = RunCommand(Cli() + " --set Output_format=1 -o " + ShellQuote(dir / "out") + " " + ShellQuote(path));
            EXPECT_EQ(r.exitStatus, 1) << r.output;
            EXPECT_NE(r.output.find("AFO:" + path + ": "), std::string::npos) << r.output;
        }
    }
}

}  // namespace
}  // namespace zelvan
