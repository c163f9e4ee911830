#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "imaging/picture_memory.h"

namespace zelvan {

// Images above this many pixels are refused before anything is allocated.
inline constexpr std::uint64_t kMaxPixels = std::uint64_t{1} << 28;

struct PaletteEntry {
    std::uint8_t blue = 0;
    std::uint8_t green = 0;
    std::uint8_t red = 0;
    std::uint8_t reserved = 0;
    friend bool operator==(const PaletteEntry&, const PaletteEntry&) = default;
};

struct Rgb {
    std::uint8_t red = 0;
    std::uint8_t green = 0;
    std::uint8_t blue = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

// Throws Error naming `what` when width or height is not positive or width x height exceeds
// kMaxPixels. Used by readers on the declared size before they allocate anything.
void CheckImageSize(std::int64_t width, std::int64_t height, const char* what);

// Bytes of one row of `width` pixels at `bitsPerPixel`, padded to a multiple of 4.
std::size_t RowStride(int width, int bitsPerPixel);

// A picture in memory: rows top-down, each padded to a multiple of 4 bytes; pixels are
// blue, green, red (and a fourth byte at 32 bits). 1, 4 and 8 bits per pixel are palette
// indices, most significant bits first; the palette always has 2^bits entries, so no index
// can fall outside it.
class Raster {
public:
    Raster() = default;
    // A zero-filled raster. Throws Error for an invalid or too large size, or when memory
    // runs out.
    Raster(int width, int height, int bitsPerPixel);
    // Like the constructor, but the pixel bytes are left as they are: for readers that write
    // every byte of every row.
    static Raster Uninitialised(int width, int height, int bitsPerPixel);

    Raster(const Raster& other);
    Raster& operator=(const Raster& other);
    Raster(Raster&&) noexcept = default;
    Raster& operator=(Raster&&) noexcept = default;

    bool empty() const { return !pixels_; }
    int width() const { return width_; }
    int height() const { return height_; }
    int bitsPerPixel() const { return bitsPerPixel_; }
    std::size_t stride() const { return stride_; }
    std::size_t byteSize() const { return stride_ * static_cast<std::size_t>(height_); }

    std::uint8_t* data() { return pixels_.get(); }
    const std::uint8_t* data() const { return pixels_.get(); }
    std::uint8_t* row(int y) { return pixels_.get() + stride_ * static_cast<std::size_t>(y); }
    const std::uint8_t* row(int y) const {
        return pixels_.get() + stride_ * static_cast<std::size_t>(y);
    }

    // 2^bitsPerPixel entries for palette rasters, empty otherwise.
    std::vector<PaletteEntry>& palette() { return palette_; }
    const std::vector<PaletteEntry>& palette() const { return palette_; }
    void SetGreyPalette();

    // Row y as blue, green, red triples (width * 3 bytes) whatever the depth; a fourth byte
    // is dropped, palette indices are looked up.
    void ExpandRowToBgr(int y, std::uint8_t* dst) const;
    // The colour of pixel (x, y) whatever the depth.
    Rgb PixelColour(int x, int y) const;
    // A 24-bit copy of this raster (the raster itself when it is 24-bit already).
    Raster ToBgr24() const;

private:
    Raster(int width, int height, int bitsPerPixel, bool zeroFill);

    int width_ = 0;
    int height_ = 0;
    int bitsPerPixel_ = 0;
    std::size_t stride_ = 0;
    PictureMemory pixels_;
    std::vector<PaletteEntry> palette_;
};

// Calls f(x, index) for every pixel of a row of a 1-, 4- or 8-bit raster.
template <class F>
inline void ForEachPaletteIndex(const std::uint8_t* row, int width, int bitsPerPixel, F f) {
    switch (bitsPerPixel) {
        case 8:
            for (int x = 0; x < width; ++x) f(x, row[x]);
            break;
        case 4:
            for (int x = 0; x < width; ++x) f(x, (row[x >> 1] >> ((x & 1) ? 0 : 4)) & 0x0F);
            break;
        default:
            for (int x = 0; x < width; ++x) f(x, (row[x >> 3] >> (7 - (x & 7))) & 1);
            break;
    }
}

}  // namespace zelvan
