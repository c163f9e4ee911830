// The EXIF thumbnail beside turned pixels: a camera stores it as the sensor saw the scene, so once
// the picture is turned upright it would show the scene on its side; it is left out then, and
// kept while the pixels stay as stored.
#include <gtest/gtest.h>

#include <string>

#include "engine/exif_step.h"
#include "imaging/raster.h"
#include "imaging/writers/writers.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using test::ShellQuote;

const QDateTime kNow(QDate(2024, 3, 1), QTime(10, 0, 0));

std::vector<std::uint8_t> FlatJpeg(int width, int height) {
    Raster r(width, height, 24);
    return EncodeJpeg(r, 90, false);
}

TEST(ExifThumbnail, LeftOutWhenThePixelsAreTurnedKeptOtherwise) {
    ASSERT_TRUE(test::HaveProgram("exiftool")) << "install-deps.sh installs libimage-exiftool-perl";
    test::TempDir dir;
    // A portrait photo stored landscape (Orientation 6) with a landscape 160x100 thumbnail.
    test::WriteBytes(dir / "photo.jpg", FlatJpeg(320, 200));
    test::WriteBytes(dir / "thumb.jpg", FlatJpeg(160, 100));
    const auto r = test::RunCommand("exiftool -q -overwrite_original -n -Orientation=6 '-ThumbnailImage<=" +
                                    dir / "thumb.jpg" + "' " + ShellQuote(dir / "photo.jpg") + " 2>&1");
    ASSERT_EQ(r.exitStatus, 0) << r.output;
    ASSERT_TRUE(test::ExifToolTags(dir / "photo.jpg").count("IFD1:ThumbnailLength"));

    const struct {
        OutputPixels pixels;
        bool thumbnail;
    } cases[] = {{OutputPixels::Upright, false}, {OutputPixels::AsStored, true}};
    for (const auto& c : cases) {
        const std::string out = dir / "out.jpg";
        test::WriteBytes(out, WithExif(dir / "photo.jpg", FlatJpeg(200, 320), kNow, c.pixels));
        const auto tags = test::ExifToolTags(out);
        EXPECT_EQ(tags.count("IFD1:ThumbnailLength") == 1, c.thumbnail);
        EXPECT_EQ(tags.at("IFD0:Orientation"), c.pixels == OutputPixels::Upright ? "Horizontal (normal)" : "Rotate 90 CW");
    }
}

}  // namespace
}  // namespace zelvan
