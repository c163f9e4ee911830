#include "engine/exif_step.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <new>

#include "base/error.h"
#include "base/file_io.h"
#include "base/path_util.h"
#include "imaging/readers/readers.h"
#include "imaging/source_exif.h"

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

// The source's EXIF block into the record: a JPEG's APP1 segment (its failures throw Error), or
// the block that HEIF, AVIF, WebP, JPEG XL and PNG files keep in a box or chunk of their own.
void ReadSourceExif(ExifRecord& record, const std::string& sourcePath) {
    if (IsJpegSource(sourcePath)) {
        std::ifstream source(sourcePath, std::ios::binary);
        if (!source) throw Error("Cannot open the source to read its EXIF data: " + std::string(std::strerror(errno)));
        record.ReadFromJpegStream(source);
        return;
    }
    const ExifContainer container = ExifContainerOf(ExtractFileExt(sourcePath));
    if (container == ExifContainer::None) return;
    // The file was decoded already and is read once more, for its metadata only. A file that can
    // no longer be read, or a block that does not parse, leaves the record empty, as a source
    // without EXIF would: such a block only travels along.
    try {
        record.ReadFromTiffBlock(SourceExifBlock(container, ReadFileBytes(sourcePath)));
    } catch (const Error&) {
    }
}

// What the choice leaves of the source's record.
void LimitRecord(ExifRecord& record, int metadata) {
    if (metadata == kMetadataWithoutLocation) record.RemoveLocation();
    if (metadata == kMinimalMetadata) record.KeepOnlyEssentials();
}

// The job's Software, date and orientation in the record read from the source.
void FillRecord(ExifRecord& record, const std::string& sourcePath, const QDateTime& now, OutputPixels pixels) {
    record.SetText(kExifTagSoftware, ExifSoftwareText());
    record.SetDateTime(ToExifDateTime(now));
    // HEIF and AVIF pictures come out of their readers turned by the container, whatever the job
    // does: their tag, which only repeats the container's turn, would turn them a second time.
    if (pixels == OutputPixels::Upright || PictureComesUpright(ExifContainerOf(ExtractFileExt(sourcePath)))) {
        // The thumbnail is stored as the source's pixels were, unturned: beside upright pixels it
        // would show the picture on its side, so it is left out.
        if (record.Orientation().value_or(1) != 1) record.DropThumbnail();
        record.SetUpright();
    }
}

}  // namespace

std::vector<std::uint8_t> WithExif(const std::string& sourcePath, std::span<const std::uint8_t> jpeg,
                                   const QDateTime& now, OutputPixels pixels, int metadata) {
    if (metadata == kNoMetadata) return std::vector<std::uint8_t>(jpeg.begin(), jpeg.end());
    try {
        ExifRecord record;
        ReadSourceExif(record, sourcePath);
        LimitRecord(record, metadata);
        FillRecord(record, sourcePath, now, pixels);
        return record.RewriteJpeg(jpeg);
    } catch (const std::bad_alloc&) {
        throw Error("not enough memory for the EXIF data");
    }
}

std::vector<std::uint8_t> ExifBlockFor(const std::string& sourcePath, const QDateTime& now, OutputPixels pixels,
                                       int width, int height, int metadata) {
    if (metadata == kNoMetadata) return {};
    try {
        ExifRecord record;
        ReadSourceExif(record, sourcePath);
        if (record.Empty()) return {};
        LimitRecord(record, metadata);
        FillRecord(record, sourcePath, now, pixels);
        return record.TiffBlock(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height));
    } catch (const std::bad_alloc&) {
        throw Error("not enough memory for the EXIF data");
    }
}

ExifDateTexts ReadExifDateTexts(const std::string& sourcePath, const DateConvention& display, const QDateTime& now) {
    try {
        if (!std::ifstream(sourcePath, std::ios::binary)) return CurrentDateTexts(display, now);
        ExifRecord record;
        ReadSourceExif(record, sourcePath);
        if (std::optional<ExifDateTime> t = record.DateTime()) {
            const QDate date(t->year, t->month, t->day);
            const QTime time(t->hour, t->minute, t->second, t->millisecond);
            if (date.isValid() && time.isValid())
                return {display.Date(date), display.locale.toString(time, LongTimePattern(display.locale)).toStdString()};
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
