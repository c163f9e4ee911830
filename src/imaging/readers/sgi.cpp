// SGI image files (.sgi, .rgb, .rgba, .bw): 1 to 4 channels of 8 or 16 bits, verbatim or
// run-length encoded, rows stored bottom-up, channel after channel.
#include <string>
#include <vector>

#include "imaging/raster.h"
#include "imaging/readers/byte_reader.h"
#include "imaging/readers/readers.h"

namespace zelvan {
namespace {

constexpr const char* kFormat = "SGI";
constexpr std::size_t kHeaderSize = 512;
constexpr int kMagic = 474;

// Where channel z of a stored pixel goes among the raster's bytes: grey and grey+alpha
// write the grey into blue and copy it to green and red afterwards.
constexpr int kChannelOffset[4][4] = {
    {0, 0, 0, 0},  // grey: an 8-bit raster
    {0, 3, 0, 0},  // grey, alpha
    {2, 1, 0, 0},  // red, green, blue
    {2, 1, 0, 3},  // red, green, blue, alpha
};

// One channel of one row from run-length data: a count byte (or 16-bit unit) with the high
// bit set copies that many values, without it repeats the next value, and 0 ends the row.
// Writes only inside the row: a row that decodes to more or fewer than `width` values fails.
template <int kBpc, int kStep>
void DecodeRleChannelRow(ByteReader& row, std::uint8_t* dst, int width) {
    int x = 0;
    // A row that fills its width may end without the final 0.
    while (row.remaining() >= static_cast<std::size_t>(kBpc)) {
        const unsigned head = row.Take(kBpc)[kBpc - 1];
        const int count = static_cast<int>(head & 0x7F);
        if (count == 0) break;
        if (count > width - x) row.Fail("run-length row is longer than the image width");
        std::uint8_t* out = dst + static_cast<std::size_t>(x) * kStep;
        if (head & 0x80) {
            // Of a 16-bit value only the high byte, which comes first, is kept.
            const std::uint8_t* values = row.Take(static_cast<std::size_t>(count) * kBpc);
            for (int i = 0; i < count; ++i) out[i * kStep] = values[i * kBpc];
        } else {
            const std::uint8_t value = row.Take(kBpc)[0];
            for (int i = 0; i < count; ++i) out[i * kStep] = value;
        }
        x += count;
    }
    if (x != width) row.Fail("run-length row is shorter than the image width");
}

// The run-length decoder instantiated for each sample size and raster pixel size.
void DecodeRleRow(ByteReader& row, std::uint8_t* dst, int bpc, int step, int width) {
    switch (step * 2 + bpc - 1) {
        case 2: DecodeRleChannelRow<1, 1>(row, dst, width); return;
        case 3: DecodeRleChannelRow<2, 1>(row, dst, width); return;
        case 6: DecodeRleChannelRow<1, 3>(row, dst, width); return;
        case 7: DecodeRleChannelRow<2, 3>(row, dst, width); return;
        case 8: DecodeRleChannelRow<1, 4>(row, dst, width); return;
        default: DecodeRleChannelRow<2, 4>(row, dst, width); return;
    }
}

}  // namespace

DecodedPicture ReadSgi(std::span<const std::uint8_t> bytes) {
    ByteReader in(bytes, kFormat);
    if (bytes.size() < kHeaderSize) in.Fail("file is too short to be an SGI image");
    const int magic = in.U16BE();
    const int storage = in.U8();
    const int bpc = in.U8();
    const int dimension = in.U16BE();
    const int xsize = in.U16BE();
    int ysize = in.U16BE();
    int zsize = in.U16BE();
    in.Skip(4 + 4 + 4 + 80);  // pixmin, pixmax, unused, name
    const std::uint32_t colourMap = in.U32BE();

    if (magic != kMagic) in.Fail("not an SGI image file");
    if (storage > 1) in.Fail("unknown storage format " + std::to_string(storage));
    if (bpc != 1 && bpc != 2) in.Fail("unsupported " + std::to_string(bpc) + " bytes per channel");
    if (colourMap != 0) in.Fail("colour-map files are not supported");
    switch (dimension) {
        case 1:
            ysize = 1;
            zsize = 1;
            break;
        case 2: zsize = 1; break;
        case 3: break;
        default: in.Fail("invalid dimension " + std::to_string(dimension));
    }
    if (zsize < 1 || zsize > 4) in.Fail("unsupported number of channels " + std::to_string(zsize));
    CheckImageSize(xsize, ysize, kFormat);

    const int width = xsize;
    const int height = ysize;
    const std::size_t rowCount = static_cast<std::size_t>(height) * zsize;
    const std::size_t size = bytes.size();
    std::vector<std::uint32_t> rowStart, rowLength;
    if (storage == 0) {
        // Refuse a file shorter than its channels before allocating.
        const std::uint64_t needed = static_cast<std::uint64_t>(width) * rowCount * bpc;
        if (needed > size - kHeaderSize) in.Truncated();
    } else {
        // Two tables of one 32-bit entry per row and channel: where the row starts, its length.
        in.Seek(kHeaderSize);
        if (rowCount * 8 > in.remaining()) in.Truncated();
        rowStart.resize(rowCount);
        rowLength.resize(rowCount);
        for (std::uint32_t& start : rowStart) start = in.U32BE();
        for (std::size_t i = 0; i < rowCount; ++i) {
            rowLength[i] = in.U32BE();
            if (std::uint64_t{rowStart[i]} + rowLength[i] > size)
                in.Fail("run-length row lies outside the file");
        }
    }

    static constexpr int kOutBits[4] = {8, 32, 24, 32};
    const int outBits = kOutBits[zsize - 1];
    const int step = outBits / 8;
    DecodedPicture picture;
    picture.kind = PictureKind::Other;
    Raster& raster = picture.raster;
    raster = Raster::Uninitialised(width, height, outBits);
    if (outBits == 8) raster.SetGreyPalette();

    for (int fileRow = 0; fileRow < height; ++fileRow) {
        std::uint8_t* row = raster.row(height - 1 - fileRow);
        for (int z = 0; z < zsize; ++z) {
            std::uint8_t* dst = row + kChannelOffset[zsize - 1][z];
            const std::size_t index = static_cast<std::size_t>(z) * height + fileRow;
            if (storage == 0) {
                // The high byte comes first in a 16-bit value.
                in.Seek(kHeaderSize + index * width * bpc);
                const std::uint8_t* src = in.Take(static_cast<std::size_t>(width) * bpc);
                for (int x = 0; x < width; ++x) dst[x * step] = src[x * bpc];
            } else {
                ByteReader rowIn(bytes.subspan(rowStart[index], rowLength[index]), kFormat);
                DecodeRleRow(rowIn, dst, bpc, step, width);
            }
        }
        if (zsize == 2) {
            for (int x = 0; x < width; ++x) row[x * 4 + 1] = row[x * 4 + 2] = row[x * 4];
        }
    }
    return picture;
}

}  // namespace zelvan
