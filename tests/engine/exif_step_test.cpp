#include "engine/exif_step.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>

#include "base/error.h"
#include "imaging/writers/writers.h"
#include "support/exif_fixtures.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using Bytes = std::vector<std::uint8_t>;

const QDateTime kNow(QDate(2030, 6, 7), QTime(8, 9, 10));
const QDateTime kStamp(QDate(2024, 1, 5), QTime(9, 3, 7, 45));
const QDateTime kWritten(QDate(2001, 2, 3), QTime(4, 5, 6));

Bytes FreshJpeg(int width, int height) {
    Raster image(width, height, 24);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width * 3; ++x) image.row(y)[x] = static_cast<std::uint8_t>(x ^ y);
    return EncodeJpeg(image, 85, false);
}

// A small JPEG whose EXIF block holds `dateTime` as tag 306.
Bytes JpegWithDateTime(const std::string& dateTime) {
    ExifRecord record;
    record.SetText(kExifTagDateTime, dateTime);
    return record.RewriteJpeg(FreshJpeg(8, 8));
}

const Bytes kPng = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R'};

std::string CameraJpeg() {
    return test::CorporaDir() +
           "/golang-github-rwcarlsen-goexif-dev/usr/share/gocode/src/github.com/rwcarlsen/goexif/exif/sample1.jpg";
}

void SetLastWrite(const std::string& path, const QDateTime& local) {
    const timeval times[2] = {{static_cast<time_t>(local.toSecsSinceEpoch()), 0},
                              {static_cast<time_t>(local.toSecsSinceEpoch()), 0}};
    ASSERT_EQ(::utimes(path.c_str(), times), 0) << path;
}

using test::ExifToolTags;

TEST(ExifStep, SoftwareIsTheProgramAndTheProjectVersion) {
    const std::string version = test::ProjectVersion();
    ASSERT_NE(version, "?");
    EXPECT_EQ(ExifSoftwareText(), "Zelvan v" + version);
}

TEST(ExifStep, JpegSourcesByExtension) {
    const std::pair<const char*, bool> cases[] = {
        {"/in/a.jpg", true},   {"/in/a.JPEG", true},  {"/in/b.JfIf", true},      {"/in/c.png", false},
        {"/in/jpg", false},    {"/in/x.jpe", true},  {"/in/d.jpg/file", false}, {"/in/e.jpg.png", false},
    };
    for (const auto& [path, jpeg] : cases) EXPECT_EQ(IsJpegSource(path), jpeg) << path;
}

TEST(ExifStep, OutputFromANonJpegSourceGetsOnlySoftwareAndDateTime) {
    test::TempDir dir;
    // A camera JPEG named .png is not a JPEG source: its EXIF block is not read.
    const std::string source = dir / "camera.png";
    test::WriteBytes(source, test::ReadBytes(CameraJpeg()));
    const std::string output = dir / "out.JPG";
    test::WriteBytes(output, WithExif(source, FreshJpeg(40, 30), kStamp));
    const std::map<std::string, std::string> expected = {{"IFD0:Software", ExifSoftwareText()},
                                                         {"IFD0:ModifyDate", "2024:01:05 09:03:07"}};
    EXPECT_EQ(ExifToolTags(output), expected);
}

TEST(ExifStep, OutputFromACameraJpegKeepsTheCameraTags) {
    test::TempDir dir;
    const std::string source = dir / "photo.JPEG";
    test::WriteBytes(source, test::ReadBytes(CameraJpeg()));
    const std::string output = dir / "photo_001_250x188.JPG";
    test::WriteBytes(output, WithExif(source, FreshJpeg(250, 188), kStamp));  // the camera's 500 x 375, halved
    std::map<std::string, std::string> before = ExifToolTags(source);
    std::map<std::string, std::string> after = ExifToolTags(output);
    for (const char* tag : {"IFD0:Make", "IFD0:Model", "IFD0:Orientation", "ExifIFD:DateTimeOriginal",
                            "ExifIFD:ExposureTime", "GPS:GPSLatitude"}) {
        ASSERT_FALSE(before[tag].empty()) << tag;
        EXPECT_EQ(after[tag], before[tag]) << tag;
    }
    // The thumbnail is made anew from the output.
    ASSERT_FALSE(before["IFD1:ThumbnailLength"].empty());
    EXPECT_FALSE(after["IFD1:ThumbnailLength"].empty());
    EXPECT_EQ(after["IFD0:Software"], ExifSoftwareText());
    EXPECT_EQ(after["IFD0:ModifyDate"], "2024:01:05 09:03:07");
    EXPECT_EQ(after["ExifIFD:SubSecTime"], "045");
    EXPECT_EQ(after["ExifIFD:ExifImageWidth"], "250");
    EXPECT_EQ(after["ExifIFD:ExifImageHeight"], "188");
}

