#include "imaging/readers/bmp_dib.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

namespace zelvan::dib {
namespace {

std::string Hex(std::uint32_t v) {
    static const char digits[] = "0123456789abcdef";
    std::string s = "0x";
    for (int shift = 28; shift >= 0; shift -= 4) s += digits[(v >> shift) & 15];
    return s;
}

// A mask of any contiguous width; wider than 8 bits keeps its top 8, narrower is stretched so
// that the channel's maximum becomes 255.
Channel MakeChannel(std::uint32_t mask, const ByteReader& r) {
    Channel c;
    if (mask == 0) return c;  // absent: the channel reads 0
    const int low = std::countr_zero(mask);
    const int width = std::popcount(mask);
    if ((static_cast<std::uint64_t>(mask) >> low) != (std::uint64_t{1} << width) - 1)
        r.Fail("bit field mask " + Hex(mask) + " is not contiguous");
    const int bits = std::min(width, 8);
    c.mask = mask;
    c.shift = low + (width - bits);
    const unsigned max = (1u << bits) - 1;
    for (unsigned v = 0; v <= max; ++v) c.scale[v] = static_cast<std::uint8_t>((v * 255 + max / 2) / max);
    return c;
}

bool IsKnownHeaderSize(std::uint32_t size) {
    switch (size) {
        case 12: case 16: case 40: case 52: case 56: case 64: case 108: case 124:
            return true;
        default:
            return false;
    }
}

std::uint32_t Le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

}  // namespace

std::uint64_t Header::DeclaredPaletteEntries() const {
    if (bitCount <= 8) return coloursUsed != 0 ? coloursUsed : (std::uint64_t{1} << bitCount);
    return coloursUsed;
}

std::size_t Header::StoredStride() const {
    return static_cast<std::size_t>((static_cast<std::uint64_t>(width) * bitCount + 31) / 32 * 4);
}

std::size_t Header::StoredRowBytes() const {
    return static_cast<std::size_t>((static_cast<std::uint64_t>(width) * bitCount + 7) / 8);
}

Header ReadHeader(ByteReader& r, const char* format) {
    Header h;
    h.size = r.U32LE();
    if (!IsKnownHeaderSize(h.size)) r.Fail("unsupported bitmap header size " + std::to_string(h.size));
    const bool core = h.size == 12;                    // OS/2 1.x: 16-bit sizes, 3-byte colours
    const bool os2 = h.size == 16 || h.size == 64;     // OS/2 2.x: its own compression codes
    ByteReader f({r.Take(h.size - 4), h.size - 4}, format);

    std::uint32_t masks[4] = {};  // red, green, blue, alpha as the file orders them
    if (core) {
        h.width = f.U16LE();
        h.height = f.U16LE();
        f.Skip(2);  // planes
        h.bitCount = f.U16LE();
        h.paletteEntryBytes = 3;
    } else {
        h.width = f.I32LE();
        const std::int64_t height = f.I32LE();
        h.topDown = height < 0;
        h.height = height < 0 ? -height : height;  // 64-bit: INT32_MIN negates safely
        f.Skip(2);  // planes
        h.bitCount = f.U16LE();
        if (h.size >= 40) {
            h.compression = f.U32LE();
            f.Skip(12);  // image size, resolution
            h.coloursUsed = f.U32LE();
            f.Skip(4);  // important colours
        }
        if (h.size >= 52 && !os2) {
            for (int i = 0; i < 3; ++i) masks[i] = f.U32LE();
            if (h.size >= 56) masks[3] = f.U32LE();
        }
    }

    switch (h.compression) {
        case kRgb:
            break;
        case kRle8:
        case kRle4: {
            const int need = h.compression == kRle8 ? 8 : 4;
            if (h.bitCount != need)
                r.Fail(std::string(h.compression == kRle8 ? "RLE8" : "RLE4") + " compression with " +
                       std::to_string(h.bitCount) + " bits per pixel");
            break;
        }
        case kBitfields:
        case kAlphaBitfields:
            if (os2 && h.compression == kBitfields) r.Fail("OS/2 Huffman compression is not supported");
            if (os2) r.Fail("unknown compression " + std::to_string(h.compression));
            if (h.bitCount != 16 && h.bitCount != 32)
                r.Fail("bit field masks with " + std::to_string(h.bitCount) + " bits per pixel");
            if (h.size == 40) {
                const int n = h.compression == kAlphaBitfields ? 4 : 3;
                for (int i = 0; i < n; ++i) masks[i] = r.U32LE();
            }
            break;
        case kJpeg:
            r.Fail(os2 ? "OS/2 RLE24 compression is not supported"
                       : "JPEG compression inside a bitmap is not supported");
        case kPng:
            r.Fail("PNG compression inside a bitmap is not supported");
        default:
            r.Fail("unknown compression " + std::to_string(h.compression));
    }

    switch (h.bitCount) {
        case 1: case 4: case 8: case 24:
            break;
        case 16: case 32:
            if (!core) break;
            [[fallthrough]];
        default:
            r.Fail("unsupported bit depth " + std::to_string(h.bitCount));
    }
    if (h.bitCount <= 8 && h.coloursUsed > 256)
        r.Fail("palette of " + std::to_string(h.coloursUsed) + " colours is larger than 256");

    if (h.bitCount == 16 || h.bitCount == 32) {
        const bool bitfields = h.compression == kBitfields || h.compression == kAlphaBitfields;
        if (!bitfields) {
            // Without bit fields the layout is fixed: 5-5-5, or blue, green, red and a fourth
            // byte kept as stored.
            if (h.bitCount == 16) {
                masks[0] = 0x7c00, masks[1] = 0x03e0, masks[2] = 0x001f, masks[3] = 0;
            } else {
                masks[0] = 0xff0000, masks[1] = 0xff00, masks[2] = 0xff, masks[3] = 0;
            }
        }
        h.channels[0] = MakeChannel(masks[2], r);
        h.channels[1] = MakeChannel(masks[1], r);
        h.channels[2] = MakeChannel(masks[0], r);
        h.channels[3] = MakeChannel(masks[3], r);
        h.hasAlphaMask = masks[3] != 0;
        h.standard32 = h.bitCount == 32 && masks[0] == 0xff0000 && masks[1] == 0xff00 &&
                       masks[2] == 0xff && (masks[3] == 0 || masks[3] == 0xff000000u);
    }
    return h;
}

void ReadPalette(ByteReader& r, const Header& h, std::uint64_t count, PaletteEntry* palette,
                 std::size_t capacity) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, capacity));
    const std::uint8_t* p = r.Take(n * static_cast<std::size_t>(h.paletteEntryBytes));
    for (std::size_t i = 0; i < n; ++i, p += h.paletteEntryBytes) palette[i] = {p[0], p[1], p[2], 0};
}

