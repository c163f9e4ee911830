// The JPEG XL reader against files cjxl makes, decoded by djxl for reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/error.h"
#include "imaging/readers/readers.h"
#include "support/fixtures.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using test::ShellQuote;

test::Rgba Pattern(int x, int y) {
    return {static_cast<std::uint8_t>(x * 5), static_cast<std::uint8_t>(y * 7),
            static_cast<std::uint8_t>((x / 8 + y / 8) % 2 ? 220 : 30),
            static_cast<std::uint8_t>(x < 6 ? 1 : std::min(255, x * 6))};
}

void RunTool(const std::string& command) {
    const test::CommandResult r = test::RunCommand(command + " 2>&1");
    ASSERT_EQ(r.exitStatus, 0) << command << "\n" << r.output;
}

struct CjxlCase {
    const char* name;
    test::PngKind kind;
    const char* options;
    int bitsPerPixel;
    bool exact;  // lossless: the source's own pixels too
};

class JxlFromCjxl : public ::testing::TestWithParam<CjxlCase> {};

TEST_P(JxlFromCjxl, DecodesToDjxlsPixels) {
    const CjxlCase& c = GetParam();
    ASSERT_TRUE(test::HaveProgram("cjxl") && test::HaveProgram("djxl")) << "install-deps.sh installs libjxl-tools";
    test::TempDir dir;
    test::WritePngFile(dir / "src.png", 45, 33, c.kind, Pattern);
    RunTool("cjxl --quiet " + std::string(c.options) + " " + ShellQuote(dir / "src.png") + " " + ShellQuote(dir / "a.jxl"));
    RunTool("djxl --quiet --bits_per_sample=8 " + ShellQuote(dir / "a.jxl") + " " + ShellQuote(dir / "ref.png"));

    const DecodedPicture picture = ReadJxl(test::ReadBytes(dir / "a.jxl"));
    EXPECT_EQ(picture.kind, PictureKind::JpegXl);
    EXPECT_EQ(picture.raster.bitsPerPixel(), c.bitsPerPixel);
    EXPECT_TRUE(picture.iccProfile.empty()) << "sRGB needs no profile";
    EXPECT_TRUE(test::SamePixels(picture.raster, test::DecodePngWithLibpng(dir / "ref.png")));
    if (c.exact) {
        EXPECT_TRUE(test::SamePixels(picture.raster, test::DecodePngWithLibpng(dir / "src.png")));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, JxlFromCjxl,
                         ::testing::Values(CjxlCase{"Lossless", test::PngKind::Rgb, "-d 0", 24, true},
                                           CjxlCase{"LosslessAlpha", test::PngKind::Rgba, "-d 0", 32, true},
                                           CjxlCase{"Lossy", test::PngKind::Rgb, "-q 80 -e 3", 24, false},
                                           CjxlCase{"LossyAlpha", test::PngKind::Rgba, "-q 50 -e 3", 32, false}),
                         test::CaseName());

TEST(JxlReader, AnExifBoxOrientationDoesNotTurnThePicture) {
    ASSERT_TRUE(test::HaveProgram("cjxl") && test::HaveProgram("djxl") && test::HaveProgram("convert"));
    // A JPEG whose EXIF says "turn 90 degrees clockwise", recompressed: the tag travels in the
    // Exif box, which JPEG XL decoders do not follow; only the codestream's orientation counts,
    // so the picture comes out as djxl shows it, once and for all.
    test::TempDir dir;
    test::WritePngFile(dir / "src.png", 32, 16, test::PngKind::Rgb, Pattern);
    RunTool("convert " + ShellQuote(dir / "src.png") + " -orient RightTop " + ShellQuote(dir / "a.jpg"));
    RunTool("cjxl --quiet " + ShellQuote(dir / "a.jpg") + " " + ShellQuote(dir / "a.jxl"));
    RunTool("djxl --quiet " + ShellQuote(dir / "a.jxl") + " " + ShellQuote(dir / "ref.png"));
    const DecodedPicture picture = ReadJxl(test::ReadBytes(dir / "a.jxl"));
    EXPECT_EQ(picture.orientation, 1);
    EXPECT_TRUE(test::SamePixels(picture.raster, test::DecodePngWithLibpng(dir / "ref.png")));
}

TEST(JxlReader, GreyStaysGreyAndAWideGamutProfileIsKept) {
    ASSERT_TRUE(test::HaveProgram("cjxl") && test::HaveProgram("convert"));
    test::TempDir dir;
    RunTool("convert -size 20x10 gradient:black-white -colorspace Gray -depth 8 " + ShellQuote(dir / "g.png"));
    RunTool("cjxl --quiet -d 0 " + ShellQuote(dir / "g.png") + " " + ShellQuote(dir / "g.jxl"));
    const DecodedPicture grey = ReadJxl(test::ReadBytes(dir / "g.jxl"));
    EXPECT_EQ(grey.sampleColours, SampleColours::Grey);
    EXPECT_EQ(grey.raster.bitsPerPixel(), 8);
    EXPECT_TRUE(test::SamePixels(grey.raster, test::DecodePngWithLibpng(dir / "g.png")));

    // 16-bit Display P3 (primaries cjxl keeps as such): 8 bits out, and a profile that says P3.
    RunTool("convert -size 20x10 gradient:red-blue -depth 16 " + ShellQuote(dir / "c.png"));
    RunTool("cjxl --quiet -d 0 -x color_space=RGB_D65_DCI_Rel_SRG " + ShellQuote(dir / "c.png") + " " +
            ShellQuote(dir / "c.jxl"));
    const DecodedPicture wide = ReadJxl(test::ReadBytes(dir / "c.jxl"));
    EXPECT_EQ(wide.raster.bitsPerPixel(), 24);
    EXPECT_FALSE(wide.iccProfile.empty());
}

// The decoder's input stays open, so that a cut file ends in "more input needed", which libjxl
// reports quietly; closed input would make it an error that Debian's libjxl prints.
TEST(JxlReader, CutFilesAreTruncatedAndPrintNothing) {
    ASSERT_TRUE(test::HaveProgram("cjxl"));
    test::TempDir dir;
    test::WritePngFile(dir / "src.png", 64, 48, test::PngKind::Rgba, Pattern);
    RunTool("cjxl --quiet -d 1 " + ShellQuote(dir / "src.png") + " " + ShellQuote(dir / "a.jxl"));
    const std::vector<std::uint8_t> whole = test::ReadBytes(dir / "a.jxl");
    for (const std::size_t keep : {std::size_t{16}, whole.size() / 3, whole.size() / 2, whole.size() - 1}) {
        SCOPED_TRACE(keep);
        const std::vector<std::uint8_t> cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(keep));
        testing::internal::CaptureStderr();
        std::string message;
        try {
            ReadJxl(cut);
        } catch (const Error& e) {
            message = e.what();
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(message, "JPEG XL: file is truncated");
    }
}

TEST(JxlReader, TruncatedAndDamagedFilesFailCleanly) {
    ASSERT_TRUE(test::HaveProgram("cjxl"));
    test::TempDir dir;
    test::WritePngFile(dir / "src.png", 64, 48, test::PngKind::Rgba, Pattern);
    for (const char* options : {"-d 0", "-q 60 -e 3"}) {
        SCOPED_TRACE(options);
        RunTool("cjxl --quiet " + std::string(options) + " " + ShellQuote(dir / "src.png") + " " + ShellQuote(dir / "a.jxl"));
        const std::vector<std::uint8_t> whole = test::ReadBytes(dir / "a.jxl");
        for (std::size_t keep : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{10}, whole.size() / 2,
                                 whole.size() - 1}) {
            const std::vector<std::uint8_t> cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(keep));
            try {
                ReadJxl(cut);
                ADD_FAILURE() << "a file cut to " << keep << " bytes decoded";
            } catch (const Error& e) {
                EXPECT_EQ(std::string(e.what()).rfind("JPEG XL: ", 0), 0u) << e.what();
            }
        }
        for (std::size_t at = 2; at < whole.size(); at += 5) {
            std::vector<std::uint8_t> damaged = whole;
            damaged[at] ^= 0x5A;
            try {
                ReadJxl(damaged);
            } catch (const Error& e) {
                EXPECT_EQ(std::string(e.what()).rfind("JPEG XL: ", 0), 0u) << e.what();
            }
        }
    }
}

}  // namespace
}  // namespace zelvan
