// PNG's row filters undone in place.
//
// Sub, Average and Paeth depend on the pixel to the left once undone, so a row is a chain from
// one pixel to the next: the plain loops walk it a byte at a time. On x86-64 the pixels of 3, 4,
// 6 and 8 bytes (8- and 16-bit RGB and RGBA, the bulk of real files) take a whole pixel per step
// in SSE registers instead, which shortens that chain to a few instructions per pixel; Up has
// no chain and goes 16 bytes at a time. Paeth, the filter most photographs use and the longest
// chain, needs SSE4.1 (picked when the program runs; the plain loop elsewhere) and goes two
// rows at a time where it can.

#include "imaging/readers/png_filters.h"

#include <cstdlib>
#include <cstring>

#if defined(__SSE2__) && defined(__x86_64__)
#include <immintrin.h>
#define ZELVAN_PNG_SSE2 1
#endif

namespace zelvan::png {
namespace {

inline std::uint8_t Add(std::uint8_t x, int predictor) { return static_cast<std::uint8_t>(x + predictor); }

// The neighbour among left (a), above (b) and upper left (c) closest to a + b - c; ties go to a,
// then to b.
inline int PaethPredictor(int a, int b, int c) {
    int pa = std::abs(b - c);
    const int pb = std::abs(a - c);
    const int pc = std::abs(a + b - 2 * c);
    if (pb < pa) {
        pa = pb;
        a = b;
    }
    return pc < pa ? c : a;
}

void SubPlain(std::uint8_t* row, std::size_t from, std::size_t length, std::size_t bpp) {
    for (std::size_t i = from < bpp ? bpp : from; i < length; ++i) row[i] = Add(row[i], row[i - bpp]);
}

void UpPlain(std::uint8_t* row, const std::uint8_t* previous, std::size_t from, std::size_t length) {
    for (std::size_t i = from; i < length; ++i) row[i] = Add(row[i], previous[i]);
}

// `previous` may be nullptr: the row above counts as zeros.
void AveragePlain(std::uint8_t* row, const std::uint8_t* previous, std::size_t from, std::size_t length,
                  std::size_t bpp) {
    for (std::size_t i = from; i < length; ++i) {
        const int left = i >= bpp ? row[i - bpp] : 0;
        const int above = previous ? previous[i] : 0;
        row[i] = Add(row[i], (left + above) >> 1);
    }
}

void PaethPlain(std::uint8_t* row, const std::uint8_t* previous, std::size_t from, std::size_t length,
                std::size_t bpp) {
    for (std::size_t i = from; i < length; ++i) {
        const int left = i >= bpp ? row[i - bpp] : 0;
        const int upperLeft = i >= bpp ? previous[i - bpp] : 0;
        row[i] = Add(row[i], PaethPredictor(left, previous[i], upperLeft));
    }
}

#ifdef ZELVAN_PNG_SSE2

// One pixel of kBpp bytes in the low bytes of a register. The loads take 4 or 8 bytes, so a
// 3- or 6-byte pixel reads the first bytes of the next one: the SSE2 loops stop before the
// last pixel of a row when those bytes are past its end, and the plain loops finish it.
template <std::size_t kBpp>
struct Pixel {
    static constexpr std::size_t kLoad = kBpp <= 4 ? 4 : 8;

    static __m128i Load(const std::uint8_t* p) {
        if constexpr (kLoad == 4) {
            std::int32_t v;
            std::memcpy(&v, p, 4);
            return _mm_cvtsi32_si128(v);
        } else {
            std::int64_t v;
            std::memcpy(&v, p, 8);
            return _mm_cvtsi64_si128(v);
        }
    }
    static void Store(std::uint8_t* p, __m128i v) {
        if constexpr (kLoad == 4) {
            const std::int32_t x = _mm_cvtsi128_si32(v);
            std::memcpy(p, &x, kBpp);
        } else {
            const std::int64_t x = _mm_cvtsi128_si64(v);
            std::memcpy(p, &x, kBpp);
        }
    }
};

template <std::size_t kBpp>
void SubSse2(std::uint8_t* row, std::size_t length) {
    using P = Pixel<kBpp>;
    __m128i a = _mm_setzero_si128();
    std::size_t i = 0;
    for (; i + P::kLoad <= length; i += kBpp) {
        a = _mm_add_epi8(a, P::Load(row + i));
        P::Store(row + i, a);
    }
    SubPlain(row, i, length, kBpp);
}

void UpSse2(std::uint8_t* row, const std::uint8_t* previous, std::size_t length) {
    std::size_t i = 0;
    for (; i + 16 <= length; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(previous + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row + i), _mm_add_epi8(x, b));
    }
    UpPlain(row, previous, i, length);
}

template <std::size_t kBpp>
void AverageSse2(std::uint8_t* row, const std::uint8_t* previous, std::size_t length) {
    using P = Pixel<kBpp>;
    const __m128i one = _mm_set1_epi8(1);
    __m128i a = _mm_setzero_si128();
    std::size_t i = 0;
    for (; i + P::kLoad <= length; i += kBpp) {
        const __m128i b = P::Load(previous + i);
        // (a + b) >> 1 without a ninth bit: the rounded-up average less the bit it rounded.
        const __m128i mean = _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), one));
        a = _mm_add_epi8(mean, P::Load(row + i));
        P::Store(row + i, a);
    }
    AveragePlain(row, previous, i, length, kBpp);
}

