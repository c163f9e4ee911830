// The EXIF thumbnail of a JPEG output is made anew from the output, so that it shows what the
// output shows: upright and portrait once a portrait photo stored landscape is turned, the
// output's proportions once it is resized or cropped. The bare block of other formats, made
// without the output's pixels, leaves a thumbnail out once the pixels are turned.
#include <gtest/gtest.h>

#include <string>

#include "engine/exif_step.h"
#include "imaging/exif_record.h"
#include "imaging/raster.h"
#include "imaging/readers/readers.h"
#include "imaging/writers/writers.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using test::ShellQuote;

const QDateTime kNow(QDate(2024, 3, 1), QTime(10, 0, 0));

// A picture whose left half is dark and right half light, so that a thumbnail shows which way
// it stands.
std::vector<std::uint8_t> HalvesJpeg(int width, int height) {
    Raster r(width, height, 24);
    for (int y = 0; y < height; ++y)
        for (int x = width / 2; x < width; ++x) r.row(y)[3 * x] = r.row(y)[3 * x + 1] = r.row(y)[3 * x + 2] = 255;
    return EncodeJpeg(r, 90, false);
}

class ExifThumbnail : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(test::HaveProgram("exiftool")) << "install-deps.sh installs libimage-exiftool-perl";
        // A portrait photo stored landscape (Orientation 6) with a landscape 160x100 thumbnail.
        test::WriteBytes(photo_, HalvesJpeg(320, 200));
        test::WriteBytes(dir_ / "thumb.jpg", HalvesJpeg(160, 100));
        const auto r = test::RunCommand("exiftool -q -overwrite_original -n -Orientation=6 '-ThumbnailImage<=" +
                                        dir_ / "thumb.jpg" + "' " + ShellQuote(photo_) + " 2>&1");
        ASSERT_EQ(r.exitStatus, 0) << r.output;
    }
    // The thumbnail exiftool finds in a file, decoded; an empty raster for none.
    Raster Thumbnail(const std::string& path) {
        const std::string thumb = path + ".thumb.jpg";
        test::RunCommand("exiftool -q -b -ThumbnailImage " + ShellQuote(path) + " > " + ShellQuote(thumb));
        const std::vector<std::uint8_t> bytes = test::ReadBytes(thumb);
        return bytes.empty() ? Raster() : ReadJpeg(bytes).raster;
    }
    test::TempDir dir_;
    std::string photo_ = dir_ / "photo.jpg";
};

TEST_F(ExifThumbnail, AJpegOutputGetsOneOfItsOwnPixels) {
    const struct {
        const char* name;
        OutputPixels pixels;
        int width, height;           // the output
        int thumbWidth, thumbHeight;
        const char* orientation;
    } cases[] = {
        {"turned upright", OutputPixels::Upright, 200, 320, 100, 160, "Horizontal (normal)"},
        {"as stored", OutputPixels::AsStored, 320, 200, 160, 100, "Rotate 90 CW"},
        {"turned and cropped square", OutputPixels::Upright, 240, 240, 160, 160, "Horizontal (normal)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = dir_ / "out.jpg";
        test::WriteBytes(out, WithExif(photo_, HalvesJpeg(c.width, c.height), kNow, c.pixels));
        EXPECT_EQ(test::ExifToolTags(out).at("IFD0:Orientation"), c.orientation);
        const Raster thumb = Thumbnail(out);
        ASSERT_EQ(thumb.width(), c.thumbWidth);
        ASSERT_EQ(thumb.height(), c.thumbHeight);
        // Dark on the left, light on the right, as the output itself.
        EXPECT_LT(thumb.row(thumb.height() / 2)[0], 40);
        EXPECT_GT(thumb.row(thumb.height() / 2)[(thumb.width() - 1) * (thumb.bitsPerPixel() / 8)], 215);
    }
}

TEST_F(ExifThumbnail, TheBareBlockLeavesItOutOnceThePixelsAreTurned) {
    for (const OutputPixels pixels : {OutputPixels::Upright, OutputPixels::AsStored}) {
        ExifRecord record;
        record.ReadFromTiffBlock(ExifBlockFor(photo_, kNow, pixels, 200, 320));
        EXPECT_EQ(record.HasThumbnail(), pixels == OutputPixels::AsStored);
    }
}

}  // namespace
}  // namespace zelvan
