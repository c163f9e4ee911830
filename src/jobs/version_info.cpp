#include "jobs/version_info.h"

#include <limits>

#include "base/error.h"

// Both come from the build: the project's version and the time the build was configured (which
// follows SOURCE_DATE_EPOCH for reproducible builds).
#ifndef ZELVAN_VERSION
#define ZELVAN_VERSION "0.0.0.0"
#endif
#ifndef ZELVAN_BUILD_TIME
#define ZELVAN_BUILD_TIME ""
#endif

namespace zelvan {

std::string VersionString() { return ZELVAN_VERSION; }

std::int32_t VersionNumber(std::string_view version) {
    const std::string quoted = "\"" + std::string(version) + "\"";
    std::int64_t number = 0;
    bool anyDigit = false;
    for (char c : version) {
        if (c == '.') continue;
        if (c < '0' || c > '9') throw Error("Not a version number: " + quoted);
        anyDigit = true;
        number = number * 10 + (c - '0');
        if (number > std::numeric_limits<std::int32_t>::max())
            throw Error("Version number out of range: " + quoted);
    }
    if (!anyDigit) throw Error("Not a version number: " + quoted);
    return static_cast<std::int32_t>(number);
}

QDateTime BuildDate() {
    QDateTime date = QDateTime::fromString(QStringLiteral(ZELVAN_BUILD_TIME), Qt::ISODate);
    if (!date.isValid()) return {};
    return date.toLocalTime();
}

QString BuildDateText(const QDateTime& date, const QLocale& locale) {
    QString text = locale.toString(date.date(), QLocale::ShortFormat);
    const QTime time = date.time();
    if (time != QTime(0, 0)) text += QLatin1Char(' ') + locale.toString(time, QLocale::LongFormat);
    return text;
}

}  // namespace zelvan
