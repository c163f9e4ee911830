#include "jobs/error_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/test_support.h"

namespace zelvan {
namespace {

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

const QLocale kGerman(QLocale::German, QLocale::Germany);

TEST(ErrorLog, EntriesAppendInOrderAndKeepEarlierLines) {
    test::TempDir dir;
    const std::string log = dir / "zelvan.error.log";
    test::WriteBytes(log, std::vector<std::uint8_t>{'o', 'l', 'd', '\n'});

    const QDateTime first(QDate(2024, 3, 5), QTime(14, 7, 9));
    const QDateTime second(QDate(2024, 3, 5), QTime(14, 7, 10));
    EXPECT_TRUE(AppendErrorLog(log, "Access violation", first, kGerman));
    EXPECT_TRUE(AppendErrorLog(log, "Списка нет", second, kGerman));

    const std::string date = kGerman.toString(QDate(2024, 3, 5), QLocale::ShortFormat).toStdString();
    const std::string t1 = kGerman.toString(QTime(14, 7, 9), QLocale::LongFormat).toStdString();
    const std::string t2 = kGerman.toString(QTime(14, 7, 10), QLocale::LongFormat).toStdString();
    EXPECT_EQ(ReadText(log), "old\n" + date + " " + t1 + " : Access violation\n" + date + " " + t2 +
                                 " : Списка нет\n");
    // German short dates are day first: the locale given is the one used.
    EXPECT_EQ(date, "05.03.24");
}

TEST(ErrorLog, MidnightLeavesTheTimeOut) {
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    EXPECT_EQ(ErrorLogDateTimeText(QDateTime(QDate(2024, 1, 2), QTime(0, 0)), english),
              english.toString(QDate(2024, 1, 2), QLocale::ShortFormat).toStdString());
    // A millisecond after midnight is not midnight.
    const std::string justAfter = ErrorLogDateTimeText(QDateTime(QDate(2024, 1, 2), QTime(0, 0, 0, 1)), english);
    EXPECT_NE(justAfter.find(' '), std::string::npos);
    EXPECT_EQ(justAfter.rfind(english.toString(QDate(2024, 1, 2), QLocale::ShortFormat).toStdString() + " ", 0), 0u);
}

TEST(ErrorLog, AnEntryStaysOneLine) {
    test::TempDir dir;
    const std::string log = dir / "x.error.log";
    AppendErrorLog(log, "first\r\nsecond\nthird", QDateTime(QDate(2024, 1, 2), QTime(0, 0)), kGerman);
    EXPECT_EQ(ReadText(log), "02.01.24 : first  second third\n");
}

TEST(ErrorLog, AnUnwritableLogDoesNotFail) {
    test::TempDir dir;
    // A "folder" that is a file: no user, root included, can create the log in it.
    const std::string blocker = dir / "blocker";
    test::WriteBytes(blocker, std::vector<std::uint8_t>{'x'});
    const QDateTime now(QDate(2024, 1, 2), QTime(3, 4, 5));
    bool ok = true;
    EXPECT_NO_THROW(ok = AppendErrorLog(blocker + "/zelvan.error.log", "lost", now, kGerman));
    EXPECT_FALSE(ok);
    EXPECT_FALSE(AppendErrorLog("", "lost", now, kGerman));

    // A read-only folder, where permissions bind (not for root).
    if (::geteuid() != 0) {
        const std::string readOnly = dir / "ro";
        std::filesystem::create_directory(readOnly);
        ::chmod(readOnly.c_str(), 0555);
        EXPECT_NO_THROW(ok = AppendErrorLog(readOnly + "/zelvan.error.log", "lost", now, kGerman));
        EXPECT_FALSE(ok);
        EXPECT_EQ(ErrorLogPath(readOnly + "/zelvan", "/home/u/.config/Zelvan/"),
                  "/home/u/.config/Zelvan/zelvan.error.log");
        ::chmod(readOnly.c_str(), 0755);
    }
}

TEST(ErrorLog, PathBesideAWritableProgramElseInTheSettingsFolder) {
    test::TempDir dir;
    EXPECT_EQ(ErrorLogPath(dir / "zelvan", "/home/u/.config/Zelvan/"), dir / "zelvan.error.log");
    EXPECT_EQ(ErrorLogPath(dir / "zelvan-0.1", "/cfg/"), dir / "zelvan-0.1.error.log");
    // A program folder that is gone (or cannot be written) sends the log to the settings folder.
    EXPECT_EQ(ErrorLogPath("/nonexistent/bin/zelvan", "/home/u/.config/Zelvan/"),
              "/home/u/.config/Zelvan/zelvan.error.log");
    EXPECT_EQ(ErrorLogPath("/nonexistent/bin/zelvan", "/cfg"), "/cfg/zelvan.error.log");
}

TEST(ErrorLog, CreatesAMissingFolder) {
    test::TempDir dir;
    const std::string log = dir / "config/Zelvan/zelvan.error.log";
    EXPECT_TRUE(AppendErrorLog(log, "m", QDateTime(QDate(2024, 1, 2), QTime(0, 0)), kGerman));
    EXPECT_EQ(ReadText(log), "02.01.24 : m\n");
}

}  // namespace
}  // namespace zelvan
