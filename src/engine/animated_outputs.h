#pragma once

// The encoders of the output formats that hold an animation, fed with every frame of the set.

#include <cstdint>
#include <span>
#include <vector>

#include "engine/conversion_options.h"
#include "engine/source_loading.h"

namespace zelvan {

// GIF: every frame in sRGB over the background colour (GIF keeps no opacity), each in a palette
// of its own as the GIF page chooses.
std::vector<std::uint8_t> EncodeAnimatedGif(const WorkingImageSet& images, const ConversionOptions& options);
// WebP: every frame with its opacity, lossy or lossless as the WebP page chooses, the profile kept.
std::vector<std::uint8_t> EncodeAnimatedWebp(const WorkingImageSet& images, const ConversionOptions& options);

}  // namespace zelvan
