// BMP writer: an uncompressed Windows bitmap at the raster's own depth.

#include <cstring>

#include "base/error.h"
#include "imaging/writers/writers.h"

namespace zelvan {
namespace {

constexpr std::size_t kFileHeaderSize = 14;
constexpr std::size_t kInfoHeaderSize = 40;

void PutU16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

void PutU32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

std::vector<std::uint8_t> EncodeBmp(const Raster& image) {
    if (image.empty()) throw Error("BMP: there is no image to write");
    const int bpp = image.bitsPerPixel();
    const std::size_t colours = bpp <= 8 ? std::size_t{1} << bpp : 0;
    const std::size_t stride = RowStride(image.width(), bpp);
    const std::uint64_t pixelBytes = static_cast<std::uint64_t>(stride) * static_cast<std::uint64_t>(image.height());
    const std::size_t offset = kFileHeaderSize + kInfoHeaderSize + 4 * colours;
    const std::uint64_t fileSize = offset + pixelBytes;
    // Sizes are 32-bit fields that many readers take as signed.
    if (fileSize >= (std::uint64_t{1} << 31))
        throw Error("BMP: image is too large for the format (the file would reach 2 GiB)");

    std::vector<std::uint8_t> out(static_cast<std::size_t>(fileSize));
    std::uint8_t* p = out.data();
    p[0] = 'B';
    p[1] = 'M';
    PutU32(p + 2, static_cast<std::uint32_t>(fileSize));
    PutU32(p + 10, static_cast<std::uint32_t>(offset));  // reserved words at 6 and 8 stay 0

    std::uint8_t* info = p + kFileHeaderSize;
    PutU32(info, kInfoHeaderSize);
    PutU32(info + 4, static_cast<std::uint32_t>(image.width()));
    PutU32(info + 8, static_cast<std::uint32_t>(image.height()));  // positive: rows bottom-up
    PutU16(info + 12, 1);                                           // planes
    PutU16(info + 14, static_cast<std::uint32_t>(bpp));
    PutU32(info + 20, static_cast<std::uint32_t>(pixelBytes));       // compression at 16 is 0
    PutU32(info + 32, static_cast<std::uint32_t>(colours));         // resolution fields stay 0

    std::uint8_t* table = info + kInfoHeaderSize;
    const auto& palette = image.palette();
    for (std::size_t i = 0; i < colours && i < palette.size(); ++i) {
        table[4 * i] = palette[i].blue;
        table[4 * i + 1] = palette[i].green;
        table[4 * i + 2] = palette[i].red;
    }

    // Raster rows are already padded to 4 bytes; the padding is written as zeros whatever
    // the raster holds there.
    const std::size_t used = (static_cast<std::size_t>(image.width()) * bpp + 7) / 8;
    std::uint8_t* dst = out.data() + offset;
    for (int y = image.height() - 1; y >= 0; --y, dst += stride) std::memcpy(dst, image.row(y), used);
    return out;
}

}  // namespace zelvan
