// SSIMULACRA 2: multi-scale SSIM and edge differences in the XYB colour space.
//
// Both pictures go to linear RGB (over a grey background where they have opacity), then, at six
// scales (1:1 to 1:32, halved in linear light), to XYB made positive. For each of X, Y and B-Y
// and each scale three error maps are measured: 1 - SSIM without the luminance denominator, the
// edges the distorted picture has where the reference is smooth (ringing, blocking) and the edges
// it lost (blurring). The mean and the 4-norm of each map, 108 numbers, are weighted and mapped
// onto the score. Local means and variances come from a Gaussian of sigma 1.5 made recursively
// (three second-order filters over truncated cosines, zero outside the picture), which costs the
// same for any sigma.
//
// Speed and memory: the loops work on four floats at a time; the blurs and the error maps of a
// channel are made in one sweep down the picture (see ChannelSweep), so a comparison holds the
// two pictures in XYB, at half size in linear light, and little else.

#include "imaging/visual_quality.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "base/error.h"
#include "imaging/picture_memory.h"

namespace zelvan {
namespace {

constexpr int kScaleCount = 6;
constexpr int kMinimumSide = 8;
constexpr float kSsimC2 = 0.0009f;
constexpr double kBlurSigma = 1.5;
// The backgrounds for pictures with opacity, as fractions of full scale in sRGB.
constexpr float kDarkBackground = 0.1f;
constexpr float kLightBackground = 0.9f;

// The metric's published weights, in the order channel (X, Y, B), scale (1:1 first), norm (mean,
// then 4-norm), map (SSIM, ringing, blurring).
constexpr std::array<double, 108> kWeights = {
    0.0,                    0.0007376606707406586,  0.0,                    0.0,
    0.0007793481682867309,  0.0,                    0.0,                    0.0004371155730107379,
    0.0,                    1.1041726426657346,     0.00066284834129271,    0.00015231632783718752,
    0.0,                    0.0016406437456599754,  0.0,                    1.8422455520539298,
    11.441172603757666,     0.0,                    0.0007989109436015163,  0.000176816438078653,
    0.0,                    1.8787594979546387,     10.94906990605142,      0.0,
    0.0007289346991508072,  0.9677937080626833,     0.0,                    0.00014003424285435884,
    0.9981766977854967,     0.00031949755934435053, 0.0004550992113792063,  0.0,
    0.0,                    0.0013648766163243398,  0.0,                    0.0,
    0.0,                    0.0,                    0.0,                    7.466890328078848,
    0.0,                    17.445833984131262,     0.0006235601634041466,  0.0,
    0.0,                    6.683678146179332,      0.00037724407979611296, 1.027889937768264,
    225.20515300849274,     0.0,                    0.0,                    19.213238186143016,
    0.0011401524586618361,  0.001237755635509985,   176.39317598450694,     0.0,
    0.0,                    24.43300999870476,      0.28520802612117757,    0.0004485436923833408,
    0.0,                    0.0,                    0.0,                    34.77906344483772,
    44.835625328877896,     0.0,                    0.0,                    0.0,
    0.0,                    0.0,                    0.0,                    0.0,
    0.0,                    0.0008680556573291698,  0.0,                    0.0,
    0.0,                    0.0,                    0.0,                    0.0005313191874358747,
    0.0,                    0.00016533814161379112, 0.0,                    0.0,
    0.0,                    0.0,                    0.0,                    0.0004179171803251336,
    0.0017290828234722833,  0.0,                    0.0020827005846636437,  0.0,
    0.0,                    8.826982764996862,      23.19243343998926,      0.0,
    95.1080498811086,       0.9863978034400682,     0.9834382792465353,     0.0012286405048278493,
    171.2667255897307,      0.9807858872435379,     0.0,                    0.0,
    0.0,                    0.0005130064588990679,  0.0,                    0.00010854057858411537,
};

// Four floats handled as one: SSE2 instructions, which every x86-64 processor has. Loads and
// stores of this type may be unaligned and may alias plain floats.
using Vec = float __attribute__((vector_size(16), aligned(4), may_alias));
using IntVec = std::int32_t __attribute__((vector_size(16), aligned(4), may_alias));
constexpr int kLanes = 4;

inline Vec Load(const float* p) { return *reinterpret_cast<const Vec*>(p); }
inline void Store(float* p, Vec v) { *reinterpret_cast<Vec*>(p) = v; }
inline Vec Splat(float v) { return Vec{v, v, v, v}; }
inline Vec Max(Vec a, Vec b) { return a > b ? a : b; }
inline Vec Abs(Vec v) { return reinterpret_cast<Vec>(reinterpret_cast<IntVec>(v) & 0x7FFFFFFF); }

// Cube roots of positive numbers to float precision: an estimate from the exponent bits (a third
// of the bit pattern, rebiased), then two Halley steps, each of which triples the correct digits
// (3 % off, then about 1e-5, then below float rounding).
inline Vec CubeRoot(Vec x) {
    const IntVec bits = reinterpret_cast<IntVec>(x);
    const IntVec third = __builtin_convertvector(__builtin_convertvector(bits, Vec) * (1.0f / 3.0f), IntVec);
    Vec y = reinterpret_cast<Vec>(third + 709921077);
    for (int i = 0; i < 2; ++i) {
        const Vec y3 = y * y * y;
        y = y * (y3 + 2.0f * x) / (2.0f * y3 + x);
    }
    return y;
}

// One channel of floats, rows packed. Its storage is kept when it shrinks for the next scale.
class Plane {
public:
    void Resize(int width, int height) {
        const std::size_t size = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
        if (size > capacity_) {
            // On huge pages: faulting in plain pages cost more than the arithmetic.
            data_ = AllocatePictureMemory(size * sizeof(float), PictureBytes::Undefined);
            if (!data_) throw std::bad_alloc();
            capacity_ = size;
        }
        width_ = width;
        height_ = height;
    }
    int width() const { return width_; }
    int height() const { return height_; }
    float* row(int y) { return floats() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width_); }
    const float* row(int y) const {
        return const_cast<Plane*>(this)->floats() + static_cast<std::size_t>(y) * static_cast<std::size_t>(width_);
    }

private:
    float* floats() { return reinterpret_cast<float*>(data_.get()); }

