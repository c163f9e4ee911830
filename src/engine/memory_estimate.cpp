#include "engine/memory_estimate.h"

#include <algorithm>
#include <optional>

#include "imaging/writers/writers.h"

namespace zelvan {

namespace {

constexpr std::uint64_t kBytesPerRasterPixel = 4;

// The formats' Output_format numbers (the output format registry).
enum FormatNumber : int { Jpeg = 0, Png = 1, Bmp = 2, Gif = 3, Jpeg2000 = 4, Tga = 5, Webp = 6, Avif = 7, JpegXl = 8 };

std::uint64_t Pixels(ImageSize size) {
    if (size.width <= 0 || size.height <= 0) return 0;
    return static_cast<std::uint64_t>(size.width) * static_cast<std::uint64_t>(size.height);
}

// One output's own peak: the resampler's result and its rows after the horizontal pass (target
// width x the area's height) while it resizes, then the encoder over the resized picture.
std::uint64_t OutputPeakBytes(ImageSize shown, const EstimatedOutput& output) {
    const ConversionOptions& options = *output.options;
    ImageSize encoded = shown;
    std::uint64_t resizing = 0;
    std::uint64_t resized = 0;  // the resized picture; without a resize the encoder takes the working copy
    if (std::optional<ResizePlan> plan = PlanResize(shown, options)) {
        encoded = plan->target;
        const ImageSize afterRows{plan->target.width, plan->area.height};
        resized = Pixels(plan->target) * kBytesPerRasterPixel;
        resizing = Pixels(afterRows) * kBytesPerRasterPixel + resized;
    }
    const std::uint64_t pixels = Pixels(encoded);
    double perPixel = EncoderBytesPerPixel(output.format, options, pixels);
    // Automatic format encodes both JPEG and PNG and keeps the smaller.
    if (options.autoFormat)
        perPixel = EncoderBytesPerPixel(Jpeg, options, pixels) + EncoderBytesPerPixel(Png, options, pixels);
    const auto encoding = static_cast<std::uint64_t>(static_cast<double>(Pixels(encoded)) * perPixel);
    return std::max(resizing, encoding + resized);
}

}  // namespace

// Peak resident size of zelvan-cli -j 1 on a 6028 x 3391 JPEG photo (20.4 MP), less the same run
// writing BMP (no encoder), divided by the pixels, then rounded up:
//   JPEG 0.4; PNG 1.4; GIF about 0; WebP lossy 4.0, lossless 24.5; AVIF speed 6 13.0, speed 2
//   17.1; JPEG XL effort 3 42, effort 7 92 (lossless alike), effort 9 285; JPEG 2000 17.8.
// Effort 8 and the efforts between were not measured: they take the next measured figure up.
double EncoderBytesPerPixel(int format, const ConversionOptions& options, std::uint64_t pixels) {
    switch (format) {
        case Jpeg: return 1.0;
        case Png: return 2.0;
        case Bmp:
        case Tga: return 0.5;
        case Gif: return 1.0;  // the palette's index per pixel
        case Jpeg2000: return 20.0;
        case Webp: return options.webpLossless ? 26.0 : 5.0;
        case Avif: return options.avifSpeed >= 6 ? 14.0 : 18.0;
        case JpegXl: {
            const int effort = JxlEffortFor(options.jxlEffort, pixels);
            if (effort <= 3) return 44.0;
            if (effort <= 7) return 95.0;
            return 290.0;
        }
        default: return 4.0;
    }
}

std::uint64_t EstimateJobPeakBytes(ImageSize shown, std::span<const EstimatedOutput> outputs) {
    const std::uint64_t sourcePixels = Pixels(shown);
    if (sourcePixels == 0) return 0;
    std::uint64_t hungriest = 0;
    for (const EstimatedOutput& output : outputs)
        if (output.options) hungriest = std::max(hungriest, OutputPeakBytes(shown, output));
    return 2 * sourcePixels * kBytesPerRasterPixel + hungriest;
}

std::uint64_t MemoryBudgetBytes(int budgetMiB, std::uint64_t physicalBytes) {
    if (budgetMiB > 0) return static_cast<std::uint64_t>(budgetMiB) << 20;
    return physicalBytes / 4 * 3;
}

}  // namespace zelvan
