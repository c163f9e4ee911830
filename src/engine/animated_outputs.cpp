#include "engine/animated_outputs.h"

#include <optional>

#include "engine/animation_steps.h"
#include "imaging/colour_profile.h"
#include "imaging/transparency.h"
#include "imaging/writers/writers.h"

namespace zelvan {

std::vector<std::uint8_t> EncodeAnimatedGif(const WorkingImageSet& images, const ConversionOptions& options) {
    std::vector<FrameToWrite> frames = FramesToWrite(images);
    // The opaque sRGB frames are made one at a time beside the others, which stay as they are.
    std::vector<Raster> opaque;
    opaque.reserve(frames.size());
    for (FrameToWrite& frame : frames) {
        std::optional<Raster> converted;
        const Raster* image = frame.image;
        if (!images.iccProfile.empty()) {
            converted = *image;
            ConvertToSrgb(*converted, images.iccProfile);
            image = &*converted;
        }
        if (frame.alphaMask) opaque.push_back(OverBackground(*image, *frame.alphaMask, RgbOf(options.backgroundColour)));
        else if (converted) opaque.push_back(std::move(*converted));
        else continue;
        frame.image = &opaque.back();
        frame.alphaMask = nullptr;
    }
    return EncodeGifAnimation(frames, images.animation ? images.animation->loopCount : 0, options.gifAdaptivePalette);
}

std::vector<std::uint8_t> EncodeAnimatedWebp(const WorkingImageSet& images, const ConversionOptions& options) {
    const WebpSettings webp{
        .quality = options.webpQuality, .lossless = options.webpLossless, .effort = options.webpEffort};
    return EncodeWebpAnimation(FramesToWrite(images), images.animation ? images.animation->loopCount : 0, webp,
                               images.iccProfile);
}

}  // namespace zelvan
