// Jobs with WebP and JPEG XL outputs: the EXIF step's block in both, and the lossless JPEG
// recompression only while no step changes the source's pixels.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "engine/exif_step.h"
#include "support/exif_fixtures.h"
#include "support/fixtures.h"
#include "support/job_fixture.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using test::ShellQuote;

bool HasBox(const std::vector<std::uint8_t>& file, const char* type) {
    return std::search(file.begin(), file.end(), type, type + 4) != file.end();
}

class WebpJxlJob : public test::SingleJobTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(test::HaveProgram("cjpeg") && test::HaveProgram("djxl") && test::HaveProgram("dwebp") &&
                    test::HaveProgram("exiftool"));
        // 48 x 32 as stored, EXIF Orientation 6: shown 32 x 48.
        test::WritePngFile(dir / "src.png", 48, 32, test::PngKind::Rgb, [](int x, int y) {
            return test::Rgba{std::uint8_t(x * 5), std::uint8_t(y * 7), std::uint8_t(x ^ y), 255};
        });
        ASSERT_EQ(test::RunCommand("convert " + ShellQuote(dir / "src.png") + " ppm:- | cjpeg -quality 85 > " +
                                   ShellQuote(dir / "plain.jpg"))
                      .exitStatus,
                  0);
        jpeg = test::WithExifSegment(test::ReadBytes(dir / "plain.jpg"), test::ExifOrientationBlock(6));
        test::WriteBytes(src("photo.jpg"), jpeg);
    }

    // The output decoded by the reference decoder: its width and height.
    std::pair<int, int> DecodedSize(const std::string& output) {
        const std::string png = dir / "decoded.png";
        const bool webp = output.ends_with(".WEBP");
        const test::CommandResult r = test::RunCommand((webp ? "dwebp -quiet " : "djxl --quiet ") + ShellQuote(output) +
                                                       (webp ? " -o " : " ") + ShellQuote(png) + " 2>&1");
        EXPECT_EQ(r.exitStatus, 0) << r.output;
        const test::PngImage image = test::ReadPngFile(png);
        return {image.width, image.height};
    }

    std::vector<std::uint8_t> jpeg;
};

TEST_F(WebpJxlJob, AnUnchangedJpegIsRecompressedAndRebuildsBitForBit) {
    options->autoRotate = false;
    const std::string output = Run(src("photo.jpg"), "JXL");
    ASSERT_EQ(errors.Count(), 0u) << errors.Lines().front();
    const std::vector<std::uint8_t> jxl = test::ReadBytes(output);
    EXPECT_TRUE(HasBox(jxl, "jbrd")) << "the JPEG's reconstruction data";
    const test::CommandResult r =
        test::RunCommand("djxl --quiet " + ShellQuote(output) + " " + ShellQuote(dir / "back.jpg") + " 2>&1");
    ASSERT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_EQ(test::ReadBytes(dir / "back.jpg"), jpeg);

    options->jxlRecompressJpeg = false;
    EXPECT_FALSE(HasBox(test::ReadBytes(Run(src("photo.jpg"), "JXL", dir / "out/off.JXL")), "jbrd"));
}

TEST_F(WebpJxlJob, ExifOffRecompressesTheJpegWithoutItsExifSegment) {
    options->autoRotate = false;
    options->keepExif = false;
    const std::string output = Run(src("photo.jpg"), "JXL");
    ASSERT_EQ(errors.Count(), 0u) << errors.Lines().front();
    const std::vector<std::uint8_t> jxl = test::ReadBytes(output);
    EXPECT_TRUE(HasBox(jxl, "jbrd")) << "still the JPEG's reconstruction data";
    // libjxl keeps a JPEG's EXIF in an Exif box, compressed ("brob"): with Exif on there is one.
    EXPECT_FALSE(HasBox(jxl, "Exif") || HasBox(jxl, "brob"));
    options->keepExif = true;
    const std::vector<std::uint8_t> kept = test::ReadBytes(Run(src("photo.jpg"), "JXL", dir / "out/kept.JXL"));
    EXPECT_TRUE(HasBox(kept, "Exif") || HasBox(kept, "brob"));
    const test::CommandResult r =
        test::RunCommand("djxl --quiet " + ShellQuote(output) + " " + ShellQuote(dir / "back.jpg") + " 2>&1");
    ASSERT_EQ(r.exitStatus, 0) << r.output;
    // The source is the plain JPEG with one EXIF segment put in: the rebuilt file is the plain one.
    EXPECT_EQ(test::ReadBytes(dir / "back.jpg"), test::ReadBytes(dir / "plain.jpg"));
    EXPECT_TRUE(test::ExifToolTags(dir / "back.jpg").empty());
}

struct Change {
    const char* name;
    std::function<void(ConversionOptions&)> apply;
};

TEST_F(WebpJxlJob, AnyChangeOfThePixelsEncodesThemInstead) {
    options->autoRotate = false;
    const Change changes[] = {
        {"turned", [](ConversionOptions& o) { o.autoRotate = true; }},
        {"resized", [](ConversionOptions& o) { o.resizeMode = 2; o.resizePercent = 50; }},
        {"stamped", [](ConversionOptions& o) { o.textStampEnabled = true; o.textStampMask = "x"; }},
    };
    for (const Change& change : changes) {
        SCOPED_TRACE(change.name);
        ConversionOptions saved = *options;
        change.apply(*options);
        const std::string output = Run(src("photo.jpg"), "JXL", dir / (std::string("out/") + change.name + ".JXL"));
        *options = saved;
        ASSERT_EQ(errors.Count(), 0u) << errors.Lines().front();
        EXPECT_FALSE(HasBox(test::ReadBytes(output), "jbrd"));
        EXPECT_EQ(test::ExifToolTags(output)["IFD0:Software"], ExifSoftwareText()) << "the EXIF step's block";
    }
}

TEST_F(WebpJxlJob, TurnedPicturesCarryOrientationOneAndTheProgramsSoftware) {
    for (const char* extension : {"WEBP", "JXL"}) {
        SCOPED_TRACE(extension);
        const std::string output = Run(src("photo.jpg"), extension);
        ASSERT_EQ(errors.Count(), 0u) << errors.Lines().front();
        EXPECT_EQ(DecodedSize(output), std::make_pair(32, 48)) << "turned once";
        auto tags = test::ExifToolTags(output);
        EXPECT_EQ(tags["IFD0:Orientation"], "Horizontal (normal)");
        EXPECT_EQ(tags["IFD0:Software"], ExifSoftwareText());
    }
}

TEST_F(WebpJxlJob, TruncatedSourcesGiveAnAfoLine) {
    for (const char* extension : {"WEBP", "JXL"}) {
        SCOPED_TRACE(extension);
        options->autoRotate = false;
        options->jxlRecompressJpeg = false;
        const std::vector<std::uint8_t> whole = test::ReadBytes(Run(src("photo.jpg"), extension));
        const std::string cut = src(std::string("cut.") + extension);
        test::WriteBytes(cut, std::vector<std::uint8_t>(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(whole.size() / 2)));
        errors.Clear();
        Run(cut, "PNG");
        ASSERT_EQ(errors.Count(), 1u);
        EXPECT_EQ(errors.Lines().front().rfind("AFO:" + cut + ": ", 0), 0u) << errors.Lines().front();
    }
}

}  // namespace
}  // namespace zelvan
