#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QLocalServer>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "support/fixtures.h"
#include "support/test_support.h"
#include "ui/single_instance.h"

namespace zelvan {
namespace {

using test::TempDir;
namespace fs = std::filesystem;

// A folder of the user's own, as the channel expects: mode 0700 whatever the umask.
QString PrivateFolder(const TempDir& dir, const std::string& name = "channel") {
    const std::string path = dir / name;
    fs::create_directory(path);
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::replace);
    return QString::fromStdString(path);
}

// Serves the window's event loop until `done` or the time is up.
template <typename Done>
void PumpUntil(Done done, int timeoutMs = 10000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

TEST(SingleInstance, SecondHoldsNoLockAndHandsTextsOverInOrder) {
    TempDir dir;
    const QString folder = PrivateFolder(dir);
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
    SingleInstance lonely(PrivateFolder(dir));
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
    // Files and folders in the order given, made absolute; what does not exist stays behind.
    EXPECT_EQ(received, (QStringList{QString::fromStdString(a), QString::fromStdString(b),
                                     QString::fromStdString(dir / "folder"), kShowWindowRequest}));
    qunsetenv("XDG_RUNTIME_DIR");
}

// Without XDG_RUNTIME_DIR the channel lives in a folder of the user's cache made private, never
// in the shared temporary folder.
TEST(SingleInstance, DefaultFolderIsPrivateToTheUser) {
    TempDir dir;
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    const QByteArray cache = qgetenv("XDG_CACHE_HOME");
    qunsetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_CACHE_HOME", QByteArray::fromStdString(dir / "cache"));
    const QString folder = SingleInstance::DefaultFolder();
    EXPECT_EQ(folder.toStdString(), dir / "cache/zelvan");
    {
        SingleInstance first(folder);
        EXPECT_TRUE(first.BecomePrimary());
        EXPECT_TRUE(first.Listening());
        struct stat st {};
        ASSERT_EQ(lstat((dir / "cache/zelvan").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0700u);
        EXPECT_EQ(st.st_uid, geteuid());
        SingleInstance second(folder);
        EXPECT_FALSE(second.BecomePrimary());
    }
    qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(dir / "runtime"));
    EXPECT_EQ(SingleInstance::DefaultFolder().toStdString(), dir / "runtime");
    if (runtime.isNull()) qunsetenv("XDG_RUNTIME_DIR"); else qputenv("XDG_RUNTIME_DIR", runtime);
    if (cache.isNull()) qunsetenv("XDG_CACHE_HOME"); else qputenv("XDG_CACHE_HOME", cache);
}

// A folder, lock or socket that someone else could have made or can change makes the start run
// on its own: it neither listens nor hands its files to whoever is listening.
TEST(SingleInstance, UntrustedChannelStartsAloneWithoutHandOver) {
    TempDir dir;
    // Another user's listener, which must receive nothing.
    QLocalServer foreign;
    ASSERT_TRUE(foreign.listen(QString::fromStdString(dir / "foreign.socket")));
    int foreignConnections = 0;
    QObject::connect(&foreign, &QLocalServer::newConnection, [&] { ++foreignConnections; });

    struct Case {
        const char* what;
        std::function<void(const std::string& folder, const std::string& lock, const std::string& socket)> make;
    };
    const Case cases[] = {
        {"folder open to others",
         [](const std::string& folder, const std::string&, const std::string&) {
             fs::permissions(folder, fs::perms::all, fs::perm_options::replace);
         }},
        {"folder is a symbolic link",
         [&](const std::string& folder, const std::string&, const std::string&) {
             fs::remove(folder);
             fs::create_symlink(dir.path(), folder);
         }},
        {"lock open to others",
         [](const std::string&, const std::string& lock, const std::string&) {
             test::WriteBytes(lock, std::vector<std::uint8_t>{'1', '\n'});
             fs::permissions(lock, fs::perms::all, fs::perm_options::replace);
         }},
        {"lock is a symbolic link",
         [&](const std::string&, const std::string& lock, const std::string&) {
             fs::create_symlink(dir / "elsewhere.lock", lock);
         }},
        {"socket of a running instance replaced by a link to another listener",
         [&](const std::string&, const std::string&, const std::string& socket) {
             fs::remove(socket);
             fs::create_symlink(dir / "foreign.socket", socket);
         }},
        {"socket of a running instance open to others",
         [](const std::string&, const std::string&, const std::string& socket) {
             fs::permissions(socket, fs::perms::all, fs::perm_options::replace);
         }},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const QString folder = PrivateFolder(dir, "case" + std::to_string(n++));
        SingleInstance running(folder);
        const std::string what = c.what;
        const bool socketCase = what.find("socket") != std::string::npos;
        // The socket cases need an instance that holds the lock and listens.
        if (socketCase) {
            ASSERT_TRUE(running.BecomePrimary());
        }
        c.make(folder.toStdString(), QString(running.SocketPath()).replace(".socket", ".lock").toStdString(),
               running.SocketPath().toStdString());

        SingleInstance later(folder);
        EXPECT_TRUE(later.BecomePrimary()) << "an untrusted channel must not lead to a hand-over";
        EXPECT_FALSE(later.Listening());
        EXPECT_FALSE(later.SendToRunningInstance("/tmp/secret.jpg", 500));
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(foreignConnections, 0);
    EXPECT_FALSE(fs::exists(dir / "elsewhere.lock")) << "a lock link must not be followed";
}

// Run as root, the tests can make files that truly belong to another user.
TEST(SingleInstance, ChannelOwnedByAnotherUserIsRefused) {
    if (geteuid() != 0) {
        // Without root nothing can be given away: a folder root owns stands for another user's.
        SingleInstance later(QStringLiteral("/"));
        EXPECT_TRUE(later.BecomePrimary());
        EXPECT_FALSE(later.Listening());
        return;
    }
    const uid_t other = 65534;
    TempDir dir;
    for (const std::string what : {"folder", "lock"}) {
        SCOPED_TRACE(what);
        const QString folder = PrivateFolder(dir, what);
        SingleInstance probe(folder);
        const std::string lock = QString(probe.SocketPath()).replace(".socket", ".lock").toStdString();
        if (what == "lock") {
            test::WriteBytes(lock, std::vector<std::uint8_t>{'1', '\n'});
            fs::permissions(lock, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace);
            ASSERT_EQ(chown(lock.c_str(), other, other), 0);
        } else {
            ASSERT_EQ(chown(folder.toStdString().c_str(), other, other), 0);
        }
        SingleInstance later(folder);
        EXPECT_TRUE(later.BecomePrimary());
        EXPECT_FALSE(later.Listening());
    }
    // A running instance's socket given away.
    const QString folder = PrivateFolder(dir, "socket");
    SingleInstance running(folder);
    ASSERT_TRUE(running.BecomePrimary());
    ASSERT_EQ(chown(running.SocketPath().toStdString().c_str(), other, other), 0);
    SingleInstance later(folder);
    EXPECT_TRUE(later.BecomePrimary());
    EXPECT_FALSE(later.SendToRunningInstance("/tmp/secret.jpg", 500));
}

// A text up to the limit arrives; a peer that keeps sending without the ending zero is cut off
// as soon as it passes the limit, and the instance keeps serving others.
TEST(SingleInstance, EndlessMessageIsDroppedQuickly) {
    TempDir dir;
    const QString folder = PrivateFolder(dir);
    SingleInstance first(folder);
    ASSERT_TRUE(first.BecomePrimary());
    QStringList received;
    QObject::connect(&first, &SingleInstance::TextReceived, [&](const QString& t) { received << t; });

    const std::string longest(kMaxHandOverBytes, 'a');
    const std::string socketPath = first.SocketPath().toStdString();
    std::atomic<bool> done{false};
    std::atomic<bool> longestAnswered{false};
    std::atomic<bool> endlessDropped{false};
    std::atomic<long long> dropMs{-1};
    std::thread peer([&] {
        auto connectRaw = [&]() {
            const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
            timeval wait{10, 0};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
            if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
                close(fd);
                return -1;
            }
            return fd;
        };
        // The longest text, with its zero, is answered.
        if (const int fd = connectRaw(); fd >= 0) {
            const std::string message = longest + '\0';
            std::size_t sent = 0;
            while (sent < message.size()) {
                const ssize_t n = send(fd, message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) break;
                sent += static_cast<std::size_t>(n);
            }
            char answer = 0;
            longestAnswered = recv(fd, &answer, 1, 0) == 1 && answer == '1';
            close(fd);
        }
        // 1 MiB without a zero: the instance hangs up long before it is all sent.
        if (const int fd = connectRaw(); fd >= 0) {
            const auto start = std::chrono::steady_clock::now();
            const std::string endless(1 << 20, 'b');
            std::size_t sent = 0;
            while (sent < endless.size()) {
                const ssize_t n = send(fd, endless.data() + sent, endless.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) break;
                sent += static_cast<std::size_t>(n);
            }
            char byte = 0;
            const ssize_t n = recv(fd, &byte, 1, 0);  // 0 (hung up) or an error; a time-out is -1 too
            const bool timedOut = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
            endlessDropped = (n == 0 || n < 0) && !timedOut;
            dropMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
            close(fd);
        }
        done = true;
    });
    PumpUntil([&] { return done.load(); }, 30000);
    peer.join();
    EXPECT_TRUE(longestAnswered);
    EXPECT_TRUE(endlessDropped);
    EXPECT_GE(dropMs.load(), 0);
    EXPECT_LT(dropMs.load(), 2000);
    ASSERT_EQ(received.size(), 1);
    EXPECT_EQ(received.front().toStdString(), longest);

    // Still serving: the next start hands over as usual.
    std::atomic<bool> sent{false};
    std::thread later([&] { sent = SingleInstance(folder).SendToRunningInstance(kShowWindowRequest); });
    PumpUntil([&] { return received.size() == 2; });
    later.join();
    EXPECT_TRUE(sent);
    EXPECT_EQ(received.back(), kShowWindowRequest);
}

}  // namespace
}  // namespace zelvan
