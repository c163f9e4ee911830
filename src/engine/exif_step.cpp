#include "engine/exif_step.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <new>

#include "base/error.h"
#include "base/path_util.h"
#include "imaging/readers/readers.h"

#ifndef ZELVAN_VERSION
#error "ZELVAN_VERSION must be defined by the build"
#endif

namespace zelvan {
namespace {

ExifDateTexts CurrentDateTexts(const DateConvention& display, const QDateTime& now) {
    return {display.Date(now.date()), display.Time(now.time())};
}

}  // namespace

QString LongTimePattern(const QLocale& locale) {
    QString result;
    bool quoted = false;
    for (QChar c : locale.timeFormat(QLocale::LongFormat)) {
        if (c == u'\'') quoted = !quoted;
        if (!quoted && c == u't') continue;
        result += c;
    }
    return result.trimmed();
}

std::string ExifSoftwareText() { return std::string("Zelvan v") + ZELVAN_VERSION; }

bool IsJpegSource(std::string_view path) { return FindReader(ExtractFileExt(path)) == ReadJpeg; }

ExifDateTime ToExifDateTime(const QDateTime& local) {
    const QDate d = local.date();
    const QTime t = local.time();
    return {d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second(), t.msec()};
}

namespace {

// The source's record with the job's Software, date and orientation.
void FillRecord(ExifRecord& record, const std::string& sourcePath, const QDateTime& now, OutputPixels pixels) {
    if (IsJpegSource(sourcePath)) {
        std::ifstream source(sourcePath, std::ios::binary);
        if (!source) throw Error("Cannot open the source to read its EXIF data: " + std::string(std::strerror(errno)));
        record.ReadFromJpegStream(source);
    }
    record.SetText(kExifTagSoftware, ExifSoftwareText());
    record.SetDateTime(ToExifDateTime(now));
    if (pixels == OutputPixels::Upright) record.SetUpright();
}

}  // namespace

std::vector<std::uint8_t> WithExif(const std::string& sourcePath, std::span<const std::uint8_t> jpeg,
                                   const QDateTime& now, OutputPixels pixels) {
    try {
        ExifRecord record;
        FillRecord(record, sourcePath, now, pixels);
        return record.RewriteJpeg(jpeg);
    } catch (const std::bad_alloc&) {
        throw Error("not enough memory for the EXIF data");
    }
}

std::vector<std::uint8_t> ExifBlockFor(const std::string& sourcePath, const QDateTime& now, OutputPixels pixels,
                                       int width, int height) {
    try {
        ExifRecord record;
        FillRecord(record, sourcePath, now, pixels);
        return record.TiffBlock(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height));
    } catch (const std::bad_alloc&) {
        throw Error("not enough memory for the EXIF data");
    }
}

ExifDateTexts ReadExifDateTexts(const std::string& sourcePath, const DateConvention& display, const QDateTime& now) {
    try {
        std::ifstream source(sourcePath, std::ios::binary);
        if (!source) return CurrentDateTexts(display, now);
        if (IsJpegSource(sourcePath)) {
            ExifRecord record;
            record.ReadFromJpegStream(source);
            if (std::optional<ExifDateTime> t = record.DateTime()) {
                const QDate date(t->year, t->month, t->day);
                const QTime time(t->hour, t->minute, t->second, t->millisecond);
                if (date.isValid() && time.isValid())
                    return {display.Date(date), display.locale.toString(time, LongTimePattern(display.locale)).toStdString()};
            }
        }
        const std::optional<QDateTime> written = FileLastWriteTime(sourcePath);
        if (!written) return CurrentDateTexts(display, now);
        return {display.Date(written->date()), display.Time(written->time())};
    } catch (...) {
        // Whatever went wrong (the EXIF data above all), the stamp shows the current moment.
        return CurrentDateTexts(display, now);
    }
}

}  // namespace zelvan
