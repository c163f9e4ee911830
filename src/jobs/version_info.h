#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <cstdint>
#include <string>
#include <string_view>

namespace zelvan {

// The program's own version, as the build set it: "0.1.0".
std::string VersionString();

// A version string with every "." removed, read as a decimal integer: "1.0.5.737" gives 105737.
// Throws Error for an empty text, any character other than digits and dots, or a number that
// does not fit a signed 32-bit integer. The update check compares versions this way.
std::int32_t VersionNumber(std::string_view version);

// When this build was made (UTC, shown in local time). An invalid QDateTime when the build did
// not record it.
QDateTime BuildDate();

// The build date as the about window shows it: the short date, a space and the long time of
// `locale`; the time is left out when it is exactly midnight.
QString BuildDateText(const QDateTime& date, const QLocale& locale);

}  // namespace zelvan
