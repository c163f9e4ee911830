#include "engine/animation_steps.h"

#include <utility>

#include "engine/output_formats.h"
#include "imaging/writers/writers.h"

namespace zelvan {

WorkingAnimation PrepareAnimation(Animation&& animation) {
    WorkingAnimation prepared;
    prepared.firstDurationMs = animation.firstDurationMs;
    prepared.loopCount = animation.loopCount;
    prepared.furtherFrames.reserve(animation.furtherFrames.size());
    for (AnimationFrame& frame : animation.furtherFrames) {
        WorkingFrame& out = prepared.furtherFrames.emplace_back();
        out.durationMs = frame.durationMs;
        out.image = std::move(frame.raster);
        if (out.image.bitsPerPixel() != 32) continue;  // an opaque frame needs no mask
        Raster mask(out.image.width(), out.image.height(), 24);
        for (int y = 0; y < out.image.height(); ++y) {
            const std::uint8_t* src = out.image.row(y);
            std::uint8_t* dst = mask.row(y);
            for (int x = 0; x < out.image.width(); ++x) dst[3 * x + 2] = src[4 * x + 3];
        }
        out.alphaMask = std::move(mask);
    }
    return prepared;
}

void ForEachFrame(WorkingImageSet& images, const std::function<void(WorkingImageSet&)>& step) {
    if (!images.animation) {
        step(images);
        return;
    }
    // The frames stay apart while the first is changed, so that the step sees one picture.
    WorkingAnimation animation = std::move(*images.animation);
    images.animation.reset();
    WorkingImageSet facts;
    facts.orientation = images.orientation;
    facts.iccProfile = images.iccProfile;
    facts.reducedFrom = images.reducedFrom;
    try {
        step(images);
        for (WorkingFrame& frame : animation.furtherFrames) {
            WorkingImageSet one = facts;
            one.image = std::move(frame.image);
            one.alphaMask = std::move(frame.alphaMask);
            struct PutBack {
                WorkingFrame& frame;
                WorkingImageSet& one;
                ~PutBack() {
                    frame.image = std::move(one.image);
                    frame.alphaMask = std::move(one.alphaMask);
                }
            } putBack{frame, one};
            step(one);
        }
    } catch (...) {
        images.animation = std::move(animation);
        throw;
    }
    images.animation = std::move(animation);
}

bool HoldsAnimation(const OutputFormat& format) {
    return format.extension == "GIF" || format.extension == "WEBP";
}

std::optional<std::string> KeepFirstFrameOnly(WorkingImageSet& images, const OutputFormat* format) {
    if (!images.animation || (format && HoldsAnimation(*format))) return std::nullopt;
    const std::int64_t frames = images.FrameCount();
    images.animation.reset();
    return "first frame of " + std::to_string(frames);
}

std::vector<FrameToWrite> FramesToWrite(const WorkingImageSet& images) {
    std::vector<FrameToWrite> frames;
    frames.push_back({&images.image, images.alphaMask ? &*images.alphaMask : nullptr,
                      images.animation ? images.animation->firstDurationMs : 0});
    if (!images.animation) return frames;
    for (const WorkingFrame& frame : images.animation->furtherFrames)
        frames.push_back({&frame.image, frame.alphaMask ? &*frame.alphaMask : nullptr, frame.durationMs});
    return frames;
}

}  // namespace zelvan
