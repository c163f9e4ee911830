#include "imaging/resample.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <new>
#include <string>

#include "base/error.h"

// On x86-64 the sample loops exist for SSE2 (every such processor) and for AVX2, picked when a
// resize starts; elsewhere plain loops do the same arithmetic.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define ZELVAN_RESAMPLE_X86 1
#define ZELVAN_TARGET_AVX2 __attribute__((target("avx2")))
#define ZELVAN_AVX2_INLINE inline __attribute__((always_inline, target("avx2")))
#endif
#define ZELVAN_ALWAYS_INLINE inline __attribute__((always_inline))

namespace zelvan {
namespace {

// ---------------------------------------------------------------------------------------------
// Kernels. Arguments and results are single precision: each expression is worked out in double
// and rounded to float where it is formed, the named intermediate values (t, u, p, y) included.
// The weights, and so every resized pixel, depend on these roundings.

float KernelBox(float x) { return (x > -0.5f && x <= 0.5f) ? 1.0f : 0.0f; }  // open at -0.5

float KernelTriangle(float x) {
    const float a = std::fabs(x);
    return a < 1.0f ? static_cast<float>(1.0 - a) : 0.0f;
}

float KernelHermite(float x) {
    const double a = std::fabs(x);
    return a < 1.0 ? static_cast<float>(a * a * (2.0 * a - 3.0) + 1.0) : 0.0f;
}

float KernelBell(float x) {
    const float a = std::fabs(x);
    if (a < 0.5f) return static_cast<float>(0.75 - static_cast<double>(a) * a);
    if (a < 1.5f) {
        const float t = static_cast<float>(a - 1.5);
        return static_cast<float>(0.5 * t * t);
    }
    return 0.0f;
}

float KernelBSpline(float x) {
    const float a = std::fabs(x);
    if (a < 1.0f) {
        const float t = static_cast<float>(static_cast<double>(a) * a);
        return static_cast<float>(0.5 * t * a - t + 2.0 / 3.0);
    }
    if (a < 2.0f) {
        const float u = static_cast<float>(2.0 - a);
        return static_cast<float>(static_cast<double>(u) * u * u / 6.0);
    }
    return 0.0f;
}

// Pi is 3.1415 here, not full precision: the Lanczos3 weights are made with that value (full
// precision moves some of them by one).
float KernelSinc(float x) {
    if (x == 0.0f) return 1.0f;
    const float y = static_cast<float>(x * 3.1415);
    return static_cast<float>(std::sin(static_cast<double>(y)) / y);
}

float KernelLanczos3(float x) {
    const float a = std::fabs(x);
    if (a >= 3.0f) return 0.0f;
    const float near = KernelSinc(a);
    const float far = KernelSinc(static_cast<float>(a / 3.0));
    return static_cast<float>(static_cast<double>(near) * far);
}

// Mitchell-Netravali with B = C = 1/3.
float KernelMitchell(float x) {
    const float a = std::fabs(x);
    const float t = static_cast<float>(static_cast<double>(a) * a);
    if (a < 1.0f) {
        const float p = static_cast<float>(7.0 * a * t - 12.0 * t + 16.0 / 3.0);
        return static_cast<float>(p / 6.0);
    }
    if (a < 2.0f) {
        const float p = static_cast<float>(-(7.0 / 3.0) * a * t + 12.0 * t - 20.0 * a + 32.0 / 3.0);
        return static_cast<float>(p / 6.0);
    }
    return 0.0f;
}

using KernelFn = float (*)(float);

struct FilterRow {
    KernelFn kernel;
    float radius;  // the default radius, which is also where the kernel becomes 0
};

constexpr FilterRow kFilters[kResampleFilterCount] = {
    {KernelBox, 0.5f},     {KernelTriangle, 1.0f}, {KernelHermite, 1.0f},  {KernelBell, 1.5f},
    {KernelBSpline, 2.0f}, {KernelLanczos3, 3.0f}, {KernelMitchell, 2.0f},
};

const FilterRow& Filter(int filter) {
    if (filter < 0 || filter >= kResampleFilterCount)
        throw Error("Resize: unknown resampling filter " + std::to_string(filter));
    return kFilters[filter];
}

// Weights round to the nearest integer, ties to even (the default floating-point rounding).
std::int32_t RoundWeight(double v) { return static_cast<std::int32_t>(std::nearbyint(v)); }

// ---------------------------------------------------------------------------------------------
// Contributor tables.

struct Axis {
    int sourceLength = 0;
    int targetLength = 0;
    float scale = 1.0f;
    float reach = 0.0f;  // half-width of the window of candidate source positions
    bool shrinking = false;
    KernelFn kernel = nullptr;
    // Source pixels a target pixel can draw on at most; bounds the intermediate rows kept.
    std::int64_t maxSpan = 0;
    // No kernel value exceeds 1, so when scale x 256 is at most 0.5 every shrinking weight
    // rounds to 0 (0.5 rounds to even): the windows need not be visited at all.
    bool allZero = false;
};

Axis MakeAxis(int sourceLength, int targetLength, int filter, float radius) {
    const FilterRow& row = Filter(filter);
    Axis a;
    a.sourceLength = sourceLength;
    a.targetLength = targetLength;
    a.scale = ResampleScale(sourceLength, targetLength);
    a.shrinking = a.scale < 1.0f;
    a.reach = a.shrinking ? static_cast<float>(static_cast<double>(radius) / a.scale) : radius;
    a.kernel = row.kernel;
    a.allZero = a.shrinking && a.scale * 256.0 <= 0.5;
    // The kernel is 0 beyond its own radius, so a larger radius only adds zero weights. The
    // margin covers the float rounding of the kernel argument and the edge reflection.
    const double halfWidth = static_cast<double>(std::min(radius, row.radius)) / (a.shrinking ? a.scale : 1.0f);
    a.maxSpan = std::min<std::int64_t>(sourceLength, static_cast<std::int64_t>(std::ceil(2.0 * halfWidth)) + 8);
    return a;
}

// Maps a candidate position into the source: a mirror at the start that leaves pixel 0 single
// (-1 reads 1), one at the end that repeats the last pixel (n reads n - 1), and the edge pixel
// itself where a very short source is left even by the mirror.
std::int32_t ReflectIndex(std::int64_t j, std::int64_t n) {
    std::int64_t r = j;
    if (j < 0)
        r = -j;
    else if (j >= n)
        r = 2 * n - j - 1;
    if (r < 0 || r >= n) r = j < 0 ? 0 : n - 1;
    return static_cast<std::int32_t>(r);
}

// Calls visit(weight, index) for each non-zero contributor of target index i, in the order of
// the candidate positions.
template <class Visit>
void VisitContributors(const Axis& a, int i, Visit&& visit) {
    if (a.allZero) return;
    const float centre = static_cast<float>(static_cast<double>(i) / a.scale);
    const auto first = static_cast<std::int64_t>(std::floor(static_cast<double>(centre) - a.reach));
    const auto last = static_cast<std::int64_t>(std::ceil(static_cast<double>(centre) + a.reach));
    for (std::int64_t j = first; j <= last; ++j) {
        const double distance = static_cast<double>(centre) - static_cast<double>(j);
        std::int32_t weight;
        if (a.shrinking) {
            // The kernel is stretched by 1 / scale and its height scaled down to match.
            const float value = a.kernel(static_cast<float>(distance * a.scale));
            weight = RoundWeight(static_cast<double>(value) * a.scale * 256.0);
        } else {
            weight = RoundWeight(static_cast<double>(a.kernel(static_cast<float>(distance))) * 256.0);
        }
        if (weight != 0) visit(weight, ReflectIndex(j, a.sourceLength));
    }
}

// The contributors of a run of target indices in a dense form: for each target, the weights of
// the consecutive source indices first .. first + count - 1 (a source index reached twice by
// the edge reflection gets the sum of its weights, which leaves every sum unchanged) and the
// divisor of its sums. The weights are kept in 16 bits, padded with a 0 to an even count, as
// the sample loops take them in pairs.
class AxisTable {
public:
    struct Entry {
        std::int32_t first = 0;
        std::int32_t count = 0;
        std::size_t offset = 0;
        std::int32_t divisor = 256;
    };

