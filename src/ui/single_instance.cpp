#include "ui/single_instance.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QPointer>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zelvan {

namespace {

enum class Entry { Missing, Trusted, Untrusted };

// Whether a file of the channel is the user's own: of the expected type (a symbolic link is
// not followed and never is), owned by this user, and writable by no one else.
Entry Inspect(const QString& path, mode_t type) {
    struct stat st {};
    if (lstat(QFile::encodeName(path).constData(), &st) != 0) return errno == ENOENT ? Entry::Missing : Entry::Untrusted;
    if ((st.st_mode & S_IFMT) != type || st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return Entry::Untrusted;
    return Entry::Trusted;
}

// Whether the process at the other end of a connected local socket runs as this user.
bool PeerIsThisUser(const QLocalSocket& socket) {
#ifdef SO_PEERCRED
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(static_cast<int>(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
    return peer.uid == geteuid();
#else
    (void)socket;
    return true;
#endif
}

// The start runs its own window and neither listens nor hands over.
bool RunAlone(const QString& path) {
    qWarning("Zelvan: %s is not private to this user; running without handing files over",
             qUtf8Printable(QDir::toNativeSeparators(path)));
    return true;
}

}  // namespace

QStringList HandOverTexts(const QStringList& arguments) {
    QStringList texts;
    for (const QString& argument : arguments) {
        const QFileInfo entry(argument);
        if (entry.isFile() || entry.isDir()) texts << entry.absoluteFilePath();
    }
    texts << QString::fromLatin1(kShowWindowRequest);
    return texts;
}

SingleInstance::SingleInstance(const QString& folder, QObject* parent) : QObject(parent), folder_(folder) {
    const QString base = QDir(folder).filePath(QStringLiteral("zelvan-%1").arg(geteuid()));
    lockPath_ = base + ".lock";
    socketPath_ = base + ".socket";
    connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::OnNewConnection);
}

SingleInstance::~SingleInstance() {
    server_.close();
}

QString SingleInstance::DefaultFolder() {
    const QString runtime = QFile::decodeName(qgetenv("XDG_RUNTIME_DIR"));
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime)) return runtime;
    // Never the shared temporary folder: another user could make the lock and the socket first.
    QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    if (cache.isEmpty()) cache = QDir::homePath() + QStringLiteral("/.cache");
    return cache + QStringLiteral("/zelvan");
}

bool SingleInstance::BecomePrimary() {
    if (Inspect(folder_, S_IFDIR) == Entry::Missing) {
        QDir().mkpath(QFileInfo(folder_).absolutePath());
        mkdir(QFile::encodeName(folder_).constData(), 0700);
    }
    if (Inspect(folder_, S_IFDIR) != Entry::Trusted) return RunAlone(folder_);
    if (Inspect(lockPath_, S_IFREG) == Entry::Untrusted) return RunAlone(lockPath_);

    lock_ = std::make_unique<QLockFile>(lockPath_);
    // A lock left by a crashed instance is taken over: QLockFile checks whether its owner lives.
    lock_->setStaleLockTime(0);
    // The lock file and the socket are made private whatever the user's umask. This runs once,
    // at start, before any other thread could be creating files.
    const mode_t umaskBefore = umask(077);
    const bool locked = lock_->tryLock(0);
    const QLockFile::LockError lockError = lock_->error();
    umask(umaskBefore);
    if (!locked) {
        lock_.reset();
        if (lockError != QLockFile::LockFailedError) return RunAlone(lockPath_);
        // Another instance holds the lock: hand over only to a socket of the user's own.
        if (Inspect(socketPath_, S_IFSOCK) == Entry::Untrusted) return RunAlone(socketPath_);
        return false;
    }
    // A socket file left by a crashed instance would make listen() fail.
    QLocalServer::removeServer(socketPath_);
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    server_.listen(socketPath_);
    return true;
}

bool SingleInstance::SendToRunningInstance(const QString& text, int timeoutMs) const {
    if (Inspect(folder_, S_IFDIR) != Entry::Trusted || Inspect(socketPath_, S_IFSOCK) != Entry::Trusted) return false;
    QLocalSocket socket;
    socket.connectToServer(socketPath_);
    if (!socket.waitForConnected(timeoutMs) || !PeerIsThisUser(socket)) return false;
    QByteArray data = text.toUtf8();
    data.append('\0');
    if (socket.write(data) != data.size() || !socket.waitForBytesWritten(timeoutMs)) return false;
    while (socket.bytesAvailable() < 1) {
        if (!socket.waitForReadyRead(timeoutMs)) return false;
    }
    char answer = 0;
    return socket.read(&answer, 1) == 1 && answer == '1';
}

void SingleInstance::OnNewConnection() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        if (!PeerIsThisUser(*socket)) {
            socket->abort();
            continue;
        }
        // The text read so far of the message in progress; it lives as long as the connection.
        auto pending = std::make_shared<QByteArray>();
        connect(socket, &QLocalSocket::readyRead, this, [this, socket, pending] { ReadTexts(socket, *pending); });
    }
}

void SingleInstance::ReadTexts(QLocalSocket* socket, QByteArray& pending) {
    // Texts may arrive in pieces or several at once; each ends with a zero byte. Only the bytes
    // just read are searched, and a text may not grow past the limit, so a peer that never
    // sends the zero costs neither memory nor time.
    const QPointer<QLocalSocket> alive(socket);
    char chunk[16 * 1024];
    for (;;) {
        const qint64 got = socket->read(chunk, sizeof chunk);
        if (got <= 0) return;
        const char* from = chunk;
        const char* const end = chunk + got;
        while (from < end) {
            const auto* zero = static_cast<const char*>(std::memchr(from, 0, static_cast<std::size_t>(end - from)));
            const char* const stop = zero ? zero : end;
            if (static_cast<std::size_t>(pending.size() + (stop - from)) > kMaxHandOverBytes) {
                pending.clear();
                socket->abort();
                return;
            }
            pending.append(from, stop - from);
            if (!zero) break;
            const QString text = QString::fromUtf8(pending);
            pending.clear();
            from = zero + 1;
            socket->write("1", 1);
            socket->flush();
            emit TextReceived(text);
            // A receiver that runs an event loop (a message box) may see the peer leave.
            if (!alive) return;
        }
    }
}

}  // namespace zelvan
