#include "ui/taskbar_progress.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QProcess>
#include <QProgressBar>
#include <QVariantMap>

#include "support/test_support.h"

namespace zelvan {
namespace {

using Kind = TaskbarProgress::Indicator::Kind;
using State = TaskbarProgress::State;

TEST(TaskbarProgress, WhatTheLauncherShows) {
    struct Case {
        State state;
        bool marquee;
        bool mirroring;
        Kind kind;
    };
    for (Case c : {Case{State::Normal, false, true, Kind::Normal}, Case{State::Normal, true, true, Kind::Normal},
                   Case{State::Marquee, true, true, Kind::Indeterminate}, Case{State::Marquee, false, true, Kind::None},
                   Case{State::Normal, false, false, Kind::None}, Case{State::Marquee, true, false, Kind::None}}) {
        EXPECT_EQ(TaskbarProgress::IndicatorFor(4, 1, c.state, c.marquee, c.mirroring).kind, c.kind)
            << int(c.state) << c.marquee << c.mirroring;
    }
    EXPECT_DOUBLE_EQ(TaskbarProgress::IndicatorFor(4, 1, State::Normal, false, true).fraction, 0.25);
    EXPECT_DOUBLE_EQ(TaskbarProgress::IndicatorFor(0, 0, State::Normal, false, true).fraction, 0.0);
    EXPECT_DOUBLE_EQ(TaskbarProgress::IndicatorFor(2, 5, State::Normal, false, true).fraction, 1.0);
}

TEST(TaskbarProgress, KeepsTheBarAndSendsOnlyChanges) {
    TaskbarProgress progress(QDBusConnection(QStringLiteral("none")), nullptr);
    std::vector<std::pair<bool, double>> sent;
    progress.SetSink([&](bool visible, double value) { sent.emplace_back(visible, value); });
    QProgressBar bar;
    progress.SetBar(&bar);
    sent.clear();

    // The run as the progress window drives it.
    progress.SetMaximum(4);
    progress.SetState(State::Normal);
    progress.SetMirroring(true);
    progress.SetPosition(1);
    progress.SetPosition(1);  // the refresh tick repeats itself: nothing new to send
    EXPECT_EQ(bar.maximum(), 4);
    EXPECT_EQ(bar.value(), 1);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], std::make_pair(true, 0.0));
    EXPECT_EQ(sent[1], std::make_pair(true, 0.25));

    // Cancel: the busy bar and a sweeping launcher value.
    progress.SetState(State::Marquee);
    progress.SetMarquee(true);
    EXPECT_EQ(bar.minimum(), 0);
    EXPECT_EQ(bar.maximum(), 0);
    sent.clear();
    QElapsedTimer clock;
    clock.start();
    while (sent.size() < 3 && clock.elapsed() < 3000) QApplication::processEvents(QEventLoop::AllEvents, 50);
    ASSERT_GE(sent.size(), 3u);
    EXPECT_TRUE(sent[0].first && sent[1].first && sent[2].first);
    EXPECT_LT(sent[0].second, sent[1].second);

    // Completion after Cancel: nothing shown, the sweep stops.
    progress.SetMarquee(false);
    EXPECT_EQ(bar.maximum(), 4);
    EXPECT_EQ(sent.back(), std::make_pair(false, 0.0));
    const std::size_t count = sent.size();
    clock.restart();
    while (clock.elapsed() < 450) QApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(sent.size(), count);
}

// Listens for the launcher's signal on a private bus.
class LauncherListener : public QObject {
    Q_OBJECT
public:
    std::vector<QDBusMessage> messages;
public slots:
    void Update(const QDBusMessage& message) { messages.push_back(message); }
};

TEST(TaskbarProgress, SendsTheLauncherEntrySignalOverDBus) {
    // scripts/install-deps.sh installs it; without it the signals cannot be checked.
    ASSERT_TRUE(test::HaveProgram("dbus-daemon")) << "no dbus-daemon";
    QProcess daemon;
    daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                                  QStringLiteral("--print-address=1")});
    ASSERT_TRUE(daemon.waitForStarted(5000));
    QByteArray address;
    QElapsedTimer clock;
    clock.start();
    while (!address.contains('\n') && clock.elapsed() < 5000) {
        daemon.waitForReadyRead(100);
        address += daemon.readAllStandardOutput();
    }
    address = address.trimmed();
    ASSERT_FALSE(address.isEmpty());
    // Connections are kept by name: fresh names for every run of this test, dropped however it ends.
    static int runs = 0;
    const QString senderName = QStringLiteral("zelvan-sender-%1").arg(++runs);
    const QString listenerName = QStringLiteral("zelvan-listener-%1").arg(runs);
    struct Disconnect {
        QString a, b;
        ~Disconnect() {
            QDBusConnection::disconnectFromBus(a);
            QDBusConnection::disconnectFromBus(b);
        }
    } disconnect{senderName, listenerName};
    {
        QDBusConnection sender = QDBusConnection::connectToBus(QString::fromUtf8(address), senderName);
        QDBusConnection receiver = QDBusConnection::connectToBus(QString::fromUtf8(address), listenerName);
        ASSERT_TRUE(sender.isConnected());
        ASSERT_TRUE(receiver.isConnected());
        LauncherListener listener;
        ASSERT_TRUE(receiver.connect(QString(), QString(), QStringLiteral("com.canonical.Unity.LauncherEntry"),
                                     QStringLiteral("Update"), &listener, SLOT(Update(QDBusMessage))));
        auto waitFor = [&](std::size_t count) {
            clock.restart();
            while (listener.messages.size() < count && clock.elapsed() < 5000)
                QApplication::processEvents(QEventLoop::AllEvents, 50);
            return listener.messages.size() >= count;
        };
        auto shown = [&](std::size_t i) {
            const QList<QVariant> args = listener.messages[i].arguments();
            EXPECT_EQ(args.size(), 2);
            if (args.size() != 2) return std::make_pair(false, -1.0);
            EXPECT_EQ(args[0].toString(), "application://zelvan.desktop");
            const QVariantMap properties = qdbus_cast<QVariantMap>(args[1]);
            return std::make_pair(properties.value("progress-visible").toBool(),
                                  properties.value("progress").toDouble());
        };
        {
            TaskbarProgress progress(sender, nullptr);
            progress.SetMaximum(8);  // mirroring still off: hidden
            progress.SetMirroring(true);
            progress.SetPosition(2);
            ASSERT_TRUE(waitFor(3));
            EXPECT_EQ(shown(0), std::make_pair(false, 0.0));
            EXPECT_EQ(shown(1), std::make_pair(true, 0.0));
            EXPECT_EQ(shown(2), std::make_pair(true, 0.25));
        }
        // Going away takes the indicator with it.
        ASSERT_TRUE(waitFor(4));
        EXPECT_EQ(shown(3), std::make_pair(false, 0.0));
        EXPECT_EQ(listener.messages.size(), 4u);
    }
    daemon.kill();  // also done by QProcess when a failed assertion leaves early
    daemon.waitForFinished(5000);
}

}  // namespace
}  // namespace zelvan

#include "taskbar_progress_test.moc"
