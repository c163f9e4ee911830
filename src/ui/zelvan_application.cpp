#include "ui/zelvan_application.h"

#include <QDateTime>
#include <QLocale>

#include "engine/settings_file.h"
#include "jobs/error_log.h"

namespace zelvan {

ZelvanApplication::ZelvanApplication(int& argc, char** argv)
    : QApplication(argc, argv),
      errorLogPath_(ErrorLogPath(QCoreApplication::applicationFilePath().toStdString(), SettingsFolder())) {}

bool ZelvanApplication::notify(QObject* receiver, QEvent* event) {
    return DeliverLoggingExceptions([&] { return QApplication::notify(receiver, event); }, errorLogPath_);
}

bool ZelvanApplication::DeliverLoggingExceptions(const std::function<bool()>& deliver, const std::string& logPath) {
    try {
        return deliver();
    } catch (...) {
        ApplicationEvents1Exception(logPath, std::current_exception());
        return false;
    }
}

void ZelvanApplication::ApplicationEvents1Exception(const std::string& logPath, std::exception_ptr exception) {
    std::string message = "Unknown exception";
    try {
        std::rethrow_exception(exception);
    } catch (const std::exception& e) {
        message = e.what();
    } catch (...) {
    }
    AppendErrorLog(logPath, message, QDateTime::currentDateTime(), QLocale());
}

}  // namespace zelvan
