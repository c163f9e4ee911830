// The update check's flows against a small HTTP server of the test's own on 127.0.0.1.
#include "ui/update_ui.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "jobs/language.h"
#include "jobs/version_info.h"
#include "ui/window_texts.h"

namespace zelvan {
namespace {

// Answers every request with one fixed response and keeps the requests it was sent.
class FakeSite {
public:
    FakeSite() {
        EXPECT_TRUE(server_.listen(QHostAddress::LocalHost));
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { Serve(socket); });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    QString BaseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(server_.serverPort()); }

    void Respond(int status, const QByteArray& body) {
        const QByteArray reason = status == 200 ? "OK" : status == 404 ? "Not Found" : "Error";
        response_ = "HTTP/1.1 " + QByteArray::number(status) + " " + reason +
                    "\r\nContent-Type: text/plain\r\nContent-Length: " + QByteArray::number(body.size()) +
                    "\r\nConnection: close\r\n\r\n" + body;
    }
    // Reads the request and never answers.
    void Hang() { response_.reset(); }

    const std::vector<QByteArray>& Requests() const { return requests_; }

private:
    void Serve(QTcpSocket* socket) {
        QByteArray& pending = partial_[socket];
        pending += socket->readAll();
        if (!pending.contains("\r\n\r\n")) return;
        requests_.push_back(pending);
        partial_.erase(socket);
        if (!response_) return;
        socket->write(*response_);
        socket->disconnectFromHost();
    }

    QTcpServer server_;
    std::optional<QByteArray> response_;
    std::map<QTcpSocket*, QByteArray> partial_;
    std::vector<QByteArray> requests_;
};

// Sets ZELVAN_UPDATE_URL for one test.
class UpdateUrl {
public:
    explicit UpdateUrl(const QString& url) { setenv("ZELVAN_UPDATE_URL", url.toUtf8().constData(), 1); }
    ~UpdateUrl() { unsetenv("ZELVAN_UPDATE_URL"); }
};

// What the check showed the user.
struct Shown {
    enum Kind { Question, Information, ErrorBox };
    Kind kind;
    QString caption;
    QString text;
};

class UpdateFlow : public ::testing::Test {
protected:
    void SetUp() override {
        texts_ = LanguageFile::Load(std::string(ZELVAN_SOURCE_DIR) + "/lang.ini");
        texts_.SetCurrentLanguage("English");
        last_ = kLastCheck;
        check_.SetClock([this] { return now_; });
        check_.SetTimeout(std::chrono::milliseconds(5000));
        check_.SetMessageBox([this](QWidget*, QMessageBox::Icon icon, const QString& caption, const QString& text,
                                    QMessageBox::StandardButtons buttons) {
            // A question is a warning with Yes and No; the other boxes have OK alone.
            const bool question = buttons == (QMessageBox::Yes | QMessageBox::No);
            EXPECT_EQ(question, icon == QMessageBox::Warning);
            shown_.push_back({question                           ? Shown::Question
                              : icon == QMessageBox::Information ? Shown::Information
                                                                 : Shown::ErrorBox,
                              caption, text});
            if (!question) return QMessageBox::Ok;
            return answerYes_ ? QMessageBox::Yes : QMessageBox::No;
        });
        check_.SetUrlOpener([this](const QUrl& url) { opened_.push_back(url.toString()); });
    }

    void ExpectShown(Shown::Kind kind, const char* captionKey, const char* textKey, std::size_t index = 0) {
        ASSERT_GT(shown_.size(), index);
        EXPECT_EQ(shown_[index].kind, kind);
        EXPECT_EQ(shown_[index].caption, Tr(texts_, captionKey));
        EXPECT_EQ(shown_[index].text, Tr(texts_, textKey));
        EXPECT_NE(shown_[index].text.toStdString(), std::string(kTextNotFound));
    }

    static std::string OwnNumber(int delta) { return std::to_string(VersionNumber(VersionString()) + delta); }

