#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <atomic>
#include <filesystem>
#include <thread>

#include "support/fixtures.h"
#include "support/test_support.h"
#include "ui/single_instance.h"

namespace zelvan {
namespace {

using test::TempDir;

TEST(SingleInstance, SecondHoldsNoLockAndHandsTextsOverInOrder) {
    TempDir dir;
    const QString folder = QString::fromStdString(dir.path().string());
    SingleInstance first(folder);
    ASSERT_TRUE(first.BecomePrimary());
    SingleInstance second(folder);
    EXPECT_FALSE(second.BecomePrimary());

    QStringList received;
    QObject::connect(&first, &SingleInstance::TextReceived, [&](const QString& t) { received << t; });
    // The sender waits for each answer, so it runs on a thread of its own while this one serves
    // the socket.
    std::atomic<bool> sent{false};
    std::thread sender([&] {
        SingleInstance other(folder);
        sent = other.SendToRunningInstance(QString::fromUtf8("/tmp/фото 1.jpg")) &&
               other.SendToRunningInstance(kShowWindowRequest);
    });
    QElapsedTimer clock;
    clock.start();
    while (received.size() < 2 && clock.elapsed() < 10000) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    sender.join();
    EXPECT_TRUE(sent);
    EXPECT_EQ(received, (QStringList{QString::fromUtf8("/tmp/фото 1.jpg"), kShowWindowRequest}));
}

TEST(SingleInstance, SendingWithoutRunningInstanceFails) {
    TempDir dir;
    SingleInstance lonely(QString::fromStdString(dir.path().string()));
    EXPECT_FALSE(lonely.SendToRunningInstance("x", 500));
}

// A second start of the real program hands over its existing files, then the show request,
// and ends without a window; folders and missing paths stay behind.
TEST(SingleInstance, SecondProgramStartHandsFilesToTheFirst) {
    TempDir dir;
    const test::PixelFn grey = [](int, int) { return test::Rgba{128, 128, 128, 255}; };
    const std::string a = dir / "a.bmp";
    const std::string b = dir / "b.bmp";
    test::WriteBytes(a, test::MakeBmp24(2, 2, grey));
    test::WriteBytes(b, test::MakeBmp24(3, 3, grey));
    std::filesystem::create_directory(dir / "folder");

    const QString runtime = QString::fromStdString(dir / "runtime");
    std::filesystem::create_directory(runtime.toStdString());
    std::filesystem::permissions(runtime.toStdString(), std::filesystem::perms::owner_all);
    qputenv("XDG_RUNTIME_DIR", runtime.toUtf8());
    SingleInstance first(SingleInstance::DefaultFolder());
    ASSERT_TRUE(first.BecomePrimary());
    QStringList received;
    QObject::connect(&first, &SingleInstance::TextReceived, [&](const QString& t) { received << t; });

    QProcess second;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", runtime);
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(dir / "config"));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    second.setProcessEnvironment(env);
    second.setWorkingDirectory(QString::fromStdString(dir.path().string()));
    second.start(QString::fromStdString(test::BuildDir() + "/zelvan"),
                 {"a.bmp", QString::fromStdString(b), "folder", "missing.bmp"});
    ASSERT_TRUE(second.waitForStarted());
    QElapsedTimer clock;
    clock.start();
    while (second.state() != QProcess::NotRunning && clock.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    QCoreApplication::processEvents();
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(received, (QStringList{QString::fromStdString(a), QString::fromStdString(b), kShowWindowRequest}));
    qunsetenv("XDG_RUNTIME_DIR");
}

}  // namespace
}  // namespace zelvan