std::uint64_t CheckPixelData(const Header& h, std::uint64_t available, const char* format) {
    const std::uint64_t need = static_cast<std::uint64_t>(h.StoredStride()) *
                                   static_cast<std::uint64_t>(h.height - 1) +
                               h.StoredRowBytes();
    if (available < need) throw Error(std::string(format) + ": file is truncated");
    return need;
}

void DecodeRows(const std::uint8_t* src, const Header& h, Raster& out) {
    const std::size_t stride = h.StoredStride();
    const std::size_t rowBytes = h.StoredRowBytes();
    const int width = out.width();
    // Bits past the last pixel of a palette row are cleared so that they never reach a file.
    const int spareBits = static_cast<int>(rowBytes * 8 - static_cast<std::size_t>(width) * h.bitCount);
    const auto lastByteMask = static_cast<std::uint8_t>(0xff << (h.bitCount <= 8 ? spareBits : 0));
    const Channel& b = h.channels[0];
    const Channel& g = h.channels[1];
    const Channel& red = h.channels[2];
    const Channel& a = h.channels[3];

    for (std::int64_t i = 0; i < h.height; ++i, src += stride) {
        std::uint8_t* dst = out.row(h.RasterRow(i));
        switch (h.bitCount) {
            case 1: case 4: case 8:
                std::memcpy(dst, src, rowBytes);
                dst[rowBytes - 1] &= lastByteMask;
                break;
            case 24:
                std::memcpy(dst, src, rowBytes);
                break;
            case 16:
                for (int x = 0; x < width; ++x, dst += 3) {
                    const std::uint32_t px = src[2 * x] | (src[2 * x + 1] << 8);
                    dst[0] = b.Get(px);
                    dst[1] = g.Get(px);
                    dst[2] = red.Get(px);
                }
                break;
            case 32:
                if (h.standard32) {
                    std::memcpy(dst, src, rowBytes);
                    break;
                }
                for (int x = 0; x < width; ++x, dst += 4) {
                    const std::uint32_t px = Le32(src + 4 * x);
                    dst[0] = b.Get(px);
                    dst[1] = g.Get(px);
                    dst[2] = red.Get(px);
                    dst[3] = h.hasAlphaMask ? a.Get(px) : src[4 * x + 3];
                }
                break;
        }
    }
}

void DecodeRowsBgra(const std::uint8_t* src, const Header& h, const PaletteEntry* palette,
                    Raster& out) {
    if (h.bitCount == 32) {
        DecodeRows(src, h, out);
        return;
    }
    const std::size_t stride = h.StoredStride();
    const int width = out.width();
    const int bits = h.bitCount;
    const Channel& b = h.channels[0];
    const Channel& g = h.channels[1];
    const Channel& red = h.channels[2];

    for (std::int64_t i = 0; i < h.height; ++i, src += stride) {
        std::uint8_t* dst = out.row(h.RasterRow(i));
        for (int x = 0; x < width; ++x, dst += 4) {
            switch (bits) {
                case 1: case 4: case 8: {
                    const int perByte = 8 / bits;
                    const int shift = 8 - bits * (x % perByte + 1);
                    const unsigned index = (src[x / perByte] >> shift) & ((1u << bits) - 1);
                    const PaletteEntry& e = palette[index];
                    dst[0] = e.blue;
                    dst[1] = e.green;
                    dst[2] = e.red;
                    break;
                }
                case 16: {
                    const std::uint32_t px = src[2 * x] | (src[2 * x + 1] << 8);
                    dst[0] = b.Get(px);
                    dst[1] = g.Get(px);
                    dst[2] = red.Get(px);
                    break;
                }
                default:  // 24
                    dst[0] = src[3 * x];
                    dst[1] = src[3 * x + 1];
                    dst[2] = src[3 * x + 2];
                    break;
            }
            dst[3] = 255;
        }
    }
}

bool LooksLikeInfoHeader(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= 4 && IsKnownHeaderSize(Le32(bytes.data()));
}

}  // namespace zelvan::dib