    const QDateTime kLastCheck{QDate(2026, 1, 1), QTime(9, 30)};
    LanguageFile texts_;
    QDateTime last_;
    QDateTime now_{QDate(2026, 2, 1), QTime(15, 0)};
    UpdateCheck check_{nullptr, texts_, last_};
    bool answerYes_ = true;
    std::vector<Shown> shown_;
    std::vector<QString> opened_;
};

TEST_F(UpdateFlow, NewerVersionOffersTheDownloadPageOfTheLanguage) {
    struct Case {
        const char* language;
        bool yes;
        const char* page;  // nullptr: no page opens
        bool dateAdvances;
    };
    const Case cases[] = {
        {"English", true, "/index.php/en/downloads-en", true},
        {"Russian", true, "/index.php/ru/zagruzki-ru", true},
        {"German", true, nullptr, true},
        {"English", false, nullptr, false},
    };
    FakeSite site;
    UpdateUrl url(site.BaseUrl());
    site.Respond(200, QByteArray::fromStdString(OwnNumber(1)));
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.language) + (c.yes ? " yes" : " no"));
        shown_.clear();
        opened_.clear();
        last_ = kLastCheck;
        texts_.SetCurrentLanguage(c.language);
        answerYes_ = c.yes;
        check_.CheckForUpdates();
        ASSERT_EQ(shown_.size(), 1u);
        EXPECT_EQ(shown_[0].kind, Shown::Question);
        EXPECT_EQ(shown_[0].text, Tr(texts_, "Update"));
        EXPECT_EQ(shown_[0].caption, Tr(texts_, "Confirmation"));
        if (c.page) {
            ASSERT_EQ(opened_.size(), 1u);
            EXPECT_EQ(opened_[0], site.BaseUrl() + c.page);
        } else {
            EXPECT_TRUE(opened_.empty());
        }
        EXPECT_EQ(last_, c.dateAdvances ? now_ : kLastCheck);
    }
}

TEST_F(UpdateFlow, SameOrOlderVersionIsUpToDate) {
    FakeSite site;
    UpdateUrl url(site.BaseUrl());
    for (const std::string& body : {VersionString(), OwnNumber(-1)}) {
        SCOPED_TRACE(body);
        shown_.clear();
        last_ = kLastCheck;
        site.Respond(200, QByteArray::fromStdString(body));
        check_.CheckForUpdates();
        ASSERT_EQ(shown_.size(), 1u);
        ExpectShown(Shown::Information, "Information", "UpToDate");
        EXPECT_EQ(last_, now_);
        EXPECT_TRUE(opened_.empty());
    }
}

TEST_F(UpdateFlow, RequestNamesTheUpdaterAndBypassesCaches) {
    FakeSite site;
    UpdateUrl url(site.BaseUrl());
    site.Respond(200, QByteArray::fromStdString(VersionString()));
    check_.CheckForUpdates();
    ASSERT_EQ(site.Requests().size(), 1u);
    const QByteArray request = site.Requests()[0];
    EXPECT_TRUE(request.startsWith("GET /update/Update_new.ini HTTP/1.1\r\n")) << request.toStdString();
    const QByteArray agent = "\r\nUser-Agent: Zelvan Updater v" + QByteArray::fromStdString(VersionString()) + "\r\n";
    EXPECT_TRUE(request.contains(agent)) << request.toStdString();
    EXPECT_TRUE(request.contains("\r\nCache-Control: no-cache\r\n")) << request.toStdString();
}

TEST_F(UpdateFlow, AnythingButABareVersionIsAFailureAndKeepsTheDate) {
    struct Case {
        const char* name;
        int status;
        QByteArray body;
    };
    const std::string newer = OwnNumber(1);
    const Case cases[] = {
        {"trailing line break", 200, QByteArray::fromStdString(newer + "\n")},
        {"empty body", 200, ""},
        {"HTML 404 page", 404, "<html><head><title>404 Not Found</title></head><body>Not Found</body></html>"},
        // An error status fails even when its body happens to be a version number.
        {"server error with a version", 500, QByteArray::fromStdString(newer)},
        {"HTML page served as OK", 200, "<!DOCTYPE html><html><body>Update</body></html>"},
    };
    FakeSite site;
    UpdateUrl url(site.BaseUrl());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        shown_.clear();
        site.Respond(c.status, c.body);
        check_.CheckForUpdates();
        ASSERT_EQ(shown_.size(), 1u);
        ExpectShown(Shown::ErrorBox, "Error", "UpdateCheckError");
        EXPECT_EQ(last_, kLastCheck);
        EXPECT_TRUE(opened_.empty());
    }
}

