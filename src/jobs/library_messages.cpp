#include "jobs/library_messages.h"

#include <QLoggingCategory>
#include <QtGlobal>

#include <cstdlib>
#include <cstring>
#include <ext/stdio_filebuf.h>
#include <fcntl.h>
#include <iostream>
#include <unistd.h>

namespace zelvan {
namespace {

// Qt's own categories (qt.gui.imageio and the like) are library talk; the program's messages
// of the default category, and critical ones of any, still go out.
void DropQtLibraryMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    const bool library = context.category && std::strncmp(context.category, "qt.", 3) == 0;
    if (library && type != QtCriticalMsg && type != QtFatalMsg) return;
    std::cerr << message.toLocal8Bit().constData() << '\n';
}

}  // namespace

struct ProgramStandardError::Buffer {
    explicit Buffer(int fd) : file(fd, std::ios::out), stream(&file) {}
    __gnu_cxx::stdio_filebuf<char> file;
    std::ostream stream;
};

ProgramStandardError ProgramStandardError::Take() {
    ProgramStandardError own;
    const char* keep = std::getenv("ZELVAN_LIBRARY_MESSAGES");
    const int saved = keep && std::strcmp(keep, "1") == 0 ? -1 : ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    const int nowhere = saved >= 0 ? ::open("/dev/null", O_WRONLY | O_CLOEXEC) : -1;
    if (saved < 0 || nowhere < 0 || ::dup2(nowhere, STDERR_FILENO) < 0) {
        if (saved >= 0) ::close(saved);
        if (nowhere >= 0) ::close(nowhere);
        own.stream_ = &std::cerr;
        own.terminal_ = ::isatty(STDERR_FILENO) == 1;
        return own;
    }
    ::close(nowhere);
    own.terminal_ = ::isatty(saved) == 1;
    own.buffer_ = std::make_unique<Buffer>(saved);
    own.stream_ = &own.buffer_->stream;
    // std::cerr now writes nowhere too: what still reaches it (a Qt message of the program's own)
    // goes to the program's stream.
    std::cerr.rdbuf(&own.buffer_->file);
    qInstallMessageHandler(DropQtLibraryMessages);
    return own;
}

ProgramStandardError::ProgramStandardError(ProgramStandardError&& other) noexcept
    : buffer_(std::move(other.buffer_)), stream_(other.stream_), terminal_(other.terminal_) {
    if (buffer_) stream_ = &buffer_->stream;
    other.stream_ = nullptr;
}

ProgramStandardError::~ProgramStandardError() {
    if (!buffer_) return;
    buffer_->stream.flush();
    std::cerr.rdbuf(nullptr);
}

}  // namespace zelvan
