#pragma once

#include <optional>
#include <string>

#include "base/error.h"
#include "engine/conversion_options.h"
#include "engine/source_loading.h"
#include "imaging/resample.h"

namespace zelvan {

struct ImageSize {
    int width = 0;
    int height = 0;
    friend bool operator==(const ImageSize&, const ImageSize&) = default;
};

// Sizes are planned with rounding to the nearest integer, ties to even (2.5 gives 2).

// The fit of an image into the box: the image itself when it already fits and enlarging is
// off; otherwise the largest size of the image's proportions that fits, touching the box on at
// least one side. No side is planned below 1 pixel.
ImageSize FitIntoBox(ImageSize image, ImageSize box, bool enlargeIfSmall);

// The smart crop before a fit: the largest centred rectangle of the box's proportions spanning
// the image's full width (or, for a landscape image too short for that, its full height), or
// nothing when no crop is due. The plain variant (enlargeIfSmall false) crops only images
// larger than the box both ways. A crop whose proportions, to one decimal, differ from the
// box's is not made.
std::optional<PixelRect> PlanSmartCrop(ImageSize image, ImageSize box, bool enlargeIfSmall);

// Percentage mode: each side times percent / 100, truncated, and at least 4.
ImageSize PercentageSize(ImageSize image, int percent);

// Which figure a failed resize reports: see ResizeFailure.
enum class ResizeKind { FixedSize, Fit, Percentage };

// What the resize step does to a picture of a given size (as shown): resamples `area` of it to
// `target`.
struct ResizePlan {
    PixelRect area;
    ImageSize target;
    ResizeKind kind = ResizeKind::Fit;
};

// The options' resize of a picture of `size`: the box stretched, the box fitted (after the smart
// crop), or the percentage; nothing when the options resize nothing.
std::optional<ResizePlan> PlanResize(ImageSize size, const ConversionOptions& options);

// The divisors a JPEG can be decoded at, smaller than stored, in the DCT domain.
inline constexpr int kDecodeReductions[] = {8, 4, 2};

// The largest of 2, 4 and 8 by which `area` can be divided and still span at least twice
// `target` in both directions (in whole pixels: area >= 2 x divisor x target); 1 when none can.
// Twice the target leaves the chosen filter real pixels to work on, so the result stays close
// to the resize of the full picture.
int LargestDecodeReduction(ImageSize area, ImageSize target);

// The divisor a JPEG of `stored` size, carrying this EXIF Orientation, may be decoded at for the
// options' resize: the plan is made for the picture as shown (a picture that Auto_rotate turns
// by 90 degrees has its sides swapped against the box). 1 with Fast_jpeg_downscale off and when
// the options resize nothing.
int DecodeReductionFor(StoredSize stored, int orientation, const ConversionOptions& options);

// The loading request of a job with these options: asks DecodeReductionFor; empty (decode whole)
// with Fast_jpeg_downscale off.
DecodeReductionFn DecodeReductionRequest(const ConversionOptions& options);

// A failed resize, with the mode it failed in: the job reports the fixed-size (stretched) and
// the percentage modes and goes on with the images unchanged; a failed proportional fit ends
// the job.
class ResizeFailure : public Error {
public:
    using Kind = ResizeKind;
    ResizeFailure(Kind kind, const std::string& message) : Error(message), kind_(kind) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

// The job's resize step: resamples the working image, and its opacity mask to the same size,
// by the options' resize mode with the run's filter. Either both images are replaced or, on a
// failure, neither. A reduced decoding is planned from the source's full size and its area
// scaled down to the image, so every size comes out as from the full picture. Throws
// ResizeFailure.
void ResizeWorkingImage(WorkingImageSet& images, const ConversionOptions& options);

}  // namespace zelvan
