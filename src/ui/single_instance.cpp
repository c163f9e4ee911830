#include "ui/single_instance.h"

#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>
#include <unistd.h>

namespace zelvan {

SingleInstance::SingleInstance(const QString& folder, QObject* parent) : QObject(parent) {
    const QString base = QDir(folder).filePath(QStringLiteral("zelvan-%1").arg(getuid()));
    lockPath_ = base + ".lock";
    socketPath_ = base + ".socket";
    connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::OnNewConnection);
}

SingleInstance::~SingleInstance() {
    server_.close();
}

QString SingleInstance::DefaultFolder() {
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return runtime.isEmpty() ? QDir::tempPath() : runtime;
}

bool SingleInstance::BecomePrimary() {
    lock_ = std::make_unique<QLockFile>(lockPath_);
    // A lock left by a crashed instance is taken over: QLockFile checks whether its owner lives.
    lock_->setStaleLockTime(0);
    if (!lock_->tryLock(0)) {
        lock_.reset();
        return false;
    }
    // A socket file left by a crashed instance would make listen() fail.
    QLocalServer::removeServer(socketPath_);
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    server_.listen(socketPath_);
    return true;
}

bool SingleInstance::SendToRunningInstance(const QString& text, int timeoutMs) const {
    QLocalSocket socket;
    socket.connectToServer(socketPath_);
    if (!socket.waitForConnected(timeoutMs)) return false;
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
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            // Texts may arrive in pieces or several at once; each ends with a zero byte.
            QByteArray buffer = socket->property("pending").toByteArray() + socket->readAll();
            qsizetype end;
            while ((end = buffer.indexOf('\0')) >= 0) {
                const QString text = QString::fromUtf8(buffer.left(end));
                buffer.remove(0, end + 1);
                socket->write("1", 1);
                socket->flush();
                emit TextReceived(text);
            }
            socket->setProperty("pending", buffer);
        });
    }
}

}  // namespace zelvan
