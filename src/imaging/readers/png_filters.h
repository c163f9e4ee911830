#pragma once

// PNG's row filters (filter method 0) undone in place, for the PNG reader: each row of the
// inflated image data starts with a filter type byte and holds the differences from its left,
// upper and upper-left neighbours, which decoding turns back into samples one row after another.

#include <cstddef>
#include <cstdint>

namespace zelvan::png {

enum RowFilter : std::uint8_t { kFilterNone = 0, kFilterSub = 1, kFilterUp = 2, kFilterAverage = 3, kFilterPaeth = 4 };

// Undoes `filter` on one row of `length` bytes in place. `previous` is the row above, already
// undone, or nullptr for the first row of the image (or of an interlace pass), where the
// neighbours above count as zeros. pixelBytes is the bytes of one whole pixel, 1 for pixels of
// less than a byte (1 to 8). Returns false, the row untouched, for a filter type above 4.
bool UnfilterRow(std::uint8_t filter, std::uint8_t* row, const std::uint8_t* previous, std::size_t length,
                 std::size_t pixelBytes);

// Undoes Paeth on two rows one above the other, `upper` below `previous` (not nullptr), faster
// than one after the other. Returns false, both rows untouched, where this processor or this
// pixel size has no such path: UnfilterRow then does them.
bool UnfilterPaethPair(std::uint8_t* upper, std::uint8_t* lower, const std::uint8_t* previous, std::size_t length,
                       std::size_t pixelBytes);

}  // namespace zelvan::png
