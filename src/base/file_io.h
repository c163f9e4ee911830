#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "base/error.h"

namespace zelvan {

// Paths are byte strings: names that are not valid UTF-8 pass through untouched.

// The largest file read whole: sources above it are refused before a byte is read.
inline constexpr std::uint64_t kMaxReadBytes = std::uint64_t{2} << 30;

// Looks at a file's first bytes (kFileStartBytes, fewer for a shorter file) before the rest is
// read; throwing stops the reading there, before memory for the whole file is taken.
using FileStartCheck = std::function<void(std::span<const std::uint8_t> start)>;
inline constexpr std::size_t kFileStartBytes = 64;

// Reads a whole regular file, by the size it has when opened and never more. Throws Error (with
// the system's reason) when it cannot be opened or read, when it is not a regular file (a pipe
// or a device is refused without waiting for a writer), or when it is larger than maxBytes (the
// message names the limit); with checkStart, whatever that throws about the first bytes.
std::vector<std::uint8_t> ReadFileBytes(const std::string& path, std::uint64_t maxBytes = kMaxReadBytes,
                                        const FileStartCheck& checkStart = {});

// Size of a regular file in bytes; -1 when it cannot be examined or is no regular file. Sizes
// beyond 2 GiB - 1 are clamped, since the run's counters hold 32-bit sizes.
std::int32_t FileSizeOf(const std::string& path);

// Anything but a folder, pipes and devices included.
bool FileExists(const std::string& path);
// A regular file (after symbolic links): the only kind of file that is read as a picture.
bool IsRegularFile(const std::string& path);
bool DirectoryExists(const std::string& path);

// A write that finds its destination taken when it must not replace it.
class FileExistsError : public Error {
public:
    FileExistsError() : Error("File already exists") {}
};

struct WriteOptions {
    // Off: the file is moved into place only under a name nobody has taken, in one step, so
    // that no other job or process can slip a file in between a test and the write.
    bool replace = true;
    // The bytes reach the disk before the move into place, so that a power cut cannot leave an
    // empty file (for small files that matter, such as the settings).
    bool durable = false;
    // Off: a named temporary file, as on file systems that have no unnamed ones.
    bool unnamedTemporary = true;
};

// Writes bytes to a temporary file in the destination's folder and moves it into place only
// when every byte is written: a failure leaves neither a partial file nor a damaged earlier one.
// The temporary file has no name (O_TMPFILE) and is linked in when complete, so that even a
// killed process leaves nothing behind; where the file system has no unnamed files, a short
// hidden name that fits wherever the final name fits. Throws FileExistsError when the
// destination exists and may not be replaced, and Error naming the reason for any other failure.
void WriteFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes, WriteOptions options = {});

}  // namespace zelvan
