#include "engine/exif_step.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <new>

#include "base/error.h"
#include "base/file_io.h"
#include "base/path_util.h"
#include "imaging/readers/readers.h"
#include "imaging/resample.h"
#include "imaging/writers/writers.h"
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

// The longer side of a thumbnail, as cameras make them (160 x 120).
constexpr int kThumbnailSide = 160;

// A thumbnail of the encoded output itself, fitted into kThumbnailSide on each side: it then shows
// what the output shows, turned, resized, cropped or stamped. The output is decoded at the least
// size libjpeg offers that keeps twice the thumbnail's size. Throws Error when it cannot be read.
std::vector<std::uint8_t> ThumbnailOf(std::span<const std::uint8_t> jpeg) {
    const DecodedPicture picture = ReadJpegReduced(jpeg, [](StoredSize stored, int) {
        const int longer = std::max(stored.width, stored.height);
        for (int divisor : {8, 4, 2})
            if (longer / divisor >= 2 * kThumbnailSide) return divisor;
        return 1;
    });
    const Raster& r = picture.raster;
    const double scale = std::min(1.0, static_cast<double>(kThumbnailSide) / std::max(r.width(), r.height()));
    const int width = std::max(1, static_cast<int>(std::lround(r.width() * scale)));
    const int height = std::max(1, static_cast<int>(std::lround(r.height() * scale)));
    constexpr int kBilinear = 1;  // the Resampling_filter list's index
    return EncodeJpeg(ResampleBitmap(r, width, height, kBilinear), 80, false);
}

// A source's thumbnail made anew from the JPEG output, so that it matches it; one that cannot be
// made is left out.
void RenewThumbnail(ExifRecord& record, std::span<const std::uint8_t> jpeg) {
    try {
        record.SetThumbnail(ThumbnailOf(jpeg));
    } catch (const Error&) {
        record.DropThumbnail();
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
        // would show the picture on its side. Left out here; a JPEG output makes a new one.
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
        const bool thumbnail = record.HasThumbnail();
        FillRecord(record, sourcePath, now, pixels);
        if (thumbnail) RenewThumbnail(record, jpeg);
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
