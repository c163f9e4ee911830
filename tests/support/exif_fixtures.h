#pragma once

#include <cstdint>
#include <vector>

namespace zelvan::test {

// EXIF blocks made byte by byte, for files that carry an orientation.
enum class ByteOrder { Intel, Motorola };

// A TIFF structure ("II*\0" or "MM\0*") whose main directory holds one entry: Orientation
// (0x0112) as a SHORT of `orientation`.
std::vector<std::uint8_t> ExifOrientationBlock(int orientation, ByteOrder order = ByteOrder::Intel);

// The JPEG with an APP1 "Exif\0\0" segment holding `block` right after its SOI marker.
std::vector<std::uint8_t> WithExifSegment(const std::vector<std::uint8_t>& jpeg, const std::vector<std::uint8_t>& block);

// The PNG with an eXIf chunk holding `block` right after its IHDR chunk, its CRC right.
std::vector<std::uint8_t> WithExifChunk(const std::vector<std::uint8_t>& png, const std::vector<std::uint8_t>& block);

}  // namespace zelvan::test