    void Build(const Axis& a, int begin, int end) {
        begin_ = begin;
        entries_.clear();
        weights_.clear();
        spanFirst_ = a.sourceLength;
        spanLast_ = -1;
        entries_.reserve(static_cast<std::size_t>(end - begin));
        for (int i = begin; i < end; ++i) {
            scratch_.clear();
            VisitContributors(a, i, [&](std::int32_t w, std::int32_t index) { scratch_.push_back({w, index}); });
            Entry e;
            e.offset = weights_.size();
            if (!scratch_.empty()) {
                std::int32_t lo = scratch_.front().index, hi = lo;
                for (const WeightedPixel& p : scratch_) {
                    lo = std::min(lo, p.index);
                    hi = std::max(hi, p.index);
                }
                dense_.assign(static_cast<std::size_t>(hi - lo) + 1, 0);
                std::int64_t sum = 0, magnitude = 0;
                for (const WeightedPixel& p : scratch_) {
                    dense_[static_cast<std::size_t>(p.index - lo)] += p.weight;
                    sum += p.weight;
                    magnitude += std::abs(p.weight);
                }
                // Weights never exceed 256 and cover a few kernel widths, so these hold with a
                // wide margin; they keep the 16-bit weights, the 32-bit sums and the division
                // of the sample loops exact.
                if (magnitude > 32767 || std::abs(sum) > 65536) throw Error("Resize: resampling weights out of range");
                // Reflected weights that cancel out leave zeros at the ends: trim them.
                std::size_t from = 0, to = dense_.size();
                while (to - from > 1 && dense_[from] == 0) ++from;
                while (to - from > 1 && dense_[to - 1] == 0) --to;
                e.first = lo + static_cast<std::int32_t>(from);
                e.count = static_cast<std::int32_t>(to - from);
                for (std::size_t k = from; k < to; ++k) weights_.push_back(static_cast<std::int16_t>(dense_[k]));
                if (e.count % 2 != 0) weights_.push_back(0);
                e.divisor = sum != 0 ? static_cast<std::int32_t>(sum) : 256;
                spanFirst_ = std::min(spanFirst_, e.first);
                spanLast_ = std::max(spanLast_, e.first + e.count - 1);
            }
            entries_.push_back(e);
        }
    }