    PictureMemory data_;
    std::size_t capacity_ = 0;
    int width_ = 0;
    int height_ = 0;
};

struct LinearPicture {
    std::array<Plane, 3> rgb;  // red, green, blue in linear light, 1 = full scale
    int width() const { return rgb[0].width(); }
    int height() const { return rgb[0].height(); }
};

double SrgbToLinear(double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); }

const std::array<float, 256>& LinearOfByte() {
    static const std::array<float, 256> table = [] {
        std::array<float, 256> t{};
        for (int i = 0; i < 256; ++i) t[i] = static_cast<float>(SrgbToLinear(i / 255.0));
        return t;
    }();
    return table;
}

// Row y of the picture in linear light; with a mask, first blended in sRGB over a grey of
// `background` (a fraction of full scale), as the pixels would be shown.
void LinearRow(const Raster& image, const Raster* mask, float background, int y, std::uint8_t* bgr, float* r,
               float* g, float* b) {
    const int width = image.width();
    const std::array<float, 256>& linear = LinearOfByte();
    image.ExpandRowToBgr(y, bgr);
    if (!mask) {
        for (int x = 0; x < width; ++x) {
            b[x] = linear[bgr[3 * x]];
            g[x] = linear[bgr[3 * x + 1]];
            r[x] = linear[bgr[3 * x + 2]];
        }
        return;
    }
    const int maskStep = mask->bitsPerPixel() / 8;
    const std::uint8_t* m = mask->row(y) + 2;
    for (int x = 0; x < width; ++x) {
        const float a = m[static_cast<std::size_t>(x) * maskStep] / 255.0f;
        const float under = (1.0f - a) * background;
        b[x] = static_cast<float>(SrgbToLinear(a * (bgr[3 * x] / 255.0f) + under));
        g[x] = static_cast<float>(SrgbToLinear(a * (bgr[3 * x + 1] / 255.0f) + under));
        r[x] = static_cast<float>(SrgbToLinear(a * (bgr[3 * x + 2] / 255.0f) + under));
    }
}

