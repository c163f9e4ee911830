#include "jobs/version_info.h"

#include <gtest/gtest.h>

#include <string>

#include "base/error.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using test::ProjectVersion;

TEST(VersionInfo, VersionNumberRemovesDotsAndReadsDecimal) {
    struct Case {
        const char* text;
        std::int32_t number;
    };
    const Case cases[] = {
        {"1.0.5.737", 105737}, {"1.0.6.740", 106740}, {"1.0.10.1", 10101}, {"0.1.0", 10},
        {"7", 7},              {"0.0.0.0", 0},         {"2147483647", 2147483647}, {"1..2.", 12},
    };
    for (const Case& c : cases) EXPECT_EQ(VersionNumber(c.text), c.number) << c.text;
    // Different numbers of digits compare as the integers: 1.0.10.1 is older than 1.0.5.737.
    EXPECT_LT(VersionNumber("1.0.10.1"), VersionNumber("1.0.5.737"));
}

TEST(VersionInfo, VersionNumberRefusesAnythingButDigitsAndDots) {
    for (const char* text : {"", ".", "...", "1.0.5\n", "1.0.5\r\n", " 1.0", "1.0 ", "-1", "+1", "1.0a",
                             "0x10", "<html>", "2147483648", "99999999999999999999"}) {
        EXPECT_THROW(VersionNumber(text), Error) << '"' << text << '"';
    }
}

TEST(VersionInfo, OwnVersionIsTheProjectVersion) {
    const std::string version = VersionString();
    EXPECT_EQ(version, ProjectVersion());
    EXPECT_NO_THROW(VersionNumber(version));
}

TEST(VersionInfo, BuildDateIsThisBuildsTime) {
    const QDateTime built = BuildDate();
    ASSERT_TRUE(built.isValid());
    // Recorded when this build was configured: not in the future, and recent.
    EXPECT_LE(built, QDateTime::currentDateTime().addSecs(60));
    EXPECT_GT(built, QDateTime::currentDateTime().addYears(-1));
}

TEST(VersionInfo, BuildDateTextLeavesOutMidnight) {
    const QLocale german(QLocale::German, QLocale::Germany);
    const QLocale us(QLocale::English, QLocale::UnitedStates);
    const QDateTime afternoon(QDate(2012, 1, 29), QTime(11, 51, 40));
    const QDateTime midnight(QDate(2012, 1, 29), QTime(0, 0));
    const QDateTime justAfter(QDate(2012, 1, 29), QTime(0, 0, 1));

    EXPECT_EQ(BuildDateText(afternoon, german),
              german.toString(afternoon.date(), QLocale::ShortFormat) + " " +
                  german.toString(afternoon.time(), QLocale::LongFormat));
    EXPECT_TRUE(BuildDateText(afternoon, german).startsWith("29.01.12")) << BuildDateText(afternoon, german).toStdString();
    EXPECT_TRUE(BuildDateText(afternoon, german).contains("11:51:40"));
    EXPECT_EQ(BuildDateText(midnight, german), german.toString(midnight.date(), QLocale::ShortFormat));
    EXPECT_EQ(BuildDateText(midnight, us), "1/29/12");
    EXPECT_NE(BuildDateText(justAfter, us), "1/29/12");
}

}  // namespace
}  // namespace zelvan