    const Entry& entry(int target) const { return entries_[static_cast<std::size_t>(target - begin_)]; }
    const std::int16_t* weights(const Entry& e) const { return weights_.data() + e.offset; }
    // The source indices used by the whole run (first > last when none is).
    std::int32_t spanFirst() const { return spanFirst_; }
    std::int32_t spanLast() const { return spanLast_; }

private:
    int begin_ = 0;
    std::vector<Entry> entries_;
    std::vector<std::int16_t> weights_;
    std::vector<WeightedPixel> scratch_;
    std::vector<std::int32_t> dense_;
    std::int32_t spanFirst_ = 0;
    std::int32_t spanLast_ = -1;
};

// ---------------------------------------------------------------------------------------------
// Sample loops. Each value is the sum of weight x value over its contributors in 32-bit
// integers, divided by the divisor with truncation toward zero and clamped to 0..255.
//
// The vector loops multiply pairs of 16-bit values by pairs of 16-bit weights (pmaddwd), which
// is exact: values are at most 255 and the weights of one target at most 32767 in magnitude
// all together, so no product or sum leaves 32 bits.
//
// They divide in single precision, and that gives the integer quotient exactly where it
// matters: the divisor is an integer of at most 65536 in magnitude, so a quotient in 0..255 has
// a sum below 2^24 (exact as a float) and lies at least 1/65536 below the next integer, more
// than half a float step at that size; correctly rounded division never reaches that integer,
// and truncation gives the integer quotient. Quotients of 256 and more, or below 0, stay on
// their side of the clamp since rounding is monotonic. The saturating packs to 16 and then to
// 8 bits are the clamp.

constexpr int kBandRows = 16;              // source rows the horizontal pass takes at once
constexpr int kBandLanes = kBandRows * 3;  // values per source column of a band
constexpr std::size_t kRowAlign = 64;      // intermediate rows are readable up to a multiple of this

// Target columns x0 .. x1 - 1 of `rowCount` band rows. The band holds its rows column by
// column: source column j at band + (j - bandFirst) * 48, 16 rows of blue, green, red. Target
// column x of band row r goes to rows[r] + (x - x0) * 3.
using BandColumnsFn = void (*)(const AxisTable& table, int x0, int x1, const std::uint8_t* band,
                               std::int32_t bandFirst, int rowCount, std::uint8_t* const* rows);
// One target row of the vertical pass: `lanes` values from the rows taps[0 .. count - 1]
// (count even, weights in pairs). The rows are readable up to `lanes` rounded up to 64.
using RowLanesFn = void (*)(const std::uint8_t* const* taps, const std::int16_t* w, int count, std::int32_t divisor,
                            std::size_t lanes, std::uint8_t* out);

// Copies `columns` pixels of `rowCount` source rows (3 or 4 bytes each, the first three being
// blue, green, red) into the band, column by column. Each row pointer may be read up to
// `readable` bytes.
using FillBandFn = void (*)(const std::uint8_t* const* rows, int rowCount, int pixelBytes, int columns,
                            std::size_t readable, std::uint8_t* band);

ZELVAN_ALWAYS_INLINE const std::uint8_t* BandColumn(const AxisTable::Entry& e, const std::uint8_t* band,
                                                    std::int32_t bandFirst) {
    return e.count > 0 ? band + static_cast<std::size_t>(e.first - bandFirst) * kBandLanes : band;
}

ZELVAN_ALWAYS_INLINE void StoreColumn(const std::uint8_t* samples, int column, int rowCount,
                                      std::uint8_t* const* rows) {
    const std::size_t offset = static_cast<std::size_t>(column) * 3;
    for (int r = 0; r < rowCount; ++r) std::memcpy(rows[r] + offset, samples + r * 3, 3);
}

std::uint8_t PortableSample(std::int32_t sum, std::int32_t divisor) {
    return static_cast<std::uint8_t>(std::clamp(sum / divisor, 0, 255));
}

void FillBandRows(const std::uint8_t* const* rows, int rowFirst, int rowCount, int pixelBytes, int columnFirst,
                  int columns, std::uint8_t* band) {
    for (int r = rowFirst; r < rowCount; ++r) {
        const std::uint8_t* src = rows[r] + static_cast<std::size_t>(columnFirst) * pixelBytes;
        std::uint8_t* dst = band + static_cast<std::size_t>(columnFirst) * kBandLanes + r * 3;
        for (int j = columnFirst; j < columns; ++j, src += pixelBytes, dst += kBandLanes) std::memcpy(dst, src, 3);
    }
}

void FillBandPortable(const std::uint8_t* const* rows, int rowCount, int pixelBytes, int columns, std::size_t,
                      std::uint8_t* band) {
    FillBandRows(rows, 0, rowCount, pixelBytes, 0, columns, band);
}

void BandColumnsPortable(const AxisTable& table, int x0, int x1, const std::uint8_t* band, std::int32_t bandFirst,
                         int rowCount, std::uint8_t* const* rows) {
    std::uint8_t samples[kBandLanes];
    for (int x = x0; x < x1; ++x) {
        const AxisTable::Entry& e = table.entry(x);
        const std::int16_t* w = table.weights(e);
        const std::uint8_t* p = BandColumn(e, band, bandFirst);
        std::int32_t sums[kBandLanes] = {};
        for (int k = 0; k < e.count; ++k, p += kBandLanes)
            for (int i = 0; i < kBandLanes; ++i) sums[i] += w[k] * p[i];
        for (int i = 0; i < kBandLanes; ++i) samples[i] = PortableSample(sums[i], e.divisor);
        StoreColumn(samples, x - x0, rowCount, rows);
    }
}

void RowLanesPortable(const std::uint8_t* const* taps, const std::int16_t* w, int count, std::int32_t divisor,
                      std::size_t lanes, std::uint8_t* out) {
    for (std::size_t i = 0; i < lanes; ++i) {
        std::int32_t sum = 0;
        for (int k = 0; k < count; ++k) sum += w[k] * taps[k][i];
        out[i] = PortableSample(sum, divisor);
    }
}

#ifdef ZELVAN_RESAMPLE_X86

ZELVAN_ALWAYS_INLINE std::int32_t WeightPair(const std::int16_t* w) {
    std::int32_t pair;
    std::memcpy(&pair, w, sizeof pair);
    return pair;
}

ZELVAN_ALWAYS_INLINE __m128i LoadBytes(const std::uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// sum[0..3] (lanes 0-3, 4-7, 8-11, 12-15) += w0 * a + w1 * b over 16 byte lanes.
ZELVAN_ALWAYS_INLINE void AddPairSse2(const std::uint8_t* a, const std::uint8_t* b, __m128i pair, __m128i* sum) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i va = LoadBytes(a), vb = LoadBytes(b);
    const __m128i lo = _mm_unpacklo_epi8(va, vb), hi = _mm_unpackhi_epi8(va, vb);  // a0 b0 a1 b1 ...
    sum[0] = _mm_add_epi32(sum[0], _mm_madd_epi16(_mm_unpacklo_epi8(lo, zero), pair));
    sum[1] = _mm_add_epi32(sum[1], _mm_madd_epi16(_mm_unpackhi_epi8(lo, zero), pair));
    sum[2] = _mm_add_epi32(sum[2], _mm_madd_epi16(_mm_unpacklo_epi8(hi, zero), pair));
    sum[3] = _mm_add_epi32(sum[3], _mm_madd_epi16(_mm_unpackhi_epi8(hi, zero), pair));
}

ZELVAN_ALWAYS_INLINE __m128i QuotientSse2(__m128i sum, __m128 divisor) {
    return _mm_cvttps_epi32(_mm_div_ps(_mm_cvtepi32_ps(sum), divisor));
}

ZELVAN_ALWAYS_INLINE void FinishSse2(const __m128i* sum, __m128 divisor, std::uint8_t* out) {
    const __m128i low = _mm_packs_epi32(QuotientSse2(sum[0], divisor), QuotientSse2(sum[1], divisor));
    const __m128i high = _mm_packs_epi32(QuotientSse2(sum[2], divisor), QuotientSse2(sum[3], divisor));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(low, high));
}

void BandColumnsSse2(const AxisTable& table, int x0, int x1, const std::uint8_t* band, std::int32_t bandFirst,
                     int rowCount, std::uint8_t* const* rows) {
    alignas(16) std::uint8_t samples[kBandLanes];
    for (int x = x0; x < x1; ++x) {
        const AxisTable::Entry& e = table.entry(x);
        const std::int16_t* w = table.weights(e);
        const std::uint8_t* p = BandColumn(e, band, bandFirst);
        __m128i sum[12];
        for (__m128i& s : sum) s = _mm_setzero_si128();
        for (int k = 0; k < e.count; k += 2, p += 2 * kBandLanes) {
            const __m128i pair = _mm_set1_epi32(WeightPair(w + k));
            const std::uint8_t* q = k + 1 < e.count ? p + kBandLanes : p;  // the padding weight is 0
            AddPairSse2(p, q, pair, sum);
            AddPairSse2(p + 16, q + 16, pair, sum + 4);
            AddPairSse2(p + 32, q + 32, pair, sum + 8);
        }
        const __m128 divisor = _mm_set1_ps(static_cast<float>(e.divisor));
        FinishSse2(sum, divisor, samples);
        FinishSse2(sum + 4, divisor, samples + 16);
        FinishSse2(sum + 8, divisor, samples + 32);
        StoreColumn(samples, x - x0, rowCount, rows);
    }
}

void RowLanesSse2(const std::uint8_t* const* taps, const std::int16_t* w, int count, std::int32_t divisor,
                  std::size_t lanes, std::uint8_t* out) {
    constexpr std::size_t kStep = 32;
    alignas(16) std::uint8_t tail[kStep];
    const __m128 d = _mm_set1_ps(static_cast<float>(divisor));
    for (std::size_t t = 0; t < lanes; t += kStep) {
        __m128i sum[8];
        for (__m128i& s : sum) s = _mm_setzero_si128();
        for (int k = 0; k < count; k += 2) {
            const std::int32_t weights = WeightPair(w + k);
            if (weights == 0) continue;
            const __m128i pair = _mm_set1_epi32(weights);
            AddPairSse2(taps[k] + t, taps[k + 1] + t, pair, sum);
            AddPairSse2(taps[k] + t + 16, taps[k + 1] + t + 16, pair, sum + 4);
        }
        const bool whole = t + kStep <= lanes;
        std::uint8_t* dst = whole ? out + t : tail;
        FinishSse2(sum, d, dst);
        FinishSse2(sum + 4, d, dst + 16);
        if (!whole) std::memcpy(out + t, tail, lanes - t);
    }
}

// sum[0] (lanes 0-3 | 8-11) and sum[1] (lanes 4-7 | 12-15) += w0 * a + w1 * b over 16 lanes.
ZELVAN_AVX2_INLINE void AddPairAvx2(const std::uint8_t* a, const std::uint8_t* b, __m256i pair, __m256i* sum) {
    const __m256i va = _mm256_cvtepu8_epi16(LoadBytes(a)), vb = _mm256_cvtepu8_epi16(LoadBytes(b));
    sum[0] = _mm256_add_epi32(sum[0], _mm256_madd_epi16(_mm256_unpacklo_epi16(va, vb), pair));
    sum[1] = _mm256_add_epi32(sum[1], _mm256_madd_epi16(_mm256_unpackhi_epi16(va, vb), pair));
}

ZELVAN_AVX2_INLINE __m256i QuotientAvx2(__m256i sum, __m256 divisor) {
    return _mm256_cvttps_epi32(_mm256_div_ps(_mm256_cvtepi32_ps(sum), divisor));
}

ZELVAN_AVX2_INLINE void FinishAvx2(const __m256i* sum, __m256 divisor, std::uint8_t* out) {
    // The in-lane packs undo the in-lane interleave: words 0-7 | 8-15, then bytes 0-7 0-7 |
    // 8-15 8-15, of which quadwords 0 and 2 are the 16 results in order.
    const __m256i words = _mm256_packs_epi32(QuotientAvx2(sum[0], divisor), QuotientAvx2(sum[1], divisor));
    const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(words, words), 0x08);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(bytes));
}

