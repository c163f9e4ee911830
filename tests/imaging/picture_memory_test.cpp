#include "imaging/picture_memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace zelvan {
namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

bool AllZero(const std::uint8_t* p, std::size_t n) {
    return std::all_of(p, p + n, [](std::uint8_t b) { return b == 0; });
}

// Kept blocks are what the pool is for; AddressSanitizer builds take every block from malloc.
bool BlocksAreKept() {
    ReleaseKeptPictureMemory();
    { AllocatePictureMemory(3 * kMiB, PictureBytes::Undefined); }
    const bool kept = KeptPictureMemoryBytes() > 0;
    ReleaseKeptPictureMemory();
    return kept;
}

// A block handed out again carries the last picture's bytes: zeroed when asked, whatever its
// size, small or large.
TEST(PictureMemory, ZeroedBlocksAreZeroEvenWhenReused) {
    for (const std::size_t size : {std::size_t{100}, 3 * kMiB, 9 * kMiB + 5}) {
        SCOPED_TRACE(size);
        {
            PictureMemory dirty = AllocatePictureMemory(size, PictureBytes::Undefined);
            ASSERT_TRUE(dirty);
            std::memset(dirty.get(), 0xAB, size);
        }
        PictureMemory clean = AllocatePictureMemory(size, PictureBytes::Zeroed);
        ASSERT_TRUE(clean);
        EXPECT_TRUE(AllZero(clean.get(), size));
    }
    ReleaseKeptPictureMemory();
}

TEST(PictureMemory, FreedLargeBlocksAreReusedThenReleased) {
    if (!BlocksAreKept()) GTEST_SKIP() << "blocks come from malloc in this build";
    std::uint8_t* first = nullptr;
    {
        PictureMemory block = AllocatePictureMemory(5 * kMiB, PictureBytes::Undefined);
        first = block.get();
    }
    EXPECT_EQ(KeptPictureMemoryBytes(), 6 * kMiB);  // whole huge pages
    {
        // A somewhat smaller picture takes the same block.
        PictureMemory block = AllocatePictureMemory(4 * kMiB, PictureBytes::Undefined);
        EXPECT_EQ(block.get(), first);
        EXPECT_EQ(KeptPictureMemoryBytes(), 0u);
    }
    // A much larger one replaces it rather than keeping both.
    { AllocatePictureMemory(40 * kMiB, PictureBytes::Undefined); }
    EXPECT_EQ(KeptPictureMemoryBytes(), 40 * kMiB);
    // A small one does not tie up the large block.
    { AllocatePictureMemory(4 * kMiB, PictureBytes::Undefined); }
    EXPECT_EQ(KeptPictureMemoryBytes(), 44 * kMiB);
    ReleaseKeptPictureMemory();
    EXPECT_EQ(KeptPictureMemoryBytes(), 0u);
}

// However many blocks a run frees at once, the store keeps a bounded number of them.
TEST(PictureMemory, KeptBlocksAreBounded) {
    if (!BlocksAreKept()) GTEST_SKIP() << "blocks come from malloc in this build";
    {
        std::vector<PictureMemory> blocks;
        for (int i = 0; i < 40; ++i) blocks.push_back(AllocatePictureMemory(2 * kMiB, PictureBytes::Undefined));
    }
    EXPECT_GT(KeptPictureMemoryBytes(), 0u);
    EXPECT_LE(KeptPictureMemoryBytes(), 16 * 2 * kMiB);
    {
        std::vector<PictureMemory> blocks;
        for (int i = 0; i < 3; ++i) blocks.push_back(AllocatePictureMemory(512 * kMiB, PictureBytes::Undefined));
    }
    EXPECT_LE(KeptPictureMemoryBytes(), std::size_t{1} << 30);
    ReleaseKeptPictureMemory();
}

}  // namespace
}  // namespace zelvan
