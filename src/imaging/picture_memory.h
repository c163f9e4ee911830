#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace zelvan {

// Memory for pixels and the other buffers as large as a picture. Blocks of 2 MiB and more are
// mapped on their own, on huge pages: a picture written into memory of 4 KiB pages costs the
// kernel a page fault for every 4 KiB, which on some machines takes longer than decoding those
// 4 KiB; on huge pages it takes one fault for each 2 MiB. Smaller blocks come from malloc, and
// under AddressSanitizer every block does, so that overruns are still caught.
struct PictureMemoryDeleter {
    std::size_t mappedBytes = 0;  // 0 for a block from malloc
    void operator()(std::uint8_t* block) const noexcept;
};
using PictureMemory = std::unique_ptr<std::uint8_t[], PictureMemoryDeleter>;

enum class PictureBytes { Zeroed, Undefined };

// A block of at least `size` bytes (at least one), zeroed or with undefined contents; empty when
// memory runs out. Safe from any thread.
PictureMemory AllocatePictureMemory(std::size_t size, PictureBytes contents) noexcept;

}  // namespace zelvan
