#pragma once

#include <cstdint>
#include <vector>

#include "imaging/raster.h"

namespace zelvan {

// The resampling filters in the order of the filter choice: "Nearest neighbour", "Bilinear",
// "Hermite", "Bell", "B-spline", "Lanczos3", "Mitchell".
inline constexpr int kResampleFilterCount = 7;

// The filter's own support radius (0.5, 1, 1, 1.5, 2, 3, 2); a radius of 0 passed to the
// resampler stands for it. Throws Error for an index outside 0..6.
float ResampleDefaultRadius(int filter);

// The reconstruction kernel of a filter at x, in single precision: the arithmetic is done in
// double and rounded to float where the result (and the documented sub-results) are formed.
float ResampleKernel(int filter, float x);

// The scale of one axis, source length n to target length m: (m - 1) / (n - 1), so that the
// first and last target pixels sit exactly on the first and last source pixels; m / n when
// either length is 1.
float ResampleScale(int sourceLength, int targetLength);

// One contributor of a target pixel: a fixed-point weight (256 stands for 1.0) and the source
// index along the axis.
struct WeightedPixel {
    std::int32_t weight = 0;
    std::int32_t index = 0;
    friend bool operator==(const WeightedPixel&, const WeightedPixel&) = default;
};

// The contributors of target index `target` along one axis, in the order the candidate source
// positions are visited, zero weights left out. Positions before the start reflect without
// repeating the edge (-1 reads 1), positions past the end reflect repeating it (n reads n - 1);
// where even the reflection leaves a very short source, the edge pixel on that side is read.
// A radius of 0 selects the filter's own. Empty for lengths below 1 or a target outside the
// target length; throws Error like ResampleBitmap for a bad filter or radius.
std::vector<WeightedPixel> ResampleContributors(int sourceLength, int targetLength, int filter, float radius,
                                                int target);

// A rectangle of a raster, in pixels.
struct PixelRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// Resamples `area` of `source` (any depth; a fourth byte is ignored, palettes are looked up) to
// a new 24-bit raster of width x height with one of the seven filters: a horizontal pass over
// every row into a 24-bit intermediate, then a vertical pass, each sample being the weighted
// sum of its contributors divided by the sum of their weights (truncated; by 256 when the
// weights cancel out) and clamped to 0..255. A radius of 0 selects the filter's own support.
// The source is not changed. An empty source gives a black raster of the requested size.
//
// Throws Error for a filter index outside 0..6, a radius outside 0..64, an area outside the
// source, a target size that is not positive or exceeds kMaxPixels, and when memory runs out.
Raster ResampleBitmap(const Raster& source, const PixelRect& area, int width, int height, int filter,
                      float radius = 0);
Raster ResampleBitmap(const Raster& source, int width, int height, int filter, float radius = 0);

// The sample loops the resampler runs: the best the processor offers (the default) or, for the
// tests that check they all give the same bytes, the SSE2 or the portable ones.
enum class ResampleCode { Best, Sse2, Portable };
void SetResampleCodeForTesting(ResampleCode code);

}  // namespace zelvan
