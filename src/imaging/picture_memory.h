#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace zelvan {

// Memory for pixels and the other buffers as large as a picture. Blocks of 2 MiB and more are
// mapped on huge pages and, when freed, kept for the next picture of the run: a picture written
// into fresh memory costs the kernel a page fault for every 4 KiB, which on some machines takes
// longer than decoding those 4 KiB. Smaller blocks come from malloc.
//
// Under AddressSanitizer every block comes from malloc, so that overruns are still caught.
struct PictureMemoryDeleter {
    std::size_t mappedBytes = 0;  // 0 for a block from malloc
    void operator()(std::uint8_t* block) const noexcept;
};
using PictureMemory = std::unique_ptr<std::uint8_t[], PictureMemoryDeleter>;

enum class PictureBytes { Zeroed, Undefined };

// A block of at least `size` bytes (at least one), zeroed or with whatever an earlier picture
// left in it; empty when memory runs out. Safe from any thread.
PictureMemory AllocatePictureMemory(std::size_t size, PictureBytes contents) noexcept;

// Hands the kept blocks back to the system: at the end of a run, and when memory is short.
void ReleaseKeptPictureMemory() noexcept;

// Bytes kept for reuse now (for tests and the memory guard's decisions).
std::size_t KeptPictureMemoryBytes() noexcept;

}  // namespace zelvan