// Half the size (rounded up) by 2 x 2 averages in linear light; a last odd row or column is
// averaged with itself.
void Halve(const LinearPicture& in, LinearPicture& out) {
    const int inWidth = in.width();
    const int inHeight = in.height();
    const int width = (inWidth + 1) / 2;
    const int height = (inHeight + 1) / 2;
    for (int c = 0; c < 3; ++c) {
        out.rgb[c].Resize(width, height);
        for (int y = 0; y < height; ++y) {
            const float* top = in.rgb[c].row(2 * y);
            const float* bottom = in.rgb[c].row(std::min(2 * y + 1, inHeight - 1));
            float* dst = out.rgb[c].row(y);
            for (int x = 0; x < width; ++x) {
                const int x0 = 2 * x;
                const int x1 = std::min(x0 + 1, inWidth - 1);
                dst[x] = (top[x0] + top[x1] + bottom[x0] + bottom[x1]) * 0.25f;
            }
        }
    }
}

// XYB of the linear picture, shifted and scaled so that every channel lies within 0 to 1 for
// sRGB colours and B carries B - Y: the SSIM formula needs differences of at most 1.
void XybRow(const float* r, const float* g, const float* b, float* px, float* py, float* pb, int width) {
    // Cone responses from linear RGB, with a bias that keeps the cube root away from its
    // infinite slope at zero.
    constexpr float kM[9] = {0.30f, 0.622f, 0.078f, 0.23f, 0.692f, 0.078f,
                             0.24342268924547819f, 0.20476744424496821f, 0.55180986650955360f};
    constexpr float kBias = 0.0037930732552754493f;
    const float biasRoot = std::cbrt(kBias);
    auto convert = [&](Vec red, Vec green, Vec blue, Vec& outX, Vec& outY, Vec& outB) {
        const Vec l = CubeRoot(Max(Splat(0.0f), kM[0] * red + kM[1] * green + kM[2] * blue + kBias)) - biasRoot;
        const Vec m = CubeRoot(Max(Splat(0.0f), kM[3] * red + kM[4] * green + kM[5] * blue + kBias)) - biasRoot;
        const Vec s = CubeRoot(Max(Splat(0.0f), kM[6] * red + kM[7] * green + kM[8] * blue + kBias)) - biasRoot;
        const Vec cy = 0.5f * (l + m);
        outX = 0.5f * (l - m) * 14.0f + 0.42f;
        outY = cy + 0.01f;
        outB = (s - cy) + 0.55f;
    };
    int x = 0;
    for (; x + kLanes <= width; x += kLanes) {
        Vec vx, vy, vb;
        convert(Load(r + x), Load(g + x), Load(b + x), vx, vy, vb);
        Store(px + x, vx);
        Store(py + x, vy);
        Store(pb + x, vb);
    }
    for (; x < width; ++x) {
        Vec vx, vy, vb;
        convert(Splat(r[x]), Splat(g[x]), Splat(b[x]), vx, vy, vb);
        px[x] = vx[0];
        py[x] = vy[0];
        pb[x] = vb[0];
    }
}

void ToPositiveXyb(const LinearPicture& in, std::array<Plane, 3>& xyb) {
    for (Plane& p : xyb) p.Resize(in.width(), in.height());
    for (int y = 0; y < in.height(); ++y)
        XybRow(in.rgb[0].row(y), in.rgb[1].row(y), in.rgb[2].row(y), xyb[0].row(y), xyb[1].row(y), xyb[2].row(y),
               in.width());
}

