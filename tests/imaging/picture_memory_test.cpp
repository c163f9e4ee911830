#include "imaging/picture_memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace zelvan {
namespace {

// Blocks small and large, freed and asked for again: zeroed when asked, and every byte usable.
TEST(PictureMemory, ZeroedBlocksAreZeroAfterOthersWereFreed) {
    for (const std::size_t size : {std::size_t{100}, std::size_t{3} << 20, (std::size_t{9} << 20) + 5}) {
        SCOPED_TRACE(size);
        {
            PictureMemory dirty = AllocatePictureMemory(size, PictureBytes::Undefined);
            ASSERT_TRUE(dirty);
            std::memset(dirty.get(), 0xAB, size);
        }
        PictureMemory clean = AllocatePictureMemory(size, PictureBytes::Zeroed);
        ASSERT_TRUE(clean);
        EXPECT_TRUE(std::all_of(clean.get(), clean.get() + size, [](std::uint8_t b) { return b == 0; }));
        std::memset(clean.get(), 0xCD, size);
    }
}

}  // namespace
}  // namespace zelvan
