#include "imaging/colour_codes.h"

#include <lcms2.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <utility>

namespace zelvan {
namespace {

using namespace colour_code;

struct Chromaticities {
    const char* name;
    double red[2], green[2], blue[2], white[2];
};

constexpr double kD65[2] = {0.3127, 0.3290};

// The primaries of H.273's table 2 that pictures use; nullptr for the others.
const Chromaticities* PrimariesFor(int code) {
    static const Chromaticities kBt709{"BT.709", {0.640, 0.330}, {0.300, 0.600}, {0.150, 0.060}, {kD65[0], kD65[1]}};
    static const Chromaticities kBt470m{"BT.470 M", {0.67, 0.33}, {0.21, 0.71}, {0.14, 0.08}, {0.310, 0.316}};
    static const Chromaticities kBt470bg{"BT.601 625", {0.64, 0.33}, {0.29, 0.60}, {0.15, 0.06}, {kD65[0], kD65[1]}};
    static const Chromaticities kBt601{"BT.601 525", {0.630, 0.340}, {0.310, 0.595}, {0.155, 0.070}, {kD65[0], kD65[1]}};
    static const Chromaticities kBt2020{"BT.2020", {0.708, 0.292}, {0.170, 0.797}, {0.131, 0.046}, {kD65[0], kD65[1]}};
    static const Chromaticities kDciP3{"DCI-P3", {0.680, 0.320}, {0.265, 0.690}, {0.150, 0.060}, {0.314, 0.351}};
    static const Chromaticities kDisplayP3{"Display P3", {0.680, 0.320}, {0.265, 0.690}, {0.150, 0.060}, {kD65[0], kD65[1]}};
    static const Chromaticities kEbu3213{"EBU 3213", {0.630, 0.340}, {0.295, 0.605}, {0.155, 0.077}, {kD65[0], kD65[1]}};
    switch (code) {
        case kPrimariesBt709:
        case kUnspecified: return &kBt709;
        case 4: return &kBt470m;
        case 5: return &kBt470bg;
        case 6:
        case 7: return &kBt601;
        case kPrimariesBt2020: return &kBt2020;
        case kPrimariesDciP3: return &kDciP3;
        case kPrimariesDisplayP3: return &kDisplayP3;
        case 22: return &kEbu3213;
        default: return nullptr;
    }
}

// The curve from coded values to linear light, as Little CMS's parametric type 4
// (Y = (aX + b)^g for X >= d, Y = cX below) or a plain gamma; the name goes into the description.
struct Transfer {
    const char* name;
    int type;  // 1: gamma only, 4: with a linear segment
    std::array<double, 5> parameters;
};

// The code of the curve TransferFor gives for a code: one per distinct curve (and per HDR
// transfer, whose profiles differ in their description), so that the profiles built stay few
// whatever codes the files hold.
int CanonicalTransfer(int code) {
    switch (code) {
        case kTransferBt709:
        case 6:
        case 14:
        case 15: return kTransferBt709;
        case 4:
        case 5:
        case kTransferLinear:
        case kTransferPq:
        case kTransferHlg: return code;
        default: return kTransferSrgb;
    }
}

Transfer TransferFor(int code) {
    switch (code) {
        // BT.709 and the curves identical to it (BT.601, BT.2020 at 10 and 12 bits): the inverse
        // of the camera curve V = 1.099 L^0.45 - 0.099, V = 4.5 L below 0.018.
        case kTransferBt709:
        case 6:
        case 14:
        case 15: return {"BT.709 curve", 4, {1 / 0.45, 1 / 1.099, 0.099 / 1.099, 1 / 4.5, 0.081}};
        case 4: return {"gamma 2.2", 1, {2.2}};
        case 5: return {"gamma 2.8", 1, {2.8}};
        case kTransferLinear: return {"linear", 1, {1.0}};
        // sRGB itself, and the curve of tone-mapped PQ and HLG pictures; codes the program does
        // not know are taken as sRGB, as pictures without colour information always were.
        default: return {"sRGB curve", 4, {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045}};
    }
}

bool IsPlainSrgb(const ColourCodes& codes) {
    return (codes.primaries == kPrimariesBt709 || codes.primaries == kUnspecified) &&
           (codes.transfer == kTransferSrgb || codes.transfer == kUnspecified);
}

void IgnoreLcmsError(cmsContext, cmsUInt32Number, const char*) {}

bool WriteText(cmsHPROFILE profile, cmsTagSignature tag, const std::string& text) {
    cmsMLU* mlu = cmsMLUalloc(cmsGetProfileContextID(profile), 1);
    if (!mlu) return false;
    const bool ok = cmsMLUsetASCII(mlu, "en", "US", text.c_str()) && cmsWriteTag(profile, tag, mlu);
    cmsMLUfree(mlu);
    return ok;
}

std::vector<std::uint8_t> BuildProfile(const Chromaticities& chroma, const Transfer& transfer,
                                       const std::string& description) {
    cmsContext context = cmsCreateContext(nullptr, nullptr);
    if (!context) throw std::bad_alloc();
    cmsSetLogErrorHandlerTHR(context, IgnoreLcmsError);
    std::vector<std::uint8_t> bytes;
    cmsToneCurve* curve = cmsBuildParametricToneCurve(context, transfer.type, transfer.parameters.data());
    cmsHPROFILE profile = nullptr;
    if (curve) {
        const cmsCIExyY white{chroma.white[0], chroma.white[1], 1.0};
        const cmsCIExyYTRIPLE primaries{{chroma.red[0], chroma.red[1], 1.0},
                                        {chroma.green[0], chroma.green[1], 1.0},
                                        {chroma.blue[0], chroma.blue[1], 1.0}};
        cmsToneCurve* curves[3] = {curve, curve, curve};
        profile = cmsCreateRGBProfileTHR(context, &white, &primaries, curves);
    }
    if (profile) {
        // Version 2, which every viewer reads (some browsers ignore version 4 profiles); the
        // curves are then stored as tables of 4096 points.
        cmsSetProfileVersion(profile, 2.1);
        cmsUInt32Number size = 0;
        if (WriteText(profile, cmsSigProfileDescriptionTag, description) &&
            WriteText(profile, cmsSigCopyrightTag, "No copyright, use freely") &&
            cmsSaveProfileToMem(profile, nullptr, &size) && size >= 128) {
            bytes.resize(size);
            if (!cmsSaveProfileToMem(profile, bytes.data(), &size)) bytes.clear();
        }
        cmsCloseProfile(profile);
    }
    if (curve) cmsFreeToneCurve(curve);
    cmsDeleteContext(context);
    if (bytes.size() >= 128) {
        // The header's creation date (bytes 24 to 35, six 16-bit numbers) is the moment of
        // building: a fixed one keeps the bytes, and so the outputs, the same from run to run.
        static constexpr std::uint8_t kDate[12] = {0x07, 0xE8, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0};  // 2024-01-01
        std::memcpy(bytes.data() + 24, kDate, sizeof kDate);
    }
    return bytes;
}

}  // namespace

bool IsHdrTransfer(int transfer) { return transfer == kTransferPq || transfer == kTransferHlg; }

std::vector<std::uint8_t> ProfileForColourCodes(const ColourCodes& codes) {
    if (IsPlainSrgb(codes)) return {};
    const Chromaticities* chroma = PrimariesFor(codes.primaries);
    if (!chroma) return {};
    // Few distinct codes ever meet one process: each profile is built once.
    static std::mutex mutex;
    static std::map<std::pair<int, int>, std::vector<std::uint8_t>> built;
    const Transfer transfer = TransferFor(codes.transfer);
    const std::pair<int, int> key{codes.primaries, CanonicalTransfer(codes.transfer)};
    {
        std::lock_guard lock(mutex);
        if (auto found = built.find(key); found != built.end()) return found->second;
    }
    std::string description = std::string(chroma->name) + ", " + transfer.name;
    if (IsHdrTransfer(codes.transfer))
        description += codes.transfer == kTransferPq ? " (tone-mapped from PQ)" : " (tone-mapped from HLG)";
    std::vector<std::uint8_t> profile = BuildProfile(*chroma, transfer, description);
    std::lock_guard lock(mutex);
    built.emplace(key, profile);
    return profile;
}

namespace {

constexpr double kReferenceWhite = 203.0;  // cd/m2, BT.2408
constexpr double kKnee = 0.5;              // of the reference white, below which light is kept

// Linear light in cd/m2 of a coded value from 0 to 1.
double PqToLight(double v) {
    constexpr double m1 = 2610.0 / 16384, m2 = 2523.0 / 4096 * 128;
    constexpr double c1 = 3424.0 / 4096, c2 = 2413.0 / 4096 * 32, c3 = 2392.0 / 4096 * 32;
    const double n = std::pow(v, 1 / m2);
    return 10000.0 * std::pow(std::max(n - c1, 0.0) / (c2 - c3 * n), 1 / m1);
}

double HlgToLight(double v) {
    constexpr double a = 0.17883277, b = 1 - 4 * a, c = 0.55991073;
    const double scene = v <= 0.5 ? v * v / 3 : (std::exp((v - c) / a) + b) / 12;
    return 1000.0 * std::pow(scene, 1.2);
}

double EncodeSrgb(double linear) {
    return linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1 / 2.4) - 0.055;
}

// The steepness a of the logarithmic shoulder y = k + (1 - k) ln(1 + a (x - k)) / ln(1 + a (w - k))
// for which its slope at the knee k is 1, the slope below it: found by bisection, since
// (1 - k) a / ln(1 + a (w - k)) grows with a.
double ShoulderSteepness(double peak) {
    double low = 1e-6, high = 1e6;
    for (int i = 0; i < 200; ++i) {
        const double a = std::sqrt(low * high);
        if ((1 - kKnee) * a / std::log1p(a * (peak - kKnee)) < 1) low = a;
        else high = a;
    }
    return std::sqrt(low * high);
}

std::array<std::uint8_t, 65536> BuildToneTable(bool pq) {
    const double peak = (pq ? 10000.0 : 1000.0) / kReferenceWhite;
    const double a = ShoulderSteepness(peak);
    const double span = std::log1p(a * (peak - kKnee));
    std::array<std::uint8_t, 65536> table{};
    for (std::size_t i = 0; i < table.size(); ++i) {
        const double v = static_cast<double>(i) / 65535.0;
        const double x = (pq ? PqToLight(v) : HlgToLight(v)) / kReferenceWhite;
        double y = x;
        if (x > kKnee) y = kKnee + (1 - kKnee) * std::log1p(a * (x - kKnee)) / span;
        y = std::clamp(y, 0.0, 1.0);
        table[i] = static_cast<std::uint8_t>(std::lround(EncodeSrgb(y) * 255.0));
    }
    return table;
}

}  // namespace

HdrToneMap::HdrToneMap(int transfer) {
    static const std::array<std::uint8_t, 65536> pq = BuildToneTable(true);
    static const std::array<std::uint8_t, 65536> hlg = BuildToneTable(false);
    table_ = transfer == kTransferHlg ? hlg.data() : pq.data();
}

void ToneMapRaster(Raster& image, int transfer) {
    const HdrToneMap tone(transfer);
    if (image.bitsPerPixel() <= 8) {
        for (PaletteEntry& e : image.palette()) {
            e.blue = tone(static_cast<std::uint16_t>(e.blue * 257));
            e.green = tone(static_cast<std::uint16_t>(e.green * 257));
            e.red = tone(static_cast<std::uint16_t>(e.red * 257));
        }
        return;
    }
    const int step = image.bitsPerPixel() / 8;
    for (int y = 0; y < image.height(); ++y) {
        std::uint8_t* p = image.row(y);
        for (int x = 0; x < image.width(); ++x, p += step)
            for (int c = 0; c < 3; ++c) p[c] = tone(static_cast<std::uint16_t>(p[c] * 257));
    }
}

}  // namespace zelvan
