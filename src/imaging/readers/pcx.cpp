// ZSoft PCX: monochrome, 4- and 16-colour (packed or planar), 256-colour, 24- and 32-bit.
#include <cstring>
#include <string>
#include <vector>

#include "imaging/raster.h"
#include "imaging/readers/byte_reader.h"
#include "imaging/readers/readers.h"

namespace zelvan {
namespace {

constexpr const char* kFormat = "PCX";
constexpr std::size_t kHeaderSize = 128;
constexpr std::size_t kTrailerPaletteSize = 1 + 256 * 3;  // 0x0C, then 256 RGB triples

// Version 3 files carry no palette; their 16-colour pictures use the standard EGA colours.
constexpr std::uint8_t kEgaPalette[16][3] = {
    {0, 0, 0},     {0, 0, 170},     {0, 170, 0},    {0, 170, 170},   {170, 0, 0},   {170, 0, 170},
    {170, 85, 0},  {170, 170, 170}, {85, 85, 85},   {85, 85, 255},   {85, 255, 85}, {85, 255, 255},
    {255, 85, 85}, {255, 85, 255},  {255, 255, 85}, {255, 255, 255},
};

// The storage layouts this reader knows, by planes x bits per plane.
enum class PcxLayout {
    Mono,      // 1 x 1
    Packed2,   // 1 x 2: four pixels a byte
    Packed4,   // 1 x 4: two pixels a byte
    Planar,    // 2..4 x 1: one bit of the index in each plane
    Indexed8,  // 1 x 8
    Rgb24,     // 3 x 8
    Rgba32,    // 4 x 8
};

// A run may carry on past the end of a scan line into the next one.
struct PcxRun {
    unsigned count = 0;
    std::uint8_t value = 0;
};

// Fills exactly `size` bytes of one scan line from run-length data.
void DecodeScanLine(ByteReader& in, std::uint8_t* dst, std::size_t size, PcxRun& run) {
    std::size_t i = 0;
    while (i < size) {
        if (run.count == 0) {
            const std::uint8_t c = in.U8();
            if ((c & 0xC0) != 0xC0) {
                dst[i++] = c;
                continue;
            }
            run.count = c & 0x3Fu;
            run.value = in.U8();
        }
        const std::size_t n = run.count < size - i ? run.count : size - i;
        // Most runs are short (bytes of 0xC0 and above are stored as runs of one): a plain
        // loop beats a call to memset for them.
        if (n <= 8)
            for (std::size_t k = 0; k < n; ++k) dst[i + k] = run.value;
        else
            std::memset(dst + i, run.value, n);
        i += n;
        run.count -= static_cast<unsigned>(n);
    }
}

void ClearTailBits(std::uint8_t* row, int width, int bits) {
    const int usedBits = (width * bits) % 8;
    if (usedBits) row[width * bits / 8] &= static_cast<std::uint8_t>(0xFF00 >> usedBits);
}

// One decoded scan line (its planes side by side, `bytesPerLine` each) to a raster row.
void ConvertScanLine(PcxLayout layout, int planes, const std::uint8_t* line,
                     std::size_t bytesPerLine, std::uint8_t* dst, int width) {
    switch (layout) {
        case PcxLayout::Mono:
            std::memcpy(dst, line, (static_cast<std::size_t>(width) + 7) / 8);
            ClearTailBits(dst, width, 1);
            return;
        case PcxLayout::Packed4:
            std::memcpy(dst, line, (static_cast<std::size_t>(width) + 1) / 2);
            ClearTailBits(dst, width, 4);
            return;
        case PcxLayout::Packed2:
            // Raster rows are zero-filled, so the nibbles can be or-ed in.
            for (int x = 0; x < width; ++x) {
                unsigned index = (line[x >> 2] >> (6 - 2 * (x & 3))) & 3u;
                dst[x >> 1] |= static_cast<std::uint8_t>(index << ((x & 1) ? 0 : 4));
            }
            return;
        case PcxLayout::Planar:
            for (int x = 0; x < width; ++x) {
                const int shift = 7 - (x & 7);
                unsigned index = 0;
                for (int p = 0; p < planes; ++p)
                    index |= ((line[p * bytesPerLine + (x >> 3)] >> shift) & 1u) << p;
                dst[x >> 1] |= static_cast<std::uint8_t>(index << ((x & 1) ? 0 : 4));
            }
            return;
        case PcxLayout::Indexed8: std::memcpy(dst, line, static_cast<std::size_t>(width)); return;
        case PcxLayout::Rgb24: {
            const std::uint8_t* r = line;
            const std::uint8_t* g = line + bytesPerLine;
            const std::uint8_t* b = line + 2 * bytesPerLine;
            for (int x = 0; x < width; ++x, dst += 3) {
                dst[0] = b[x];
                dst[1] = g[x];
                dst[2] = r[x];
            }
            return;
        }
        case PcxLayout::Rgba32: {
            const std::uint8_t* r = line;
            const std::uint8_t* g = line + bytesPerLine;
            const std::uint8_t* b = line + 2 * bytesPerLine;
            const std::uint8_t* a = line + 3 * bytesPerLine;
            for (int x = 0; x < width; ++x, dst += 4) {
                dst[0] = b[x];
                dst[1] = g[x];
                dst[2] = r[x];
                dst[3] = a[x];
            }
            return;
        }
    }
}

}  // namespace

DecodedPicture ReadPcx(std::span<const std::uint8_t> bytes) {
    ByteReader in(bytes, kFormat);
    if (bytes.size() < kHeaderSize) in.Fail("file is too short to be a PCX image");
    const std::uint8_t* header = in.Take(kHeaderSize);
    const int manufacturer = header[0];
    const int version = header[1];
    const int encoding = header[2];
    const int bits = header[3];
    auto u16 = [header](int at) { return header[at] | (header[at + 1] << 8); };
    const int xMin = u16(4), yMin = u16(6), xMax = u16(8), yMax = u16(10);
    const std::uint8_t* headerPalette = header + 16;
    const int planes = header[65];
    const std::size_t bytesPerLine = static_cast<std::size_t>(u16(66));

    if (manufacturer != 10) in.Fail("not a PCX file");
    if (version > 5) in.Fail("unsupported version " + std::to_string(version));
    if (encoding > 1) in.Fail("unsupported encoding " + std::to_string(encoding));
    if (xMax < xMin || yMax < yMin) in.Fail("invalid picture window");
    const int width = xMax - xMin + 1;
    const int height = yMax - yMin + 1;

    PcxLayout layout;
    int outBits;
    if (bits == 1 && planes == 1) {
        layout = PcxLayout::Mono;
        outBits = 1;
    } else if (bits == 2 && planes == 1) {
        layout = PcxLayout::Packed2;
        outBits = 4;
    } else if (bits == 4 && planes == 1) {
        layout = PcxLayout::Packed4;
        outBits = 4;
    } else if (bits == 1 && planes >= 2 && planes <= 4) {
        layout = PcxLayout::Planar;
        outBits = 4;
    } else if (bits == 8 && planes == 1) {
        layout = PcxLayout::Indexed8;
        outBits = 8;
    } else if (bits == 8 && planes == 3) {
        layout = PcxLayout::Rgb24;
        outBits = 24;
    } else if (bits == 8 && planes == 4) {
        layout = PcxLayout::Rgba32;
        outBits = 32;
    } else {
        in.Fail("unsupported layout of " + std::to_string(planes) + " planes of " +
                std::to_string(bits) + " bits");
    }
    CheckImageSize(width, height, kFormat);
    // Each plane's line must hold the row's pixels: the decoder reads that many bytes of it.
    if (bytesPerLine * 8 < static_cast<std::size_t>(width) * bits)
        in.Fail("bytes per line (" + std::to_string(bytesPerLine) + ") too few for a width of " +
                std::to_string(width));

    // Refuse data too short for the declared size before allocating: raw lines need their
    // bytes, and a two-byte run yields at most 63.
    const std::size_t lineSize = bytesPerLine * static_cast<std::size_t>(planes);
    const std::uint64_t total =
        static_cast<std::uint64_t>(lineSize) * static_cast<std::uint64_t>(height);
    const std::uint64_t available = in.remaining();
    if (encoding == 0 ? total > available : total > available / 2 * 63 + available % 2)
        in.Truncated();

    DecodedPicture picture;
    picture.kind = PictureKind::Other;
    Raster& raster = picture.raster;
    raster = outBits < 8 ? Raster(width, height, outBits)
                         : Raster::Uninitialised(width, height, outBits);

    std::vector<PaletteEntry>& palette = raster.palette();
    if (layout == PcxLayout::Mono) {
        palette[0] = {0, 0, 0, 0};
        palette[1] = {255, 255, 255, 0};
    } else if (outBits == 4) {
        const bool ega = version == 3;
        for (int i = 0; i < 16; ++i) {
            const std::uint8_t* rgb = ega ? kEgaPalette[i] : headerPalette + i * 3;
            palette[i] = {rgb[2], rgb[1], rgb[0], 0};
        }
    } else if (outBits == 8) {
        // 256 colours follow the image data behind a 0x0C byte at the very end of the file.
        ByteReader trailer(bytes, kFormat);
        bool found = false;
        if (bytes.size() >= kHeaderSize + kTrailerPaletteSize) {
            trailer.Seek(bytes.size() - kTrailerPaletteSize);
            found = trailer.U8() == 0x0C;
        }
        if (found) {
            const std::uint8_t* rgb = trailer.Take(256 * 3);
            for (int i = 0; i < 256; ++i, rgb += 3) palette[i] = {rgb[2], rgb[1], rgb[0], 0};
        } else {
            raster.SetGreyPalette();
        }
    }

    std::vector<std::uint8_t> line(encoding == 1 ? lineSize : 0);
    PcxRun run;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* src;
        if (encoding == 1) {
            DecodeScanLine(in, line.data(), lineSize, run);
            src = line.data();
        } else {
            src = in.Take(lineSize);
        }
        ConvertScanLine(layout, planes, src, bytesPerLine, raster.row(y), width);
    }
    return picture;
}

}  // namespace zelvan
