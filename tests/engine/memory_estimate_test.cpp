#include "engine/memory_estimate.h"

#include "imaging/writers/writers.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace zelvan {
namespace {

constexpr std::uint64_t kKiB = 1024;
constexpr std::uint64_t kGiB = 1024 * 1024 * 1024;

// A 6028 x 3391 photo, the one whose peaks were measured.
constexpr ImageSize kPhoto{6028, 3391};

std::uint64_t Estimate(ImageSize size, int format, const std::function<void(ConversionOptions&)>& change = {}) {
    ConversionOptions options = DefaultConversionOptions();
    options.outputFormat = format;
    if (change) change(options);
    const EstimatedOutput output{format, &options};
    return EstimateJobPeakBytes(size, std::span(&output, 1));
}

// Each case is a peak resident size measured with /usr/bin/time -v (zelvan-cli -j 1, the whole
// process). The estimate must not fall below what was measured (else the budget lets the machine
// run out) nor be so far above it that the budget holds back jobs that would fit.
TEST(MemoryEstimate, CoversMeasuredPeaksWithoutGreatExcess) {
    struct Case {
        const char* name;
        int format;
        std::function<void(ConversionOptions&)> change;
        std::uint64_t measuredKiB;
    };
    const std::vector<Case> cases = {
        {"JPEG", 0, {}, 150520},
        {"PNG", 1, {}, 170308},
        {"GIF", 3, {}, 126736},
        {"JPEG 2000", 4, {}, 497992},
        {"WebP", 6, {}, 223588},
        {"WebP lossless", 6, [](ConversionOptions& o) { o.webpLossless = true; }, 632832},
        {"AVIF speed 6", 7, [](ConversionOptions& o) { o.avifSpeed = 6; }, 403048},
        {"AVIF speed 2", 7, [](ConversionOptions& o) { o.avifSpeed = 2; }, 485332},
        {"JPEG XL effort 3", 8, [](ConversionOptions& o) { o.jxlEffort = 3; }, 987824},
        {"JPEG XL effort 7", 8, [](ConversionOptions& o) { o.jxlEffort = 7; }, 1975636},
        {"JPEG XL effort 7 lossless", 8, [](ConversionOptions& o) { o.jxlEffort = 7; o.jxlLossless = true; }, 1972924},
        {"JPEG XL effort 9", 8, [](ConversionOptions& o) { o.jxlEffort = 9; }, 5838044},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint64_t estimate = Estimate(kPhoto, c.format, c.change);
        EXPECT_GE(estimate, c.measuredKiB * kKiB);
        EXPECT_LE(estimate, c.measuredKiB * kKiB * 3 / 2);
    }
}

// Peaks seen on a 16383 x 16383 source of one colour, and a resize that makes the encoder's part
// small: the estimate stays above each.
TEST(MemoryEstimate, CoversLargePicturesAndResizedOnes) {
    constexpr ImageSize kLargest{16383, 16383};
    // JPEG XL at effort 7 still grew at 13.7 GiB; at this size it runs at effort 3 (42 bytes per
    // pixel measured) beside the raster and its copy.
    EXPECT_GT(Estimate(kLargest, 8), 16383ull * 16383 * (42 + 8));
    EXPECT_GT(Estimate(kLargest, 6, [](ConversionOptions& o) { o.webpLossless = true; }), 3 * kGiB);
    EXPECT_GT(Estimate(kLargest, 7), 31 * kGiB / 10);
    EXPECT_GT(Estimate(kLargest, 4), 56 * kGiB / 10);

    const auto fit = [](ConversionOptions& o) {
        o.resizeMode = 1;
        o.resizeWidth = 1500;
        o.resizeHeight = 1500;
        o.keepProportions = true;
    };
    const std::uint64_t resized = Estimate(kPhoto, 8, fit);
    EXPECT_GE(resized, 157080 * kKiB);
    EXPECT_LT(resized, Estimate(kPhoto, 8) / 4);
    // A percentage resize is planned too: half the size is less than the whole.
    EXPECT_LT(Estimate(kPhoto, 6, [](ConversionOptions& o) {
                  o.resizeMode = 2;
                  o.resizePercent = 50;
              }),
              Estimate(kPhoto, 6));
}

// Above 40 MP the JPEG XL encoder runs at effort 3 at most, and the estimate counts what it uses.
TEST(MemoryEstimate, LargePicturesGoToJpegXlAtLowEffort) {
    struct Case {
        int effort;
        std::uint64_t pixels;
        int used;
    };
    const std::vector<Case> cases = {
        {9, 20'000'000, 9}, {9, kJxlLargePicturePixels, 9}, {9, kJxlLargePicturePixels + 1, 3},
        {7, 48'000'000, 3}, {2, 48'000'000, 2},
    };
    for (const Case& c : cases) EXPECT_EQ(JxlEffortFor(c.effort, c.pixels), c.used) << c.effort << " " << c.pixels;

    const auto effort = [](int e) { return [e](ConversionOptions& o) { o.jxlEffort = e; }; };
    constexpr ImageSize k48Mp{8000, 6000};
    EXPECT_EQ(Estimate(k48Mp, 8, effort(9)), Estimate(k48Mp, 8, effort(3)));
    EXPECT_LT(Estimate(k48Mp, 8, effort(7)), 48'000'000ull * 60);
    EXPECT_GT(Estimate(kPhoto, 8, effort(9)), Estimate(kPhoto, 8, effort(3)));
}

TEST(MemoryEstimate, HungriestOutputCountsAndUnknownSizeGivesNothing) {
    ConversionOptions jpeg = DefaultConversionOptions();
    ConversionOptions jxl = DefaultConversionOptions();
    jxl.jxlEffort = 9;
    const std::vector<EstimatedOutput> both = {{0, &jpeg}, {8, &jxl}};
    const std::vector<EstimatedOutput> jxlOnly = {{8, &jxl}};
    EXPECT_EQ(EstimateJobPeakBytes(kPhoto, both), EstimateJobPeakBytes(kPhoto, jxlOnly));
    EXPECT_GT(EstimateJobPeakBytes(kPhoto, both), Estimate(kPhoto, 0));
    EXPECT_EQ(EstimateJobPeakBytes(ImageSize{}, both), 0u);
}

TEST(MemoryEstimate, BudgetIsTheOptionOrThreeQuartersOfMemory) {
    struct Case {
        int budgetMiB;
        std::uint64_t physical;
        std::uint64_t expected;
    };
    const std::vector<Case> cases = {
        {4096, 64 * kGiB, 4 * kGiB},
        {0, 16 * kGiB, 12 * kGiB},
        {0, 0, 0},
        {1, 0, 1024 * kKiB},
    };
    for (const Case& c : cases) EXPECT_EQ(MemoryBudgetBytes(c.budgetMiB, c.physical), c.expected) << c.budgetMiB;
}

}  // namespace
}  // namespace zelvan
