#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zelvan {

// Paths are byte strings: names that are not valid UTF-8 pass through untouched.

// Reads a whole file. Throws Error (with the system's reason) when it cannot be opened or read,
// or when it is larger than maxBytes.
std::vector<std::uint8_t> ReadFileBytes(const std::string& path,
                                        std::uint64_t maxBytes = std::uint64_t{4} << 30);

// Size of a file in bytes; -1 when it cannot be opened. Sizes beyond 2 GiB - 1 are clamped,
// since the run's counters hold 32-bit sizes.
std::int32_t FileSizeOf(const std::string& path);

bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);

// Writes bytes to a temporary file in the destination's folder and renames it over the
// destination only when every byte is written: a failure leaves neither a partial file nor a
// damaged earlier one. Throws Error naming the reason. A durable write also reaches the disk
// before the rename, so that a power cut cannot leave an empty file (for small files that
// matter, such as the settings).
void WriteFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes, bool durable = false);

}  // namespace zelvan
