#include "jobs/update_check.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "base/error.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using test::ProjectVersion;

TEST(UpdateCheck, RemoteVersionIsStrict) {
    EXPECT_EQ(RemoteVersionNumber("1.0.6.740"), 106740);
    // A description file saved with a line break, an empty answer or an error page is no version.
    for (const char* body : {"1.0.6.740\n", "1.0.6.740\r\n", "", "\n", "<html><body>404</body></html>"})
        EXPECT_THROW(RemoteVersionNumber(body), Error) << '"' << body << '"';
}

TEST(UpdateCheck, ReminderIsDueAfterMoreThanFourteenWholeDays) {
    const QDateTime now(QDate(2026, 3, 20), QTime(12, 0));
    struct Case {
        qint64 secondsBack;
        bool due;
    };
    constexpr qint64 kDay = 24 * 60 * 60;
    const Case cases[] = {
        {15 * kDay + 3 * 3600, true},   // 15 days and a few hours
        {14 * kDay + 23 * 3600, false},  // 14 whole days only
        {15 * kDay, true},
        {15 * kDay - 1, false},
        {0, false},
        {-(15 * kDay + 3600), true},  // a date in the future counts by its distance too
        {-(14 * kDay), false},
        {400 * kDay, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(UpdateReminderDue(now, now.addSecs(-c.secondsBack)), c.due) << c.secondsBack;
    // A date that could not be read counts as now.
    EXPECT_FALSE(UpdateReminderDue(now, QDateTime()));
}

TEST(UpdateCheck, AddressesFollowTheBaseUrl) {
    const char* saved = std::getenv("ZELVAN_UPDATE_URL");
    const std::string restore = saved ? saved : "";

    unsetenv("ZELVAN_UPDATE_URL");
    EXPECT_EQ(ProductSiteUrl().toStdString(), std::string(kProductSite));
    EXPECT_EQ(UpdateDescriptionUrl().toStdString(), std::string(kProductSite) + "/update/Update_new.ini");

    setenv("ZELVAN_UPDATE_URL", "http://127.0.0.1:8123/", 1);
    EXPECT_EQ(UpdateDescriptionUrl(), "http://127.0.0.1:8123/update/Update_new.ini");
    EXPECT_EQ(DownloadPageUrl("English"), "http://127.0.0.1:8123/index.php/en/downloads-en");
    EXPECT_EQ(DownloadPageUrl("Russian"), "http://127.0.0.1:8123/index.php/ru/zagruzki-ru");
    EXPECT_TRUE(DownloadPageUrl("German").isEmpty());
    EXPECT_TRUE(DownloadPageUrl("english").isEmpty());

    if (saved) setenv("ZELVAN_UPDATE_URL", restore.c_str(), 1);
    else unsetenv("ZELVAN_UPDATE_URL");
    EXPECT_EQ(UpdateAgentName(), QString::fromStdString("Zelvan Updater v" + ProjectVersion()));
}

}  // namespace
}  // namespace zelvan
