#include "support/exif_fixtures.h"

#include <zlib.h>

#include <stdexcept>

namespace zelvan::test {
namespace {

void PutBig32(std::vector<std::uint8_t>& b, std::uint32_t v) {
    for (int shift : {24, 16, 8, 0}) b.push_back(static_cast<std::uint8_t>(v >> shift));
}

}  // namespace

std::vector<std::uint8_t> ExifBlock(ByteOrder order, std::initializer_list<ExifEntry> entries,
                                    std::uint32_t directoryOffset, std::uint16_t declaredCount) {
    const bool big = order == ByteOrder::Motorola;
    std::vector<std::uint8_t> b;
    auto put16 = [&](std::uint32_t v) {
        b.push_back(static_cast<std::uint8_t>(big ? v >> 8 : v));
        b.push_back(static_cast<std::uint8_t>(big ? v : v >> 8));
    };
    auto put32 = [&](std::uint32_t v) {
        put16(big ? v >> 16 : v & 0xFFFF);
        put16(big ? v & 0xFFFF : v >> 16);
    };
    b.push_back(big ? 'M' : 'I');
    b.push_back(big ? 'M' : 'I');
    put16(42);
    put32(directoryOffset);
    while (b.size() < directoryOffset && directoryOffset < 64) b.push_back(0);
    put16(declaredCount ? declaredCount : static_cast<std::uint32_t>(entries.size()));
    for (const auto& [tag, type, count, value] : entries) {
        put16(tag);
        put16(type);
        put32(count);
        if (type == 3) {
            put16(value);
            put16(0);
        } else {
            put32(value);
        }
    }
    put32(0);  // no next directory
    return b;
}

std::vector<std::uint8_t> ExifOrientationBlock(int orientation, ByteOrder order) {
    return ExifBlock(order, {{0x0112, 3, 1, static_cast<std::uint32_t>(orientation)}});
}

std::vector<std::uint8_t> WithExifSegment(const std::vector<std::uint8_t>& jpeg, const std::vector<std::uint8_t>& block) {
    if (jpeg.size() < 2 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) throw std::invalid_argument("not a JPEG");
    const std::size_t length = 2 + 6 + block.size();
    std::vector<std::uint8_t> out;
    out.reserve(jpeg.size() + length + 2);
    for (std::uint8_t b : {std::uint8_t{0xFF}, std::uint8_t{0xD8}, std::uint8_t{0xFF}, std::uint8_t{0xE1},
                           static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)})
        out.push_back(b);
    for (char c : {'E', 'x', 'i', 'f', '\0', '\0'}) out.push_back(static_cast<std::uint8_t>(c));
    out.insert(out.end(), block.begin(), block.end());
    out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
    return out;
}

std::vector<std::uint8_t> WithExifChunk(const std::vector<std::uint8_t>& png, const std::vector<std::uint8_t>& block) {
    constexpr std::size_t kAfterIhdr = 8 + 8 + 13 + 4;  // signature, IHDR's header, data and CRC
    if (png.size() < kAfterIhdr) throw std::invalid_argument("not a PNG");
    std::vector<std::uint8_t> chunk;
    PutBig32(chunk, static_cast<std::uint32_t>(block.size()));
    for (char c : {'e', 'X', 'I', 'f'}) chunk.push_back(static_cast<std::uint8_t>(c));
    chunk.insert(chunk.end(), block.begin(), block.end());
    const uLong crc = crc32(0, chunk.data() + 4, static_cast<uInt>(chunk.size() - 4));
    PutBig32(chunk, static_cast<std::uint32_t>(crc));
    std::vector<std::uint8_t> out;
    out.reserve(png.size() + chunk.size());
    out.insert(out.end(), png.begin(), png.begin() + kAfterIhdr);
    out.insert(out.end(), chunk.begin(), chunk.end());
    out.insert(out.end(), png.begin() + kAfterIhdr, png.end());
    return out;
}

}  // namespace zelvan::test
