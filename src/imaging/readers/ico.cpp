// ICO and CUR files: the largest image of the directory, as a 32-bit picture with alpha.

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "base/error.h"
#include "imaging/readers/bmp_dib.h"
#include "imaging/readers/readers.h"

namespace zelvan {
namespace {

constexpr const char* kFormat = "ICO";
constexpr std::uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

struct Entry {
    std::span<const std::uint8_t> data;
    bool png = false;
    // What the image itself says, for choosing among the entries: a cursor's directory holds
    // a hot spot where an icon's holds the depth, and its sizes stop at 256 ("0").
    std::uint64_t pixels = 0;
    int bitsPerPixel = 0;
};

std::uint32_t Le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint32_t Be32(const std::uint8_t* p) {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

// Size and depth as the image's own header declares them; nothing when it is too short to
// tell (such an image cannot be decoded either).
void Measure(Entry& e) {
    const std::uint8_t* p = e.data.data();
    std::int64_t w = 0, h = 0;
    if (e.png) {
        if (e.data.size() >= 26) {
            w = Be32(p + 16);
            h = Be32(p + 20);
            static const int channels[7] = {1, 0, 3, 1, 2, 0, 4};
            const int colourType = p[25] < 7 ? p[25] : 0;
            e.bitsPerPixel = p[24] * channels[colourType];
        }
    } else if (e.data.size() >= 16) {
        const std::uint32_t headerSize = Le32(p);
        if (headerSize == 12) {
            w = p[4] | (p[5] << 8);
            h = (p[6] | (p[7] << 8)) / 2;
            e.bitsPerPixel = p[10] | (p[11] << 8);
        } else {
            w = static_cast<std::int32_t>(Le32(p + 4));
            const std::int64_t bh = static_cast<std::int32_t>(Le32(p + 8));
            h = (bh < 0 ? -bh : bh) / 2;
            e.bitsPerPixel = p[14] | (p[15] << 8);
        }
    }
    // Each side is below 2^32, so the product fits.
    e.pixels = (w > 0 && h > 0) ? static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h) : 0;
}

// The transparency of a PNG without an alpha channel, which the PNG reader leaves to its
// caller: its tRNS chunk gives an alpha per palette index, or the one grey or RGB value that
// is transparent.
struct PngTransparency {
    std::array<std::uint8_t, 256> alpha;  // by palette index (grey images: by grey level)
    bool rgbKey = false;                  // 24-bit pixels of this colour are transparent
    std::uint8_t keyBlue = 0, keyGreen = 0, keyRed = 0;
    PngTransparency() { alpha.fill(255); }
};

PngTransparency FindTransparency(std::span<const std::uint8_t> png) {
    PngTransparency t;
    if (png.size() < 33) return t;
    const int depth = png[24];
    const int colourType = png[25];
    std::size_t pos = 8;
    while (png.size() - pos >= 12) {
        const std::uint32_t length = Be32(&png[pos]);
        const std::uint8_t* type = &png[pos + 4];
        if (length > png.size() - pos - 12 || std::memcmp(type, "IDAT", 4) == 0) break;
        if (std::memcmp(type, "tRNS", 4) != 0) {
            pos += 12 + std::size_t{length};
            continue;
        }
        const std::uint8_t* d = &png[pos + 8];
        if (colourType == 3) {
            for (std::uint32_t i = 0; i < length && i < 256; ++i) t.alpha[i] = d[i];
        } else if (colourType == 0 && length >= 2 && depth <= 8) {
            // Grey levels reach the raster stretched to 8 bits, and the key with them.
            const unsigned max = (1u << depth) - 1;
            const unsigned key = (d[0] << 8) | d[1];
            if (key <= max) t.alpha[key * 255 / max] = 0;
        } else if (colourType == 2 && length >= 6 && depth == 8 && d[0] == 0 && d[2] == 0 && d[4] == 0) {
            t.rgbKey = true;
            t.keyRed = d[1];
            t.keyGreen = d[3];
            t.keyBlue = d[5];
        }
        // A 16-bit key cannot be told apart once the samples are scaled to 8 bits: such
        // pictures stay opaque.
        break;
    }
    return t;
}

// The PNG reader's raster widened to 32 bits, with the transparency of its tRNS chunk.
Raster ToBgra(Raster&& src, const PngTransparency& t) {
    if (src.bitsPerPixel() == 32) return std::move(src);
    Raster out = Raster::Uninitialised(src.width(), src.height(), 32);
    const int w = src.width();
    const int bits = src.bitsPerPixel();
    for (int y = 0; y < src.height(); ++y) {
        const std::uint8_t* s = src.row(y);
        std::uint8_t* dst = out.row(y);
        if (bits == 24) {
            for (int x = 0; x < w; ++x, s += 3, dst += 4) {
                dst[0] = s[0];
                dst[1] = s[1];
                dst[2] = s[2];
                dst[3] = (t.rgbKey && s[0] == t.keyBlue && s[1] == t.keyGreen && s[2] == t.keyRed) ? 0 : 255;
            }
            continue;
        }
        const int perByte = 8 / bits;
        for (int x = 0; x < w; ++x, dst += 4) {
            const int shift = 8 - bits * (x % perByte + 1);
            const unsigned index = (s[x / perByte] >> shift) & ((1u << bits) - 1);
            const PaletteEntry& e = src.palette()[index];
            dst[0] = e.blue;
            dst[1] = e.green;
            dst[2] = e.red;
            dst[3] = t.alpha[index];
        }
    }
    return out;
}

Raster DecodePng(const Entry& e) {
    try {
        return ToBgra(ReadPng(e.data).raster, FindTransparency(e.data));
    } catch (const Error& error) {
        throw Error(std::string(kFormat) + ": " + error.what());
    }
}

Raster DecodeBitmap(const Entry& e) {
    ByteReader r(e.data, kFormat);
    dib::Header h = dib::ReadHeader(r, kFormat);
    if (h.compression != dib::kRgb && h.compression != dib::kBitfields &&
        h.compression != dib::kAlphaBitfields)
        r.Fail("compressed icon images are not supported");
    // The bitmap's height counts the colour rows and the mask rows.
    h.height /= 2;
    CheckImageSize(h.width, h.height, kFormat);

    // Indices beyond the file's colours read black.
    std::array<PaletteEntry, 256> palette{};
    const std::uint64_t declared = h.DeclaredPaletteEntries();
    const std::uint64_t start = r.position() + declared * static_cast<std::uint64_t>(h.paletteEntryBytes);
    if (h.bitCount <= 8) dib::ReadPalette(r, h, declared, palette.data(), std::size_t{1} << h.bitCount);
    if (start > e.data.size()) r.Truncated();
    dib::CheckPixelData(h, e.data.size() - start, kFormat);

    Raster out = Raster::Uninitialised(static_cast<int>(h.width), static_cast<int>(h.height), 32);
    const std::uint8_t* pixels = e.data.data() + start;
    dib::DecodeRowsBgra(pixels, h, palette.data(), out);

    const int width = out.width();
    bool useMask = true;
    if (h.bitCount == 32) {
        // A 32-bit image carries its own alpha unless every alpha byte is 0, which older
        // writers leave there: then the mask says what is transparent.
        for (int y = 0; y < out.height() && useMask; ++y) {
            const std::uint8_t* p = out.row(y);
            for (int x = 0; x < width; ++x)
                if (p[4 * x + 3] != 0) {
                    useMask = false;
                    break;
                }
        }
    }
    if (!useMask) return out;

    const std::uint64_t maskStart = start + static_cast<std::uint64_t>(h.StoredStride()) * h.height;
    const std::size_t maskStride = RowStride(width, 1);
    const bool haveMask = maskStart + static_cast<std::uint64_t>(maskStride) * h.height <= e.data.size();
    for (std::int64_t i = 0; i < h.height; ++i) {
        std::uint8_t* dst = out.row(h.RasterRow(i));
        if (!haveMask) {
            // A missing mask leaves the picture opaque.
            for (int x = 0; x < width; ++x) dst[4 * x + 3] = 255;
            continue;
        }
        const std::uint8_t* m = e.data.data() + maskStart + maskStride * static_cast<std::size_t>(i);
        for (int x = 0; x < width; ++x)
            dst[4 * x + 3] = ((m[x >> 3] >> (7 - (x & 7))) & 1) ? 0 : 255;
    }
    return out;
}

}  // namespace

DecodedPicture ReadIco(std::span<const std::uint8_t> bytes) {
    ByteReader r(bytes, kFormat);
    const std::uint16_t reserved = r.U16LE();
    const std::uint16_t type = r.U16LE();
    if (reserved != 0 || (type != 1 && type != 2)) r.Fail("not an icon file");
    const std::uint16_t count = r.U16LE();
    if (count == 0) r.Fail("the file holds no images");
    const std::uint64_t directoryEnd = 6 + 16 * static_cast<std::uint64_t>(count);

    const std::uint8_t* directory = r.Take(16 * static_cast<std::size_t>(count));
    std::vector<Entry> entries(count);
    for (std::uint16_t i = 0; i < count; ++i) {
        const std::uint8_t* d = directory + 16 * static_cast<std::size_t>(i);
        const std::uint32_t size = Le32(d + 8);
        const std::uint32_t offset = Le32(d + 12);
        auto fail = [&](const char* what) {
            r.Fail("image " + std::to_string(i + 1) + " of " + std::to_string(count) + what);
        };
        if (size == 0) fail(" is empty");
        if (offset < directoryEnd || static_cast<std::uint64_t>(offset) + size > bytes.size())
            fail(" lies outside the file");
        Entry& e = entries[i];
        e.data = bytes.subspan(offset, size);
        e.png = size >= 8 && std::memcmp(e.data.data(), kPngSignature, 8) == 0;
        Measure(e);
    }

    const Entry* best = &entries[0];
    for (const Entry& e : entries)
        if (e.pixels > best->pixels || (e.pixels == best->pixels && e.bitsPerPixel > best->bitsPerPixel))
            best = &e;

    DecodedPicture picture;
    picture.kind = PictureKind::Icon;
    picture.raster = best->png ? DecodePng(*best) : DecodeBitmap(*best);
    return picture;
}

}  // namespace zelvan
