#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace zelvan::test {

// EXIF blocks made byte by byte, for files that carry an orientation.
enum class ByteOrder { Intel, Motorola };

// One directory entry: tag, type (3 SHORT, 4 LONG, ...), count, and the value field (a SHORT
// sits in its first two bytes).
using ExifEntry = std::array<std::uint32_t, 4>;

// A TIFF structure ("II*\0" or "MM\0*") whose main directory, at `directoryOffset`, holds the
// entries; `declaredCount` other than 0 overrides the entry count it states.
std::vector<std::uint8_t> ExifBlock(ByteOrder order, std::initializer_list<ExifEntry> entries,
                                    std::uint32_t directoryOffset = 8, std::uint16_t declaredCount = 0);

// An ExifBlock with one entry: Orientation (0x0112) as a SHORT of `orientation`.
std::vector<std::uint8_t> ExifOrientationBlock(int orientation, ByteOrder order = ByteOrder::Intel);

// The JPEG with an APP1 "Exif\0\0" segment holding `block` right after its SOI marker.
std::vector<std::uint8_t> WithExifSegment(const std::vector<std::uint8_t>& jpeg, const std::vector<std::uint8_t>& block);

// The PNG with an eXIf chunk holding `block` right after its IHDR chunk, its CRC right.
std::vector<std::uint8_t> WithExifChunk(const std::vector<std::uint8_t>& png, const std::vector<std::uint8_t>& block);

}  // namespace zelvan::test
