#include "engine/target_encoding.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "base/error.h"
#include "engine/output_formats.h"
#include "imaging/readers/readers.h"
#include "imaging/transparency.h"
#include "imaging/visual_quality.h"

namespace zelvan {

std::string QualityText(double quality) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", quality);
    return text;
}

std::optional<SearchedQuality> TargetSearchFor(const OutputFormat& format, const ConversionOptions& options) {
    if (options.targetMode != kTargetFileSize && options.targetMode != kTargetVisualQuality) return std::nullopt;
    using O = ConversionOptions;
    const std::string_view ext = format.extension;
    if (ext == "JPG") return SearchedQuality{&O::jpegQuality, 1, 100, 10};
    if (ext == "WEBP" && !options.webpLossless) return SearchedQuality{&O::webpQuality, 1, 100, 10};
    if (ext == "AVIF") return SearchedQuality{&O::avifQuality, 1, 100};
    // JPEG XL's quality 100 is lossless: not a step on its lossy scale.
    if (ext == "JXL" && !options.jxlLossless) return SearchedQuality{&O::jxlQuality, 1, 99, 10};
    return std::nullopt;
}

// Both searches bisect for the boundary between qualities that meet the target and those that do
// not, keeping the best encoding met so far; the file size and the score grow with the quality
// (nearly always: where they do not, the search still returns an encoding that meets the target).
TargetSearchResult SearchTargetSize(const EncodeAtQuality& encode, std::int64_t maximumBytes, int lowest, int highest) {
    TargetSearchResult best, smallest;
    int encodings = 0;
    bool found = false;
    int lo = lowest, hi = highest;
    while (lo <= hi) {
        const int quality = lo + (hi - lo) / 2;
        std::vector<std::uint8_t> bytes = encode(quality);
        ++encodings;
        if (static_cast<std::int64_t>(bytes.size()) <= maximumBytes) {
            best = {std::move(bytes), static_cast<double>(quality), 0, std::nullopt};
            found = true;
            lo = quality + 1;
        } else {
            // The lowest quality tried is the fallback when nothing fits; the search ends at `lowest`.
            if (smallest.bytes.empty() || quality < smallest.quality)
                smallest = {std::move(bytes), static_cast<double>(quality), 0, std::nullopt};
            hi = quality - 1;
        }
    }
    TargetSearchResult result = found ? std::move(best) : std::move(smallest);
    result.missed = !found;
    result.encodings = encodings;
    return result;
}

TargetSearchResult SearchTargetScore(const EncodeAtQuality& encode, const ScoreOfEncoding& score, double minimumScore,
                                     int lowest, int highest) {
    TargetSearchResult best, highestTried;
    int encodings = 0;
    bool found = false;
    int lo = lowest, hi = highest;
    while (lo <= hi) {
        const int quality = lo + (hi - lo) / 2;
        std::vector<std::uint8_t> bytes = encode(quality);
        ++encodings;
        const double s = score(bytes);
        if (s >= minimumScore) {
            best = {std::move(bytes), static_cast<double>(quality), 0, s};
            found = true;
            hi = quality - 1;
        } else {
            if (highestTried.bytes.empty() || quality > highestTried.quality)
                highestTried = {std::move(bytes), static_cast<double>(quality), 0, s};
            lo = quality + 1;
        }
    }
    TargetSearchResult result = found ? std::move(best) : std::move(highestTried);
    result.missed = !found;
    result.encodings = encodings;
    return result;
}

double ScoreOfOutput(const OutputFormat& format, std::span<const std::uint8_t> encoded, const WorkingImageSet& images,
                     const ConversionOptions& options) {
    const ReaderFn read = FindReader(format.extension);
    if (!read) throw Error("no reader for " + std::string(format.caption) + " to measure its visual quality");
    const WorkingImageSet decoded = PrepareWorkingImage(read(encoded), kStripColourProfile);
    if (!images.alphaMask) return VisualQualityScore(images.image, decoded.image, nullptr, nullptr);
    if (!format.keepsAlpha) {
        // The encoder saw the picture over the background colour.
        const Raster shown = OverBackground(images.image, *images.alphaMask, RgbOf(options.backgroundColour));
        return VisualQualityScore(shown, decoded.image);
    }
    return VisualQualityScore(images.image, decoded.image, &*images.alphaMask,
                              decoded.alphaMask ? &*decoded.alphaMask : nullptr);
}

std::optional<TargetSearchResult> EncodeForTarget(
    const OutputFormat& format, const ConversionOptions& options, const WorkingImageSet& images,
    const std::function<std::vector<std::uint8_t>(const ConversionOptions&)>& encode) {
    const std::optional<SearchedQuality> searched = TargetSearchFor(format, options);
    if (!searched) return std::nullopt;
    ConversionOptions trial = options;
    const int steps = searched->steps;
    const EncodeAtQuality atStep = [&](int step) {
        trial.*searched->field = step / steps;
        trial.qualityTenths = step % steps;
        return encode(trial);
    };
    // The top of the scale is a whole quality: no tenths above it.
    const int lowest = searched->lowest * steps, highest = searched->highest * steps;
    TargetSearchResult result;
    if (options.targetMode == kTargetFileSize) {
        result = SearchTargetSize(atStep, std::int64_t{options.targetSizeKiB} * 1024, lowest, highest);
    } else {
        const ScoreOfEncoding score = [&](std::span<const std::uint8_t> bytes) {
            return ScoreOfOutput(format, bytes, images, options);
        };
        result = SearchTargetScore(atStep, score, options.targetScore, lowest, highest);
    }
    result.quality /= steps;
    return result;
}

std::string TargetMissedNote(const ConversionOptions& options, const TargetSearchResult& result, std::size_t bytes) {
    if (options.targetMode == kTargetFileSize) {
        return "larger than the target size of " + std::to_string(options.targetSizeKiB) +
               " KiB even at the lowest quality: written at quality " + QualityText(result.quality) + ", " +
               std::to_string(bytes) + " bytes";
    }
    char score[32];
    std::snprintf(score, sizeof score, "%.1f", result.score.value_or(0.0));
    return "below the target visual quality of " + std::to_string(options.targetScore) +
           " even at the highest quality: written at quality " + QualityText(result.quality) + ", score " + score +
           ", " + std::to_string(bytes) + " bytes";
}

}  // namespace zelvan