// The first scale straight from the picture: its XYB, and its half size in linear light for the
// next scale, two rows at a time, so that the full-size picture is never held in linear light.
void FirstScale(const Raster& image, const Raster* mask, float background, std::array<Plane, 3>& xyb,
                LinearPicture& half) {
    const int width = image.width();
    const int height = image.height();
    for (Plane& p : xyb) p.Resize(width, height);
    for (Plane& p : half.rgb) p.Resize((width + 1) / 2, (height + 1) / 2);
    const auto w = static_cast<std::size_t>(width);
    std::vector<std::uint8_t> bgr(w * 3);
    std::vector<float> rows(w * 6);
    float* upper[3] = {rows.data(), rows.data() + w, rows.data() + 2 * w};
    float* lower[3] = {rows.data() + 3 * w, rows.data() + 4 * w, rows.data() + 5 * w};
    for (int y = 0; y < height; y += 2) {
        LinearRow(image, mask, background, y, bgr.data(), upper[0], upper[1], upper[2]);
        XybRow(upper[0], upper[1], upper[2], xyb[0].row(y), xyb[1].row(y), xyb[2].row(y), width);
        // A last odd row is averaged with itself.
        float* const* second = upper;
        if (y + 1 < height) {
            LinearRow(image, mask, background, y + 1, bgr.data(), lower[0], lower[1], lower[2]);
            XybRow(lower[0], lower[1], lower[2], xyb[0].row(y + 1), xyb[1].row(y + 1), xyb[2].row(y + 1), width);
            second = lower;
        }
        for (int c = 0; c < 3; ++c) {
            float* dst = half.rgb[c].row(y / 2);
            for (int x = 0; x < (width + 1) / 2; ++x) {
                const int x0 = 2 * x;
                const int x1 = std::min(x0 + 1, width - 1);
                dst[x] = (upper[c][x0] + upper[c][x1] + second[c][x0] + second[c][x1]) * 0.25f;
            }
        }
    }
}

// The recursive Gaussian: three second-order filters whose sum approximates the Gaussian over a
// window of 2 * radius + 1 samples. Each filter k runs
//     y_k[n] = n2_k * (x[n - radius - 1] + x[n + radius - 1]) - d1_k * y_k[n - 1] - y_k[n - 2]
// from n = 1 - radius, with x zero outside the picture; the output at n is y_1 + y_3 + y_5.
struct GaussianCoefficients {
    int radius = 0;
    std::array<float, 3> n2{};
    std::array<float, 3> d1{};
};

// Solves the filter weights for sigma as the truncated-cosine construction does: the three
// cosine frequencies fixed by the radius, and weights that give the response unit gain, the
// variance sigma^2 and a flat end at the window's edge.
GaussianCoefficients MakeGaussian(double sigma) {
    constexpr double kPi = 3.141592653589793238;
    GaussianCoefficients g;
    const double radius = std::round(3.2795 * sigma + 0.2546);
    const double step = kPi / (2.0 * radius);
    const double omega[3] = {step, 3.0 * step, 5.0 * step};
    const double p1 = 1.0 / std::tan(0.5 * omega[0]);
    const double p3 = -1.0 / std::tan(0.5 * omega[1]);
    const double p5 = 1.0 / std::tan(0.5 * omega[2]);
    const double r1 = p1 * p1 / std::sin(omega[0]);
    const double r3 = -p3 * p3 / std::sin(omega[1]);
    const double r5 = p5 * p5 / std::sin(omega[2]);
    double rho[3];
    for (int i = 0; i < 3; ++i) rho[i] = std::exp(-0.5 * sigma * sigma * omega[i] * omega[i]) / radius;
    const double d13 = p1 * r3 - r1 * p3;
    const double d35 = p3 * r5 - r3 * p5;
    const double d51 = p5 * r1 - r5 * p1;
    const double zeta15 = d35 / d13;
    const double zeta35 = d51 / d13;
    // beta = A^-1 gamma for A = [p1 p3 p5; r1 r3 r5; zeta15 zeta35 1], by Cramer's rule.
    const double a[3][3] = {{p1, p3, p5}, {r1, r3, r5}, {zeta15, zeta35, 1.0}};
    const double gamma[3] = {1.0, radius * radius - sigma * sigma, zeta15 * rho[0] + zeta35 * rho[1] + rho[2]};
    auto det = [](const double m[3][3]) {
        return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
               m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    };
    const double detA = det(a);
    double beta[3];
    for (int k = 0; k < 3; ++k) {
        double m[3][3];
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) m[i][j] = j == k ? gamma[i] : a[i][j];
        beta[k] = det(m) / detA;
    }
    g.radius = static_cast<int>(radius);
    for (int i = 0; i < 3; ++i) {
        g.n2[i] = static_cast<float>(-beta[i] * std::cos(omega[i] * (radius + 1.0)));
        g.d1[i] = static_cast<float>(-2.0 * std::cos(omega[i]));
    }
    return g;
}

