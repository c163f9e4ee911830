#pragma once

// The device-independent bitmap body shared by the BMP reader and the ICO reader: the info
// header, the palette and the uncompressed pixel rows.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "imaging/raster.h"
#include "imaging/readers/byte_reader.h"

namespace zelvan::dib {

enum Compression : std::uint32_t {
    kRgb = 0,
    kRle8 = 1,
    kRle4 = 2,
    kBitfields = 3,
    kJpeg = 4,
    kPng = 5,
    kAlphaBitfields = 6,
};

// One colour channel packed in a 16- or 32-bit pixel, scaled to 8 bits through a table.
struct Channel {
    std::uint32_t mask = 0;
    int shift = 0;  // after masking, shifting right by this leaves at most 8 significant bits
    std::array<std::uint8_t, 256> scale{};

    std::uint8_t Get(std::uint32_t pixel) const { return scale[(pixel & mask) >> shift]; }
};

struct Header {
    std::uint32_t size = 0;      // bytes of the info header
    std::int64_t width = 0;      // as declared; CheckImageSize is the caller's
    std::int64_t height = 0;     // rows, made positive
    bool topDown = false;
    int bitCount = 0;            // 1, 4, 8, 16, 24 or 32
    std::uint32_t compression = kRgb;
    std::uint32_t coloursUsed = 0;    // as declared; 0 means the full 2^bitCount
    int paletteEntryBytes = 4;        // 3 in the OS/2 1.x core header
    bool hasAlphaMask = false;        // the file names an alpha channel
    std::array<Channel, 4> channels;  // blue, green, red, alpha (for 16 and 32 bits)
    bool standard32 = false;          // 32 bits laid out blue, green, red, fourth byte

    // Palette entries the file declares (0 above 8 bits).
    std::uint64_t DeclaredPaletteEntries() const;
    // Bytes of one stored row (padded to 4 bytes) and the bytes that hold pixels.
    std::size_t StoredStride() const;
    std::size_t StoredRowBytes() const;
    // Raster row for stored row i (rows are stored bottom-up unless topDown).
    int RasterRow(std::int64_t i) const {
        return static_cast<int>(topDown ? i : height - 1 - i);
    }
};

// True when the bytes begin with the size of an info header this module reads: a packed DIB
// without a file header.
bool LooksLikeInfoHeader(std::span<const std::uint8_t> bytes);

// Reads the info header at r's position, and the bit field masks that follow a 40-byte
// header. Checks the depth and the compression (naming JPEG, PNG and unknown methods in its
// error); leaves r after the header and its masks. `format` begins every message.
Header ReadHeader(ByteReader& r, const char* format);

// Reads up to `count` palette entries at r's position into palette[0..capacity).
void ReadPalette(ByteReader& r, const Header& h, std::uint64_t count, PaletteEntry* palette,
                 std::size_t capacity);

// Uncompressed rows at `data` (already checked to hold StoredStride() * (height - 1) +
// StoredRowBytes() bytes) into `out`, whose depth is the header's for 1, 4, 8, 24 and 32
// bits and 24 for 16 bits. Palette rasters keep their indices.
void DecodeRows(const std::uint8_t* data, const Header& h, Raster& out);

// The same rows into a 32-bit raster: palette indices looked up in palette[0..256), alpha
// 255, except that 32-bit pixels keep their fourth byte (or their alpha channel).
void DecodeRowsBgra(const std::uint8_t* data, const Header& h, const PaletteEntry* palette,
                    Raster& out);

// Bytes the uncompressed pixel data needs; throws "<format>: file is truncated" when
// `available` is less.
std::uint64_t CheckPixelData(const Header& h, std::uint64_t available, const char* format);

}  // namespace zelvan::dib
