#include "ui/image_size.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QImageReader>

#include "base/file_io.h"
#include "base/path_util.h"
#include "engine/extensions.h"
#include "imaging/readers/readers.h"

namespace zelvan {

bool OpenFileByPath(const std::string& path, QFile& file) {
    // Without waiting: a pipe put in place of a listed file must not block the window.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
}

namespace {

// The size Qt's readers report from the file's header; an invalid size when they cannot.
QSize HeaderSize(const std::string& path) {
    QFile file;
    if (!OpenFileByPath(path, file)) return {};
    // The format is told by the content, as for any file whose name lies about it.
    QImageReader reader(&file);
    return reader.size();
}

std::string SizeText(int width, int height) { return std::to_string(width) + "x" + std::to_string(height); }

}  // namespace

std::string ImageSizeText(const std::string& path) {
    if (!FileExists(path) || IsRawExtension(ExtractFileExt(path))) return "0x0";
    const QSize size = HeaderSize(path);
    if (size.isValid() && (size.width() != 0 || size.height() != 0)) return SizeText(size.width(), size.height());
    try {
        ReaderFn reader = FindReader(ExtractFileExt(path));
        if (!reader) return "Error";
        const DecodedPicture picture = reader(ReadFileBytes(path));
        return SizeText(picture.raster.width(), picture.raster.height());
    } catch (const std::exception&) {
        // Error from the readers, bad_alloc for a picture too large for memory.
        return "Error";
    }
}

std::pair<int, int> ParseSizeText(const QString& text) {
    constexpr std::pair<int, int> kUnreadable{-1, -1};
    QString compact = text;
    compact.remove(QLatin1Char(' '));
    const qsizetype x = compact.indexOf(QLatin1Char('x'));
    if (x < 0) return kUnreadable;
    QString heightPart = compact.mid(x + 1);
    const qsizetype bracket = heightPart.indexOf(QLatin1Char('('));
    if (bracket >= 0) heightPart.truncate(bracket);
    bool widthOk = false;
    bool heightOk = false;
    const int width = compact.left(x).trimmed().toInt(&widthOk, 10);
    const int height = heightPart.trimmed().toInt(&heightOk, 10);
    if (!widthOk || !heightOk) return kUnreadable;
    return {width, height};
}

}  // namespace zelvan