// The six norms of one channel at one scale: SSIM mean and 4-norm, ringing mean and 4-norm,
// blurring mean and 4-norm.
struct ChannelNorms {
    double ssim[2] = {};
    double ringing[2] = {};
    double blurring[2] = {};
};

struct Sums {
    double linear = 0;
    double quartic = 0;
    void Add(const float* values, int count) {
        // Per row in float lanes; rows are short enough to keep the float sums exact to well under
        // the score's last printed digit.
        Vec s = Splat(0.0f), q = Splat(0.0f);
        int x = 0;
        for (; x + kLanes <= count; x += kLanes) {
            const Vec v = Load(values + x);
            const Vec v2 = v * v;
            s += v;
            q += v2 * v2;
        }
        double rowLinear = 0, rowQuartic = 0;
        for (int k = 0; k < kLanes; ++k) {
            rowLinear += s[k];
            rowQuartic += q[k];
        }
        for (; x < count; ++x) {
            const double v = values[x];
            rowLinear += v;
            rowQuartic += v * v * v * v;
        }
        linear += rowLinear;
        quartic += rowQuartic;
    }
    double Mean(double pixels) const { return linear / pixels; }
    double FourNorm(double pixels) const { return std::sqrt(std::sqrt(quartic / pixels)); }
};

// The five signals the SSIM of one channel needs blurred: the two pictures, their squares and
// their product.
enum Signal { kA, kB, kAA, kBB, kAB, kSignalCount };

// Blurs the five signals of one channel and measures its norms in one sweep down the picture.
// The horizontal pass filters four rows at a time, one row per vector lane, into a ring of rows;
// the vertical pass follows a few rows behind, all columns at once, and each finished row is
// scored at once. Nothing of picture size is held but the two channels themselves.
class ChannelSweep {
public:
    ChannelSweep() : g_(MakeGaussian(kBlurSigma)) {}

    ChannelNorms Measure(const Plane& a, const Plane& b) {
        width_ = a.width();
        height_ = a.height();
        const auto w = static_cast<std::size_t>(width_);
        for (auto& row : ring_) Fit(row, w * kRingRows);
        for (auto& row : state_) {
            Fit(row, w);
            std::fill_n(row.begin(), w, 0.0f);
        }
        for (auto& row : blurred_) Fit(row, w);
        Fit(zeros_, w);
        std::fill_n(zeros_.begin(), w, 0.0f);
        for (auto& row : errors_) Fit(row, w);
        Fit(padded_, kLanes * kSignalCount * (w + 2 * static_cast<std::size_t>(2 * g_.radius + 2)));

        Sums ssim, ringing, blurring;
        int filteredRows = 0;  // rows of the horizontal pass in the ring so far
        const int radius = g_.radius;
        for (int n = 1 - radius; n < height_; ++n) {
            const int top = n - radius - 1;
            const int bottom = n + radius - 1;
            while (bottom < height_ && filteredRows <= bottom) {
                FilterRowGroup(a, b, filteredRows);
                filteredRows += 4;
            }
            VerticalStep(top, bottom);
            if (n < 0) continue;
            ScoreRow(a.row(n), b.row(n));
            ssim.Add(errors_[0].data(), width_);
            ringing.Add(errors_[1].data(), width_);
            blurring.Add(errors_[2].data(), width_);
        }
        const double pixels = static_cast<double>(width_) * static_cast<double>(height_);
        ChannelNorms norms;
        norms.ssim[0] = ssim.Mean(pixels);
        norms.ssim[1] = ssim.FourNorm(pixels);
        norms.ringing[0] = ringing.Mean(pixels);
        norms.ringing[1] = ringing.FourNorm(pixels);
        norms.blurring[0] = blurring.Mean(pixels);
        norms.blurring[1] = blurring.FourNorm(pixels);
        return norms;
    }

private:
    // Rows n - radius - 1 to n + radius - 1 are read while the next group of four is written:
    // 2 * radius + 4 rows at most, 14 for sigma 1.5.
    static constexpr int kRingRows = 16;

