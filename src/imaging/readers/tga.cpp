// Truevision Targa: colour-mapped, true-colour and grey images, raw or run-length encoded.
#include <cstring>
#include <string>
#include <vector>

#include "imaging/raster.h"
#include "imaging/readers/byte_reader.h"
#include "imaging/readers/readers.h"

namespace zelvan {
namespace {

constexpr const char* kFormat = "TGA";
constexpr int kHeaderSize = 18;

// How one stored pixel is turned into raster bytes; chosen once per file.
enum class TgaPixel {
    MapIndex8,    // 8-bit index into the colour map
    MapIndex16,   // 16-bit index into the colour map
    Grey8,        // 8-bit grey, kept as an 8-bit grey-palette raster
    GreyAlpha16,  // grey then alpha
    Rgb555,       // 15 or 16 bits, little-endian x-R-G-B 1-5-5-5; the attribute bit is dropped
    Bgr24,
    Bgra32,
};

// Five bits to eight, so that 31 becomes 255 and 0 stays 0.
inline std::uint8_t Expand5(unsigned v) {
    return static_cast<std::uint8_t>((v << 3) | (v >> 2));
}

inline void Rgb555ToBgr(const std::uint8_t* s, std::uint8_t* d) {
    unsigned v = s[0] | (s[1] << 8);
    d[0] = Expand5(v & 31);
    d[1] = Expand5((v >> 5) & 31);
    d[2] = Expand5((v >> 10) & 31);
}

// Converts one row of stored pixels, writing it mirrored when the file stores rows right to
// left. The per-pixel step is a lambda, inlined into each instance.
template <int kSrcBytes, int kDstBytes, class Convert>
void ConvertRow(const std::uint8_t* src, std::uint8_t* dst, int width, bool rightToLeft,
                Convert convert) {
    if (!rightToLeft) {
        for (int x = 0; x < width; ++x) convert(src + x * kSrcBytes, dst + x * kDstBytes);
    } else {
        for (int x = 0; x < width; ++x)
            convert(src + x * kSrcBytes, dst + (width - 1 - x) * kDstBytes);
    }
}

template <int kBytes>
void CopyRow(const std::uint8_t* src, std::uint8_t* dst, int width, bool rightToLeft) {
    if (!rightToLeft)
        std::memcpy(dst, src, static_cast<std::size_t>(width) * kBytes);
    else
        ConvertRow<kBytes, kBytes>(
            src, dst, width, true,
            [](const std::uint8_t* s, std::uint8_t* d) { std::memcpy(d, s, kBytes); });
}

// `lut` holds the raster bytes (3 or 4) for every possible index; indices the file's map does
// not cover are zero there, so no index can reach outside it.
void ConvertTgaRow(TgaPixel kind, const std::uint8_t* src, std::uint8_t* dst, int width,
                   bool rightToLeft, const std::uint8_t* lut, int lutBytes) {
    switch (kind) {
        case TgaPixel::Grey8: CopyRow<1>(src, dst, width, rightToLeft); return;
        case TgaPixel::Bgr24: CopyRow<3>(src, dst, width, rightToLeft); return;
        case TgaPixel::Bgra32: CopyRow<4>(src, dst, width, rightToLeft); return;
        case TgaPixel::Rgb555: ConvertRow<2, 3>(src, dst, width, rightToLeft, Rgb555ToBgr); return;
        case TgaPixel::GreyAlpha16:
            ConvertRow<2, 4>(src, dst, width, rightToLeft,
                             [](const std::uint8_t* s, std::uint8_t* d) {
                                 d[0] = d[1] = d[2] = s[0];
                                 d[3] = s[1];
                             });
            return;
        case TgaPixel::MapIndex8:
            if (lutBytes == 3)
                ConvertRow<1, 3>(src, dst, width, rightToLeft,
                                 [lut](const std::uint8_t* s, std::uint8_t* d) {
                                     std::memcpy(d, lut + s[0] * 3, 3);
                                 });
            else
                ConvertRow<1, 4>(src, dst, width, rightToLeft,
                                 [lut](const std::uint8_t* s, std::uint8_t* d) {
                                     std::memcpy(d, lut + s[0] * 4, 4);
                                 });
            return;
        case TgaPixel::MapIndex16:
            if (lutBytes == 3)
                ConvertRow<2, 3>(src, dst, width, rightToLeft,
                                 [lut](const std::uint8_t* s, std::uint8_t* d) {
                                     std::memcpy(d, lut + (s[0] | (s[1] << 8)) * 3, 3);
                                 });
            else
                ConvertRow<2, 4>(src, dst, width, rightToLeft,
                                 [lut](const std::uint8_t* s, std::uint8_t* d) {
                                     std::memcpy(d, lut + (s[0] | (s[1] << 8)) * 4, 4);
                                 });
            return;
    }
}

// A run-length packet may run on from one row into the next, so its state outlives a row.
struct RlePacket {
    int remaining = 0;
    bool repeat = false;
    const std::uint8_t* value = nullptr;  // the repeated pixel, inside the file image
};

void FillPixels(std::uint8_t* dst, const std::uint8_t* value, int count, int bytes) {
    switch (bytes) {
        case 1: std::memset(dst, value[0], static_cast<std::size_t>(count)); return;
        case 2:
            for (int i = 0; i < count; ++i) std::memcpy(dst + i * 2, value, 2);
            return;
        case 3:
            for (int i = 0; i < count; ++i) std::memcpy(dst + i * 3, value, 3);
            return;
        default:
            for (int i = 0; i < count; ++i) std::memcpy(dst + i * 4, value, 4);
            return;
    }
}

// Decodes exactly `width` stored pixels into `dst`. Raw packet bytes are taken only as the
// row needs them, so a packet that overruns the image's last pixel is simply left unread.
void DecodeRleRow(ByteReader& in, std::uint8_t* dst, int width, int bytes, RlePacket& packet) {
    int x = 0;
    while (x < width) {
        if (packet.remaining == 0) {
            std::uint8_t head = in.U8();
            packet.remaining = (head & 0x7F) + 1;
            packet.repeat = (head & 0x80) != 0;
            if (packet.repeat) packet.value = in.Take(static_cast<std::size_t>(bytes));
        }
        int n = packet.remaining < width - x ? packet.remaining : width - x;
        std::uint8_t* out = dst + static_cast<std::size_t>(x) * bytes;
        if (packet.repeat)
            FillPixels(out, packet.value, n, bytes);
        else
            std::memcpy(out, in.Take(static_cast<std::size_t>(n) * bytes),
                        static_cast<std::size_t>(n) * bytes);
        x += n;
        packet.remaining -= n;
    }
}

// One colour-map entry to raster bytes (blue, green, red and, for 32-bit entries, alpha).
void MapEntryToBgr(const std::uint8_t* entry, int entryBits, std::uint8_t* d) {
    switch (entryBits) {
        case 15:
        case 16: Rgb555ToBgr(entry, d); return;
        case 24: std::memcpy(d, entry, 3); return;
        default: std::memcpy(d, entry, 4); return;
    }
}

}  // namespace

DecodedPicture ReadTga(std::span<const std::uint8_t> bytes) {
    ByteReader in(bytes, kFormat);
    if (bytes.size() < static_cast<std::size_t>(kHeaderSize))
        in.Fail("file is too short to be a Targa image");
    const int idLength = in.U8();
    const int mapType = in.U8();
    const int imageType = in.U8();
    const int mapFirst = in.U16LE();
    const int mapLength = in.U16LE();
    const int mapEntryBits = in.U8();
    in.Skip(4);  // the screen origin: where a display would place the picture, not needed here
    const int width = in.U16LE();
    const int height = in.U16LE();
    const int depth = in.U8();
    const int descriptor = in.U8();

    if (imageType != 1 && imageType != 2 && imageType != 3 && imageType != 9 && imageType != 10 &&
        imageType != 11)
        in.Fail("unsupported image type " + std::to_string(imageType));
    if (mapType > 1) in.Fail("unknown colour map type " + std::to_string(mapType));
    const bool rle = imageType >= 9;
    const int baseType = imageType & 7;

    TgaPixel kind;
    int outBits;
    if (baseType == 1) {
        if (mapType != 1) in.Fail("colour-mapped image without a colour map");
        if (mapLength == 0) in.Fail("colour map is empty");
        if (mapEntryBits != 15 && mapEntryBits != 16 && mapEntryBits != 24 && mapEntryBits != 32)
            in.Fail("unsupported colour map entry size of " + std::to_string(mapEntryBits) +
                    " bits");
        if (depth != 8 && depth != 16)
            in.Fail("unsupported colour map index size of " + std::to_string(depth) + " bits");
        kind = depth == 8 ? TgaPixel::MapIndex8 : TgaPixel::MapIndex16;
        outBits = mapEntryBits == 32 ? 32 : 24;
    } else if (baseType == 2) {
        switch (depth) {
            case 15:
            case 16:
                kind = TgaPixel::Rgb555;
                outBits = 24;
                break;
            case 24:
                kind = TgaPixel::Bgr24;
                outBits = 24;
                break;
            // 32-bit pixels carry alpha whatever the attribute-bit count says: the program's
            // own Targa writer leaves that count at 0.
            case 32:
                kind = TgaPixel::Bgra32;
                outBits = 32;
                break;
            default: in.Fail("unsupported true-colour depth of " + std::to_string(depth) + " bits");
        }
    } else {
        if (depth == 8) {
            kind = TgaPixel::Grey8;
            outBits = 8;
        } else if (depth == 16) {
            kind = TgaPixel::GreyAlpha16;
            outBits = 32;
        } else {
            in.Fail("unsupported grey depth of " + std::to_string(depth) + " bits");
        }
    }
    CheckImageSize(width, height, kFormat);

    in.Skip(static_cast<std::size_t>(idLength));

    // The colour map: read into a table indexed by the stored index, skipped when a
    // true-colour or grey image carries one anyway.
    std::vector<std::uint8_t> lut;
    const int lutBytes = outBits / 8;
    if (mapType == 1) {
        const std::size_t entryBytes = static_cast<std::size_t>((mapEntryBits + 7) / 8);
        const std::uint8_t* entries = in.Take(entryBytes * static_cast<std::size_t>(mapLength));
        if (baseType == 1) {
            const int lutEntries = depth == 8 ? 256 : 65536;
            lut.assign(static_cast<std::size_t>(lutEntries) * lutBytes, 0);
            for (int i = 0; i < mapLength && mapFirst + i < lutEntries; ++i)
                MapEntryToBgr(entries + i * entryBytes, mapEntryBits,
                              lut.data() + static_cast<std::size_t>(mapFirst + i) * lutBytes);
        }
    }

    // Refuse data too short for the declared size before allocating the raster: raw pixels
    // need their bytes, and a run-length packet of up to 128 pixels needs at least a head byte
    // and one pixel.
    const int srcBytes = (depth + 7) / 8;
    const std::uint64_t pixels =
        static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
    const std::uint64_t available = in.remaining();
    if (!rle ? pixels * srcBytes > available : pixels > available / (1 + srcBytes) * 128)
        in.Truncated();

    DecodedPicture picture;
    picture.kind = PictureKind::Targa;
    picture.targaAlpha = outBits == 32;
    Raster& raster = picture.raster;
    raster = Raster::Uninitialised(width, height, outBits);
    if (outBits == 8) raster.SetGreyPalette();

    const bool topDown = (descriptor & 0x20) != 0;
    const bool rightToLeft = (descriptor & 0x10) != 0;
    const std::size_t rowBytes = static_cast<std::size_t>(width) * srcBytes;
    std::vector<std::uint8_t> scratch(rle ? rowBytes : 0);
    RlePacket packet;
    for (int fileRow = 0; fileRow < height; ++fileRow) {
        const std::uint8_t* src;
        if (rle) {
            DecodeRleRow(in, scratch.data(), width, srcBytes, packet);
            src = scratch.data();
        } else {
            src = in.Take(rowBytes);
        }
        std::uint8_t* dst = raster.row(topDown ? fileRow : height - 1 - fileRow);
        ConvertTgaRow(kind, src, dst, width, rightToLeft, lut.data(), lutBytes);
    }
    return picture;
}

}  // namespace zelvan
