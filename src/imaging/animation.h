#pragma once

// The frames of an animated picture beside its first one, and the limits every animated reader
// checks before it decodes a single frame.

#include <cstdint>
#include <vector>

#include "imaging/raster.h"

namespace zelvan {

// At most this many frames: a file that declares more is refused before decoding.
inline constexpr std::int64_t kMaxAnimationFrames = 10000;
// At most this long in total (24 hours): longer timings are damage or a trap, not an animation.
inline constexpr std::int64_t kMaxAnimationMilliseconds = std::int64_t{24} * 60 * 60 * 1000;

// One frame after the first: the whole canvas as shown at that moment (32 bits, blue, green,
// red, opacity), and how long it stays.
struct AnimationFrame {
    Raster raster;
    int durationMs = 0;
};

// An animation's timing and the frames after the first; the first frame is the picture's own
// raster, so that everything that reads one picture reads the first frame.
struct Animation {
    int firstDurationMs = 0;
    // How many times it plays; 0 for ever.
    int loopCount = 0;
    std::vector<AnimationFrame> furtherFrames;

    std::int64_t FrameCount() const { return 1 + static_cast<std::int64_t>(furtherFrames.size()); }
};

// Throws Error, beginning with `what`, when `frameCount` frames of a width x height canvas would
// exceed kMaxPixels together or kMaxAnimationFrames frames; the canvas itself is checked as
// CheckImageSize does.
void CheckAnimationSize(std::int64_t width, std::int64_t height, std::int64_t frameCount, const char* what);
// Throws Error, beginning with `what`, when the frames' durations add up past kMaxAnimationMilliseconds.
void CheckAnimationDuration(std::int64_t totalMilliseconds, const char* what);

}  // namespace zelvan