// The samples in 16-bit lanes, where the distances fit, with SSSE3's absolute values and
// SSE4.1's byte blends. Only what involves the left pixel waits for the previous step: two
// distances, two comparisons, two blends and the sum, each mask tested directly rather than
// through the smallest distance.
template <std::size_t kBpp>
__attribute__((target("sse4.1"))) void PaethSse41(std::uint8_t* row, const std::uint8_t* previous, std::size_t length) {
    using P = Pixel<kBpp>;
    const __m128i zero = _mm_setzero_si128();
    __m128i a = zero;
    __m128i c = zero;
    std::size_t i = 0;
    for (; i + P::kLoad <= length; i += kBpp) {
        const __m128i b = _mm_unpacklo_epi8(P::Load(previous + i), zero);
        const __m128i x = _mm_unpacklo_epi8(P::Load(row + i), zero);
        const __m128i bc = _mm_sub_epi16(b, c);
        const __m128i pa = _mm_abs_epi16(bc);
        const __m128i ac = _mm_sub_epi16(a, c);
        const __m128i pb = _mm_abs_epi16(ac);
        const __m128i pc = _mm_abs_epi16(_mm_add_epi16(ac, bc));
        const __m128i notA = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
        const __m128i bOrC = _mm_blendv_epi8(b, c, _mm_cmpgt_epi16(pb, pc));
        a = _mm_add_epi8(_mm_blendv_epi8(a, bOrC, notA), x);
        P::Store(row + i, _mm_packus_epi16(a, a));
        c = b;
    }
    PaethPlain(row, previous, i, length, kBpp);
}

// Two Paeth rows at once: the upper row's pixel k and the lower row's pixel k - 1 share one
// register, the upper in the low four lanes, so that the two chains advance side by side in
// the time of one. The lower pixel's neighbours above are the upper row's last two results,
// which stay in registers.
template <std::size_t kBpp>
__attribute__((target("sse4.1"))) void PaethPairSse41(std::uint8_t* upper, std::uint8_t* lower,
                                                      const std::uint8_t* previous, std::size_t length) {
    using P = Pixel<kBpp>;
    static_assert(P::kLoad == 4);
    const __m128i zero = _mm_setzero_si128();
    const std::size_t pixels = length / kBpp;
    // The last upper pixel of a 3-byte row is left to the plain loop: its load would pass the end.
    const std::size_t steps = kBpp == 3 ? pixels - 1 : pixels;
    __m128i a = zero;  // left: upper[k - 1], lower[k - 2]
    __m128i c = zero;  // upper left: previous[k - 1], upper[k - 2]
    std::size_t k = 0;
    for (; k < steps; ++k) {
        const std::size_t at = k * kBpp;
        const __m128i b = _mm_unpacklo_epi64(_mm_unpacklo_epi8(P::Load(previous + at), zero), a);
        const __m128i rawUpper = _mm_unpacklo_epi8(P::Load(upper + at), zero);
        const __m128i rawLower = k ? _mm_unpacklo_epi8(P::Load(lower + at - kBpp), zero) : zero;
        const __m128i x = _mm_unpacklo_epi64(rawUpper, rawLower);
        const __m128i bc = _mm_sub_epi16(b, c);
        const __m128i pa = _mm_abs_epi16(bc);
        const __m128i ac = _mm_sub_epi16(a, c);
        const __m128i pb = _mm_abs_epi16(ac);
        const __m128i pc = _mm_abs_epi16(_mm_add_epi16(ac, bc));
        const __m128i notA = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
        const __m128i bOrC = _mm_blendv_epi8(b, c, _mm_cmpgt_epi16(pb, pc));
        a = _mm_add_epi8(_mm_blendv_epi8(a, bOrC, notA), x);
        const __m128i bytes = _mm_packus_epi16(a, a);
        P::Store(upper + at, bytes);
        // The first step has no lower pixel: its lanes, all zeros, are the left neighbour of
        // the lower row's first pixel.
        if (k) P::Store(lower + at - kBpp, _mm_srli_si128(bytes, 4));
        c = b;
    }
    PaethPlain(upper, previous, k * kBpp, length, kBpp);
    PaethPlain(lower, upper, k ? (k - 1) * kBpp : 0, length, kBpp);
}

