#include "imaging/raster.h"

#include <cstring>
#include <string>

#include "base/error.h"

namespace zelvan {

void CheckImageSize(std::int64_t width, std::int64_t height, const char* what) {
    if (width <= 0 || height <= 0)
        throw Error(std::string(what) + ": invalid image size " + std::to_string(width) + "x" +
                    std::to_string(height));
    // Each side is at most 2^31, so the product cannot overflow 64 bits.
    if (width > INT32_MAX || height > INT32_MAX ||
        static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) > kMaxPixels)
        throw Error(std::string(what) + ": image of " + std::to_string(width) + "x" +
                    std::to_string(height) + " pixels is larger than the limit of " +
                    std::to_string(kMaxPixels) + " pixels");
}

std::size_t RowStride(int width, int bitsPerPixel) {
    std::uint64_t bits = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(bitsPerPixel);
    return static_cast<std::size_t>(((bits + 31) / 32) * 4);
}

Raster::Raster(int width, int height, int bitsPerPixel) : Raster(width, height, bitsPerPixel, true) {}

Raster Raster::Uninitialised(int width, int height, int bitsPerPixel) {
    return Raster(width, height, bitsPerPixel, false);
}

Raster::Raster(int width, int height, int bitsPerPixel, bool zeroFill) {
    if (bitsPerPixel != 1 && bitsPerPixel != 4 && bitsPerPixel != 8 && bitsPerPixel != 24 &&
        bitsPerPixel != 32)
        throw Error("unsupported pixel depth " + std::to_string(bitsPerPixel));
    CheckImageSize(width, height, "image");
    width_ = width;
    height_ = height;
    bitsPerPixel_ = bitsPerPixel;
    stride_ = RowStride(width, bitsPerPixel);
    std::size_t size = byteSize();
    pixels_ = AllocatePictureMemory(size, zeroFill ? PictureBytes::Zeroed : PictureBytes::Undefined);
    if (!pixels_)
        throw Error("not enough memory for an image of " + std::to_string(width) + "x" +
                    std::to_string(height) + " pixels");
    if (!zeroFill) {
        // Readers fill the pixels; the row padding is cleared here so that it never carries
        // stale memory into a written file.
        std::size_t used = (static_cast<std::size_t>(width) * bitsPerPixel + 7) / 8;
        if (used < stride_)
            for (int y = 0; y < height; ++y) std::memset(row(y) + used, 0, stride_ - used);
    }
    if (bitsPerPixel <= 8) palette_.resize(std::size_t{1} << bitsPerPixel);
}

Raster::Raster(const Raster& other)
    : width_(other.width_),
      height_(other.height_),
      bitsPerPixel_(other.bitsPerPixel_),
      stride_(other.stride_),
      palette_(other.palette_) {
    if (other.pixels_) {
        pixels_ = AllocatePictureMemory(byteSize(), PictureBytes::Undefined);
        if (!pixels_) throw Error("not enough memory to copy an image");
        std::memcpy(pixels_.get(), other.pixels_.get(), byteSize());
    }
}

Raster& Raster::operator=(const Raster& other) {
    if (this != &other) {
        Raster copy(other);
        *this = std::move(copy);
    }
    return *this;
}

void Raster::SetGreyPalette() {
    std::size_t n = palette_.size();
    for (std::size_t i = 0; i < n; ++i) {
        auto v = static_cast<std::uint8_t>(n > 1 ? i * 255 / (n - 1) : 0);
        palette_[i] = {v, v, v, 0};
    }
}

void Raster::ExpandRowToBgr(int y, std::uint8_t* dst) const {
    const std::uint8_t* src = row(y);
    switch (bitsPerPixel_) {
        case 24:
            std::memcpy(dst, src, static_cast<std::size_t>(width_) * 3);
            return;
        case 32:
            for (int x = 0; x < width_; ++x, src += 4, dst += 3) {
                dst[0] = src[0];
                dst[1] = src[1];
                dst[2] = src[2];
            }
            return;
        default: {
            const int bits = bitsPerPixel_;
            const int perByte = 8 / bits;
            const unsigned mask = (1u << bits) - 1;
            for (int x = 0; x < width_; ++x, dst += 3) {
                int shift = 8 - bits * (x % perByte + 1);
                unsigned index = (src[x / perByte] >> shift) & mask;
                const PaletteEntry& e = palette_[index];
                dst[0] = e.blue;
                dst[1] = e.green;
                dst[2] = e.red;
            }
            return;
        }
    }
}

Rgb Raster::PixelColour(int x, int y) const {
    const std::uint8_t* src = row(y);
    if (bitsPerPixel_ >= 24) {
        const std::uint8_t* p = src + static_cast<std::size_t>(x) * (bitsPerPixel_ / 8);
        return {p[2], p[1], p[0]};
    }
    const int bits = bitsPerPixel_;
    const int perByte = 8 / bits;
    int shift = 8 - bits * (x % perByte + 1);
    unsigned index = (src[x / perByte] >> shift) & ((1u << bits) - 1);
    const PaletteEntry& e = palette_[index];
    return {e.red, e.green, e.blue};
}

Raster Raster::ToBgr24() const {
    if (bitsPerPixel_ == 24 || empty()) return *this;
    Raster out = Uninitialised(width_, height_, 24);
    for (int y = 0; y < height_; ++y) {
        ExpandRowToBgr(y, out.row(y));
        std::memset(out.row(y) + static_cast<std::size_t>(width_) * 3, 0,
                    out.stride_ - static_cast<std::size_t>(width_) * 3);
    }
    return out;
}

}  // namespace zelvan
