#include "imaging/jpeg_segments.h"

namespace zelvan {

JpegHeaderSegments ScanJpegSegments(std::span<const std::uint8_t> jpeg) {
    JpegHeaderSegments layout;
    const std::size_t n = jpeg.size();
    std::size_t pos = 2;
    while (pos < n && jpeg[pos] == 0xFF) {
        std::size_t p = pos;
        while (p < n && jpeg[p] == 0xFF) ++p;
        if (p >= n) break;
        const std::uint8_t marker = jpeg[p];
        if (IsStandaloneMarker(marker)) {
            layout.segments.push_back({marker, pos, p + 1, p + 1});
            pos = p + 1;
            continue;
        }
        if (marker == 0x00 || marker == 0xD8 || marker == 0xD9 || marker == 0xDA || p + 2 >= n) break;
        const std::size_t length = std::size_t{jpeg[p + 1]} << 8 | jpeg[p + 2];
        if (length < 2 || length > n - p - 1) break;
        layout.segments.push_back({marker, pos, p + 3, p + 1 + length});
        pos = p + 1 + length;
    }
    layout.restBegin = pos;
    return layout;
}

}  // namespace zelvan
