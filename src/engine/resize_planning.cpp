#include "engine/resize_planning.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <utility>

#include "imaging/orientation.h"

namespace zelvan {
namespace {

std::int64_t RoundEven(double v) { return static_cast<std::int64_t>(std::nearbyint(v)); }

int AtLeastOne(std::int64_t v) { return static_cast<int>(v < 1 ? 1 : v); }

// Resamples `area` of the image (and of the mask) to `size`; commits both or neither, so the
// mask never differs from the image in size.
void ResampleImages(WorkingImageSet& images, const PixelRect& area, ImageSize size, int filter,
                    ResizeFailure::Kind kind) {
    try {
        Raster image = ResampleBitmap(images.image, area, size.width, size.height, filter);
        std::optional<Raster> mask;
        if (images.alphaMask) mask = ResampleBitmap(*images.alphaMask, area, size.width, size.height, filter);
        images.image = std::move(image);
        if (mask) images.alphaMask = std::move(mask);
    } catch (const Error& e) {
        throw ResizeFailure(kind, e.what());
    } catch (const std::bad_alloc&) {
        throw ResizeFailure(kind, "Resize: not enough memory for " + std::to_string(size.width) + "x" +
                                      std::to_string(size.height) + " pixels");
    }
}

// `area` of a picture of `full` size, carried onto the reduced decoding `image` of it: each edge
// to the nearest line of the reduced grid, the area at least one pixel wide and inside the image.
PixelRect AreaInReducedImage(const PixelRect& area, StoredSize full, const Raster& image) {
    auto scaled = [](std::int64_t at, std::int64_t fullLength, std::int64_t reducedLength) {
        return (2 * at * reducedLength + fullLength) / (2 * fullLength);  // rounded half up
    };
    const std::int64_t width = image.width(), height = image.height();
    const std::int64_t left = std::min(width - 1, scaled(area.x, full.width, width));
    const std::int64_t top = std::min(height - 1, scaled(area.y, full.height, height));
    const std::int64_t right = std::clamp(scaled(std::int64_t{area.x} + area.width, full.width, width), left + 1, width);
    const std::int64_t bottom =
        std::clamp(scaled(std::int64_t{area.y} + area.height, full.height, height), top + 1, height);
    return PixelRect{static_cast<int>(left), static_cast<int>(top), static_cast<int>(right - left),
                     static_cast<int>(bottom - top)};
}

}  // namespace

ImageSize FitIntoBox(ImageSize image, ImageSize box, bool enlargeIfSmall) {
    const int w = image.width, h = image.height, boxW = box.width, boxH = box.height;
    if (w <= boxW && h <= boxH && !enlargeIfSmall) return image;
    if (w <= 0 || h <= 0) return box;
    const double ratio = static_cast<double>(w) / h;
    std::int64_t fitW, fitH;
    if (w > h) {
        fitW = boxW;
        fitH = RoundEven(boxW / ratio);
        if (fitH > boxH) {
            fitH = boxH;
            fitW = RoundEven(boxH * ratio);
        }
    } else {  // portrait or square
        fitH = boxH;
        fitW = RoundEven(boxH * ratio);
        if (fitW > boxW) {
            fitW = boxW;
            fitH = RoundEven(boxW / ratio);
        }
    }
    // A very long image would otherwise lose its short side altogether.
    return {AtLeastOne(fitW), AtLeastOne(fitH)};
}

std::optional<PixelRect> PlanSmartCrop(ImageSize image, ImageSize box, bool enlargeIfSmall) {
    const int w = image.width, h = image.height, boxW = box.width, boxH = box.height;
    if (!enlargeIfSmall && !(w > boxW && h > boxH)) return std::nullopt;
    if (w == boxW && h == boxH) return std::nullopt;
    if (w <= 0 || h <= 0 || boxW <= 0 || boxH <= 0) return std::nullopt;
    const double ratio = static_cast<double>(boxW) / boxH;
    std::int64_t cropW = w;
    std::int64_t cropH = RoundEven(w / ratio);
    if (h < w && cropH > h) {
        cropH = h;
        cropW = RoundEven(h * ratio);
    }
    // A portrait or square image whose full-width crop would be taller than itself is left
    // alone, and so is a crop that would keep no pixel at all.
    if (cropW > w || cropH > h || cropW < 1 || cropH < 1) return std::nullopt;
    // Within the image's sides now, so every figure below is exact in a double.
    const auto width = static_cast<double>(cropW), height = static_cast<double>(cropH);
    const std::int64_t left = RoundEven((w - width) / 2.0);
    const std::int64_t top = RoundEven((h - height) / 2.0);
    // Rounding the crop to whole pixels may leave it visibly off the box's proportions.
    if (RoundEven(ratio * 10.0) != RoundEven(width / height * 10.0)) return std::nullopt;
    return PixelRect{static_cast<int>(left), static_cast<int>(top), static_cast<int>(cropW), static_cast<int>(cropH)};
}

ImageSize PercentageSize(ImageSize image, int percent) {
    auto side = [percent](int length) {
        const std::int64_t scaled = static_cast<std::int64_t>(length) * percent / 100;
        return scaled <= 4 ? 4 : static_cast<int>(std::min<std::int64_t>(scaled, INT32_MAX));
    };
    return {side(image.width), side(image.height)};
}

std::optional<ResizePlan> PlanResize(ImageSize size, const ConversionOptions& options) {
    const PixelRect whole{0, 0, size.width, size.height};
    const ImageSize box{options.resizeWidth, options.resizeHeight};
    switch (options.resizeMode) {
        case 1: {
            if (!options.keepProportions) return ResizePlan{whole, box, ResizeKind::FixedSize};
            // The crop is not copied out: the fit resamples the cropped area directly.
            std::optional<PixelRect> crop;
            if (options.smartCrop) crop = PlanSmartCrop(size, box, options.enlargeSmaller);
            const PixelRect area = crop.value_or(whole);
            // An image that already fits is still resampled, at its own size.
            return ResizePlan{area, FitIntoBox({area.width, area.height}, box, options.enlargeSmaller), ResizeKind::Fit};
        }
        case 2: return ResizePlan{whole, PercentageSize(size, options.resizePercent), ResizeKind::Percentage};
        default: return std::nullopt;  // no resizing
    }
}

int LargestDecodeReduction(ImageSize area, ImageSize target) {
    if (target.width < 1 || target.height < 1) return 1;
    for (const int divisor : kDecodeReductions) {
        if (std::int64_t{area.width} >= std::int64_t{2} * divisor * target.width &&
            std::int64_t{area.height} >= std::int64_t{2} * divisor * target.height)
            return divisor;
    }
    return 1;
}

int DecodeReductionFor(StoredSize stored, int orientation, const ConversionOptions& options) {
    if (!options.fastJpegDownscale) return 1;
    ImageSize shown{stored.width, stored.height};
    if (options.autoRotate && OrientationSwapsSides(orientation)) std::swap(shown.width, shown.height);
    const std::optional<ResizePlan> plan = PlanResize(shown, options);
    if (!plan) return 1;
    return LargestDecodeReduction({plan->area.width, plan->area.height}, plan->target);
}

DecodeReductionFn DecodeReductionRequest(const ConversionOptions& options) {
    if (!options.fastJpegDownscale) return {};
    return [options](StoredSize stored, int orientation) { return DecodeReductionFor(stored, orientation, options); };
}

void ResizeWorkingImage(WorkingImageSet& images, const ConversionOptions& options) {
    const Raster& image = images.image;
    // A reduced decoding is planned as the full picture would be.
    const ImageSize size = images.reducedFrom ? ImageSize{images.reducedFrom->width, images.reducedFrom->height}
                                              : ImageSize{image.width(), image.height()};
    std::optional<ResizePlan> plan = PlanResize(size, options);
    if (!plan) {
        if (!images.reducedFrom) return;
        // Decoded reduced for another output of the source: this one, which resizes nothing,
        // still gets the picture's own size.
        plan = ResizePlan{PixelRect{0, 0, size.width, size.height}, size, ResizeKind::Fit};
    }
    const PixelRect area = images.reducedFrom ? AreaInReducedImage(plan->area, *images.reducedFrom, image) : plan->area;
    ResampleImages(images, area, plan->target, options.resamplingFilter, plan->kind);
    images.reducedFrom.reset();
}

}  // namespace zelvan
