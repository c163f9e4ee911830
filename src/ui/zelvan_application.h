#pragma once

#include <QApplication>
#include <exception>
#include <functional>
#include <string>

namespace zelvan {

// The program's application object. An exception that escapes an event handler on the
// user-interface thread is written to the error log and the event loop carries on; nothing is
// shown to the user.
class ZelvanApplication : public QApplication {
    Q_OBJECT
public:
    // The error log goes beside the program, or into the settings folder when the program's
    // folder cannot be written.
    ZelvanApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    const std::string& ErrorLogFile() const { return errorLogPath_; }
    void SetErrorLogFile(std::string path) { errorLogPath_ = std::move(path); }

    // Runs `deliver` (the delivery of one event) and logs an exception escaping it to
    // `logPath`; false when one escaped. What notify() does around Qt's own delivery.
    static bool DeliverLoggingExceptions(const std::function<bool()>& deliver, const std::string& logPath);
    // One error-log entry for an exception that reached the top of the user-interface thread.
    static void ApplicationEvents1Exception(const std::string& logPath, std::exception_ptr exception);

private:
    std::string errorLogPath_;
};

}  // namespace zelvan
