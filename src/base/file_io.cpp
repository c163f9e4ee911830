#include "base/file_io.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <string_view>
#include <utility>
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

// A limit as people write it: 2 GiB rather than 2147483648 bytes.
std::string LimitText(std::uint64_t bytes) {
    static constexpr std::array<std::pair<int, const char*>, 3> kUnits{{{30, " GiB"}, {20, " MiB"}, {10, " KiB"}}};
    for (const auto& [shift, unit] : kUnits)
        if (bytes >= (std::uint64_t{1} << shift) && bytes % (std::uint64_t{1} << shift) == 0)
            return std::to_string(bytes >> shift) + unit;
    return std::to_string(bytes) + " bytes";
}

}  // namespace

std::vector<std::uint8_t> ReadFileBytes(const std::string& path, std::uint64_t maxBytes, const FileStartCheck& checkStart) {
    // Opened without waiting: a pipe without a writer would block open() for good. Only a
    // regular file is read, so the flag changes nothing for what is read.
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0) throw Error("Cannot open file: " + SystemReason(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) throw Error("Cannot read file: " + SystemReason(errno));
    if (!S_ISREG(st.st_mode)) throw Error("not a regular file");
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size > maxBytes)
        throw Error("File is too large (" + std::to_string(size) + " bytes; the limit is " + LimitText(maxBytes) + ")");

    // Reads into `to` until it is full or the file ends; the bytes read.
    const auto readInto = [&](std::uint8_t* to, std::size_t wanted) {
        std::size_t filled = 0;
        while (filled < wanted) {
            ssize_t n = ::read(fd.get(), to + filled, wanted - filled);
            if (n < 0) {
                if (errno == EINTR) continue;
                throw Error("Cannot read file: " + SystemReason(errno));
            }
            if (n == 0) break;  // the file shrank
            filled += static_cast<std::size_t>(n);
        }
        return filled;
    };
    std::array<std::uint8_t, kFileStartBytes> start{};
    std::size_t started = 0;
    if (checkStart) {
        started = readInto(start.data(), static_cast<std::size_t>(std::min<std::uint64_t>(size, start.size())));
        checkStart(std::span(start.data(), started));
    }
    // One buffer of the size the file has now; a file that grows meanwhile is read only that far.
    std::vector<std::uint8_t> bytes(std::max(static_cast<std::size_t>(size), started));
    std::copy_n(start.begin(), started, bytes.begin());
    bytes.resize(started + readInto(bytes.data() + started, bytes.size() - started));
    return bytes;
}

std::int32_t FileSizeOf(const std::string& path) {
    // stat, not open: measuring a pipe must not wait for its writer.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    if (st.st_size > INT32_MAX) return INT32_MAX;
    return static_cast<std::int32_t>(st.st_size);
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {

// The write's own result, or the errno of the write that failed.
int WriteAll(int fd, std::span<const std::uint8_t> bytes) {
    const std::uint8_t* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return 0;
}

// Temporary names are short and of fixed length, so that they fit wherever the final name fits.
constexpr std::string_view kTemporaryPrefix = ".zv";

std::string TemporaryName(const std::string& folder) {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937_64 random{std::random_device{}()};
    std::string name = folder + std::string(kTemporaryPrefix);
    for (int i = 0; i < 8; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
    return name;
}

// An unnamed file is linked in through its entry under /proc: linking the descriptor itself
// (AT_EMPTY_PATH) needs a privilege ordinary users lack.
bool CanLinkUnnamedFiles() {
    static const bool available = DirectoryExists("/proc/self/fd/");
    return available;
}

int LinkUnnamedFile(int fd, const std::string& path) {
    const std::string entry = "/proc/self/fd/" + std::to_string(fd);
    return ::linkat(AT_FDCWD, entry.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
}

enum class Written { Done, NoUnnamedFiles };

// Writes into an unnamed file of the destination's folder and links it in when complete: until
// then the file has no name, so a process killed midway leaves nothing behind.
Written WriteThroughUnnamedFile(const std::string& folder, const std::string& path,
                                std::span<const std::uint8_t> bytes, WriteOptions options) {
    // The mode is the usual one under the umask, as for any new file.
    FileDescriptor fd(::open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    if (fd.get() < 0) {
        const int err = errno;
        // The file system has no unnamed files (EOPNOTSUPP), or the kernel does not know them.
        if (err == EOPNOTSUPP || err == EISDIR || err == EINVAL) return Written::NoUnnamedFiles;
        throw Error("Cannot create file: " + SystemReason(err));
    }
    // Until it is linked, closing the descriptor is all it takes to throw the file away.
    if (const int err = WriteAll(fd.get(), bytes)) throw Error("Cannot write file: " + SystemReason(err));
    if (options.durable && ::fsync(fd.get()) != 0) throw Error("Cannot write file: " + SystemReason(errno));

    if (!options.replace) {
        // linkat refuses a taken name: the name is free or the write fails, in one step.
        if (const int err = LinkUnnamedFile(fd.get(), path)) {
            if (err == EEXIST) throw FileExistsError();
            throw Error("Cannot create file: " + SystemReason(err));
        }
    } else {
        // No call links over a name: a short temporary name first, then one rename replaces the
        // destination.
        std::string temp;
        int err = EEXIST;
        for (int attempt = 0; attempt < 100 && err == EEXIST; ++attempt) {
            temp = TemporaryName(folder);
            err = LinkUnnamedFile(fd.get(), temp);
        }
        if (err != 0) throw Error("Cannot create file: " + SystemReason(err));
        if (::rename(temp.c_str(), path.c_str()) != 0) {
            err = errno;
            ::unlink(temp.c_str());
            throw Error("Cannot create file: " + SystemReason(err));
        }
    }
    // A delayed write error can show up only at the close; the file under the final name is this
    // run's own then, and is taken away again.
    if (fd.release_and_close() != 0) {
        const int err = errno;
        ::unlink(path.c_str());
        throw Error("Cannot write file: " + SystemReason(err));
    }
    return Written::Done;
}

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

// The same through a named temporary file, for file systems without unnamed ones.
void WriteThroughNamedFile(const std::string& folder, const std::string& path, std::span<const std::uint8_t> bytes,
                           WriteOptions options) {
    std::string temp = folder + std::string(kTemporaryPrefix) + "XXXXXX";
    FileDescriptor fd(::mkstemp(temp.data()));
    if (fd.get() < 0) throw Error("Cannot create file: " + SystemReason(errno));

    auto fail = [&](const char* what, int err) {
        ::unlink(temp.c_str());
        throw Error(std::string(what) + SystemReason(err));
    };

    // mkstemp creates the file for the owner only; give it the usual mode under the umask.
    if (::fchmod(fd.get(), 0666 & ~ProcessUmask()) != 0) fail("Cannot create file: ", errno);
    if (const int err = WriteAll(fd.get(), bytes)) fail("Cannot write file: ", err);
    if (options.durable && ::fsync(fd.get()) != 0) fail("Cannot write file: ", errno);
    if (fd.release_and_close() != 0) fail("Cannot write file: ", errno);
    if (!options.replace) {
        MoveIntoFreeName(temp, path);
        return;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) fail("Cannot create file: ", errno);
}

}  // namespace

void WriteFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes, WriteOptions options) {
    const std::string folder = ExtractFilePath(path);
    if (options.unnamedTemporary && CanLinkUnnamedFiles() &&
        WriteThroughUnnamedFile(folder, path, bytes, options) == Written::Done)
        return;
    WriteThroughNamedFile(folder, path, bytes, options);
}

}  // namespace zelvan
