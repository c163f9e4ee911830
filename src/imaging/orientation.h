#pragma once

#include <cstdint>
#include <span>

#include "imaging/raster.h"

namespace zelvan {

// How the stored pixels must be turned to show the picture as meant, by the values of the EXIF
// and TIFF Orientation tag: 1 as stored, 2 mirrored left-right, 3 turned 180 degrees, 4 mirrored
// top-bottom, 5 transposed (mirrored about the top-left to bottom-right diagonal), 6 turned 90
// degrees clockwise, 7 transversed (mirrored about the other diagonal), 8 turned 90 degrees
// counter-clockwise.
inline constexpr int kOrientationAsStored = 1;

// True for 5 to 8: the picture as shown has the stored height as its width.
bool OrientationSwapsSides(int orientation);

// The Orientation tag (0x0112) of the main directory of an EXIF block: the TIFF structure that
// starts with "II*\0" or "MM\0*", as a PNG eXIf chunk holds it and as a JPEG APP1 segment holds
// it after "Exif\0\0". Every offset is checked against the block, so damaged or hostile data
// gives 1; so does a missing tag or a value outside 1 to 8.
int ExifOrientation(std::span<const std::uint8_t> tiffBlock);

// The same for the data of a JPEG APP1 segment: 1 when it is not an EXIF segment.
int ExifSegmentOrientation(std::span<const std::uint8_t> app1Data);

// A copy of `source` turned and mirrored by `orientation` (1 to 8; anything else is 1): every
// pixel moves, none is recomputed, at every depth a Raster holds; the palette goes along.
// Throws Error when memory runs out.
Raster Oriented(const Raster& source, int orientation);

}  // namespace zelvan