// Four rows by four pixels at a time: the pixels widened to 32 bits, a 4x4 transpose, and
// each column's four pixels packed back to 12 bytes.
ZELVAN_TARGET_AVX2
void FillBandAvx2(const std::uint8_t* const* rows, int rowCount, int pixelBytes, int columns, std::size_t readable,
                  std::uint8_t* band) {
    const __m128i widen = pixelBytes == 3 ? _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1)
                                          : _mm_setr_epi8(0, 1, 2, -1, 4, 5, 6, -1, 8, 9, 10, -1, 12, 13, 14, -1);
    const __m128i pack = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    // Whole 16-byte loads stay inside what each row may read.
    const int vectorColumns =
        readable < 16 ? 0 : std::min(columns, static_cast<int>((readable - 16) / static_cast<std::size_t>(pixelBytes)) + 1) / 4 * 4;
    const int vectorRows = rowCount / 4 * 4;
    for (int r = 0; r < vectorRows; r += 4) {
        const std::uint8_t* s0 = rows[r];
        const std::uint8_t* s1 = rows[r + 1];
        const std::uint8_t* s2 = rows[r + 2];
        const std::uint8_t* s3 = rows[r + 3];
        std::uint8_t* dst = band + r * 3;
        for (int j = 0; j < vectorColumns; j += 4) {
            const std::size_t at = static_cast<std::size_t>(j) * pixelBytes;
            const __m128i a = _mm_shuffle_epi8(LoadBytes(s0 + at), widen);
            const __m128i b = _mm_shuffle_epi8(LoadBytes(s1 + at), widen);
            const __m128i c = _mm_shuffle_epi8(LoadBytes(s2 + at), widen);
            const __m128i d = _mm_shuffle_epi8(LoadBytes(s3 + at), widen);
            const __m128i ab01 = _mm_unpacklo_epi32(a, b), cd01 = _mm_unpacklo_epi32(c, d);
            const __m128i ab23 = _mm_unpackhi_epi32(a, b), cd23 = _mm_unpackhi_epi32(c, d);
            const __m128i column[4] = {_mm_unpacklo_epi64(ab01, cd01), _mm_unpackhi_epi64(ab01, cd01),
                                       _mm_unpacklo_epi64(ab23, cd23), _mm_unpackhi_epi64(ab23, cd23)};
            for (int k = 0; k < 4; ++k) {
                const __m128i packed = _mm_shuffle_epi8(column[k], pack);
                std::uint8_t* out = dst + static_cast<std::size_t>(j + k) * kBandLanes;
                _mm_storel_epi64(reinterpret_cast<__m128i*>(out), packed);
                const std::int32_t last = _mm_cvtsi128_si32(_mm_srli_si128(packed, 8));
                std::memcpy(out + 8, &last, 4);
            }
        }
    }
    FillBandRows(rows, 0, vectorRows, pixelBytes, vectorColumns, columns, band);
    FillBandRows(rows, vectorRows, rowCount, pixelBytes, 0, columns, band);
}

