// Auto_rotate: a photo stored on its side with EXIF Orientation 6 (turn 90 degrees clockwise to
// show) comes out upright, the fit box sees the shown size, and a carried EXIF block stops
// asking for the turn; with the option off the output is the stored picture, tag and all.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>

#include "engine/conversion_job.h"
#include "engine/output_formats.h"
#include "imaging/exif_record.h"
#include "imaging/readers/readers.h"
#include "imaging/writers/writers.h"
#include "jobs/error_list.h"
#include "support/exif_fixtures.h"
#include "support/fixtures.h"
#include "support/job_fixture.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

namespace fs = std::filesystem;

constexpr int kTurnClockwise = 6;

// Stored 40 x 24: the top half red, the bottom half blue. Shown, red is on the right.
std::vector<std::uint8_t> SidewaysJpeg() {
    Raster stored(40, 24, 24);
    for (int y = 0; y < stored.height(); ++y)
        for (int x = 0; x < stored.width(); ++x) {
            std::uint8_t* p = stored.row(y) + 3 * x;
            p[y < 12 ? 2 : 0] = 255;  // blue, green, red
        }
    return test::WithExifSegment(EncodeJpeg(stored, 95, false), test::ExifOrientationBlock(kTurnClockwise));
}

class AutoRotateJob : public test::SingleJobTest {
protected:
    AutoRotateJob() { test::WriteBytes(dir / "photo.jpg", SidewaysJpeg()); }

    // One job that must convert without a line; its output's path.
    std::string Run(const std::string& source, const std::string& extension) {
        const std::string output = SingleJobTest::Run(source, extension);
        EXPECT_EQ(errors.Count(), 0u) << (errors.Count() ? errors.Lines().front() : "");
        return output;
    }
};

bool Reddish(const test::PngImage& png, int x, int y) {
    const std::uint8_t* p = &png.rgba[(static_cast<std::size_t>(y) * png.width + x) * 4];
    return p[0] > 200 && p[2] < 60;
}
bool Bluish(const test::PngImage& png, int x, int y) {
    const std::uint8_t* p = &png.rgba[(static_cast<std::size_t>(y) * png.width + x) * 4];
    return p[2] > 200 && p[0] < 60;
}

// Into a 20 x 20 box: the shown 24 x 40 picture fits as 12 x 20; the stored one as 20 x 12.
TEST_F(AutoRotateJob, PngOutputIsUprightAndTheBoxFitsTheShownSize) {
    options->resizeMode = 1;
    options->resizeWidth = 20;
    options->resizeHeight = 20;
    options->keepProportions = true;

    const test::PngImage upright = test::ReadPngFile(Run(dir / "photo.jpg", "PNG"));
    ASSERT_EQ(upright.width, 12);
    ASSERT_EQ(upright.height, 20);
    for (int y : {1, 10, 18}) {
        EXPECT_TRUE(Bluish(upright, 1, y)) << y;
        EXPECT_TRUE(Reddish(upright, 10, y)) << y;
    }

    options->autoRotate = false;
    options->overwrite = true;
    const test::PngImage stored = test::ReadPngFile(Run(dir / "photo.jpg", "PNG"));
    ASSERT_EQ(stored.width, 20);
    ASSERT_EQ(stored.height, 12);
    for (int x : {1, 10, 18}) {
        EXPECT_TRUE(Reddish(stored, x, 1)) << x;
        EXPECT_TRUE(Bluish(stored, x, 10)) << x;
    }
}

// The transparency turns with the colours: a PNG whose stored top half is clear shows it on
// the right.
TEST_F(AutoRotateJob, TheAlphaMaskTurnsWithThePicture) {
    const std::string plain = dir / "plain.png";
    test::WritePngFile(plain, 8, 4, test::PngKind::Rgba, [](int x, int y) {
        return test::Rgba{static_cast<std::uint8_t>(x * 30), 100, 50, static_cast<std::uint8_t>(y < 2 ? 0 : 255)};
    });
    const std::string source = dir / "clear-top.png";
    test::WriteBytes(source, test::WithExifChunk(test::ReadBytes(plain), test::ExifOrientationBlock(kTurnClockwise)));

    const test::PngImage png = test::ReadPngFile(Run(source, "PNG"));
    ASSERT_EQ(png.width, 4);
    ASSERT_EQ(png.height, 8);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(png.rgba[(static_cast<std::size_t>(y) * 4 + x) * 4 + 3], x < 2 ? 255 : 0) << x << "," << y;
}

// The carried block says 1 only when the pixels were turned; either way the frame is described.
TEST_F(AutoRotateJob, JpegOutputCarriesTheOrientationOfItsPixels) {
    struct Case {
        bool autoRotate;
        int width, height, orientation;
    };
    for (const Case c : {Case{true, 24, 40, 1}, Case{false, 40, 24, kTurnClockwise}}) {
        SCOPED_TRACE(c.autoRotate ? "Auto_rotate on" : "Auto_rotate off");
        options->autoRotate = c.autoRotate;
        options->overwrite = true;
        const std::string output = Run(dir / "photo.jpg", "JPG");
        const DecodedPicture picture = ReadJpeg(test::ReadBytes(output));
        EXPECT_EQ(picture.raster.width(), c.width);
        EXPECT_EQ(picture.raster.height(), c.height);
        EXPECT_EQ(picture.orientation, c.orientation);

        ExifRecord record;
        std::ifstream in(output, std::ios::binary);
        record.ReadFromJpegStream(in);
        EXPECT_EQ(record.Orientation(), std::optional<int>(c.orientation));
    }
}

}  // namespace
}  // namespace zelvan
