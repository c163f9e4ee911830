#include "imaging/readers/iso_boxes.h"

#include <cstring>

namespace zelvan {

std::vector<IsoBox> IsoBoxes(std::span<const std::uint8_t> level) {
    std::vector<IsoBox> boxes;
    while (level.size() >= 8) {
        std::uint64_t size = 0;
        for (std::size_t i = 0; i < 4; ++i) size = size << 8 | level[i];
        std::size_t header = 8;
        if (size == 1) {
            if (level.size() < 16) break;
            size = 0;
            for (std::size_t i = 8; i < 16; ++i) size = size << 8 | level[i];
            header = 16;
        } else if (size == 0) {
            size = level.size();
        }
        if (size < header || size > level.size()) break;
        IsoBox box;
        std::memcpy(box.type, level.data() + 4, 4);
        box.payload = level.subspan(header, static_cast<std::size_t>(size) - header);
        boxes.push_back(box);
        level = level.subspan(static_cast<std::size_t>(size));
    }
    return boxes;
}

std::optional<IsoBox> IsoChild(std::span<const std::uint8_t> level, const char* type) {
    for (const IsoBox& box : IsoBoxes(level))
        if (std::memcmp(box.type, type, 4) == 0) return box;
    return std::nullopt;
}

}  // namespace zelvan
