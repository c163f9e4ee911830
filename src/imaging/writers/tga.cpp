// Targa writer: run-length encoded true colour (image type 10), rows from the top down.

#include <cstring>

#include "base/error.h"
#include "imaging/writers/writers.h"

namespace zelvan {
namespace {

constexpr int kMaxPacket = 128;

void PutU16(std::uint8_t* p, int v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

// Run-length encodes one row of `count` pixels of N bytes. A run packet covers the longest
// run (up to 128) of identical pixels; a raw packet covers the pixels up to the first one
// that equals its successor (up to 128). No packet crosses the row's end.
template <int N>
void EncodeRow(const std::uint8_t* pixels, int count, std::vector<std::uint8_t>& out) {
    auto same = [pixels](int a, int b) {
        return std::memcmp(pixels + static_cast<std::size_t>(a) * N, pixels + static_cast<std::size_t>(b) * N, N) == 0;
    };
    int i = 0;
    while (i < count) {
        if (i + 1 < count && same(i, i + 1)) {
            int run = 2;
            while (run < kMaxPacket && i + run < count && same(i, i + run)) ++run;
            out.push_back(static_cast<std::uint8_t>(0x80 | (run - 1)));
            out.insert(out.end(), pixels + static_cast<std::size_t>(i) * N, pixels + static_cast<std::size_t>(i) * N + N);
            i += run;
        } else {
            int end = i + 1;
            while (end < count && end - i < kMaxPacket && !(end + 1 < count && same(end, end + 1))) ++end;
            out.push_back(static_cast<std::uint8_t>(end - i - 1));
            out.insert(out.end(), pixels + static_cast<std::size_t>(i) * N, pixels + static_cast<std::size_t>(end) * N);
            i = end;
        }
    }
}

}  // namespace

std::vector<std::uint8_t> EncodeTga(const Raster& image, const Raster* alphaMask) {
    if (image.empty()) throw Error("TGA: there is no image to write");
    const int width = image.width();
    const int height = image.height();
    if (width > 65535 || height > 65535)
        throw Error("TGA: image is too large for the format (at most 65535 pixels a side)");
    if (alphaMask && (alphaMask->width() != width || alphaMask->height() != height ||
                      alphaMask->bitsPerPixel() < 24))
        throw Error("TGA: the alpha mask does not match the image");
    const int depth = alphaMask ? 32 : 24;

    std::vector<std::uint8_t> out(18, 0);
    out[2] = 10;    // run-length encoded true colour
    PutU16(&out[5], 256);  // colour-map length and entry size: written although no map follows
    out[7] = 24;
    PutU16(&out[12], width);
    PutU16(&out[14], height);
    out[16] = static_cast<std::uint8_t>(depth);
    out[17] = 0x20;  // top-left origin, no attribute bits declared

    const std::size_t w = static_cast<std::size_t>(width);
    std::vector<std::uint8_t> row(w * 4);
    std::vector<std::uint8_t> bgr(image.bitsPerPixel() == 24 ? 0 : w * 3);
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* colours = image.row(y);
        if (image.bitsPerPixel() != 24) {
            image.ExpandRowToBgr(y, bgr.data());
            colours = bgr.data();
        }
        if (alphaMask) {
            const std::uint8_t* m = alphaMask->row(y) + 2;
            const std::size_t mb = static_cast<std::size_t>(alphaMask->bitsPerPixel() / 8);
            for (std::size_t x = 0; x < w; ++x) {
                std::memcpy(&row[4 * x], colours + 3 * x, 3);
                row[4 * x + 3] = m[x * mb];
            }
            EncodeRow<4>(row.data(), width, out);
        } else {
            EncodeRow<3>(colours, width, out);
        }
    }
    return out;
}

}  // namespace zelvan
