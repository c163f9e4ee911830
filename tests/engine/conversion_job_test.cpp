#include "engine/conversion_job.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cmath>
#include <filesystem>
#include <random>
#include <mutex>

#include "base/file_io.h"
#include "engine/output_formats.h"
#include "imaging/readers/readers.h"
#include "jobs/error_list.h"
#include "support/fixtures.h"
#include "support/job_fixture.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

namespace fs = std::filesystem;

test::Rgba Gradient(int x, int y) {
    return {static_cast<std::uint8_t>(x * 7), static_cast<std::uint8_t>(y * 5), 90, static_cast<std::uint8_t>(x * 9)};
}

using ConversionJobTest = test::SingleJobTest;

TEST_F(ConversionJobTest, ExistingOutputBlocksTheJobUnlessOverwriting) {
    test::WriteBytes(src("photo.bmp"), test::MakeBmp24(40, 30, Gradient));
    test::WriteBytes(out() + "photo.PNG", std::vector<std::uint8_t>{1, 2, 3});
    Run(src("photo.bmp"), "PNG");
    EXPECT_EQ(errors.Lines(), std::vector<std::string>{"AFO:" + src("photo.bmp") + ": File already exists"});
    EXPECT_EQ(test::ReadBytes(out() + "photo.PNG").size(), 3u);
    EXPECT_EQ(run.processed.load(), 1);
    EXPECT_EQ(run.inputKiB.load(), 0);
    EXPECT_EQ(run.outputKiB.load(), 0);
    EXPECT_EQ(lifetime.processedFiles.load(), 0);

    options->overwrite = true;
    Run(src("photo.bmp"), "PNG");
    EXPECT_EQ(errors.Count(), 1u);
    test::PngImage png = test::ReadPngFile(out() + "photo.PNG");
    EXPECT_EQ(png.width, 40);
    EXPECT_EQ(png.colourType, 2);
    EXPECT_EQ(run.processed.load(), 2);
    EXPECT_EQ(lifetime.processedFiles.load(), 1);
}

TEST_F(ConversionJobTest, SizesCountInWholeKiB) {
    std::vector<std::uint8_t> bmp = test::MakeBmp24(8, 8, Gradient);
    ASSERT_LT(bmp.size(), 1023u);
    std::vector<std::uint8_t> small = bmp, exact = bmp;
    small.resize(1023, 0);  // trailing bytes after the pixels are harmless
    exact.resize(1024, 0);
    test::WriteBytes(src("small.bmp"), small);
    test::WriteBytes(src("exact.bmp"), exact);
    options->outputFormat = 2;
    Run(src("small.bmp"), "BMP");
    EXPECT_EQ(run.inputKiB.load(), 0);
    Run(src("exact.bmp"), "BMP");
    EXPECT_EQ(run.inputKiB.load(), 1);
    EXPECT_EQ(lifetime.processedKiB.load(), 1);
    EXPECT_EQ(lifetime.processedFiles.load(), 2);
    EXPECT_EQ(errors.Count(), 0u) << errors.Lines().front();
    // 8x8 at 24 bits is 246 bytes: nothing to add to the output total.
    EXPECT_EQ(run.outputKiB.load(), 0);
}

TEST_F(ConversionJobTest, UnreadableSourcesGiveOneLineAndNoOutput) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        const char* expectedStart;
    };
    std::vector<std::uint8_t> truncated = test::MakeBmp24(50, 50, Gradient);
    truncated.resize(500);
    for (const Case& c : {Case{"notes.xyz", {1, 2, 3}, "AFO:"}, Case{"vector.wmf", {1, 2, 3}, "AFO:"},
                          Case{"broken.bmp", truncated, "AFO:"}, Case{"empty.png", {}, "AFO:"},
                          Case{"text.jpg", {'h', 'e', 'l', 'l', 'o'}, "AFO:"}}) {
        errors.Clear();
        test::WriteBytes(src(c.name), c.bytes);
        std::string destination = Run(src(c.name), "JPG");
        ASSERT_EQ(errors.Count(), 1u) << c.name;
        const std::string line = errors.Lines()[0];
        EXPECT_EQ(line.rfind(std::string(c.expectedStart) + src(c.name) + ": ", 0), 0u) << line;
        EXPECT_GT(line.size(), std::string(c.expectedStart).size() + src(c.name).size() + 2) << "a message follows";
        EXPECT_FALSE(fs::exists(destination)) << c.name;
    }
    EXPECT_EQ(run.processed.load(), 5);
    EXPECT_EQ(lifetime.processedFiles.load(), 0);
}

TEST_F(ConversionJobTest, RawSourcesWithoutThePluginNameTheDestination) {
    for (const char* name : {"IMG_0001.CR2", "img_0002.cr2", "x.Nef"}) {
        errors.Clear();
        test::WriteBytes(src(name), std::vector<std::uint8_t>(2048, 0));
        std::string destination = Run(src(name), "JPG");
        EXPECT_EQ(errors.Lines(), std::vector<std::string>{destination + ": rawdll.so error."}) << name;
    }
    EXPECT_EQ(run.inputKiB.load(), 0);
}

TEST_F(ConversionJobTest, FailedWriteGivesSaveErrorAndKeepsNoPartialFile) {
    test::WriteBytes(src("photo.bmp"), test::MakeBmp24(64, 64, Gradient));
    options->outputFolder = dir / "gone/";
    Run(src("photo.bmp"), "TGA", dir / "gone/photo.TGA");
    ASSERT_EQ(errors.Count(), 1u);
    EXPECT_EQ(errors.Lines()[0].rfind("FSE:" + dir / "gone/photo.TGA" + ": ", 0), 0u) << errors.Lines()[0];
    EXPECT_EQ(run.outputKiB.load(), 0);
    EXPECT_EQ(run.inputKiB.load(), 12) << "the source still counts";
    EXPECT_EQ(lifetime.processedFiles.load(), 1);
}