    static void Fit(std::vector<float>& v, std::size_t size) {
        if (v.size() < size) v.resize(size);
    }

    float* RingRow(int signal, int y) {
        return ring_[signal].data() + static_cast<std::size_t>(y % kRingRows) * static_cast<std::size_t>(width_);
    }

    // Horizontal pass over rows first .. first + 3 (the last row repeated past the bottom: those
    // lanes compute and store the last row again, unchanged).
    void FilterRowGroup(const Plane& a, const Plane& b, int first) {
        const int radius = g_.radius;
        // The first output reads 2 * radius before the row's start, the last radius - 2 after it.
        const int pad = 2 * radius + 2;
        const std::size_t paddedWidth = static_cast<std::size_t>(width_) + 2 * static_cast<std::size_t>(pad);
        int rows[kLanes];
        for (int k = 0; k < kLanes; ++k) rows[k] = std::min(first + k, height_ - 1);
        const float* ar[kLanes];
        const float* br[kLanes];
        for (int k = 0; k < kLanes; ++k) {
            ar[k] = a.row(rows[k]);
            br[k] = b.row(rows[k]);
        }
        // The five signals of the four rows side by side, zero outside the picture.
        Vec* in = reinterpret_cast<Vec*>(padded_.data());
        for (int s = 0; s < kSignalCount; ++s) {
            Vec* p = in + static_cast<std::size_t>(s) * paddedWidth;
            for (int i = 0; i < pad; ++i) p[i] = p[paddedWidth - 1 - static_cast<std::size_t>(i)] = Splat(0.0f);
        }
        for (int x = 0; x < width_; ++x) {
            const Vec va = {ar[0][x], ar[1][x], ar[2][x], ar[3][x]};
            const Vec vb = {br[0][x], br[1][x], br[2][x], br[3][x]};
            const std::size_t i = static_cast<std::size_t>(x + pad);
            in[i] = va;
            in[paddedWidth + i] = vb;
            in[2 * paddedWidth + i] = va * va;
            in[3 * paddedWidth + i] = vb * vb;
            in[4 * paddedWidth + i] = va * vb;
        }
        float* out[kSignalCount][kLanes];
        for (int s = 0; s < kSignalCount; ++s)
            for (int k = 0; k < kLanes; ++k) out[s][k] = RingRow(s, rows[k]);
        // All five signals in one loop: each filter waits on its own previous output, so the
        // fifteen independent filters keep the arithmetic units busy where one would stall.
        const Vec* p = in + pad;
        Vec y[kSignalCount][3] = {}, z[kSignalCount][3] = {};  // z: the output before y
        for (int n = 1 - radius; n < width_; ++n) {
            for (int s = 0; s < kSignalCount; ++s) {
                const Vec* q = p + static_cast<std::size_t>(s) * paddedWidth;
                const Vec sum = q[n - radius - 1] + q[n + radius - 1];
                Vec v = Splat(0.0f);
                for (int f = 0; f < 3; ++f) {
                    const Vec next = g_.n2[f] * sum - g_.d1[f] * y[s][f] - z[s][f];
                    z[s][f] = y[s][f];
                    y[s][f] = next;
                    v += next;
                }
                if (n >= 0)
                    for (int k = 0; k < kLanes; ++k) out[s][k][n] = v[k];
            }
        }
    }

