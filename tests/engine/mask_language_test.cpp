#include "engine/mask_language.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "engine/conversion_options.h"
#include "engine/output_naming.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

// 9 December 2025, 14:05:33, the clock every test here runs on.
const QDateTime kNow(QDate(2025, 12, 9), QTime(14, 5, 33));

MaskDateConventions Slashed() { return MaskDateConventions::FromPatterns(QLocale::c(), "dd/MM/yyyy", "HH:mm"); }
MaskDateConventions Dotted() { return MaskDateConventions::FromPatterns(QLocale::c(), "dd.MM.yyyy", "H.mm"); }

MaskSubject Subject(std::string source, std::string destination, std::int32_t job = 7, int width = 800,
                    int height = 600) {
    MaskSubject s;
    s.sourcePath = std::move(source);
    s.destinationPath = std::move(destination);
    s.jobNumber = job;
    s.width = width;
    s.height = height;
    s.now = kNow;
    return s;
}

// ---------------------------------------------------------------------------------------------
// Renaming the destination

struct RenameCase {
    const char* what;
    std::string mask;
    std::string source;
    std::string destination;
    std::int32_t job;
    int width;
    int counterLength;
    std::string expected;
};

TEST(MaskLanguageRename, Table) {
    const RenameCase cases[] = {
        {"default mask", "[N]_[C]_[W]x[H][E]", "/in/photo.jpeg", "/out/photo.JPG", 7, 800, 3,
         "/out/photo_007_800x600.JPG"},
        {"no [E]: no extension", "[N]", "/in/photo.jpeg", "/out/photo.PNG", 7, 800, 3, "/out/photo"},
        {"any letter case", "[n]-[c]-[w]X[h][e]", "/in/photo.jpeg", "/out/photo.TGA", 7, 800, 3,
         "/out/photo-007-800X600.TGA"},
        {"counter wider than its length", "[C]", "/in/a.png", "/out/a.JPG", 1234, 800, 3, "/out/1234"},
        {"counter filled to its length", "[C]", "/in/a.png", "/out/a.JPG", 1234, 800, 6, "/out/001234"},
        {"counter length 10", "[C]", "/in/a.png", "/out/a.JPG", 42, 800, 10, "/out/0000000042"},
        {"a token brought in by [N] is replaced later", "[N]", "/in/a[W].png", "/out/a[W].JPG", 1, 640, 3,
         "/out/a640"},
        {"a token is not searched again in its own replacement", "[N]-[N]", "/in/[N].png", "/out/[N].JPG", 1,
         640, 3, "/out/[N]-[N]"},
        {"only the last dot cuts the name", "[N][E]", "/in/archive.tar.gz", "/out/archive.tar.JPG", 1, 640, 3,
         "/out/archive.tar.JPG"},
        {"a name without a dot stays whole", "[N][E]", "/in/README", "/out/README.JPG", 1, 640, 3,
         "/out/README.JPG"},
        {"a dot in a folder is not an extension", "[N]", "/in/v1.2/scan", "/out/scan.JPG", 1, 640, 3, "/out/scan"},
        {"EXIF tokens stay as written", "[N]_[ET]_[ed]", "/in/photo.jpeg", "/out/photo.JPG", 1, 640, 3,
         "/out/photo_[ET]_[ed]"},
        {"tokens in the folder part are replaced", "[N]", "/in/photo.jpeg", "/out/[W]x[H]/photo.JPG", 1, 640, 3,
         "/out/640x600/photo"},
        {"unknown tokens and brackets stay", "[X][N]]", "/in/p.png", "/out/p.JPG", 1, 640, 3, "/out/[X]p]"},
        {"UTF-8 names", "[N]_[C]", "/in/фото.png", "/out/фото.JPG", 2, 640, 3, "/out/фото_002"},
    };
    for (const RenameCase& c : cases) {
        ConversionOptions options;
        options.renameMask = c.mask;
        options.counterDigits = c.counterLength;
        EXPECT_EQ(RenamedDestinationPath(options, Subject(c.source, c.destination, c.job, c.width), Slashed()),
                  c.expected)
            << c.what;
    }
}

// ---------------------------------------------------------------------------------------------
// Dates and times in the two conventions

struct DateCase {
    const char* what;
    MaskDateConventions dates;
    MaskKind kind;
    std::string mask;
    std::string expected;
};

TEST(MaskLanguageDates, Table) {
    const DateCase cases[] = {
        {"file names: '/' of the pattern becomes '_'", Slashed(), MaskKind::Rename, "[D] [T]", "09_12_2025 14_05"},
        {"file names: other separators stay", Dotted(), MaskKind::Rename, "[D] [T]", "09.12.2025 14_05"},
        {"stamp: the locale's separators", Slashed(), MaskKind::TextStamp, "[D] - [T]", "09/12/2025 - 14:05"},
        {"stamp: a dotted locale", Dotted(), MaskKind::TextStamp, "[d] - [t]", "09.12.2025 - 14.05"},
        {"the pattern's own order and widths",
         MaskDateConventions::FromPatterns(QLocale::c(), "M/d/yy", "h:mm AP"), MaskKind::Rename, "[D]", "12_9_25"},
        {"year first, dashes", MaskDateConventions::FromPatterns(QLocale::c(), "yyyy-MM-dd", "HH:mm"),
         MaskKind::TextStamp, "[D]", "2025-12-09"},
        {"quoted text of the pattern is kept, its '/' too",
         MaskDateConventions::FromPatterns(QLocale::c(), "dd/MM/yyyy' r/m'", "HH:mm"), MaskKind::Rename, "[D]",
         "09_12_2025 r/m"},
    };
    for (const DateCase& c : cases) {
        EXPECT_EQ(ExpandMask(c.mask, Subject("/in/p.png", "/out/p.JPG"), c.kind, c.dates, 3), c.expected) << c.what;
    }
}

