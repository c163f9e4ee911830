#include "base/file_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/error.h"
#include "base/path_util.h"

namespace zelvan {
namespace {

std::string SystemReason(int err) { return std::strerror(err); }

// The umask without changing it: setting it to read it back would race with other threads
// creating files at the same moment.
mode_t ProcessUmask() {
    static const mode_t mask = [] {
        if (std::FILE* f = std::fopen("/proc/self/status", "r")) {
            char line[128];
            unsigned value = 0;
            while (std::fgets(line, sizeof line, f))
                if (std::sscanf(line, "Umask: %o", &value) == 1) {
                    std::fclose(f);
                    return static_cast<mode_t>(value);
                }
            std::fclose(f);
        }
        return static_cast<mode_t>(022);
    }();
    return mask;
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    // Closes now and reports the result: a delayed write error can show up only here.
    int release_and_close() {
        int fd = fd_;
        fd_ = -1;
        return ::close(fd);
    }

private:
    int fd_;
};

}  // namespace

std::vector<std::uint8_t> ReadFileBytes(const std::string& path, std::uint64_t maxBytes) {
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) throw Error("Cannot open file: " + SystemReason(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) throw Error("Cannot read file: " + SystemReason(errno));
    if (S_ISDIR(st.st_mode)) throw Error("Cannot read file: it is a folder");
    if (static_cast<std::uint64_t>(st.st_size) > maxBytes)
        throw Error("File is too large (" + std::to_string(st.st_size) + " bytes)");

    std::vector<std::uint8_t> bytes;
    // Regular files report their size; other files (pipes) are read until their end.
    std::size_t capacity = st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 65536;
    bytes.resize(capacity);
    std::size_t filled = 0;
    for (;;) {
        if (filled == bytes.size()) {
            if (bytes.size() >= maxBytes) throw Error("File is too large");
            bytes.resize(std::min<std::uint64_t>(bytes.size() * 2, maxBytes));
        }
        ssize_t n = ::read(fd.get(), bytes.data() + filled, bytes.size() - filled);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw Error("Cannot read file: " + SystemReason(errno));
        }
        if (n == 0) break;
        filled += static_cast<std::size_t>(n);
    }
    bytes.resize(filled);
    return bytes;
}

std::int32_t FileSizeOf(const std::string& path) {
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return -1;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return -1;
    if (st.st_size > INT32_MAX) return INT32_MAX;
    return static_cast<std::int32_t>(st.st_size);
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {

// Moves the complete temporary file to a name that must still be free. renameat2 does it in
// one step; file systems without it get a hard link, which fails on a taken name just the same.
void MoveIntoFreeName(const std::string& temp, const std::string& path) {
    if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) return;
    int err = errno;
    if (err == EINVAL || err == ENOSYS) {
        if (::link(temp.c_str(), path.c_str()) == 0) {
            ::unlink(temp.c_str());
            return;
        }
        err = errno;
    }
    ::unlink(temp.c_str());
    if (err == EEXIST) throw FileExistsError();
    throw Error("Cannot create file: " + SystemReason(err));
}

}  // namespace

void WriteFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes, WriteOptions options) {
    std::string folder = ExtractFilePath(path);
    std::string temp = folder + "." + ExtractFileName(path) + ".XXXXXX";
    FileDescriptor fd(::mkstemp(temp.data()));
    if (fd.get() < 0) throw Error("Cannot create file: " + SystemReason(errno));

    auto fail = [&](const char* what, int err) {
        ::unlink(temp.c_str());
        throw Error(std::string(what) + SystemReason(err));
    };

    // mkstemp creates the file for the owner only; give it the usual mode under the umask.
    if (::fchmod(fd.get(), 0666 & ~ProcessUmask()) != 0) fail("Cannot create file: ", errno);

    const std::uint8_t* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd.get(), p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("Cannot write file: ", errno);
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (options.durable && ::fsync(fd.get()) != 0) fail("Cannot write file: ", errno);
    if (fd.release_and_close() != 0) fail("Cannot write file: ", errno);
    if (!options.replace) {
        MoveIntoFreeName(temp, path);
        return;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) fail("Cannot create file: ", errno);
}

}  // namespace zelvan
