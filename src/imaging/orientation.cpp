#include "imaging/orientation.h"

#include <algorithm>
#include <cstring>

namespace zelvan {
namespace {

constexpr std::uint16_t kTagOrientation = 0x0112;
constexpr std::uint16_t kTypeShort = 3;
constexpr std::uint16_t kTypeLong = 4;
constexpr std::uint16_t kTypeSignedShort = 8;
constexpr std::uint16_t kTypeSignedLong = 9;
constexpr std::size_t kEntrySize = 12;

// Output pixels per side of a tile when the sides swap: a tile's source rows and destination
// rows both stay in cache (64 x 64 x 4 bytes = 16 KiB each way).
constexpr int kTile = 64;

bool IsValidOrientation(int orientation) { return orientation >= 1 && orientation <= 8; }

class TiffBytes {
public:
    TiffBytes(std::span<const std::uint8_t> bytes, bool bigEndian) : bytes_(bytes), bigEndian_(bigEndian) {}
    bool Has(std::uint64_t offset, std::uint64_t count) const {
        return offset <= bytes_.size() && count <= bytes_.size() - offset;
    }
    // The caller has checked the range with Has.
    std::uint16_t U16(std::size_t at) const {
        const unsigned a = bytes_[at], b = bytes_[at + 1];
        return static_cast<std::uint16_t>(bigEndian_ ? a << 8 | b : b << 8 | a);
    }
    std::uint32_t U32(std::size_t at) const {
        const std::uint32_t hi = U16(bigEndian_ ? at : at + 2), lo = U16(bigEndian_ ? at + 2 : at);
        return hi << 16 | lo;
    }

private:
    std::span<const std::uint8_t> bytes_;
    bool bigEndian_;
};

// Where output pixel (x, y) comes from in a source of width w and height h.
struct SourceOf {
    int orientation;
    int w;
    int h;
    void operator()(int x, int y, int& sx, int& sy) const {
        switch (orientation) {
            case 2: sx = w - 1 - x; sy = y; break;
            case 3: sx = w - 1 - x; sy = h - 1 - y; break;
            case 4: sx = x; sy = h - 1 - y; break;
            case 5: sx = y; sy = x; break;
            case 6: sx = y; sy = h - 1 - x; break;
            case 7: sx = w - 1 - y; sy = h - 1 - x; break;
            case 8: sx = w - 1 - y; sy = x; break;
            default: sx = x; sy = y; break;
        }
    }
};

// Whole-byte pixels (8, 24 and 32 bits): mirrors copy rows, the four turns that swap the sides
// go tile by tile.
template <std::size_t kBytes>
void OrientBytes(const Raster& source, Raster& out, int orientation) {
    const int w = source.width(), h = source.height();
    if (!OrientationSwapsSides(orientation)) {
        const bool mirrored = orientation == 2 || orientation == 3;
        const bool flipped = orientation == 3 || orientation == 4;
        for (int y = 0; y < h; ++y) {
            const std::uint8_t* src = source.row(flipped ? h - 1 - y : y);
            std::uint8_t* dst = out.row(y);
            if (!mirrored) {
                std::memcpy(dst, src, static_cast<std::size_t>(w) * kBytes);
                continue;
            }
            const std::uint8_t* from = src + static_cast<std::size_t>(w - 1) * kBytes;
            for (int x = 0; x < w; ++x, dst += kBytes, from -= kBytes) std::memcpy(dst, from, kBytes);
        }
        return;
    }
    // Output row y is source column sx; output column x is source row sy.
    const bool columnsReversed = orientation == 7 || orientation == 8;  // sx = w - 1 - y
    const bool rowsReversed = orientation == 6 || orientation == 7;     // sy = h - 1 - x
    const int outWidth = out.width(), outHeight = out.height();
    for (int ty = 0; ty < outHeight; ty += kTile) {
        const int yEnd = std::min(ty + kTile, outHeight);
        for (int tx = 0; tx < outWidth; tx += kTile) {
            const int xEnd = std::min(tx + kTile, outWidth);
            for (int y = ty; y < yEnd; ++y) {
                const std::size_t sx = static_cast<std::size_t>(columnsReversed ? w - 1 - y : y) * kBytes;
                std::uint8_t* dst = out.row(y) + static_cast<std::size_t>(tx) * kBytes;
                for (int x = tx; x < xEnd; ++x, dst += kBytes)
                    std::memcpy(dst, source.row(rowsReversed ? h - 1 - x : x) + sx, kBytes);
            }
        }
    }
}

// 1 and 4 bits per pixel: palette indices packed most significant bits first, moved one by one
// into a zero-filled raster. Such pictures are small line art; speed does not matter here.
void OrientPacked(const Raster& source, Raster& out, int orientation) {
    const int bits = source.bitsPerPixel();
    const int perByte = 8 / bits;
    const unsigned mask = (1u << bits) - 1;
    const SourceOf from{orientation, source.width(), source.height()};
    for (int y = 0; y < out.height(); ++y) {
        std::uint8_t* dst = out.row(y);
        for (int x = 0; x < out.width(); ++x) {
            int sx = 0, sy = 0;
            from(x, y, sx, sy);
            const int srcShift = 8 - bits * (sx % perByte + 1);
            const unsigned index = (source.row(sy)[sx / perByte] >> srcShift) & mask;
            const int dstShift = 8 - bits * (x % perByte + 1);
            dst[x / perByte] = static_cast<std::uint8_t>(dst[x / perByte] | index << dstShift);
        }
    }
}

}  // namespace

bool OrientationSwapsSides(int orientation) { return orientation >= 5 && orientation <= 8; }

int ExifOrientation(std::span<const std::uint8_t> tiffBlock) {
    if (tiffBlock.size() < 8) return kOrientationAsStored;
    bool bigEndian = false;
    if (tiffBlock[0] == 'M' && tiffBlock[1] == 'M') bigEndian = true;
    else if (tiffBlock[0] != 'I' || tiffBlock[1] != 'I') return kOrientationAsStored;
    const TiffBytes tiff(tiffBlock, bigEndian);
    if (tiff.U16(2) != 42) return kOrientationAsStored;
    const std::uint64_t directory = tiff.U32(4);
    if (!tiff.Has(directory, 2)) return kOrientationAsStored;
    const std::uint16_t count = tiff.U16(static_cast<std::size_t>(directory));
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t entry = directory + 2 + i * kEntrySize;
        if (!tiff.Has(entry, kEntrySize)) break;  // a directory cut short keeps what it holds
        const auto at = static_cast<std::size_t>(entry);
        if (tiff.U16(at) != kTagOrientation) continue;
        const std::uint16_t type = tiff.U16(at + 2);
        if (tiff.U32(at + 4) < 1) return kOrientationAsStored;
        // One value fits in the entry itself, left-justified. The tag is a SHORT; some writers
        // store it as a (signed) LONG, which readers of photos accept too.
        std::uint32_t value = 0;
        if (type == kTypeShort || type == kTypeSignedShort) value = tiff.U16(at + 8);
        else if (type == kTypeLong || type == kTypeSignedLong) value = tiff.U32(at + 8);
        else return kOrientationAsStored;
        return value >= 1 && value <= 8 ? static_cast<int>(value) : kOrientationAsStored;
    }
    return kOrientationAsStored;
}

int ExifSegmentOrientation(std::span<const std::uint8_t> app1Data) {
    static constexpr std::uint8_t kSignature[6] = {'E', 'x', 'i', 'f', 0, 0};
    if (app1Data.size() < sizeof kSignature || std::memcmp(app1Data.data(), kSignature, sizeof kSignature) != 0)
        return kOrientationAsStored;
    return ExifOrientation(app1Data.subspan(sizeof kSignature));
}

Raster Oriented(const Raster& source, int orientation) {
    if (!IsValidOrientation(orientation) || orientation == kOrientationAsStored) return source;
    const bool swapped = OrientationSwapsSides(orientation);
    const int width = swapped ? source.height() : source.width();
    const int height = swapped ? source.width() : source.height();
    const int bits = source.bitsPerPixel();
    Raster out = bits < 8 ? Raster(width, height, bits) : Raster::Uninitialised(width, height, bits);
    out.palette() = source.palette();
    switch (bits) {
        case 8: OrientBytes<1>(source, out, orientation); break;
        case 24: OrientBytes<3>(source, out, orientation); break;
        case 32: OrientBytes<4>(source, out, orientation); break;
        default: OrientPacked(source, out, orientation); break;
    }
    return out;
}

}  // namespace zelvan