TEST(ExifStep, FailuresNameTheirCause) {
    test::TempDir dir;
    const Bytes jpeg = FreshJpeg(8, 8);
    test::WriteBytes(dir / "fake.jpg", kPng);
    test::WriteBytes(dir / "plain.png", kPng);
    struct Case {
        const char* name;
        std::string source;
        Bytes output;
        std::string message;  // what the message starts with
    };
    const Case cases[] = {
        {"output that is not a JPEG", dir / "plain.png", kPng, "JPEG header is not valid"},
        {"JPEG source that is not a JPEG", dir / "fake.jpg", jpeg, "JPEG header is not valid"},
        {"JPEG source that is missing", dir / "missing.jpg", jpeg, "Cannot open the source to read its EXIF data: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            WithExif(c.source, c.output, kStamp);
            ADD_FAILURE() << "stamped without an error";
        } catch (const Error& e) {
            EXPECT_TRUE(std::string(e.what()).starts_with(c.message)) << e.what();
        }
    }
}

TEST(ExifStep, DateTextsForTheTextStamp) {
    test::TempDir dir;
    // A block whose main directory claims 65535 entries in a few bytes.
    Bytes hostile = {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x20, 'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0, 0xFF, 0xFF,
                     0x32, 0x01, 2, 0, 20, 0, 0, 0, 26, 0, 0, 0, 0, 0};
    const Bytes fresh = FreshJpeg(8, 8);
    hostile.insert(hostile.end(), fresh.begin() + 2, fresh.end());

    const DateConvention german =
        MaskDateConventions::FromPatterns(QLocale(QLocale::German, QLocale::Germany), "dd.MM.yyyy", "HH:mm").display;
    const DateConvention american =
        MaskDateConventions::FromPatterns(QLocale(QLocale::English, QLocale::UnitedStates), "M/d/yyyy", "h:mm AP").display;
    struct Case {
        const char* name;
        std::string file;
        std::optional<Bytes> bytes;  // nothing: the file does not exist
        const DateConvention* convention;
        std::string date;
        std::string time;
    };
    const Case cases[] = {
        {"EXIF date and long time", "exif.jpg", JpegWithDateTime("2011:07:04 15:30:12"), &german, "04.07.2011", "15:30:12"},
        {"EXIF date in another locale", "exif.jpg", JpegWithDateTime("2011:07:04 15:30:12"), &american, "7/4/2011",
         "3:30:12 PM"},
        {"JPEG without EXIF: the file's time, no seconds", "plain.JPG", fresh, &german, "03.02.2001", "04:05"},
        {"EXIF DateTime that is no date", "bad.jpeg", JpegWithDateTime("2011:13:45 99:00:00"), &german, "03.02.2001",
         "04:05"},
        {"EXIF block whose directory runs past its end", "hostile.jpg", hostile, &german, "03.02.2001", "04:05"},
        {"a JPEG named .png is not read as one", "camera.png", JpegWithDateTime("2011:07:04 15:30:12"), &german,
         "03.02.2001", "04:05"},
        {"time separator and 24 hours of the convention", "camera.png", fresh, &american, "2/3/2001", "04:05"},
        {"missing file: now", "missing.jpg", std::nullopt, &german, "07.06.2030", "08:09"},
        {"JPEG source that is not a JPEG: now", "fake.jpg", kPng, &german, "07.06.2030", "08:09"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir / c.file;
        std::filesystem::remove(path);
        if (c.bytes) {
            test::WriteBytes(path, *c.bytes);
            SetLastWrite(path, kWritten);
        }
        const ExifDateTexts texts = ReadExifDateTexts(path, *c.convention, kNow);
        EXPECT_EQ(texts.date, c.date);
        EXPECT_EQ(texts.time, c.time);
    }
}

// The camera JPEG turned a quarter (Orientation 6) and carried into other formats by their
// reference encoders, or by the project's own writers where a tool keeps no EXIF.
class CameraSources : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"exiftool", "heif-enc", "avifenc", "cwebp", "cjxl"}) ASSERT_TRUE(test::HaveProgram(tool)) << tool;
        const std::string jpeg = dir / "camera.jpg";
        test::WriteBytes(jpeg, test::ReadBytes(CameraJpeg()));
        Run("exiftool -q -overwrite_original -Orientation#=6 " + test::ShellQuote(jpeg));
        const std::string q = test::ShellQuote(jpeg);
        Run("heif-enc -q 30 " + q + " -o " + test::ShellQuote(dir / "camera.heic"));
        Run("avifenc -s 10 " + q + " " + test::ShellQuote(dir / "camera.avif"));
        Run("cwebp -quiet -metadata exif " + q + " -o " + test::ShellQuote(dir / "camera.webp"));
        Run("cjxl --quiet " + q + " " + test::ShellQuote(dir / "camera.jxl"));
        Run("convert " + q + " -strip " + test::ShellQuote(dir / "plain.png"));
        const Bytes camera = test::ReadBytes(jpeg);
        // The JPEG's EXIF segment payload after "Exif\0\0": the camera's block.
        const auto at = std::search(camera.begin(), camera.end(), std::begin("Exif"), std::end("Exif"));
        ASSERT_NE(at, camera.end());
        const std::size_t length = std::size_t{*(at - 2)} << 8 | *(at - 1);
        block.assign(at + 6, at - 2 + static_cast<std::ptrdiff_t>(length));
        test::WriteBytes(dir / "camera.png", test::WithExifChunk(test::ReadBytes(dir / "plain.png"), block));
    }

    static void Run(const std::string& command) {
        const test::CommandResult r = test::RunCommand(command + " 2>&1");
        ASSERT_EQ(r.exitStatus, 0) << command << "\n" << r.output;
    }

    test::TempDir dir;
    Bytes block;
};

