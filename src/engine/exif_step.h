#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/conversion_options.h"
#include "engine/mask_language.h"
#include "imaging/exif_record.h"

namespace zelvan {

// "Zelvan v" followed by the program's version: the Software tag of every JPEG output.
std::string ExifSoftwareText();

// Sources the JPEG reader reads (.jpg, .jpeg, .jpe, .jfif, letter case ignored): the ones whose
// EXIF segment is read as the JPEG rewrite reads it (a failure there is the job's), and the ones
// the automatic format keeps as JPEG.
bool IsJpegSource(std::string_view path);

ExifDateTime ToExifDateTime(const QDateTime& local);

// Whether the output's pixels still need the source's Orientation tag to be shown as meant.
enum class OutputPixels {
    AsStored,  // as the source stored them: the tag is carried as it is
    Upright,   // already turned by the tag: the carried tag says 1
};

// The EXIF step of a JPEG output, on the encoded bytes before they are written: `jpeg` with the
// source's EXIF block, Software set to ExifSoftwareText() and DateTime to `now`. The block is a
// JPEG source's EXIF segment, or the one a HEIF, AVIF, WebP, JPEG XL or PNG source keeps in a box
// or chunk of its own (imaging/source_exif.h); none for other sources or a file without one. Such
// a block that is damaged, too large or cannot be read counts as none; a JPEG source's failures
// throw Error with the message of the job's "FSE:" or "AFE:" line. The Orientation tag says 1 for
// Upright pixels, and always for HEIF and AVIF sources, whose readers turn the picture by the
// container. A thumbnail in the source's block is made anew from `jpeg`, so that it shows the
// output as it is (turned, resized, cropped). Of the source's block only what `metadata` allows
// is kept (MetadataChoice); with
// kNoMetadata the JPEG comes back as it was, without any block. Run it with the job lock held:
// Exiv2 is not used by two jobs at once.
std::vector<std::uint8_t> WithExif(const std::string& sourcePath, std::span<const std::uint8_t> jpeg,
                                   const QDateTime& now, OutputPixels pixels = OutputPixels::AsStored,
                                   int metadata = kAllMetadata);

// The same EXIF data as a bare block (the TIFF structure) for an output of width x height pixels
// in another format (WebP, AVIF, JPEG XL), which puts it into a chunk or box of its own. Empty,
// so that the output gets no block at all, when the source has no EXIF block (the Software and
// date alone are not worth one) or `metadata` is kNoMetadata. Without the output's pixels at hand,
// the source's thumbnail is kept while the pixels stay as stored and left out once they are turned.
std::vector<std::uint8_t> ExifBlockFor(const std::string& sourcePath, const QDateTime& now, OutputPixels pixels,
                                       int width, int height, int metadata = kAllMetadata);

// The locale's long time format with seconds, without the time zone that Qt's long format
// ends with ("HH:mm:ss t" gives "HH:mm:ss").
QString LongTimePattern(const QLocale& locale);

// [ED] and [ET] of the text stamp.
struct ExifDateTexts {
    std::string date;
    std::string time;
};

// The source's date and time for [ED] and [ET], dates in the text stamp's convention. A valid
// EXIF DateTime in the source's EXIF block (read as WithExif reads it) gives its date and its time
// in the locale's long time format; without one (and for sources without a block) the file's
// last-write date and its hours and minutes.
// When the file cannot be opened, its EXIF data cannot be read or its last-write time is not a
// date, the date and the hours and minutes of `now`. Never fails. Run it with the job lock held.
ExifDateTexts ReadExifDateTexts(const std::string& sourcePath, const DateConvention& display, const QDateTime& now);

}  // namespace zelvan
