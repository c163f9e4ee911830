#pragma once

// Target modes: instead of a fixed quality, the encoder's quality is searched for the output's
// goal, by bisection over the format's quality scale with the same prepared pixels each time.
//
// - Target size: the largest quality whose file is at most so many bytes. When even the lowest
//   quality is larger, the output is the lowest quality's file and the search says it missed.
// - Target visual quality: the lowest quality (the smallest file) whose SSIMULACRA 2 score against
//   the pixels given to the encoder is at least the target. When even the highest quality scores
//   below it, the output is the highest quality's file and the search says it missed.
//
// A search over n steps encodes at most ceil(log2(n + 1)) times: 7 for AVIF's whole qualities 1
// to 100, 10 for JPEG, WebP and JPEG XL, whose qualities are searched in tenths.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "engine/conversion_options.h"
#include "engine/source_loading.h"

namespace zelvan {

struct OutputFormat;

// The option Target_mode.
enum TargetModeChoice : int {
    kFixedQuality = 0,    // the format's quality option, as before
    kTargetFileSize = 1,  // Target_size bytes at most
    kTargetVisualQuality = 2,  // a SSIMULACRA 2 score of Target_quality at least
};

// Encoder qualities a target search may choose for one output: the option it sets and its range.
struct SearchedQuality {
    int ConversionOptions::*field = nullptr;
    int lowest = 1;
    int highest = 100;
    // Steps per whole quality: 10 where the encoder takes tenths (ConversionOptions::qualityTenths).
    int steps = 1;
};

// The quality a target search turns for this format and these options; nothing when the options
// ask for no target, or the output has no lossy quality to turn (PNG, BMP, GIF, Targa, JPEG 2000,
// and WebP or JPEG XL set to lossless).
std::optional<SearchedQuality> TargetSearchFor(const OutputFormat& format, const ConversionOptions& options);

struct TargetSearchResult {
    std::vector<std::uint8_t> bytes;  // the chosen encoding
    double quality = 0;               // the quality it was made at (the step, for the bare searches)
    int encodings = 0;                // how many encodings the search made
    std::optional<double> score;      // the chosen encoding's score, for a visual-quality target
    bool missed = false;              // no quality reached the target (see above)
};

// The complete output file at a step of the quality scale. Throws Error as the format's encoder does.
using EncodeAtQuality = std::function<std::vector<std::uint8_t>(int quality)>;
// The visual-quality score of an encoded file against the pixels it was made from.
using ScoreOfEncoding = std::function<double(std::span<const std::uint8_t> encoded)>;

TargetSearchResult SearchTargetSize(const EncodeAtQuality& encode, std::int64_t maximumBytes, int lowest, int highest);
TargetSearchResult SearchTargetScore(const EncodeAtQuality& encode, const ScoreOfEncoding& score, double minimumScore,
                                     int lowest, int highest);

// The score of an output file of this format against the images it was encoded from: the file
// decoded by the program's own reader and compared with the pixels the encoder saw (over the
// background colour for outputs without alpha; both opacity masks for outputs with it). Throws
// Error when the file cannot be decoded.
double ScoreOfOutput(const OutputFormat& format, std::span<const std::uint8_t> encoded, const WorkingImageSet& images,
                     const ConversionOptions& options);

// The search the options ask for, over the format's quality: `encode` makes the complete file with
// these options changed only in the searched quality. Nothing when no search applies.
std::optional<TargetSearchResult> EncodeForTarget(
    const OutputFormat& format, const ConversionOptions& options, const WorkingImageSet& images,
    const std::function<std::vector<std::uint8_t>(const ConversionOptions&)>& encode);

// A quality as the job's line and --json write it: 85, 72.5.
std::string QualityText(double quality);

// The note for an output whose search missed its target, for its line and --json record; the
// file written has `bytes` bytes.
std::string TargetMissedNote(const ConversionOptions& options, const TargetSearchResult& result, std::size_t bytes);

}  // namespace zelvan
