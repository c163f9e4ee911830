#include "engine/mask_language.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "base/path_util.h"

namespace zelvan {
namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string TwoDigits(int value) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "%02d", value);
    return buffer;
}

// The first character of a QLocale pattern, outside quoted text, that is neither a pattern
// letter nor a blank: the locale's separator as its pattern shows it.
QString SeparatorIn(const QString& pattern, const QString& fallback) {
    bool quoted = false;
    for (QChar c : pattern) {
        if (c == u'\'') {
            quoted = !quoted;
            continue;
        }
        if (!quoted && !c.isLetter() && !c.isSpace()) return QString(c);
    }
    return fallback;
}

// The source's name without its extension: cut before the last "." of the name part.
std::string NameWithoutExtension(const std::string& path) {
    std::string name = ExtractFileName(path);
    std::size_t dot = name.find_last_of('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

std::string Counter(std::int32_t jobNumber, MaskKind kind, int counterLength) {
    if (kind == MaskKind::TextStamp) return std::to_string(jobNumber);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.*d", std::clamp(counterLength, 1, 10), static_cast<int>(jobNumber));
    return buffer;
}

}  // namespace

std::string DateConvention::Date(QDate date) const {
    // The pattern is cut at each "/" outside quoted text and the pieces are formatted one by
    // one, so that the separator is written as it is whatever letters or quotes it holds.
    QString out;
    QString piece;
    bool quoted = false;
    for (QChar c : shortDatePattern) {
        if (c == u'\'') quoted = !quoted;
        if (c == u'/' && !quoted) {
            out += locale.toString(date, piece);
            out += dateSeparator;
            piece.clear();
        } else {
            piece += c;
        }
    }
    out += locale.toString(date, piece);
    return out.toStdString();
}

std::string DateConvention::Time(QTime time) const {
    return TwoDigits(time.hour()) + timeSeparator.toStdString() + TwoDigits(time.minute());
}

MaskDateConventions MaskDateConventions::FromPatterns(const QLocale& locale, const QString& shortDatePattern,
                                                      const QString& shortTimePattern) {
    MaskDateConventions c;
    c.display = {locale, shortDatePattern, SeparatorIn(shortDatePattern, QStringLiteral("/")),
                 SeparatorIn(shortTimePattern, QStringLiteral(":"))};
    c.fileName = {locale, shortDatePattern, QStringLiteral("_"), QStringLiteral("_")};
    return c;
}

MaskDateConventions MaskDateConventions::Of(const QLocale& locale) {
    return FromPatterns(locale, locale.dateFormat(QLocale::ShortFormat), locale.timeFormat(QLocale::ShortFormat));
}

std::optional<QDateTime> FileLastWriteTime(const std::string& path) {
    // The file's own seconds: the library's file clock counts nanoseconds, which end in 2262.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    QDateTime local = QDateTime::fromSecsSinceEpoch(st.st_mtim.tv_sec);
    if (!local.isValid() || local.date().year() < 1 || local.date().year() > 9999) return std::nullopt;
    return local;
}

MaskSubject MaskSubjectOf(const std::string& sourcePath, const std::string& destinationPath, std::int32_t jobNumber,
                          int width, int height, const QDateTime& now) {
    MaskSubject subject;
    subject.sourcePath = sourcePath;
    subject.destinationPath = destinationPath;
    subject.jobNumber = jobNumber;
    subject.width = width;
    subject.height = height;
    subject.now = now;
    subject.sourceWritten = FileLastWriteTime(sourcePath);
    return subject;
}

std::string ReplaceToken(std::string_view text, std::string_view token, std::string_view replacement) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        bool match = token.size() > 0 && text.size() - i >= token.size();
        for (std::size_t k = 0; match && k < token.size(); ++k) match = LowerAscii(text[i + k]) == LowerAscii(token[k]);
        if (match) {
            out += replacement;
            i += token.size();
        } else {
            out += text[i++];
        }
    }
    return out;
}

std::string ExpandMask(std::string_view mask, const MaskSubject& subject, MaskKind kind,
                       const MaskDateConventions& dates, int counterLength) {
    const DateConvention& convention = kind == MaskKind::Rename ? dates.fileName : dates.display;
    const QDateTime& written = subject.sourceWritten ? *subject.sourceWritten : subject.now;

    std::string text(mask);
    auto replace = [&text](std::string_view token, const std::string& replacement) {
        text = ReplaceToken(text, token, replacement);
    };
    replace("[N]", NameWithoutExtension(subject.sourcePath));
    // A recipe's outputs have their names put in for [O] already; a run's single output has none.
    replace("[O]", "");
    replace("[E]", ExtractFileExt(subject.destinationPath));
    replace("[W]", std::to_string(subject.width));
    replace("[H]", std::to_string(subject.height));
    replace("[T]", convention.Time(subject.now.time()));
    replace("[D]", convention.Date(subject.now.date()));
    if (kind == MaskKind::Rename) {
        replace("[FCD]", convention.Date(written.date()));
        replace("[FCT]", convention.Time(written.time()));
        replace("[C]", Counter(subject.jobNumber, kind, counterLength));
        // [ET] and [ED] stay in file names as written.
    } else {
        replace("[C]", Counter(subject.jobNumber, kind, counterLength));
        replace("[FCD]", convention.Date(written.date()));
        replace("[FCT]", convention.Time(written.time()));
        replace("[ET]", subject.exifTime ? *subject.exifTime : convention.Time(subject.now.time()));
        replace("[ED]", subject.exifDate ? *subject.exifDate : convention.Date(subject.now.date()));
    }
    return text;
}

}  // namespace zelvan
