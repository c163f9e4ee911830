#include "imaging/animation.h"

#include <string>

#include "base/error.h"

namespace zelvan {

void CheckAnimationSize(std::int64_t width, std::int64_t height, std::int64_t frameCount, const char* what) {
    CheckImageSize(width, height, what);
    if (frameCount > kMaxAnimationFrames)
        throw Error(std::string(what) + ": animation of " + std::to_string(frameCount) +
                    " frames is longer than the limit of " + std::to_string(kMaxAnimationFrames) + " frames");
    // The canvas is at most 2^28 pixels and the count at most 10^4 here: the product fits 64 bits.
    const auto total = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) *
                       static_cast<std::uint64_t>(frameCount < 1 ? 1 : frameCount);
    if (total > kMaxPixels)
        throw Error(std::string(what) + ": animation of " + std::to_string(frameCount) + " frames of " +
                    std::to_string(width) + "x" + std::to_string(height) + " pixels is larger than the limit of " +
                    std::to_string(kMaxPixels) + " pixels in all");
}

void CheckAnimationDuration(std::int64_t totalMilliseconds, const char* what) {
    if (totalMilliseconds > kMaxAnimationMilliseconds)
        throw Error(std::string(what) + ": animation of " + std::to_string(totalMilliseconds / 1000) +
                    " seconds is longer than the limit of " + std::to_string(kMaxAnimationMilliseconds / 1000) +
                    " seconds");
}

}  // namespace zelvan