TEST_F(UpdateFlow, NoServerIsAFailure) {
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
        closedPort = probe.serverPort();
    }
    UpdateUrl url(QStringLiteral("http://127.0.0.1:%1").arg(closedPort));
    check_.CheckForUpdates();
    ASSERT_EQ(shown_.size(), 1u);
    ExpectShown(Shown::ErrorBox, "Error", "UpdateCheckError");
    EXPECT_EQ(last_, kLastCheck);
}

TEST_F(UpdateFlow, SilentServerTimesOut) {
    FakeSite site;
    UpdateUrl url(site.BaseUrl());
    site.Hang();
    check_.SetTimeout(std::chrono::milliseconds(300));
    QElapsedTimer clock;
    clock.start();
    check_.CheckForUpdates();
    EXPECT_LT(clock.elapsed(), 3000);
    ASSERT_EQ(shown_.size(), 1u);
    ExpectShown(Shown::ErrorBox, "Error", "UpdateCheckError");
    EXPECT_EQ(last_, kLastCheck);
}

TEST_F(UpdateFlow, ReminderComesOnlyWhenDueAndStopsItsTimer) {
    QTimer& timer = check_.ReminderTimer();
    EXPECT_EQ(timer.interval(), 2500);

    last_ = now_.addDays(-14).addSecs(-23 * 3600);
    check_.StartReminderIfDue();
    EXPECT_FALSE(timer.isActive());

    last_ = now_.addDays(-15).addSecs(-3 * 3600);
    check_.StartReminderIfDue();
    EXPECT_TRUE(timer.isActive());

    // The tick asks once and switches the timer off; No counts as a check made now.
    answerYes_ = false;
    timer.setInterval(10);
    QEventLoop wait;
    QTimer::singleShot(2000, &wait, &QEventLoop::quit);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &wait, [&] {
        if (!shown_.empty()) wait.quit();
    });
    poll.start(5);
    wait.exec();
    EXPECT_FALSE(timer.isActive());
    ASSERT_EQ(shown_.size(), 1u);
    ExpectShown(Shown::Question, "Confirmation", "UpdateReq");
    EXPECT_EQ(last_, now_);
}

TEST_F(UpdateFlow, CheckFromTheMenuDropsAPendingReminder) {
    FakeSite site;
    UpdateUrl url(site.BaseUrl());
    site.Respond(200, QByteArray::fromStdString(VersionString()));
    last_ = now_.addDays(-20);
    check_.StartReminderIfDue();
    ASSERT_TRUE(check_.ReminderTimer().isActive());
    check_.CheckForUpdates();
    EXPECT_FALSE(check_.ReminderTimer().isActive());
    ASSERT_EQ(shown_.size(), 1u);
    ExpectShown(Shown::Information, "Information", "UpToDate");
}

TEST_F(UpdateFlow, ReminderYesRunsTheCheck) {
    FakeSite site;
    UpdateUrl url(site.BaseUrl());
    site.Respond(200, QByteArray::fromStdString(VersionString()));
    check_.ReminderTimer().start();
    answerYes_ = true;
    check_.onReminderTick();
    EXPECT_FALSE(check_.ReminderTimer().isActive());
    ASSERT_EQ(shown_.size(), 2u);
    ExpectShown(Shown::Question, "Confirmation", "UpdateReq", 0);
    ExpectShown(Shown::Information, "Information", "UpToDate", 1);
    EXPECT_EQ(site.Requests().size(), 1u);
    EXPECT_EQ(last_, now_);
}

}  // namespace
}  // namespace zelvan