    // One output row of the vertical pass for every signal, from the ring's rows `top` and
    // `bottom` (zero outside the picture).
    void VerticalStep(int top, int bottom) {
        const int width = width_;
        const float n2a = g_.n2[0], n2b = g_.n2[1], n2c = g_.n2[2];
        const float d1a = g_.d1[0], d1b = g_.d1[1], d1c = g_.d1[2];
        for (int s = 0; s < kSignalCount; ++s) {
            const float* t = top >= 0 ? RingRow(s, top) : zeros_.data();
            const float* b = bottom < height_ ? RingRow(s, bottom) : zeros_.data();
            // Each filter keeps its last two outputs; the older is overwritten by the newer and
            // the pair swaps roles each row.
            const int flip = parity_[s];
            float* prev1 = state_[6 * s + flip].data();
            float* older1 = state_[6 * s + 1 - flip].data();
            float* prev3 = state_[6 * s + 2 + flip].data();
            float* older3 = state_[6 * s + 3 - flip].data();
            float* prev5 = state_[6 * s + 4 + flip].data();
            float* older5 = state_[6 * s + 5 - flip].data();
            float* dst = blurred_[s].data();
            auto step = [&](int x, auto load, auto store) {
                const auto sum = load(t + x) + load(b + x);
                const auto y1 = n2a * sum - d1a * load(prev1 + x) - load(older1 + x);
                const auto y3 = n2b * sum - d1b * load(prev3 + x) - load(older3 + x);
                const auto y5 = n2c * sum - d1c * load(prev5 + x) - load(older5 + x);
                store(older1 + x, y1);
                store(older3 + x, y3);
                store(older5 + x, y5);
                store(dst + x, y1 + y3 + y5);
            };
            int x = 0;
            for (; x + kLanes <= width; x += kLanes) step(x, Load, Store);
            for (; x < width; ++x)
                step(x, [](const float* p) { return *p; }, [](float* p, float v) { *p = v; });
            parity_[s] = 1 - flip;
        }
    }

    // The three error maps of one row, from the row's pixels and its blurred signals.
    void ScoreRow(const float* p1, const float* p2) {
        const float* m1 = blurred_[kA].data();
        const float* m2 = blurred_[kB].data();
        const float* s11 = blurred_[kAA].data();
        const float* s22 = blurred_[kBB].data();
        const float* s12 = blurred_[kAB].data();
        float* ssimRow = errors_[0].data();
        float* ringingRow = errors_[1].data();
        float* blurringRow = errors_[2].data();
        auto pixel = [&](int x, auto load, auto store) {
            const auto mu1 = load(m1 + x), mu2 = load(m2 + x);
            // SSIM without the luminance term's denominator: the values are already perceptually
            // spaced, so an error weighs the same in the darks and the lights.
            const auto numM = 1.0f - (mu1 - mu2) * (mu1 - mu2);
            const auto numS = 2.0f * (load(s12 + x) - mu1 * mu2) + kSsimC2;
            const auto denS = (load(s11 + x) - mu1 * mu1) + (load(s22 + x) - mu2 * mu2) + kSsimC2;
            store(ssimRow + x, Max(Splat(0.0f), 1.0f - numM * numS / denS));
            // Above 0: an edge in the distorted picture where the reference is smooth; below:
            // an edge of the reference that was smoothed away.
            const auto edge = (1.0f + Abs(load(p2 + x) - mu2)) / (1.0f + Abs(load(p1 + x) - mu1)) - 1.0f;
            store(ringingRow + x, Max(edge, Splat(0.0f)));
            store(blurringRow + x, Max(-edge, Splat(0.0f)));
        };
        int x = 0;
        for (; x + kLanes <= width_; x += kLanes) pixel(x, Load, Store);
        for (; x < width_; ++x) pixel(x, [](const float* p) { return Splat(*p); }, [](float* p, Vec v) { *p = v[0]; });
    }

    GaussianCoefficients g_;
    int width_ = 0;
    int height_ = 0;
    std::array<std::vector<float>, kSignalCount> ring_;
    std::array<std::vector<float>, 6 * kSignalCount> state_;
    std::array<int, kSignalCount> parity_{};
    std::array<std::vector<float>, kSignalCount> blurred_;
    std::array<std::vector<float>, 3> errors_;
    std::vector<float> zeros_;
    std::vector<float> padded_;  // kSignalCount rows of Vec, as floats
};

