#include "imaging/transparency.h"

#include "base/error.h"

namespace zelvan {
namespace {

void CheckMask(const Raster& image, const Raster& mask) {
    if (mask.width() != image.width() || mask.height() != image.height() || mask.bitsPerPixel() < 24)
        throw Error("the opacity mask does not match the image");
}

// Blends one colour channel over the background's, both 0 to 255, rounding to nearest.
inline std::uint8_t Blend(unsigned colour, unsigned background, unsigned opacity) {
    return static_cast<std::uint8_t>((colour * opacity + background * (255 - opacity) + 127) / 255);
}

}  // namespace

Raster PaletteOpacityMask(const Raster& image, std::span<const std::uint8_t> entryOpacity) {
    Raster mask(image.width(), image.height(), 24);
    for (int y = 0; y < image.height(); ++y) {
        std::uint8_t* opacity = mask.row(y) + 2;
        ForEachPaletteIndex(image.row(y), image.width(), image.bitsPerPixel(), [&](int x, unsigned index) {
            opacity[3 * static_cast<std::size_t>(x)] = index < entryOpacity.size() ? entryOpacity[index] : 255;
        });
    }
    return mask;
}

std::optional<std::vector<std::uint8_t>> OpacityByPaletteEntry(const Raster& image, const Raster& mask) {
    if (image.bitsPerPixel() > 8) return std::nullopt;
    CheckMask(image, mask);
    const std::size_t maskBytes = static_cast<std::size_t>(mask.bitsPerPixel() / 8);
    std::vector<std::uint8_t> opacity(image.palette().size(), 255);
    std::vector<bool> seen(opacity.size(), false);
    bool follows = true;
    for (int y = 0; y < image.height() && follows; ++y) {
        const std::uint8_t* m = mask.row(y) + 2;
        ForEachPaletteIndex(image.row(y), image.width(), image.bitsPerPixel(), [&](int x, unsigned index) {
            const std::uint8_t a = m[static_cast<std::size_t>(x) * maskBytes];
            if (!seen[index]) {
                seen[index] = true;
                opacity[index] = a;
            } else if (opacity[index] != a) {
                follows = false;
            }
        });
    }
    if (!follows) return std::nullopt;
    return opacity;
}

Raster OverBackground(const Raster& image, const Raster& mask, Rgb background) {
    CheckMask(image, mask);
    if (std::optional<std::vector<std::uint8_t>> opacity = OpacityByPaletteEntry(image, mask)) {
        Raster blended = image;
        for (std::size_t i = 0; i < blended.palette().size(); ++i) {
            PaletteEntry& e = blended.palette()[i];
            const unsigned a = (*opacity)[i];
            e = {Blend(e.blue, background.blue, a), Blend(e.green, background.green, a),
                 Blend(e.red, background.red, a), 0};
        }
        return blended;
    }
    Raster out = image.ToBgr24();
    const std::size_t maskBytes = static_cast<std::size_t>(mask.bitsPerPixel() / 8);
    for (int y = 0; y < out.height(); ++y) {
        std::uint8_t* p = out.row(y);
        const std::uint8_t* m = mask.row(y) + 2;
        for (int x = 0; x < out.width(); ++x, p += 3, m += maskBytes) {
            const unsigned a = *m;
            if (a == 255) continue;
            p[0] = Blend(p[0], background.blue, a);
            p[1] = Blend(p[1], background.green, a);
            p[2] = Blend(p[2], background.red, a);
        }
    }
    return out;
}

}  // namespace zelvan
