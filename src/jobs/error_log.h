#pragma once

#include <QDateTime>
#include <QLocale>
#include <string>

namespace zelvan {

// The error log: failures that escape to the top of the user-interface thread are written here,
// one line each, and never shown. The file only grows; nothing truncates or rotates it.

// Where the log lives: the program's file name + ".error.log", beside the program when its
// folder is writable (a user's own build or copy), else in the settings folder (an installed
// program under /usr). settingsFolder ends in "/".
std::string ErrorLogPath(const std::string& programFilePath, const std::string& settingsFolder);

// The entry's date-time text: the locale's short date, a space and its long time; only the date
// when `now` is exactly midnight.
std::string ErrorLogDateTimeText(const QDateTime& now, const QLocale& locale);

// Appends "<date-time> : <message>" as one UTF-8 line ended by "\n", opening and closing the
// file for this entry (line breaks inside the message become spaces, so an entry stays one
// line). Creates the file, and a missing folder, when needed. Never throws: when the file
// cannot be written (a read-only folder, a full disk) the entry is dropped and false returned.
bool AppendErrorLog(const std::string& logPath, const std::string& message, const QDateTime& now,
                    const QLocale& locale);

}  // namespace zelvan
