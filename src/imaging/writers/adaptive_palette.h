#pragma once

// A palette of up to 256 colours chosen for one picture, for GIF and palette PNG outputs.

#include <cstdint>
#include <optional>
#include <vector>

#include "imaging/raster.h"

namespace zelvan {

struct PalettePicture {
    Raster image;                      // 8 bits per pixel; entries past colourCount are black
    std::vector<std::uint8_t> opacity;  // one per entry, empty when every pixel is opaque
    int colourCount = 0;
};

// The picture in a palette of its own. One with at most 256 colours (opacity counted, from the
// mask's third byte when a mask is given) keeps every pixel exactly. Others get 256 colours by
// median cut (boxes of the colour histogram split at their weighted median along their widest
// side, each colour the mean of its box) and Floyd-Steinberg error diffusion, which keeps the
// picture's mean colour: no region turns darker or lighter on average. Throws Error when the
// mask does not match the picture.
// Entries that are not opaque come first.
PalettePicture ToAdaptivePalette(const Raster& image, const Raster* mask = nullptr);

// The exact palette alone: nothing when the picture has more than 256 colours.
std::optional<PalettePicture> ExactPalette(const Raster& image, const Raster* mask = nullptr);

}  // namespace zelvan
