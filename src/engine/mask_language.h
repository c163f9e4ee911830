#pragma once

#include <QDate>
#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QTime>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zelvan {

// The mask language shared by the rename mask and the text-stamp mask. Tokens ([N], [E], [W],
// [H], [T], [D], [FCD], [FCT], [C], [ET], [ED]) are matched ignoring letter case and replaced one
// after another in a fixed order, each over the whole text produced so far.

// How a mask writes dates and times. A date is the locale's short date pattern with each "/"
// of the pattern written as dateSeparator and every other character as the pattern has it; a
// time is the hour (00 to 23) and the minute, two digits each, joined by timeSeparator.
struct DateConvention {
    QLocale locale;            // digits and names of the date pattern
    QString shortDatePattern;  // QLocale's pattern letters, as the locale gives it
    QString dateSeparator;
    QString timeSeparator;

    std::string Date(QDate date) const;
    std::string Time(QTime time) const;
};

// The two conventions, built once before any job runs and only read afterwards.
struct MaskDateConventions {
    DateConvention display;   // the text stamp: the locale's own separators
    DateConvention fileName;  // file names: "_" for both separators

    // From a locale's short date and short time patterns (QLocale's pattern letters); the
    // locale's separators are read from them. Tests pass their own patterns.
    static MaskDateConventions FromPatterns(const QLocale& locale, const QString& shortDatePattern,
                                            const QString& shortTimePattern);
    static MaskDateConventions Of(const QLocale& locale);
    static MaskDateConventions System() { return Of(QLocale::system()); }
};

// Which mask is expanded: the two differ in the dates' convention, the counter's width, the
// EXIF tokens and the order of replacement.
enum class MaskKind { Rename, TextStamp };

// What the tokens stand for, gathered from the job.
struct MaskSubject {
    std::string sourcePath;       // [N]
    std::string destinationPath;  // [E] is its extension, dot included
    std::int32_t jobNumber = 0;   // [C]
    int width = 0;                // [W], the working image after resizing
    int height = 0;               // [H]
    QDateTime now;                // [D], [T], and every date that cannot be read
    std::optional<QDateTime> sourceWritten;  // [FCD], [FCT]; nothing when unreadable
    // [ED] and [ET] of the text stamp, as the EXIF date reading wrote them; nothing stands
    // for the current date and time.
    std::optional<std::string> exifDate;
    std::optional<std::string> exifTime;
};

// The file's last-write time in local time; nothing when the file cannot be examined or the
// time is not a date the masks can write (years 1 to 9999).
std::optional<QDateTime> FileLastWriteTime(const std::string& path);

// A subject with the source's last-write time read from the file system; the EXIF texts are
// left for the caller.
MaskSubject MaskSubjectOf(const std::string& sourcePath, const std::string& destinationPath, std::int32_t jobNumber,
                          int width, int height, const QDateTime& now);

// Replaces every occurrence of `token`, matched ignoring ASCII letter case; the text put in is
// not searched again for the same token.
std::string ReplaceToken(std::string_view text, std::string_view token, std::string_view replacement);

// The mask with its tokens replaced. Rename: file-name dates, the counter with at least
// counterLength digits (1 to 10), [ET] and [ED] left as written. Text stamp: display dates,
// the counter without leading zeros, [ET] and [ED] replaced.
std::string ExpandMask(std::string_view mask, const MaskSubject& subject, MaskKind kind,
                       const MaskDateConventions& dates, int counterLength);

}  // namespace zelvan