ZELVAN_TARGET_AVX2
void BandColumnsAvx2(const AxisTable& table, int x0, int x1, const std::uint8_t* band, std::int32_t bandFirst,
                     int rowCount, std::uint8_t* const* rows) {
    alignas(16) std::uint8_t samples[kBandLanes];
    for (int x = x0; x < x1; ++x) {
        const AxisTable::Entry& e = table.entry(x);
        const std::int16_t* w = table.weights(e);
        const std::uint8_t* p = BandColumn(e, band, bandFirst);
        __m256i sum[6];
        for (__m256i& s : sum) s = _mm256_setzero_si256();
        for (int k = 0; k < e.count; k += 2, p += 2 * kBandLanes) {
            const __m256i pair = _mm256_set1_epi32(WeightPair(w + k));
            const std::uint8_t* q = k + 1 < e.count ? p + kBandLanes : p;  // the padding weight is 0
            AddPairAvx2(p, q, pair, sum);
            AddPairAvx2(p + 16, q + 16, pair, sum + 2);
            AddPairAvx2(p + 32, q + 32, pair, sum + 4);
        }
        const __m256 divisor = _mm256_set1_ps(static_cast<float>(e.divisor));
        FinishAvx2(sum, divisor, samples);
        FinishAvx2(sum + 2, divisor, samples + 16);
        FinishAvx2(sum + 4, divisor, samples + 32);
        StoreColumn(samples, x - x0, rowCount, rows);
    }
}