TEST(MaskLanguageDates, HourIsTwoDigitsFrom00To23) {
    MaskSubject s = Subject("/in/p.png", "/out/p.JPG");
    s.now = QDateTime(QDate(2025, 1, 2), QTime(7, 3));
    EXPECT_EQ(ExpandMask("[T]", s, MaskKind::TextStamp, Slashed(), 3), "07:03");
    s.now = QDateTime(QDate(2025, 1, 2), QTime(23, 59));
    EXPECT_EQ(ExpandMask("[T]", s, MaskKind::TextStamp,
                         MaskDateConventions::FromPatterns(QLocale::c(), "M/d/yy", "h:mm AP"), 3),
              "23:59");
}

TEST(MaskLanguageDates, ConventionsFromTheLocale) {
    const MaskDateConventions us = MaskDateConventions::Of(QLocale(QLocale::English, QLocale::UnitedStates));
    const MaskDateConventions german = MaskDateConventions::Of(QLocale(QLocale::German, QLocale::Germany));
    const QDate date(2025, 12, 9);
    EXPECT_EQ(us.display.Date(date), "12/9/25");
    EXPECT_EQ(us.fileName.Date(date), "12_9_25");
    EXPECT_EQ(german.display.Date(date), "09.12.25");
    EXPECT_EQ(german.fileName.Date(date), "09.12.25");
    EXPECT_EQ(german.display.Time(QTime(14, 5)), "14:05");
    EXPECT_EQ(german.fileName.Time(QTime(14, 5)), "14_05");
}

TEST(MaskLanguageDates, SourceLastWriteTimeAndItsFallback) {
    test::TempDir dir;
    const std::string source = dir / "p.png";
    test::WriteBytes(source, std::vector<std::uint8_t>{1, 2, 3});
    // 4 March 2020, 05:06:07 local time.
    const std::int64_t local = QDateTime(QDate(2020, 3, 4), QTime(5, 6, 7)).toSecsSinceEpoch();
    std::filesystem::last_write_time(
        source, std::chrono::file_clock::from_sys(std::chrono::sys_seconds(std::chrono::seconds(local))));

    MaskSubject s = MaskSubjectOf(source, dir / "out.JPG", 3, 10, 20, kNow);
    EXPECT_EQ(ExpandMask("[FCD] [FCT]", s, MaskKind::Rename, Slashed(), 3), "04_03_2020 05_06");
    EXPECT_EQ(ExpandMask("[FCD] [FCT]", s, MaskKind::TextStamp, Slashed(), 3), "04/03/2020 05:06");

    // File systems store dates long after the year 2262, where nanosecond clocks end.
    const std::int64_t late = QDateTime(QDate(2300, 1, 2), QTime(3, 4, 5)).toSecsSinceEpoch();
    const timespec times[2] = {{late, 0}, {late, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, source.c_str(), times, 0), 0);
    EXPECT_EQ(ExpandMask("[FCD]", MaskSubjectOf(source, dir / "out.JPG", 3, 10, 20, kNow), MaskKind::Rename, Slashed(), 3),
              "02_01_2300");

    // A source that cannot be examined takes the current date and time for both.
    MaskSubject missing = MaskSubjectOf(dir / "gone.png", dir / "out.JPG", 3, 10, 20, kNow);
    EXPECT_FALSE(missing.sourceWritten.has_value());
    EXPECT_EQ(ExpandMask("[FCD] [fct]", missing, MaskKind::Rename, Slashed(), 3), "09_12_2025 14_05");
}

// ---------------------------------------------------------------------------------------------
// The text-stamp mask

TEST(MaskLanguageStamp, CounterExifAndOrder) {
    MaskSubject s = Subject("/in/photo.jpeg", "/out/photo.JPG", 7);
    s.exifDate = "04.07.2011";
    s.exifTime = "15:30:12";
    // The counter has no leading zeros whatever its length; the EXIF texts go in as given.
    EXPECT_EQ(ExpandMask("[N] #[C] [ED] [ET] [W]x[H][E]", s, MaskKind::TextStamp, Slashed(), 6),
              "photo #7 04.07.2011 15:30:12 800x600.JPG");

    // Without EXIF texts the current date and time stand in.
    s.exifDate.reset();
    s.exifTime.reset();
    EXPECT_EQ(ExpandMask("[ED] [ET]", s, MaskKind::TextStamp, Dotted(), 3), "09.12.2025 14.05");

    // An [ET] that [N] brings in is replaced in the stamp, and stays in a file name.
    MaskSubject named = Subject("/in/[ET].png", "/out/x.JPG", 5);
    named.exifTime = "15:30:12";
    EXPECT_EQ(ExpandMask("[N]", named, MaskKind::TextStamp, Slashed(), 3), "15:30:12");
    EXPECT_EQ(ExpandMask("[N]", named, MaskKind::Rename, Slashed(), 3), "[ET]");
}

TEST(MaskLanguageReplace, MatchesIgnoringCaseAndNeverRescans) {
    EXPECT_EQ(ReplaceToken("[n][N]x[n", "[N]", "ab"), "ababx[n");
    EXPECT_EQ(ReplaceToken("[N]", "[N]", "[N][N]"), "[N][N]");
    EXPECT_EQ(ReplaceToken("[[N]]", "[N]", "[N]"), "[[N]]");
    EXPECT_EQ(ReplaceToken("", "[N]", "x"), "");
    // Bytes of UTF-8 characters never match an ASCII letter.
    EXPECT_EQ(ReplaceToken("Ñ[ñ][n]", "[N]", "x"), "Ñ[ñ]x");
}

}  // namespace
}  // namespace zelvan
