#include "imaging/picture_memory.h"

#include <sys/mman.h>

#include <cstdlib>
#include <limits>

namespace zelvan {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMapLargeBlocks = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kMapLargeBlocks = false;
#else
constexpr bool kMapLargeBlocks = true;
#endif
#else
constexpr bool kMapLargeBlocks = true;
#endif

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// `bytes` (a multiple of kHugePage) of zeroed memory starting on a huge-page boundary, with the
// kernel asked for huge pages under it; nullptr when memory runs out.
std::uint8_t* MapBlock(std::size_t bytes) {
    void* mapped = mmap(nullptr, bytes + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    const auto first = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t start = (first + kHugePage - 1) / kHugePage * kHugePage;
    if (start > first) munmap(mapped, start - first);
    const std::uintptr_t end = first + bytes + kHugePage;
    if (end > start + bytes) munmap(reinterpret_cast<void*>(start + bytes), end - (start + bytes));
#if defined(MADV_HUGEPAGE)
    madvise(reinterpret_cast<void*>(start), bytes, MADV_HUGEPAGE);
#endif
    return reinterpret_cast<std::uint8_t*>(start);
}

}  // namespace

void PictureMemoryDeleter::operator()(std::uint8_t* block) const noexcept {
    if (mappedBytes == 0) std::free(block);
    else munmap(block, mappedBytes);
}

PictureMemory AllocatePictureMemory(std::size_t size, PictureBytes contents) noexcept {
    if (size == 0) size = 1;
    if (!kMapLargeBlocks || size < kHugePage || size > std::numeric_limits<std::size_t>::max() - 2 * kHugePage) {
        void* p = contents == PictureBytes::Zeroed ? std::calloc(size, 1) : std::malloc(size);
        return PictureMemory(static_cast<std::uint8_t*>(p));
    }
    // A fresh mapping is zeroed by the kernel, whatever `contents` asks for.
    const std::size_t bytes = (size + kHugePage - 1) / kHugePage * kHugePage;
    std::uint8_t* start = MapBlock(bytes);
    return start ? PictureMemory(start, PictureMemoryDeleter{bytes}) : PictureMemory();
}

}  // namespace zelvan
