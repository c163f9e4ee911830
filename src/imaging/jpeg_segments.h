#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zelvan {

// Markers without a length field.
inline bool IsStandaloneMarker(std::uint8_t marker) { return marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7); }

// Start-of-frame markers: C0 to CF without DHT (C4), JPG (C8) and DAC (CC).
inline bool IsStartOfFrame(std::uint8_t marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// One marker segment of a JPEG file's header part: [begin, end) holds any fill bytes, the
// marker, the length and the data; the data starts at dataBegin.
struct JpegSegment {
    std::uint8_t marker;
    std::size_t begin;
    std::size_t dataBegin;
    std::size_t end;
    std::size_t dataSize() const { return end - dataBegin; }
};

// The segments after SOI up to the first scan (or up to anything that is not a well-formed
// segment); restBegin is where the part after them begins.
struct JpegHeaderSegments {
    std::vector<JpegSegment> segments;
    std::size_t restBegin = 2;
};

// The header segments of `jpeg`, whose first two bytes are SOI (not checked here).
JpegHeaderSegments ScanJpegSegments(std::span<const std::uint8_t> jpeg);

}  // namespace zelvan
