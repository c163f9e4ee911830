// BMP, DIB and RLE files: Windows and OS/2 bitmaps, uncompressed or RLE4/RLE8.

#include <algorithm>
#include <cstring>
#include <string>

#include "base/error.h"
#include "imaging/readers/bmp_dib.h"
#include "imaging/readers/readers.h"

namespace zelvan {
namespace {

constexpr const char* kFormat = "BMP";

void PutNibble(std::uint8_t* row, std::int64_t x, unsigned value) {
    std::uint8_t& b = row[x / 2];
    b = (x & 1) ? static_cast<std::uint8_t>((b & 0xf0) | value)
                : static_cast<std::uint8_t>((b & 0x0f) | (value << 4));
}

// RLE8 and RLE4 into a zero-filled palette raster. A run that reaches past the row is cut at
// the row's end; pixels that no run writes keep index 0. Data that ends before the image is
// complete (and before the end-of-bitmap code) is truncated.
void DecodeRle(std::span<const std::uint8_t> data, const dib::Header& h, Raster& out) {
    ByteReader r(data, kFormat);
    const bool rle4 = h.compression == dib::kRle4;
    const std::int64_t width = h.width;
    const std::int64_t height = h.height;
    std::int64_t x = 0;
    std::int64_t y = 0;
    std::uint8_t* row = out.row(h.RasterRow(0));

    while (y < height) {
        const unsigned count = r.U8();
        const unsigned value = r.U8();
        if (count > 0) {  // a run of one index (RLE8) or of two alternating indices (RLE4)
            const std::int64_t n = std::min<std::int64_t>(count, width - x);
            if (!rle4) {
                std::memset(row + x, static_cast<int>(value), static_cast<std::size_t>(n));
            } else {
                for (std::int64_t i = 0; i < n; ++i)
                    PutNibble(row, x + i, (i & 1) ? (value & 15) : (value >> 4));
            }
            x += n;
            continue;
        }
        switch (value) {
            case 0:  // end of line
                x = 0;
                if (++y < height) row = out.row(h.RasterRow(y));
                break;
            case 1:  // end of bitmap
                return;
            case 2: {  // delta: move right and up (down the stored rows)
                x += r.U8();
                y += r.U8();
                if (x > width || y > height) r.Fail("RLE delta moves outside the image");
                if (y < height) row = out.row(h.RasterRow(y));
                break;
            }
            default: {  // absolute run of `value` indices, padded to a 16-bit boundary
                const unsigned n = value;
                const std::size_t bytes = rle4 ? (n + 1) / 2 : n;
                const std::uint8_t* p = r.Take(bytes);
                if (bytes & 1) r.Skip(1);
                const std::int64_t keep = std::min<std::int64_t>(n, width - x);
                if (!rle4) {
                    std::memcpy(row + x, p, static_cast<std::size_t>(keep));
                } else {
                    for (std::int64_t i = 0; i < keep; ++i)
                        PutNibble(row, x + i, (i & 1) ? (p[i / 2] & 15) : (p[i / 2] >> 4));
                }
                x += keep;
                break;
            }
        }
    }
}

}  // namespace

DecodedPicture ReadBmp(std::span<const std::uint8_t> bytes) {
    ByteReader r(bytes, kFormat);
    std::uint64_t dataOffset = 0;
    bool haveFileHeader = false;
    if (bytes.size() >= 2 && bytes[0] == 'B' && bytes[1] == 'M') {
        r.Skip(10);  // signature, file size (often wrong), reserved
        dataOffset = r.U32LE();
        haveFileHeader = true;
    } else if (!dib::LooksLikeInfoHeader(bytes)) {
        // A packed DIB (the clipboard's form) starts straight with the info header.
        if (bytes.size() < 2) r.Truncated();
        r.Fail("not a bitmap file");
    }

    dib::Header h = dib::ReadHeader(r, kFormat);
    CheckImageSize(h.width, h.height, kFormat);
    const int width = static_cast<int>(h.width);
    const int height = static_cast<int>(h.height);

    // The palette follows the headers; the pixels start at the file header's offset when that
    // lies past the headers and inside the file, else right after the declared palette.
    const std::uint64_t paletteStart = r.position();
    const std::uint64_t declared = h.DeclaredPaletteEntries();
    const std::uint64_t entryBytes = static_cast<std::uint64_t>(h.paletteEntryBytes);
    const bool offsetValid = haveFileHeader && dataOffset >= paletteStart && dataOffset <= bytes.size();
    const std::uint64_t paletteEntries =
        offsetValid ? std::min(declared, (dataOffset - paletteStart) / entryBytes) : declared;
    const std::uint64_t dataStart = offsetValid ? dataOffset : paletteStart + declared * entryBytes;

    const bool rle = h.compression == dib::kRle8 || h.compression == dib::kRle4;
    const int depth = h.bitCount == 16 ? 24 : h.bitCount;
    DecodedPicture picture;
    picture.kind = PictureKind::Bitmap;
    if (rle) {
        picture.raster = Raster(width, height, depth);
    } else {
        // Checked before allocating, so that a tiny file cannot claim a huge image.
        if (dataStart > bytes.size()) r.Truncated();
        dib::CheckPixelData(h, bytes.size() - dataStart, kFormat);
        picture.raster = Raster::Uninitialised(width, height, depth);
    }
    Raster& out = picture.raster;
    if (h.bitCount <= 8) dib::ReadPalette(r, h, paletteEntries, out.palette().data(), out.palette().size());
    if (dataStart > bytes.size()) r.Truncated();

    const std::span<const std::uint8_t> data = bytes.subspan(static_cast<std::size_t>(dataStart));
    if (rle)
        DecodeRle(data, h, out);
    else
        dib::DecodeRows(data.data(), h, out);
    return picture;
}

}  // namespace zelvan