#endif  // ZELVAN_PNG_SSE2

void Sub(std::uint8_t* row, std::size_t length, std::size_t bpp) {
#ifdef ZELVAN_PNG_SSE2
    switch (bpp) {
        case 3: return SubSse2<3>(row, length);
        case 4: return SubSse2<4>(row, length);
        case 6: return SubSse2<6>(row, length);
        case 8: return SubSse2<8>(row, length);
        default: break;
    }
#endif
    SubPlain(row, 0, length, bpp);
}

void Up(std::uint8_t* row, const std::uint8_t* previous, std::size_t length) {
#ifdef ZELVAN_PNG_SSE2
    UpSse2(row, previous, length);
#else
    UpPlain(row, previous, 0, length);
#endif
}

void Average(std::uint8_t* row, const std::uint8_t* previous, std::size_t length, std::size_t bpp) {
#ifdef ZELVAN_PNG_SSE2
    if (previous) switch (bpp) {
            case 3: return AverageSse2<3>(row, previous, length);
            case 4: return AverageSse2<4>(row, previous, length);
            case 6: return AverageSse2<6>(row, previous, length);
            case 8: return AverageSse2<8>(row, previous, length);
            default: break;
        }
#endif
    AveragePlain(row, previous, 0, length, bpp);
}

void Paeth(std::uint8_t* row, const std::uint8_t* previous, std::size_t length, std::size_t bpp) {
#if defined(ZELVAN_PNG_SSE2) && (defined(__GNUC__) || defined(__clang__))
    static const bool sse41 = __builtin_cpu_supports("sse4.1");
    if (sse41) switch (bpp) {
            case 3: return PaethSse41<3>(row, previous, length);
            case 4: return PaethSse41<4>(row, previous, length);
            case 6: return PaethSse41<6>(row, previous, length);
            case 8: return PaethSse41<8>(row, previous, length);
            default: break;
        }
#endif
    PaethPlain(row, previous, 0, length, bpp);
}

}  // namespace

bool UnfilterPaethPair(std::uint8_t* upper, std::uint8_t* lower, const std::uint8_t* previous, std::size_t length,
                       std::size_t pixelBytes) {
#if defined(ZELVAN_PNG_SSE2) && (defined(__GNUC__) || defined(__clang__))
    static const bool sse41 = __builtin_cpu_supports("sse4.1");
    if (!sse41 || length < 2 * pixelBytes) return false;
    switch (pixelBytes) {
        case 3: PaethPairSse41<3>(upper, lower, previous, length); return true;
        case 4: PaethPairSse41<4>(upper, lower, previous, length); return true;
        default: return false;
    }
#else
    (void)upper, (void)lower, (void)previous, (void)length, (void)pixelBytes;
    return false;
#endif
}

bool UnfilterRow(std::uint8_t filter, std::uint8_t* row, const std::uint8_t* previous, std::size_t length,
                 std::size_t pixelBytes) {
    switch (filter) {
        case kFilterNone:
            return true;
        case kFilterSub:
            Sub(row, length, pixelBytes);
            return true;
        case kFilterUp:
            if (previous) Up(row, previous, length);
            return true;
        case kFilterAverage:
            Average(row, previous, length, pixelBytes);
            return true;
        case kFilterPaeth:
            // With zeros above, the predictor is always the left neighbour: Sub.
            if (previous)
                Paeth(row, previous, length, pixelBytes);
            else
                Sub(row, length, pixelBytes);
            return true;
        default:
            return false;
    }
}

}  // namespace zelvan::png
