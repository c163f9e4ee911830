#include "imaging/resample.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "base/error.h"
#include "support/fixtures.h"

namespace zelvan {
namespace {

enum Filter { kNearest = 0, kBilinear, kHermite, kBell, kBSpline, kLanczos3, kMitchell };

using Contributors = std::vector<WeightedPixel>;

// ---------------------------------------------------------------------------------------------
// Weights

struct WeightCase {
    const char* name;
    int filter;
    int sourceLength;
    int targetLength;
    int target;
    Contributors expected;
};

void PrintTo(const WeightCase& c, std::ostream* os) { *os << c.name; }

class ResampleWeights : public ::testing::TestWithParam<WeightCase> {};

TEST_P(ResampleWeights, MatchTheWorkedValues) {
    const WeightCase& c = GetParam();
    EXPECT_EQ(ResampleContributors(c.sourceLength, c.targetLength, c.filter, 0, c.target), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Resample, ResampleWeights,
    ::testing::Values(
        // At the same size four filters reduce to one full weight (the Lanczos3 lobes at +-1 and
        // +-2 are tiny and round to 0); the other three soften.
        WeightCase{"SameSizeNearest", kNearest, 10, 10, 5, {{256, 5}}},
        WeightCase{"SameSizeBilinear", kBilinear, 10, 10, 5, {{256, 5}}},
        WeightCase{"SameSizeHermite", kHermite, 10, 10, 5, {{256, 5}}},
        WeightCase{"SameSizeLanczos3", kLanczos3, 10, 10, 5, {{256, 5}}},
        WeightCase{"SameSizeBell", kBell, 10, 10, 5, {{32, 4}, {192, 5}, {32, 6}}},
        WeightCase{"SameSizeBSpline", kBSpline, 10, 10, 5, {{43, 4}, {171, 5}, {43, 6}}},
        WeightCase{"SameSizeMitchell", kMitchell, 10, 10, 5, {{14, 4}, {228, 5}, {14, 6}}},
        // Enlarging 10 -> 20, target 7 sits at 7 x 9/19 = 3.3158.
        WeightCase{"EnlargeBilinear", kBilinear, 10, 20, 7, {{175, 3}, {81, 4}}},
        WeightCase{"EnlargeMitchell", kMitchell, 10, 20, 7, {{-8, 2}, {186, 3}, {84, 4}, {-5, 5}}},
        WeightCase{"EnlargeLanczos3", kLanczos3, 10, 20, 7, {{8, 1}, {-37, 2}, {212, 3}, {91, 4}, {-23, 5}, {3, 6}}},
        // Near the left edge -2 and -1 mirror to 2 and 1. The 165 is just above 164.5 with pi
        // as 3.1415; with full-precision pi it would round to 164.
        WeightCase{"EnlargeLanczos3NearTheEdge", kLanczos3, 10, 20, 1,
                   {{7, 2}, {-36, 1}, {165, 0}, {147, 1}, {-33, 2}, {6, 3}}},
        // Shrinking 20 -> 10, target 4 at 8.4444 with a reach of 1.0556: both weights are
        // 0.4737 x 256 and their sum 242 normalises them.
        WeightCase{"ShrinkNearest", kNearest, 20, 10, 4, {{121, 8}, {121, 9}}},
        // Enlarging 3 -> 5 with Nearest, target 1 at 0.5: the box is closed at +0.5, so the
        // first candidate of the window is the one taken.
        WeightCase{"NearestHalfwayTakesTheLeftPixel", kNearest, 3, 5, 1, {{256, 0}}},
        // Edges: -1 reads 1 (pixel 0 is not repeated), n reads n - 1 (the last one is).
        WeightCase{"LeftEdgeMirrorsPastPixelZero", kMitchell, 10, 10, 0, {{14, 1}, {228, 0}, {14, 1}}},
        WeightCase{"RightEdgeRepeatsTheLastPixel", kMitchell, 10, 10, 9, {{14, 8}, {228, 9}, {14, 9}}},
        // A one-pixel source enlarged with Bell (scale 4, target 1 at 0.25): position -1 mirrors
        // to 1, outside the source, and falls back to the only pixel there is.
        WeightCase{"OnePixelSourceBell", kBell, 1, 4, 1, {{8, 0}, {176, 0}, {72, 0}}},
        // Shrinking by exactly 512 with Nearest: each weight is 0.5, which rounds to 0.
        WeightCase{"ShrinkBy512LeavesNoContributor", kNearest, 513, 2, 0, {}}),
    test::CaseName());

TEST(ResampleWeightsEverywhere, TiesRoundToEven) {
    // 513 -> 6 shrinks by exactly 5/512, so every Nearest weight is 2.5 and rounds to 2; the
    // window of target 0 spans -51 .. 51, mirrored into the source.
    const Contributors list = ResampleContributors(513, 6, kNearest, 0, 0);
    ASSERT_EQ(list.size(), 103u);
    for (const WeightedPixel& p : list) EXPECT_EQ(p.weight, 2);
    EXPECT_EQ(list.front().index, 51);
    EXPECT_EQ(list.back().index, 51);
}

TEST(ResampleKernels, SingleFloatValues) {
    // Box is closed at +0.5 and open at -0.5.
    EXPECT_EQ(ResampleKernel(kNearest, 0.5f), 1.0f);
    EXPECT_EQ(ResampleKernel(kNearest, -0.5f), 0.0f);
    // Lanczos3 at 1 is tiny but not 0 (sin(3.1415) is not 0), and exactly 0 from 3 on.
    EXPECT_GT(ResampleKernel(kLanczos3, 1.0f), 0.0f);
    EXPECT_LT(ResampleKernel(kLanczos3, 1.0f), 1e-4f);
    EXPECT_EQ(ResampleKernel(kLanczos3, 3.0f), 0.0f);
    EXPECT_EQ(ResampleKernel(kLanczos3, 0.0f), 1.0f);
    // Mitchell: 16/3/6 at 0, negative lobe between 1 and 2.
    EXPECT_EQ(ResampleKernel(kMitchell, 0.0f), static_cast<float>(static_cast<float>(16.0 / 3.0) / 6.0));
    EXPECT_LT(ResampleKernel(kMitchell, 1.5f), 0.0f);
    EXPECT_EQ(ResampleKernel(kBSpline, 0.0f), static_cast<float>(2.0 / 3.0));
    EXPECT_EQ(ResampleKernel(kBell, 1.0f), 0.125f);
    EXPECT_EQ(ResampleScale(10, 20), static_cast<float>(19.0 / 9.0));
    EXPECT_EQ(ResampleScale(1, 20), 20.0f);
    EXPECT_EQ(ResampleScale(20, 1), 0.05f);
}

TEST(ResampleWeightsEverywhere, IndicesStayInsideTinySources) {
    for (int filter = 0; filter < kResampleFilterCount; ++filter)
        for (int n = 1; n <= 6; ++n)
            for (int m = 1; m <= 14; ++m)
                for (int i = 0; i < m; ++i)
                    for (const WeightedPixel& p : ResampleContributors(n, m, filter, 0, i)) {
                        ASSERT_GE(p.index, 0) << filter << " " << n << "->" << m << " at " << i;
                        ASSERT_LT(p.index, n) << filter << " " << n << "->" << m << " at " << i;
                    }
}

// ---------------------------------------------------------------------------------------------
// Pixels

// A one-row (or one-column) grey raster from values.
Raster GreyLine(const std::vector<int>& values, bool vertical = false) {
    const int n = static_cast<int>(values.size());
    Raster r(vertical ? 1 : n, vertical ? n : 1, 24);
    for (int i = 0; i < n; ++i) {
        std::uint8_t* p = vertical ? r.row(i) : r.row(0) + 3 * i;
        p[0] = p[1] = p[2] = static_cast<std::uint8_t>(values[static_cast<std::size_t>(i)]);
    }
    return r;
}

std::vector<int> Line(const Raster& r, int channel = 0) {
    std::vector<int> out;
    if (r.height() == 1)
        for (int x = 0; x < r.width(); ++x) out.push_back(r.row(0)[3 * x + channel]);
    else
        for (int y = 0; y < r.height(); ++y) out.push_back(r.row(y)[channel]);
    return out;
}

Raster RandomRaster(int width, int height, int bits, unsigned seed) {
    std::mt19937 random(seed);
    Raster r(width, height, bits);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = r.row(y);
        for (std::size_t i = 0; i < r.stride(); ++i) row[i] = static_cast<std::uint8_t>(random());
    }
    for (PaletteEntry& e : r.palette())
        e = {static_cast<std::uint8_t>(random()), static_cast<std::uint8_t>(random()),
             static_cast<std::uint8_t>(random()), 0};
    return r;
}

bool SamePixels(const Raster& a, const Raster& b) {
    if (a.width() != b.width() || a.height() != b.height() || a.bitsPerPixel() != b.bitsPerPixel()) return false;
    for (int y = 0; y < a.height(); ++y)
        if (std::memcmp(a.row(y), b.row(y), static_cast<std::size_t>(a.width()) * 3) != 0) return false;
    return true;
}

TEST(ResamplePixels, SameSizeCopiesWithTheSharpFilters) {
    const Raster source = RandomRaster(23, 17, 24, 1);
    for (int filter : {kNearest, kBilinear, kHermite, kLanczos3}) {
        Raster out = ResampleBitmap(source, 23, 17, filter);
        EXPECT_TRUE(SamePixels(out, source)) << "filter " << filter;
    }
}

TEST(ResamplePixels, SameSizeBellSoftens) {
    // 32, 192, 32 around each pixel; pixel 0 mirrors pixel 1 into its left neighbour.
    Raster out = ResampleBitmap(GreyLine({0, 255, 0, 0, 255}), 5, 1, kBell);
    EXPECT_EQ(Line(out), (std::vector<int>{63, 191, 31, 31, 223}));
    // The vertical pass does the same down a column.
    Raster column = ResampleBitmap(GreyLine({0, 255, 0, 0, 255}, true), 1, 5, kBell);
    EXPECT_EQ(Line(column), (std::vector<int>{63, 191, 31, 31, 223}));
}

TEST(ResamplePixels, MitchellDividesBySumAndClamps) {
    // Target 7 of 10 -> 20 is -8 v2 + 186 v3 + 84 v4 - 5 v5 over 257, truncated.
    std::vector<int> values = {0, 0, 100, 200, 50, 250, 0, 0, 0, 0};
    EXPECT_EQ(Line(ResampleBitmap(GreyLine(values), 20, 1, kMitchell))[7], 39350 / 257);
    // Negative lobes push a sum below 0 ...
    values = {0, 0, 255, 0, 0, 255, 0, 0, 0, 0};
    EXPECT_EQ(Line(ResampleBitmap(GreyLine(values), 20, 1, kMitchell))[7], 0);
    // ... and past 255 x the weight sum.
    values = {255, 255, 0, 255, 255, 0, 255, 255, 255, 255};
    EXPECT_EQ(Line(ResampleBitmap(GreyLine(values), 20, 1, kMitchell))[7], 255);
}

TEST(ResamplePixels, ChannelsStayApart) {
    Raster source(3, 1, 24);
    const std::uint8_t bgr[9] = {10, 20, 30, 40, 50, 60, 70, 80, 90};
    std::memcpy(source.row(0), bgr, 9);
    Raster out = ResampleBitmap(source, 5, 1, kBilinear);
    // Scale 2: target 1 sits halfway between pixels 0 and 1 (weights 128, 128).
    EXPECT_EQ(Line(out, 0)[1], 25);
    EXPECT_EQ(Line(out, 1)[1], 35);
    EXPECT_EQ(Line(out, 2)[1], 45);
}

TEST(ResamplePixels, ExtremeShrinkingGivesBlack) {
    // 1/512 with Nearest: every weight rounds to 0, the sums are 0 / 256.
    Raster white(513, 2, 24);
    std::memset(white.data(), 255, white.byteSize());
    EXPECT_EQ(Line(ResampleBitmap(white, 2, 2, kNearest)), (std::vector<int>{0, 0}));
    // Just above 1/512 the weights are 1 and the pixels stay white.
    Raster wider(512, 1, 24);
    std::memset(wider.data(), 255, wider.byteSize());
    EXPECT_EQ(Line(ResampleBitmap(wider, 2, 1, kNearest)), (std::vector<int>{255, 255}));
}

// ---------------------------------------------------------------------------------------------
// The fast resampler against a literal one: per target pixel, the listed contributors, 32-bit
// sums, integer division; a whole intermediate raster between the passes.

Raster ReferenceResample(const Raster& source, int width, int height, int filter) {
    const Raster src = source.ToBgr24();
    const int sw = src.width(), sh = src.height();
    auto sample = [](const Contributors& list, auto value) {
        std::int32_t total = 0, sum = 0;
        for (const WeightedPixel& p : list) {
            total += p.weight * value(p.index);
            sum += p.weight;
        }
        return static_cast<std::uint8_t>(std::clamp(sum != 0 ? total / sum : total / 256, 0, 255));
    };
    std::vector<Contributors> columns, rows;
    for (int x = 0; x < width; ++x) columns.push_back(ResampleContributors(sw, width, filter, 0, x));
    for (int y = 0; y < height; ++y) rows.push_back(ResampleContributors(sh, height, filter, 0, y));
    std::vector<std::uint8_t> work(static_cast<std::size_t>(width) * sh * 3);
    for (int y = 0; y < sh; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                work[(static_cast<std::size_t>(y) * width + x) * 3 + c] =
                    sample(columns[x], [&](int i) { return src.row(y)[3 * i + c]; });
    Raster out(width, height, 24);
    for (int x = 0; x < width; ++x)
        for (int y = 0; y < height; ++y)
            for (int c = 0; c < 3; ++c)
                out.row(y)[3 * x + c] =
                    sample(rows[y], [&](int i) { return work[(static_cast<std::size_t>(i) * width + x) * 3 + c]; });
    return out;
}

TEST(ResampleFastPath, MatchesTheLiteralResamplerByteForByte) {
    std::mt19937 random(7);
    auto length = [&](int max) { return 1 + static_cast<int>(random() % static_cast<unsigned>(max)); };
    for (int round = 0; round < 60; ++round) {
        const int sw = length(round < 20 ? 5 : 90), sh = length(round < 20 ? 5 : 70);
        const int tw = length(round < 20 ? 9 : 130), th = length(round < 20 ? 9 : 110);
        const Raster source = RandomRaster(sw, sh, 24, static_cast<unsigned>(round));
        for (int filter = 0; filter < kResampleFilterCount; ++filter) {
            const Raster fast = ResampleBitmap(source, tw, th, filter);
            ASSERT_TRUE(SamePixels(fast, ReferenceResample(source, tw, th, filter)))
                << sw << "x" << sh << " -> " << tw << "x" << th << " filter " << filter;
            EXPECT_EQ(fast.bitsPerPixel(), 24);
        }
    }
}

TEST(ResampleFastPath, EverySampleLoopGivesTheSameBytes) {
    // The best loops of this processor, SSE2 and the portable ones, on sizes that leave partial
    // vector steps and odd weight counts.
    struct Case {
        int sw, sh, tw, th;
    } cases[] = {{97, 61, 45, 130}, {13, 7, 200, 3}, {300, 200, 37, 23}, {1, 1, 5, 70}};
    for (const Case& c : cases) {
        const Raster source = RandomRaster(c.sw, c.sh, 24, static_cast<unsigned>(c.tw));
        for (int filter = 0; filter < kResampleFilterCount; ++filter) {
            const Raster best = ResampleBitmap(source, c.tw, c.th, filter);
            SetResampleCodeForTesting(ResampleCode::Sse2);
            const Raster sse2 = ResampleBitmap(source, c.tw, c.th, filter);
            SetResampleCodeForTesting(ResampleCode::Portable);
            const Raster portable = ResampleBitmap(source, c.tw, c.th, filter);
            SetResampleCodeForTesting(ResampleCode::Best);
            const Raster reference = ReferenceResample(source, c.tw, c.th, filter);
            EXPECT_TRUE(SamePixels(best, reference)) << c.sw << "x" << c.sh << " filter " << filter;
            EXPECT_TRUE(SamePixels(sse2, reference)) << c.sw << "x" << c.sh << " filter " << filter;
            EXPECT_TRUE(SamePixels(portable, reference)) << c.sw << "x" << c.sh << " filter " << filter;
        }
    }
}

TEST(ResampleFastPath, LargeShrinksAndEnlargementsMatch) {
    // Windows of hundreds of rows (the intermediate ring), wide targets cut into column
    // segments, sources wider than the band of columns taken at once, and targets taller than
    // one table of rows.
    struct Case {
        int sw, sh, tw, th, filter;
    } cases[] = {
        {900, 800, 37, 29, kLanczos3}, {300, 400, 2, 3, kMitchell}, {300, 1000, 22000, 3, kNearest},
        {70000, 3, 40000, 2, kBilinear}, {3, 200, 500, 601, kBell}, {640, 480, 641, 479, kBSpline},
        {2, 3000, 3, 5000, kHermite},
    };
    for (const Case& c : cases) {
        const Raster source = RandomRaster(c.sw, c.sh, 24, static_cast<unsigned>(c.sw + c.th));
        ASSERT_TRUE(SamePixels(ResampleBitmap(source, c.tw, c.th, c.filter),
                               ReferenceResample(source, c.tw, c.th, c.filter)))
            << c.sw << "x" << c.sh << " -> " << c.tw << "x" << c.th << " filter " << c.filter;
    }
}

TEST(ResampleFastPath, EveryDepthReadsLikeItsColours) {
    for (int bits : {1, 4, 8, 32}) {
        const Raster source = RandomRaster(37, 21, bits, static_cast<unsigned>(bits));
        const Raster expanded = source.ToBgr24();
        for (int filter : {kNearest, kLanczos3}) {
            const Raster out = ResampleBitmap(source, 50, 13, filter);
            EXPECT_EQ(out.bitsPerPixel(), 24);
            EXPECT_TRUE(SamePixels(out, ResampleBitmap(expanded, 50, 13, filter))) << bits << " bits";
        }
    }
}

TEST(ResampleFastPath, AreaIsTheCroppedImage) {
    for (int bits : {4, 24, 32}) {
        const Raster source = RandomRaster(41, 33, bits, 99);
        const PixelRect area{5, 7, 29, 19};
        // The crop, made by hand from the colours.
        Raster cropped(area.width, area.height, 24);
        for (int y = 0; y < area.height; ++y)
            for (int x = 0; x < area.width; ++x) {
                Rgb c = source.PixelColour(area.x + x, area.y + y);
                std::uint8_t* p = cropped.row(y) + 3 * x;
                p[0] = c.blue;
                p[1] = c.green;
                p[2] = c.red;
            }
        EXPECT_TRUE(SamePixels(ResampleBitmap(source, area, 16, 40, kMitchell),
                               ResampleBitmap(cropped, 16, 40, kMitchell)))
            << bits << " bits";
    }
}

// ---------------------------------------------------------------------------------------------
// Limits and failures

TEST(ResampleLimits, RefusesBadRequestsWithAMessage) {
    const Raster source = RandomRaster(8, 8, 24, 3);
    auto message = [&](auto call) {
        try {
            call();
        } catch (const Error& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_NE(message([&] { ResampleBitmap(source, 99999, 99999, kLanczos3); }).find("larger than the limit"),
              std::string::npos);
    EXPECT_NE(message([&] { ResampleBitmap(source, 16385, 16384, kLanczos3); }).find("16385x16384"),
              std::string::npos);
    EXPECT_NE(message([&] { ResampleBitmap(source, 0, 5, kLanczos3); }), "no error");
    EXPECT_NE(message([&] { ResampleBitmap(source, 5, 5, 7); }), "no error");
    EXPECT_NE(message([&] { ResampleBitmap(source, 5, 5, kNearest, -1.0f); }), "no error");
    EXPECT_NE(message([&] { ResampleBitmap(source, PixelRect{4, 0, 5, 8}, 5, 5, kNearest); }), "no error");
}

TEST(ResampleLimits, EmptySourceGivesABlackTarget) {
    Raster out = ResampleBitmap(Raster(), 6, 4, kLanczos3);
    ASSERT_EQ(out.width(), 6);
    ASSERT_EQ(out.height(), 4);
    EXPECT_EQ(out.bitsPerPixel(), 24);
    for (int y = 0; y < 4; ++y)
        for (int i = 0; i < 18; ++i) EXPECT_EQ(out.row(y)[i], 0);
}

TEST(ResampleLimits, LongLinesShrinkAndGrow) {
    // A line of 2^20 pixels to 3 (every weight 0 with Nearest, tiny ones with Lanczos3) and a
    // single pixel to a line of 2^18: both end quickly with the documented values.
    Raster line(1 << 20, 1, 24);
    std::memset(line.data(), 200, line.byteSize());
    EXPECT_EQ(Line(ResampleBitmap(line, 3, 1, kNearest)), (std::vector<int>{0, 0, 0}));
    Raster dot(1, 1, 24);
    std::memset(dot.data(), 77, 3);
    const Raster grown = ResampleBitmap(dot, 1 << 18, 1, kLanczos3);
    EXPECT_EQ(grown.row(0)[0], 77);
    EXPECT_EQ(grown.row(0)[3 * ((1 << 18) - 1) + 2], 77);
}

}  // namespace
}  // namespace zelvan
