#pragma once

#include <array>
#include <cstdint>

#include "imaging/raster.h"

namespace zelvan {

// The fixed 256-colour palette of indexed-colour output.
//
// Entries 0 to 215 are the 6x6x6 colour cube in steps of 0x33: entry 36r + 6g + b (each level
// 0 to 5) holds (51r, 51g, 51b). Entries 216 to 255 are 40 greys, ascending, that together
// with the cube's six greys make 46 evenly spaced greys: round(255 k / 45) for k = 1 to 44,
// leaving out every ninth k (those are the cube's greys 51, 102, 153 and 204).
inline constexpr int kHalftoneCubeSize = 216;
const std::array<Rgb, 256>& HalftonePalette();

// Index of the palette colour nearest to (red, green, blue) in plain RGB distance (sum of
// squared differences), ties going to the lower index. Exact, not a table approximation: the
// nearest cube colour is found per channel and the nearest grey from the channel sum, and
// the closer of the two wins.
std::uint8_t NearestHalftoneIndex(std::uint8_t red, std::uint8_t green, std::uint8_t blue);

}  // namespace zelvan
