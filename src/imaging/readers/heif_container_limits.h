#pragma once

#include <cstdint>
#include <span>

namespace zelvan {

// What a HEIF file's boxes make libheif and libde265 allocate and decode, checked before either
// starts. libheif takes the size of a grid or an overlay from the item's own data and libde265
// the picture size from the stream's sequence parameter set; neither is compared with the size
// the container states (ispe), so a file of a few hundred bytes could make the decoder clear
// gigabytes for a 24x16 picture, or decode one tile thousands of times.
//
// Throws Error("HEIF: ...") when a stream, a grid or an overlay declares more than the program's
// pixel limit, when a stream declares a picture larger than its container size rounded up to
// whole coding blocks (64 pixels), or when the primary image with its parts and alpha plane would
// decode more than four times that limit. Boxes this check cannot follow are left to libheif,
// which refuses them on its own.
void CheckHeifContainerLimits(std::span<const std::uint8_t> file);

}  // namespace zelvan
