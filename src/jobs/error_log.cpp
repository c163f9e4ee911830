#include "jobs/error_log.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "base/path_util.h"

namespace zelvan {

namespace {

bool FolderWritable(const std::string& folder) {
    if (folder.empty()) return false;
    return ::access(folder.c_str(), W_OK | X_OK) == 0;
}

std::string OneLine(const std::string& message) {
    std::string line = message;
    for (char& c : line) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    return line;
}

}  // namespace

std::string ErrorLogPath(const std::string& programFilePath, const std::string& settingsFolder) {
    const std::string programFolder = ExtractFilePath(programFilePath);
    std::string name = ExtractFileName(programFilePath);
    if (name.empty()) name = "zelvan";
    name += ".error.log";
    if (FolderWritable(programFolder)) return programFolder + name;
    std::string folder = settingsFolder;
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder + name;
}

std::string ErrorLogDateTimeText(const QDateTime& now, const QLocale& locale) {
    QString text = locale.toString(now.date(), QLocale::ShortFormat);
    if (now.time() != QTime(0, 0)) text += QLatin1Char(' ') + locale.toString(now.time(), QLocale::LongFormat);
    return text.toStdString();
}

bool AppendErrorLog(const std::string& logPath, const std::string& message, const QDateTime& now,
                    const QLocale& locale) {
    try {
        if (logPath.empty()) return false;
        const std::string entry = ErrorLogDateTimeText(now, locale) + " : " + OneLine(message) + "\n";
        const std::string folder = ExtractFilePath(logPath);
        if (!folder.empty()) {
            std::error_code ec;
            std::filesystem::create_directories(folder, ec);
        }
        std::FILE* file = std::fopen(logPath.c_str(), "ab");
        if (!file) return false;
        const bool written = std::fwrite(entry.data(), 1, entry.size(), file) == entry.size();
        const bool closed = std::fclose(file) == 0;
        return written && closed;
    } catch (...) {
        // The log is the last resort for failures: it must never become one itself.
        return false;
    }
}

}  // namespace zelvan
