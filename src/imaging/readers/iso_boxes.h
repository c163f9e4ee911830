#pragma once

// The boxes of the ISO base media file format that HEIF and AVIF files are made of: each a
// 32-bit big-endian size (1: a 64-bit size follows the type; 0: to the end), a four-letter type
// and its payload.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace zelvan {

struct IsoBox {
    char type[5] = {};  // four letters and a terminating zero
    std::span<const std::uint8_t> payload;
};

// The boxes of one level, in order; walking stops at the first box that does not fit.
std::vector<IsoBox> IsoBoxes(std::span<const std::uint8_t> level);
// The first box of that type on the level.
std::optional<IsoBox> IsoChild(std::span<const std::uint8_t> level, const char* type);

}  // namespace zelvan