ZELVAN_TARGET_AVX2
void RowLanesAvx2(const std::uint8_t* const* taps, const std::int16_t* w, int count, std::int32_t divisor,
                  std::size_t lanes, std::uint8_t* out) {
    constexpr std::size_t kStep = 64;
    alignas(16) std::uint8_t tail[kStep];
    const __m256 d = _mm256_set1_ps(static_cast<float>(divisor));
    for (std::size_t t = 0; t < lanes; t += kStep) {
        __m256i sum[8];
        for (__m256i& s : sum) s = _mm256_setzero_si256();
        for (int k = 0; k < count; k += 2) {
            const std::int32_t weights = WeightPair(w + k);
            if (weights == 0) continue;
            const __m256i pair = _mm256_set1_epi32(weights);
            const std::uint8_t* a = taps[k] + t;
            const std::uint8_t* b = taps[k + 1] + t;
            AddPairAvx2(a, b, pair, sum);
            AddPairAvx2(a + 16, b + 16, pair, sum + 2);
            AddPairAvx2(a + 32, b + 32, pair, sum + 4);
            AddPairAvx2(a + 48, b + 48, pair, sum + 6);
        }
        const bool whole = t + kStep <= lanes;
        std::uint8_t* dst = whole ? out + t : tail;
        FinishAvx2(sum, d, dst);
        FinishAvx2(sum + 2, d, dst + 16);
        FinishAvx2(sum + 4, d, dst + 32);
        FinishAvx2(sum + 6, d, dst + 48);
        if (!whole) std::memcpy(out + t, tail, lanes - t);
    }
}

#endif  // ZELVAN_RESAMPLE_X86

struct SampleLoops {
    FillBandFn fillBand;
    BandColumnsFn bandColumns;
    RowLanesFn rowLanes;
};

std::atomic<ResampleCode> g_resampleCode{ResampleCode::Best};

SampleLoops ChooseSampleLoops() {
    const ResampleCode code = g_resampleCode.load(std::memory_order_relaxed);
    if (code == ResampleCode::Portable) return {FillBandPortable, BandColumnsPortable, RowLanesPortable};
#ifdef ZELVAN_RESAMPLE_X86
    if (code == ResampleCode::Best && __builtin_cpu_supports("avx2"))
        return {FillBandAvx2, BandColumnsAvx2, RowLanesAvx2};
    return {FillBandPortable, BandColumnsSse2, RowLanesSse2};
#else
    return {FillBandPortable, BandColumnsPortable, RowLanesPortable};
#endif
}