// Works through the scales of one comparison, reusing every buffer.
class Comparison {
public:
    double Score(const Raster& reference, const Raster& distorted, const Raster* referenceMask,
                 const Raster* distortedMask, float background) {
        std::array<std::array<ChannelNorms, 3>, kScaleCount> norms{};
        int scales = 0;
        // A scale is measured while the one before it is at least 8 pixels a side, as the
        // published metric does: its last scale may be smaller.
        int previousWidth = reference.width(), previousHeight = reference.height();
        for (int scale = 0; scale < kScaleCount; ++scale) {
            if (previousWidth < kMinimumSide || previousHeight < kMinimumSide) break;
            if (scale == 0) {
                FirstScale(reference, referenceMask, background, xyb1_, one_);
                FirstScale(distorted, distortedMask, background, xyb2_, two_);
            } else {
                if (scale > 1) {
                    Halve(one_, halved_);
                    std::swap(one_, halved_);
                    Halve(two_, halved_);
                    std::swap(two_, halved_);
                }
                ToPositiveXyb(one_, xyb1_);
                ToPositiveXyb(two_, xyb2_);
            }
            previousWidth = xyb1_[0].width();
            previousHeight = xyb1_[0].height();
            for (int c = 0; c < 3; ++c) norms[scale][c] = sweep_.Measure(xyb1_[c], xyb2_[c]);
            ++scales;
        }
        // The weights are taken in order over the scales there are: a picture too small for all
        // six uses the first ones, as the published metric does.
        double weighted = 0;
        std::size_t i = 0;
        for (int c = 0; c < 3; ++c)
            for (int scale = 0; scale < scales; ++scale)
                for (int n = 0; n < 2; ++n) {
                    const ChannelNorms& v = norms[scale][c];
                    weighted += kWeights[i++] * std::abs(v.ssim[n]);
                    weighted += kWeights[i++] * std::abs(v.ringing[n]);
                    weighted += kWeights[i++] * std::abs(v.blurring[n]);
                }
        double s = weighted * 0.9562382616834844;
        s = 2.326765642916932 * s - 0.020884521182843837 * s * s + 6.248496625763138e-05 * s * s * s;
        return s > 0 ? 100.0 - 10.0 * std::pow(s, 0.6276336467831387) : 100.0;
    }

private:
    ChannelSweep sweep_;
    LinearPicture one_, two_, halved_;  // the two pictures at the next scale, in linear light
    std::array<Plane, 3> xyb1_, xyb2_;
};

double ScoreOver(const Raster& reference, const Raster& distorted, const Raster* referenceMask,
                 const Raster* distortedMask, float background) {
    Comparison comparison;
    return comparison.Score(reference, distorted, referenceMask, distortedMask, background);
}

void CheckMask(const Raster& image, const Raster* mask) {
    if (mask && (mask->width() != image.width() || mask->height() != image.height() || mask->bitsPerPixel() < 24))
        throw Error("visual quality: the opacity mask does not match the picture");
}

}  // namespace

double VisualQualityScore(const Raster& reference, const Raster& distorted, const Raster* referenceMask,
                          const Raster* distortedMask) {
    if (reference.empty() || distorted.empty()) throw Error("visual quality: a picture is missing");
    if (reference.width() != distorted.width() || reference.height() != distorted.height())
        throw Error("visual quality: the pictures differ in size (" + std::to_string(reference.width()) + "x" +
                    std::to_string(reference.height()) + " and " + std::to_string(distorted.width()) + "x" +
                    std::to_string(distorted.height()) + ")");
    if (reference.width() < kMinimumSide || reference.height() < kMinimumSide)
        throw Error("visual quality: the pictures are smaller than 8x8 pixels");
    CheckMask(reference, referenceMask);
    CheckMask(distorted, distortedMask);
    if (!referenceMask && !distortedMask) return ScoreOver(reference, distorted, nullptr, nullptr, 0.5f);
    return std::min(ScoreOver(reference, distorted, referenceMask, distortedMask, kDarkBackground),
                    ScoreOver(reference, distorted, referenceMask, distortedMask, kLightBackground));
}

}  // namespace zelvan
