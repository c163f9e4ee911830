#pragma once

#include <QByteArray>
#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <QStringList>
#include <cstddef>
#include <memory>

class QLocalSocket;

namespace zelvan {

// The text that asks the running instance to show its window; sent after the file paths.
inline constexpr const char* kShowWindowRequest = "!!!SHOWWINDOW!!!";

// What a later start hands over, in order: the absolute path of each argument that names an
// existing file or folder (the running window adds the file, or scans the folder as a dropped
// one), then kShowWindowRequest. Anything else stays behind.
QStringList HandOverTexts(const QStringList& arguments);

// The longest text one hand-over may carry, in bytes of UTF-8 without its zero: a path is never
// longer. A connection that sends more without a zero byte is dropped.
inline constexpr std::size_t kMaxHandOverBytes = 64 * 1024;

// One Zelvan per user: the first start holds a lock file and listens on a local socket; a later
// start finds the lock taken and hands its texts to the first over that socket. Each text is
// sent as UTF-8 ending with a zero byte and is answered with the byte '1' once received.
//
// The lock and the socket live in a folder of the user's own. When the folder, the lock or the
// socket belongs to someone else, is open to others or is a symbolic link, the channel is not
// trusted: the start runs on its own, neither listening nor handing anything over.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    // `folder` holds the lock file and the socket (DefaultFolder() in the program).
    explicit SingleInstance(const QString& folder, QObject* parent = nullptr);
    ~SingleInstance() override;

    // True when this start runs its own window: it took the lock and listens, or the channel
    // cannot be trusted and it runs alone. False when another instance holds the lock and its
    // socket is trusted: the texts are to be handed over.
    bool BecomePrimary();

    // Sends one text to the running instance and waits for its answer; false on any failure,
    // an untrusted socket among them.
    bool SendToRunningInstance(const QString& text, int timeoutMs = 5000) const;

    // Whether this instance accepts hand-overs (false when running alone).
    bool Listening() const { return server_.isListening(); }
    QString SocketPath() const { return socketPath_; }

    // The user's private folder for the lock and the socket: $XDG_RUNTIME_DIR, else "zelvan"
    // in the user's cache folder (created with mode 0700 by BecomePrimary).
    static QString DefaultFolder();

signals:
    // A text arrived from a later start (a file path or kShowWindowRequest).
    void TextReceived(const QString& text);

private:
    void OnNewConnection();
    void ReadTexts(QLocalSocket* socket, QByteArray& pending);
    QString folder_;
    QString lockPath_;
    QString socketPath_;
    std::unique_ptr<QLockFile> lock_;
    QLocalServer server_;
};

}  // namespace zelvan