// ---------------------------------------------------------------------------------------------
// The two passes, streamed: the vertical pass walks the target rows in order and asks for the
// intermediate rows it needs; they are made a band at a time into a ring that holds just the
// rows a few windows span. The target is also cut into column segments when its width would
// make that ring, or the band of source columns, too large.

constexpr std::size_t kRingBudgetBytes = std::size_t{32} << 20;
constexpr std::int64_t kMaxBandColumns = 65536;
constexpr int kRowsPerTable = 4096;

class Resampler {
public:
    Resampler(const Raster& source, const PixelRect& area, Raster& target, int filter, float radius)
        : source_(source),
          area_(area),
          target_(target),
          horizontal_(MakeAxis(area.width, target.width(), filter, radius)),
          vertical_(MakeAxis(area.height, target.height(), filter, radius)),
          loops_(ChooseSampleLoops()) {}

    void Run() {
        ringRows_ = static_cast<int>(std::min<std::int64_t>(area_.height, vertical_.maxSpan + kBandRows));
        const auto ringColumns = static_cast<int>(std::max<std::int64_t>(
            kBandRows, static_cast<std::int64_t>(kRingBudgetBytes / (static_cast<std::size_t>(ringRows_) * 3))));
        const int width = target_.width();
        for (int x0 = 0; x0 < width;) {
            int columns = std::min(width - x0, ringColumns);
            for (;;) {
                columnTable_.Build(horizontal_, x0, x0 + columns);
                if (columns == 1 || columnTable_.spanLast() - columnTable_.spanFirst() < kMaxBandColumns) break;
                columns = std::max(1, columns / 2);
            }
            ResampleSegment(x0, x0 + columns);
            x0 += columns;
        }
    }

private:
    void ResampleSegment(int x0, int x1) {
        segmentFirst_ = x0;
        segmentLast_ = x1;
        const std::size_t lanes = static_cast<std::size_t>(x1 - x0) * 3;
        ringStride_ = (lanes + kRowAlign - 1) / kRowAlign * kRowAlign;
        ring_.assign(ringStride_ * static_cast<std::size_t>(ringRows_), 0);
        ringHolds_.assign(static_cast<std::size_t>(ringRows_), -1);
        nextRow_ = 0;
        const std::int64_t bandColumns = columnTable_.spanLast() - columnTable_.spanFirst() + 1;
        band_.assign(static_cast<std::size_t>(std::max<std::int64_t>(bandColumns, 1)) * kBandLanes, 0);

        std::vector<const std::uint8_t*> taps;
        const int height = target_.height();
        for (int y0 = 0; y0 < height; y0 += kRowsPerTable) {
            const int y1 = std::min(height, y0 + kRowsPerTable);
            rowTable_.Build(vertical_, y0, y1);
            for (int y = y0; y < y1; ++y) {
                const AxisTable::Entry& e = rowTable_.entry(y);
                const std::int16_t* w = rowTable_.weights(e);
                if (e.count > ringRows_) throw Error("Resize: resampling window larger than expected");
                // Every needed row is made once in the common case; a row the ring has already
                // dropped is made again on its own (the ring spans every window, so that never
                // drops another row of this window).
                for (int pass = 0; pass < 2; ++pass)
                    for (int k = 0; k < e.count; ++k)
                        if (w[k] != 0 && !Holds(e.first + k)) MakeRows(e.first + k, pass == 0);
                // The weights come in pairs; an odd count's last partner has weight 0 and
                // reads the same row.
                const int paired = (e.count + 1) / 2 * 2;
                taps.resize(static_cast<std::size_t>(paired));
                for (int k = 0; k < paired; ++k)
                    taps[static_cast<std::size_t>(k)] = RingRow(e.first + std::min(k, e.count - 1));
                loops_.rowLanes(taps.data(), w, paired, e.divisor, lanes,
                                target_.row(y) + static_cast<std::size_t>(x0) * 3);
            }
        }
    }

    std::uint8_t* RingRow(int row) {
        return ring_.data() + static_cast<std::size_t>(row % ringRows_) * ringStride_;
    }
    bool Holds(int row) const { return ringHolds_[static_cast<std::size_t>(row % ringRows_)] == row; }

    // Makes intermediate row `row` (with the band of rows after it when `ahead`).
    void MakeRows(int row, bool ahead) {
        int count = 1;
        if (ahead && row >= nextRow_) {
            count = std::min(kBandRows, area_.height - row);
            nextRow_ = row + count;
        }
        FillBand(row, count);
        std::uint8_t* rows[kBandRows];
        for (int r = 0; r < count; ++r) {
            rows[r] = RingRow(row + r);
            ringHolds_[static_cast<std::size_t>((row + r) % ringRows_)] = row + r;
        }
        loops_.bandColumns(columnTable_, segmentFirst_, segmentLast_, band_.data(), columnTable_.spanFirst(), count,
                           rows);
    }

