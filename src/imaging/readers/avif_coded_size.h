#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace zelvan {

struct CodedSize {
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    bool operator==(const CodedSize&) const = default;
};

// The largest frame the first AV1 sequence header in `obus` allows (max_frame_width_minus_1 + 1
// by max_frame_height_minus_1 + 1): the size dav1d or aom allocates for. nullopt when the units
// end, or go wrong, before a sequence header says it.
std::optional<CodedSize> Av1SequenceFrameSize(std::span<const std::uint8_t> obus);

// Whether the primary item of an AVIF file is a grid of tiles (its item type "grid"); false for
// a single coded picture, an image sequence, or boxes this look cannot follow.
bool AvifPrimaryIsGrid(std::span<const std::uint8_t> file);

// What libavif would be asked to decode, checked before it starts: `declared` is the size the
// container gives the picture (ispe, or the track's for a sequence), `coded` the first frame's
// data (color and alpha items). Throws Error("AVIF: ...") when a sequence header there allows a
// frame larger than the declared picture (rounded up to whole 64-pixel blocks) or than the
// program reads, and, for a single coded picture, when the container declares a larger picture
// than its frames hold: libavif would make a picture of the container's size from it.
void CheckAvifCodedSize(std::span<const std::uint8_t> coded, CodedSize declared, bool grid);

}  // namespace zelvan
