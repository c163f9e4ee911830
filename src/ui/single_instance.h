#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>

namespace zelvan {

// The text that asks the running instance to show its window; sent after the file paths.
inline constexpr const char* kShowWindowRequest = "!!!SHOWWINDOW!!!";

// One Zelvan per user: the first start holds a lock file and listens on a local socket; a later
// start finds the lock taken and hands its texts to the first over that socket. Each text is
// sent as UTF-8 ending with a zero byte and is answered with the byte '1' once received.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    // `folder` holds the lock file and the socket (the user's runtime folder in the program).
    explicit SingleInstance(const QString& folder, QObject* parent = nullptr);
    ~SingleInstance() override;

    // Takes the lock and starts listening; false when another instance holds the lock.
    bool BecomePrimary();

    // Sends one text to the running instance and waits for its answer; false on any failure.
    bool SendToRunningInstance(const QString& text, int timeoutMs = 5000) const;

    // The user's folder for the lock and the socket: $XDG_RUNTIME_DIR, else the temp folder,
    // with the user id in the names so users never meet.
    static QString DefaultFolder();

signals:
    // A text arrived from a later start (a file path or kShowWindowRequest).
    void TextReceived(const QString& text);

private:
    void OnNewConnection();
    QString lockPath_;
    QString socketPath_;
    std::unique_ptr<QLockFile> lock_;
    QLocalServer server_;
};

}  // namespace zelvan