    // Copies source rows first .. first + count - 1 of the area, over the segment's span of
    // columns, into the band, column by column.
    void FillBand(int first, int count) {
        const std::int32_t spanFirst = columnTable_.spanFirst();
        const std::int32_t spanLast = columnTable_.spanLast();
        if (spanLast < spanFirst) return;
        // Lanes of rows past `count` keep whatever they held: they are worked out and dropped.
        const int columns = spanLast - spanFirst + 1;
        const int x = area_.x + spanFirst;
        const int depth = source_.bitsPerPixel();
        if (depth >= 24) {
            const int pixelBytes = depth / 8;
            const std::size_t offset = static_cast<std::size_t>(x) * pixelBytes;
            const std::uint8_t* rows[kBandRows];
            for (int r = 0; r < count; ++r) rows[r] = source_.row(area_.y + first + r) + offset;
            loops_.fillBand(rows, count, pixelBytes, columns, source_.stride() - offset, band_.data());
            return;
        }
        const int perByte = 8 / depth;
        const unsigned mask = (1u << depth) - 1;
        const std::vector<PaletteEntry>& palette = source_.palette();
        for (int r = 0; r < count; ++r) {
            const std::uint8_t* src = source_.row(area_.y + first + r);
            std::uint8_t* dst = band_.data() + r * 3;
            for (int j = 0; j < columns; ++j, dst += kBandLanes) {
                const int column = x + j;
                const int shift = 8 - depth * (column % perByte + 1);
                const PaletteEntry& c = palette[(src[column / perByte] >> shift) & mask];
                dst[0] = c.blue;
                dst[1] = c.green;
                dst[2] = c.red;
            }
        }
    }

    const Raster& source_;
    PixelRect area_;
    Raster& target_;
    Axis horizontal_;
    Axis vertical_;
    SampleLoops loops_;
    AxisTable columnTable_;
    AxisTable rowTable_;
    int segmentFirst_ = 0;
    int segmentLast_ = 0;
    int ringRows_ = 1;
    std::size_t ringStride_ = 0;
    std::vector<std::uint8_t> ring_;
    std::vector<int> ringHolds_;
    int nextRow_ = 0;
    std::vector<std::uint8_t> band_;
};

// The kernels reach 3 pixels at most; a larger radius only adds candidates of weight 0, and
// the bound keeps their number reasonable.
void CheckRadius(float radius) {
    if (!(radius >= 0.0f && radius <= 64.0f))
        throw Error("Resize: resampling radius " + std::to_string(radius) + " is out of range");
}

std::string SizeText(std::int64_t width, std::int64_t height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

}  // namespace

void SetResampleCodeForTesting(ResampleCode code) { g_resampleCode.store(code, std::memory_order_relaxed); }

float ResampleDefaultRadius(int filter) { return Filter(filter).radius; }

float ResampleKernel(int filter, float x) { return Filter(filter).kernel(x); }

float ResampleScale(int sourceLength, int targetLength) {
    if (sourceLength == 1 || targetLength == 1)
        return static_cast<float>(static_cast<double>(targetLength) / sourceLength);
    return static_cast<float>(static_cast<double>(targetLength - 1) / (sourceLength - 1));
}

std::vector<WeightedPixel> ResampleContributors(int sourceLength, int targetLength, int filter, float radius,
                                                int target) {
    CheckRadius(radius);
    if (radius == 0.0f) radius = ResampleDefaultRadius(filter);
    if (sourceLength <= 0 || targetLength <= 0 || target < 0 || target >= targetLength) return {};
    std::vector<WeightedPixel> list;
    VisitContributors(MakeAxis(sourceLength, targetLength, filter, radius), target,
                      [&](std::int32_t w, std::int32_t index) { list.push_back({w, index}); });
    return list;
}

Raster ResampleBitmap(const Raster& source, const PixelRect& area, int width, int height, int filter, float radius) {
    Filter(filter);
    CheckRadius(radius);
    if (radius == 0.0f) radius = ResampleDefaultRadius(filter);
    if (width <= 0 || height <= 0) throw Error("Resize: invalid target size " + SizeText(width, height));
    if (static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) > kMaxPixels)
        throw Error("Resize: the target of " + SizeText(width, height) + " pixels is larger than the limit of " +
                    std::to_string(kMaxPixels) + " pixels");
    if (source.empty() || area.width <= 0 || area.height <= 0) return Raster(width, height, 24);
    if (area.x < 0 || area.y < 0 || area.width > source.width() - area.x || area.height > source.height() - area.y)
        throw Error("Resize: the area to resample lies outside the image");

    Raster target = Raster::Uninitialised(width, height, 24);
    try {
        Resampler(source, area, target, filter, radius).Run();
    } catch (const std::bad_alloc&) {
        throw Error("Resize: not enough memory to resize to " + SizeText(width, height) + " pixels");
    }
    return target;
}

Raster ResampleBitmap(const Raster& source, int width, int height, int filter, float radius) {
    return ResampleBitmap(source, PixelRect{0, 0, source.width(), source.height()}, width, height, filter, radius);
}

}  // namespace zelvan
