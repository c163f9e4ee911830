// The WebP reader against files cwebp, img2webp and webpmux make, decoded by dwebp for reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/error.h"
#include "imaging/readers/readers.h"
#include "support/exif_fixtures.h"
#include "support/fixtures.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using test::ShellQuote;

// Smooth gradients with hard edges and, for alpha, a ramp of opacity with fully transparent parts.
test::Rgba Pattern(int x, int y) {
    return {static_cast<std::uint8_t>(x * 5), static_cast<std::uint8_t>(y * 7),
            static_cast<std::uint8_t>((x / 8 + y / 8) % 2 ? 220 : 30),
            static_cast<std::uint8_t>(x < 6 ? 0 : std::min(255, x * 6))};
}

void RunTool(const std::string& command) {
    const test::CommandResult r = test::RunCommand(command + " 2>&1");
    ASSERT_EQ(r.exitStatus, 0) << command << "\n" << r.output;
}

struct CwebpCase {
    const char* name;
    test::PngKind kind;
    const char* options;
    int bitsPerPixel;
};

class WebpFromCwebp : public ::testing::TestWithParam<CwebpCase> {};

TEST_P(WebpFromCwebp, DecodesToDwebpsPixels) {
    const CwebpCase& c = GetParam();
    ASSERT_TRUE(test::HaveProgram("cwebp") && test::HaveProgram("dwebp")) << "install-deps.sh installs webp";
    test::TempDir dir;
    test::WritePngFile(dir / "src.png", 45, 33, c.kind, Pattern);
    RunTool("cwebp -quiet " + std::string(c.options) + " " + ShellQuote(dir / "src.png") + " -o " + ShellQuote(dir / "a.webp"));
    RunTool("dwebp -quiet " + ShellQuote(dir / "a.webp") + " -o " + ShellQuote(dir / "ref.png"));

    const DecodedPicture picture = ReadWebp(test::ReadBytes(dir / "a.webp"));
    EXPECT_EQ(picture.kind, PictureKind::Webp);
    EXPECT_EQ(picture.raster.bitsPerPixel(), c.bitsPerPixel);
    EXPECT_EQ(picture.HasAlpha(), c.bitsPerPixel == 32);
    EXPECT_TRUE(test::SamePixels(picture.raster, test::DecodePngWithLibpng(dir / "ref.png")));
    if (std::string(c.options).find("lossless") != std::string::npos && c.kind == test::PngKind::Rgb) {
        EXPECT_TRUE(test::SamePixels(picture.raster, test::DecodePngWithLibpng(dir / "src.png"))) << "lossless is exact";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WebpFromCwebp,
    ::testing::Values(CwebpCase{"Lossless", test::PngKind::Rgb, "-lossless", 24},
                      CwebpCase{"LosslessAlpha", test::PngKind::Rgba, "-lossless -exact", 32},
                      CwebpCase{"Lossy", test::PngKind::Rgb, "-q 70", 24},
                      CwebpCase{"LossyAlpha", test::PngKind::Rgba, "-q 40 -alpha_q 50", 32}),
    test::CaseName());

TEST(WebpReader, AnimationGivesItsFirstFrame) {
    ASSERT_TRUE(test::HaveProgram("img2webp")) << "install-deps.sh installs webp";
    test::TempDir dir;
    // No fully transparent pixels: without -exact (which img2webp lacks) their colour is not kept.
    const auto seen = [](int x, int y) {
        test::Rgba p = Pattern(x, y);
        p.a = std::max<std::uint8_t>(p.a, 1);
        return p;
    };
    test::WritePngFile(dir / "1.png", 20, 12, test::PngKind::Rgba, seen);
    test::WritePngFile(dir / "2.png", 20, 12, test::PngKind::Rgba, [&](int x, int y) { return seen(y % 20, x % 12); });
    RunTool("img2webp -lossless " + ShellQuote(dir / "1.png") + " " + ShellQuote(dir / "2.png") + " -o " +
        ShellQuote(dir / "anim.webp"));
    const DecodedPicture picture = ReadWebp(test::ReadBytes(dir / "anim.webp"));
    ASSERT_EQ(picture.raster.bitsPerPixel(), 32);
    EXPECT_TRUE(test::SamePixels(picture.raster, test::DecodePngWithLibpng(dir / "1.png")));
}

TEST(WebpReader, KeepsTheExifOrientationForTheJobAndTheIccProfile) {
    ASSERT_TRUE(test::HaveProgram("webpmux")) << "install-deps.sh installs webp";
    test::TempDir dir;
    test::WritePngFile(dir / "src.png", 16, 8, test::PngKind::Rgb, Pattern);
    RunTool("cwebp -quiet -lossless " + ShellQuote(dir / "src.png") + " -o " + ShellQuote(dir / "a.webp"));
    const std::vector<std::uint8_t> exif = test::ExifOrientationBlock(6, test::ByteOrder::Motorola);
    std::vector<std::uint8_t> icc(200);
    for (std::size_t i = 0; i < icc.size(); ++i) icc[i] = static_cast<std::uint8_t>(i * 3);
    test::WriteBytes(dir / "exif.bin", exif);
    test::WriteBytes(dir / "p.icc", icc);
    RunTool("webpmux -set exif " + ShellQuote(dir / "exif.bin") + " " + ShellQuote(dir / "a.webp") + " -o " +
        ShellQuote(dir / "b.webp"));
    RunTool("webpmux -set icc " + ShellQuote(dir / "p.icc") + " " + ShellQuote(dir / "b.webp") + " -o " +
        ShellQuote(dir / "c.webp"));

    const DecodedPicture picture = ReadWebp(test::ReadBytes(dir / "c.webp"));
    EXPECT_EQ(picture.orientation, 6) << "turned by the job's Orient step, not by the reader";
    EXPECT_EQ(picture.raster.width(), 16) << "the pixels as stored";
    EXPECT_EQ(picture.iccProfile, icc);
    EXPECT_TRUE(ReadWebp(test::ReadBytes(dir / "a.webp")).iccProfile.empty());
}

TEST(WebpReader, TruncatedAndDamagedFilesFailCleanly) {
    ASSERT_TRUE(test::HaveProgram("cwebp"));
    test::TempDir dir;
    test::WritePngFile(dir / "src.png", 64, 48, test::PngKind::Rgba, Pattern);
    for (const char* options : {"-lossless", "-q 60"}) {
        SCOPED_TRACE(options);
        RunTool("cwebp -quiet " + std::string(options) + " " + ShellQuote(dir / "src.png") + " -o " + ShellQuote(dir / "a.webp"));
        const std::vector<std::uint8_t> whole = test::ReadBytes(dir / "a.webp");
        for (std::size_t keep : {std::size_t{0}, std::size_t{5}, std::size_t{12}, std::size_t{30}, whole.size() / 2,
                                 whole.size() - 1}) {
            const std::vector<std::uint8_t> cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(keep));
            try {
                ReadWebp(cut);
                ADD_FAILURE() << "a file cut to " << keep << " bytes decoded";
            } catch (const Error& e) {
                EXPECT_EQ(std::string(e.what()).rfind("WebP: ", 0), 0u) << e.what();
            }
        }
        // Damage past the header either fails with a message or decodes to something: never worse.
        for (std::size_t at = 20; at < whole.size(); at += 7) {
            std::vector<std::uint8_t> damaged = whole;
            damaged[at] ^= 0x5A;
            try {
                ReadWebp(damaged);
            } catch (const Error& e) {
                EXPECT_EQ(std::string(e.what()).rfind("WebP: ", 0), 0u) << e.what();
            }
        }
    }
}

}  // namespace
}  // namespace zelvan
