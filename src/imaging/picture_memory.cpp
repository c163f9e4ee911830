#include "imaging/picture_memory.h"

#include <sys/mman.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>

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
// Enough for every worker's picture, coefficients and result at once; a run with more workers
// maps the rest afresh. What is kept goes back at the end of the run.
constexpr std::size_t kMaxKeptBlocks = 16;
constexpr std::size_t kMaxKeptBytes = std::size_t{1} << 30;

struct Block {
    std::uint8_t* start;
    std::size_t bytes;
};

// The blocks freed and not yet reused. One lock for the whole process: it is taken twice per
// block, a few times per picture.
class KeptBlocks {
public:
    // Takes out of the store the smallest kept block that holds `bytes` without wasting more than
    // half of itself, as `found`. When there is none, the largest kept block too small for it
    // comes out as `replaced`: the caller unmaps it, so that pictures growing through a run do
    // not leave ever more blocks behind.
    void Take(std::size_t bytes, Block& found, Block& replaced) noexcept {
        std::lock_guard lock(mutex_);
        std::size_t fit = count_, smaller = count_;
        for (std::size_t i = 0; i < count_; ++i) {
            const std::size_t have = blocks_[i].bytes;
            if (have >= bytes) {
                if (have / 2 <= bytes && (fit == count_ || have < blocks_[fit].bytes)) fit = i;
            } else if (smaller == count_ || have > blocks_[smaller].bytes) {
                smaller = i;
            }
        }
        if (fit != count_) found = Remove(fit);
        else if (smaller != count_) replaced = Remove(smaller);
    }

    // False when the store is full: the caller unmaps the block.
    bool Keep(Block block) noexcept {
        std::lock_guard lock(mutex_);
        if (count_ == blocks_.size() || keptBytes_ + block.bytes > kMaxKeptBytes) return false;
        blocks_[count_++] = block;
        keptBytes_ += block.bytes;
        return true;
    }

    // Empties the store into `out`; returns how many blocks it held.
    std::size_t TakeAll(std::array<Block, kMaxKeptBlocks>& out) noexcept {
        std::lock_guard lock(mutex_);
        out = blocks_;
        const std::size_t n = count_;
        count_ = 0;
        keptBytes_ = 0;
        return n;
    }

    std::size_t Bytes() noexcept {
        std::lock_guard lock(mutex_);
        return keptBytes_;
    }

private:
    Block Remove(std::size_t i) {
        const Block block = blocks_[i];
        blocks_[i] = blocks_[--count_];
        keptBytes_ -= block.bytes;
        return block;
    }

    std::mutex mutex_;
    std::array<Block, kMaxKeptBlocks> blocks_{};
    std::size_t count_ = 0;
    std::size_t keptBytes_ = 0;
};

// Never destroyed: blocks may be freed by static objects after the end of main.
KeptBlocks& Kept() {
    static KeptBlocks* kept = new KeptBlocks;
    return *kept;
}

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
    if (mappedBytes == 0) {
        std::free(block);
    } else if (!Kept().Keep({block, mappedBytes})) {
        munmap(block, mappedBytes);
    }
}

PictureMemory AllocatePictureMemory(std::size_t size, PictureBytes contents) noexcept {
    if (size == 0) size = 1;
    if (!kMapLargeBlocks || size < kHugePage || size > std::numeric_limits<std::size_t>::max() - 2 * kHugePage) {
        void* p = contents == PictureBytes::Zeroed ? std::calloc(size, 1) : std::malloc(size);
        return PictureMemory(static_cast<std::uint8_t*>(p));
    }
    const std::size_t bytes = (size + kHugePage - 1) / kHugePage * kHugePage;
    Block found{nullptr, 0}, replaced{nullptr, 0};
    Kept().Take(bytes, found, replaced);
    if (replaced.start) munmap(replaced.start, replaced.bytes);
    if (found.start) {
        if (contents == PictureBytes::Zeroed) std::memset(found.start, 0, size);
        return PictureMemory(found.start, PictureMemoryDeleter{found.bytes});
    }
    std::uint8_t* start = MapBlock(bytes);
    return start ? PictureMemory(start, PictureMemoryDeleter{bytes}) : PictureMemory();
}

void ReleaseKeptPictureMemory() noexcept {
    std::array<Block, kMaxKeptBlocks> blocks;
    const std::size_t n = Kept().TakeAll(blocks);
    for (std::size_t i = 0; i < n; ++i) munmap(blocks[i].start, blocks[i].bytes);
}

std::size_t KeptPictureMemoryBytes() noexcept { return Kept().Bytes(); }

}  // namespace zelvan