TEST_F(CameraSources, CarryTheirCameraTagsWithTheOrientationTheirPixelsNeed) {
    const std::map<std::string, std::string> camera = ExifToolTags(dir / "camera.jpg");
    ASSERT_EQ(camera.at("IFD0:Orientation"), "Rotate 90 CW");
    struct Case {
        const char* file;
        bool upright;  // the reader turns the picture by the container: the tag always says 1
    };
    const Case cases[] = {{"camera.heic", true}, {"camera.avif", true}, {"camera.webp", false},
                          {"camera.jxl", false}, {"camera.png", false}};
    for (const Case& c : cases) {
        for (const OutputPixels pixels : {OutputPixels::AsStored, OutputPixels::Upright}) {
            SCOPED_TRACE(std::string(c.file) + (pixels == OutputPixels::Upright ? ", turned" : ", as stored"));
            const std::string output = dir / "out.JPG";
            test::WriteBytes(output, WithExif(dir / c.file, FreshJpeg(250, 188), kStamp, pixels));
            std::map<std::string, std::string> tags = ExifToolTags(output);
            for (const char* tag : {"IFD0:Make", "IFD0:Model", "ExifIFD:DateTimeOriginal", "ExifIFD:ExposureTime",
                                    "GPS:GPSLatitude"})
                EXPECT_EQ(tags[tag], camera.at(tag)) << tag;
            // The thumbnail is made anew from the output, so that it shows what the output shows.
            EXPECT_FALSE(tags["IFD1:ThumbnailLength"].empty());
            EXPECT_EQ(tags["IFD0:Software"], ExifSoftwareText());
            EXPECT_EQ(tags["IFD0:ModifyDate"], "2024:01:05 09:03:07");
            EXPECT_EQ(tags["ExifIFD:ExifImageWidth"], "250");
            const bool one = c.upright || pixels == OutputPixels::Upright;
            EXPECT_EQ(tags["IFD0:Orientation"], one ? "Horizontal (normal)" : "Rotate 90 CW");

            // The bare block for WebP and JPEG XL outputs holds the same.
            ExifRecord record;
            record.ReadFromTiffBlock(ExifBlockFor(dir / c.file, kStamp, pixels, 40, 30));
            EXPECT_EQ(record.Text(271), "NIKON CORPORATION");
            EXPECT_EQ(record.Orientation(), one ? 1 : 6);
        }
        const DateConvention german =
            MaskDateConventions::FromPatterns(QLocale(QLocale::German, QLocale::Germany), "dd.MM.yyyy", "HH:mm").display;
        SetLastWrite(dir / c.file, kWritten);
        const ExifDateTexts texts = ReadExifDateTexts(dir / c.file, german, kNow);
        EXPECT_EQ(texts.date, "02.07.2005") << c.file;
        EXPECT_EQ(texts.time, "10:38:28") << c.file;
    }
}

TEST_F(CameraSources, DamagedOrMissingBlocksOnlyLeaveTheStamp) {
    // The WebP's EXIF chunk overwritten: no TIFF structure left, and the conversion goes on.
    Bytes webp = test::ReadBytes(dir / "camera.webp");
    const auto chunk = std::search(webp.begin(), webp.end(), std::begin("EXIF"), std::end("EXIF") - 1);
    ASSERT_NE(chunk, webp.end());
    std::fill(chunk + 8, chunk + 16, 0x55);
    test::WriteBytes(dir / "damaged.webp", webp);
    test::WriteBytes(dir / "noexif.png", test::ReadBytes(dir / "plain.png"));
    const std::map<std::string, std::string> stampOnly = {{"IFD0:Software", ExifSoftwareText()},
                                                          {"IFD0:ModifyDate", "2024:01:05 09:03:07"}};
    for (const char* file : {"damaged.webp", "noexif.png", "gone.heic"}) {
        SCOPED_TRACE(file);
        const std::string output = dir / "out.JPG";
        test::WriteBytes(output, WithExif(dir / file, FreshJpeg(40, 30), kStamp));
        EXPECT_EQ(ExifToolTags(output), stampOnly);
    }
}

TEST(ExifStep, LongTimePatternLeavesOutTheTimeZone) {
    const std::pair<QLocale, QString> cases[] = {
        {QLocale(QLocale::German, QLocale::Germany), "HH:mm:ss"},
        {QLocale(QLocale::English, QLocale::UnitedStates), "h:mm:ss AP"},
        {QLocale(QLocale::Finnish, QLocale::Finland), "H.mm.ss"},
    };
    for (const auto& [locale, pattern] : cases) EXPECT_EQ(LongTimePattern(locale), pattern) << locale.name().toStdString();
}

}  // namespace
}  // namespace zelvan
