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

// A failed resize, with the mode it failed in: the job reports the fixed-size (stretched) and
// the percentage modes and goes on with the images unchanged; a failed proportional fit ends
// the job.
class ResizeFailure : public Error {
public:
    enum class Kind { FixedSize, Fit, Percentage };
    ResizeFailure(Kind kind, const std::string& message) : Error(message), kind_(kind) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

// The job's resize step: resamples the working image, and its opacity mask to the same size,
// by the options' resize mode with the run's filter. Either both images are replaced or, on a
// failure, neither. Throws ResizeFailure.
void ResizeWorkingImage(WorkingImageSet& images, const ConversionOptions& options);

}  // namespace zelvan