TEST_F(ConversionJobTest, AutomaticFormatKeepsTheSmallerCandidate) {
    options->autoFormat = true;
    // A photo-like JPEG source only ever gets a JPEG candidate.
    // A photo-like picture: smooth shapes under sensor noise.
    std::mt19937 random(5);
    test::WriteBytes(src("noise.bmp"), test::MakeBmp24(64, 64, [&](int x, int y) {
        auto noisy = [&](double v) { return static_cast<std::uint8_t>(std::clamp(v + static_cast<int>(random() % 17) - 8, 0.0, 255.0)); };
        return test::Rgba{noisy(128 + 90 * std::sin(x * 0.1)), noisy(128 + 90 * std::cos(y * 0.13)), noisy(x + y)};
    }));
    std::string noisy = Run(src("noise.bmp"), "BMP");
    EXPECT_EQ(noisy, out() + "noise.JPG") << "noise compresses better as JPEG";
    // Flat artwork with alpha: the PNG candidate keeps the alpha and wins.
    test::WritePngFile(src("flat.png"), 100, 100, test::PngKind::Rgba, [](int x, int) {
        return test::Rgba{200, 10, 10, static_cast<std::uint8_t>(x < 50 ? 0 : 255)};
    });
    std::string flat = Run(src("flat.png"), "GIF");
    EXPECT_EQ(flat, out() + "flat.PNG");
    test::PngImage png = test::ReadPngFile(flat);
    EXPECT_EQ(png.colourType, 3) << "two colours with their opacity: a palette with tRNS";
    EXPECT_EQ(png.rgba[3], 0);
    EXPECT_EQ(png.rgba[4 * 99 + 3], 255);
    // A .jpg source never gets a PNG candidate, however flat.
    fs::copy_file(out() + "noise.JPG", src("flat-ish.jpg"));
    EXPECT_EQ(Run(src("flat-ish.jpg"), "PNG"), out() + "flat-ish.JPG");
    EXPECT_EQ(errors.Count(), 0u);
    EXPECT_GT(run.outputKiB.load(), 0);
}

TEST_F(ConversionJobTest, AutomaticFormatWriteFailureIsReportedWithoutCode) {
    options->autoFormat = true;
    test::WriteBytes(src("photo.bmp"), test::MakeBmp24(16, 16, Gradient));
    Run(src("photo.bmp"), "JPG", dir / "gone/photo.JPG");
    ASSERT_EQ(errors.Count(), 1u);
    EXPECT_EQ(errors.Lines()[0].rfind(dir / "gone/photo.JPG" + ": ", 0), 0u) << errors.Lines()[0];
    EXPECT_EQ(run.processed.load(), 1);
}

// A file-size limit that the picture fits but the picture with its EXIF block does not (as a
// nearly full disk): the output is whole or absent, never a picture stripped of its block.
TEST_F(ConversionJobTest, AnOutputIsWrittenOnceWithItsExifBlock) {
    const std::string camera = test::CorporaDir() +
                               "/golang-github-rwcarlsen-goexif-dev/usr/share/gocode/src/github.com/rwcarlsen/goexif/exif/sample1.jpg";
    test::WriteBytes(src("photo.jpg"), test::ReadBytes(camera));
    options->resizeMode = 2;
    options->resizePercent = 20;
    options->keepExif = false;
    const std::uintmax_t plain = fs::file_size(Run(src("photo.jpg"), "JPG"));
    fs::remove_all(out());
    fs::create_directories(out());
    options->keepExif = true;

    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = saved;
    limited.rlim_cur = static_cast<rlim_t>(plain + 64);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const std::string output = Run(src("photo.jpg"), "JPG");
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    ASSERT_EQ(errors.Count(), 1u);
    EXPECT_EQ(errors.Lines()[0].rfind("FSE:" + output + ": ", 0), 0u) << errors.Lines()[0];
    EXPECT_TRUE(fs::is_empty(out())) << "neither the output nor a temporary file is left";
}

TEST_F(ConversionJobTest, TransparencySurvivesIntoTheOutput) {
    // An indexed PNG's transparent entry survives a resize, which makes the output RGBA.
    test::WritePngFile(src("indexed.png"), 20, 10, test::PngKind::IndexedAlpha, [](int x, int) {
        return x < 10 ? test::Rgba{255, 0, 255, 0} : test::Rgba{0, 0, 255};
    });
    options->resizeMode = 2;
    options->resizePercent = 50;
    test::PngImage png = test::ReadPngFile(Run(src("indexed.png"), "PNG"));
    ASSERT_EQ(png.width, 10);
    EXPECT_EQ(png.colourType, 3) << "the few colours of the resized picture, with their opacity, make a palette";
    EXPECT_EQ(png.rgba[3], 0) << "left half transparent";
    EXPECT_EQ(png.rgba[4 * 9 + 3], 255);
    options->resizeMode = 0;
    // RGBA sources give 32-bit Targa and four-component JPEG 2000 outputs.
    test::WritePngFile(src("rgba.png"), 9, 3, test::PngKind::Rgba, Gradient);
    std::vector<std::uint8_t> tga = test::ReadBytes(Run(src("rgba.png"), "TGA"));
    ASSERT_GE(tga.size(), 18u);
    EXPECT_EQ(tga[16], 32);
    const DecodedPicture jp2 = ReadJpeg2000(test::ReadBytes(Run(src("rgba.png"), "JP2")));
    EXPECT_EQ(jp2.raster.bitsPerPixel(), 32);
    EXPECT_EQ(errors.Count(), 0u);
}

}  // namespace
}  // namespace zelvan
