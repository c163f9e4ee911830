// The Metadata choice on a camera photo with a location (tags written by exiftool), for JPEG
// outputs and the bare block of the other formats; and a source without EXIF, whose WebP, AVIF and
// JPEG XL outputs get no block while JPEG keeps its Software and date.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "engine/conversion_options.h"
#include "engine/exif_step.h"
#include "imaging/raster.h"
#include "imaging/writers/writers.h"
#include "support/job_fixture.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using test::ShellQuote;
using Tags = std::map<std::string, std::string>;

const QDateTime kNow(QDate(2024, 3, 1), QTime(10, 0, 0));

std::vector<std::uint8_t> FlatJpeg(int width, int height) { return EncodeJpeg(Raster(width, height, 24), 90, false); }

bool HasGroup(const Tags& tags, const std::string& group) {
    for (const auto& [key, value] : tags)
        if (key.rfind(group + ":", 0) == 0) return true;
    return false;
}

class MetadataChoice : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(test::HaveProgram("exiftool")) << "install-deps.sh installs libimage-exiftool-perl";
        test::WriteBytes(photo_, FlatJpeg(64, 48));
        const auto r = test::RunCommand(
            "exiftool -q -overwrite_original -Make=Maker -Model=Cam -Artist=Ann -Copyright='(c) Ann' "
            "-ImageDescription=Beach -DateTimeOriginal='2023:07:01 12:00:00' -GPSLatitude=48.85 "
            "-GPSLatitudeRef=N -GPSLongitude=2.35 -GPSLongitudeRef=E " +
            ShellQuote(photo_) + " 2>&1");
        ASSERT_EQ(r.exitStatus, 0) << r.output;
        ASSERT_TRUE(HasGroup(test::ExifToolTags(photo_), "GPS"));
    }
    // The tags of a JPEG output and of the bare block (read back from a JPEG that carries it).
    Tags JpegTags(int metadata) {
        test::WriteBytes(dir_ / "out.jpg", WithExif(photo_, FlatJpeg(64, 48), kNow, OutputPixels::AsStored, metadata));
        return test::ExifToolTags(dir_ / "out.jpg");
    }
    Tags BlockTags(const std::string& source, int metadata) {
        const std::vector<std::uint8_t> block = ExifBlockFor(source, kNow, OutputPixels::AsStored, 64, 48, metadata);
        if (block.empty()) return {};
        test::WriteBytes(dir_ / "block.webp", WebpWithExif(EncodeWebp(Raster(64, 48, 24), nullptr, WebpSettings{}), block));
        return test::ExifToolTags(dir_ / "block.webp");
    }
    test::TempDir dir_;
    std::string photo_ = dir_ / "photo.jpg";
};

TEST_F(MetadataChoice, EachChoiceKeepsWhatItPromises) {
    const struct {
        int metadata;
        bool location, description, camera;
    } cases[] = {
        {kAllMetadata, true, true, true},
        {kMetadataWithoutLocation, false, true, true},
        {kMinimalMetadata, false, false, true},
    };
    for (const auto& c : cases) {
        for (const Tags& tags : {JpegTags(c.metadata), BlockTags(photo_, c.metadata)}) {
            SCOPED_TRACE(c.metadata);
            EXPECT_EQ(HasGroup(tags, "GPS"), c.location);
            EXPECT_EQ(tags.count("IFD0:ImageDescription") == 1, c.description);
            EXPECT_EQ(tags.count("IFD0:Model") == 1, c.camera);
            EXPECT_EQ(tags.count("IFD0:Copyright") == 1, c.camera);
            EXPECT_EQ(tags.count("IFD0:Artist") == 1, c.camera);
            EXPECT_EQ(tags.count("ExifIFD:DateTimeOriginal") == 1, c.camera);
            EXPECT_EQ(tags.at("IFD0:Software"), ExifSoftwareText());
        }
    }
    EXPECT_TRUE(JpegTags(kNoMetadata).empty());
    EXPECT_TRUE(BlockTags(photo_, kNoMetadata).empty());
}

TEST_F(MetadataChoice, ASourceWithoutExifGivesOnlyJpegOutputsABlock) {
    const std::string plain = dir_ / "plain.png";
    test::WriteBytes(plain, EncodePng(Raster(8, 8, 24), nullptr, PngSettings{}));
    EXPECT_TRUE(BlockTags(plain, kAllMetadata).empty());
    test::WriteBytes(dir_ / "plain-out.jpg", WithExif(plain, FlatJpeg(8, 8), kNow));
    const Tags tags = test::ExifToolTags(dir_ / "plain-out.jpg");
    EXPECT_EQ(tags.at("IFD0:Software"), ExifSoftwareText());
    EXPECT_EQ(tags.size(), 2u) << "Software and DateTime only";
}

// Through whole jobs: WebP, AVIF and JPEG XL outputs of a PNG without EXIF carry no Exif chunk or
// box; with the choice none even a camera JPEG's JPEG output carries no EXIF segment.
using MetadataJobs = test::SingleJobTest;

TEST_F(MetadataJobs, OutputsOfASourceWithoutExifCarryNone) {
    test::WriteBytes(src("plain.png"), EncodePng(Raster(16, 16, 24), nullptr, PngSettings{}));
    for (const char* format : {"WEBP", "AVIF", "JXL"}) {
        const std::string out = Run(src("plain.png"), format);
        const std::vector<std::uint8_t> bytes = test::ReadBytes(out);
        const std::string text(bytes.begin(), bytes.end());
        EXPECT_EQ(text.find("Exif"), std::string::npos) << format;
        EXPECT_EQ(text.find("EXIF"), std::string::npos) << format;
    }
    options->metadata = kNoMetadata;
    test::WriteBytes(src("camera.jpg"), FlatJpeg(16, 16));
    ASSERT_EQ(test::RunCommand("exiftool -q -overwrite_original -Make=Maker " + ShellQuote(src("camera.jpg"))).exitStatus, 0);
    const std::vector<std::uint8_t> jpeg = test::ReadBytes(Run(src("camera.jpg"), "JPG"));
    EXPECT_EQ(std::string(jpeg.begin(), jpeg.end()).find("Exif"), std::string::npos);
    EXPECT_EQ(errors.Count(), 0u);
}

}  // namespace
}  // namespace zelvan
