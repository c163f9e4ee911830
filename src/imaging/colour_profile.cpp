#include "imaging/colour_profile.h"

#include <lcms2.h>

#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>

#include "base/file_io.h"

namespace zelvan {
namespace {

// How the pixels handed to a transform are laid out.
enum class Layout : std::uint8_t {
    Bgr,        // 24-bit raster pixels
    Bgrx,       // 32-bit raster pixels and palette entries: the fourth byte is carried through
    GreyToBgr,  // grey samples, through a grey profile, to sRGB triples
    CmykToBgr,          // CMYK samples, 0 no ink, through a CMYK profile, to sRGB triples
    InvertedCmykToBgr,  // CMYK samples, 255 no ink
    // The other way: linear-light sRGB floats (RGB or RGBA) to 8-bit BGR(A) in the profile's
    // colours.
    LinearFloatToBgr,
    LinearFloatToBgra,
};

bool ToProfile(Layout layout) { return layout == Layout::LinearFloatToBgr || layout == Layout::LinearFloatToBgra; }

cmsColorSpaceSignature SourceSpace(Layout layout) {
    switch (layout) {
        case Layout::Bgr:
        case Layout::Bgrx:
        case Layout::LinearFloatToBgr:
        case Layout::LinearFloatToBgra: return cmsSigRgbData;
        case Layout::GreyToBgr: return cmsSigGrayData;
        case Layout::CmykToBgr:
        case Layout::InvertedCmykToBgr: return cmsSigCmykData;
    }
    return cmsSigRgbData;
}

cmsUInt32Number InputFormat(Layout layout) {
    switch (layout) {
        case Layout::Bgr: return TYPE_BGR_8;
        case Layout::Bgrx: return TYPE_BGRA_8;
        case Layout::GreyToBgr: return TYPE_GRAY_8;
        case Layout::CmykToBgr: return TYPE_CMYK_8;
        case Layout::InvertedCmykToBgr: return TYPE_CMYK_8_REV;  // Little CMS reads 255 - v
        case Layout::LinearFloatToBgr: return TYPE_RGB_FLT;
        case Layout::LinearFloatToBgra: return TYPE_RGBA_FLT;
    }
    return TYPE_BGR_8;
}

void IgnoreLcmsError(cmsContext, cmsUInt32Number, const char*) {}

bool IsImageProfileClass(cmsProfileClassSignature cls) {
    // Device links, abstract and named-colour profiles do not describe a picture's own colours.
    return cls == cmsSigInputClass || cls == cmsSigDisplayClass || cls == cmsSigOutputClass ||
           cls == cmsSigColorSpaceClass;
}

}  // namespace

// One Little CMS transform to sRGB (or from linear sRGB to a profile), with the context it was made in.
//
// Threads: every transform is built in a context of its own, so building transforms on several
// threads at once shares no Little CMS state. Once built, a transform is only read:
// cmsDoTransform is reentrant on a shared transform (it copies the transform's one-pixel cache
// to the caller's stack on each call), so jobs use a cached transform at the same time without
// a lock.
class SrgbTransform {
public:
    SrgbTransform(cmsContext context, cmsHTRANSFORM transform) : context_(context), transform_(transform) {}
    ~SrgbTransform() {
        cmsDeleteTransform(transform_);
        cmsDeleteContext(context_);
    }
    SrgbTransform(const SrgbTransform&) = delete;
    SrgbTransform& operator=(const SrgbTransform&) = delete;

    // nullptr when Little CMS cannot read the profile or it does not describe the layout's
    // colour space.
    static std::shared_ptr<const SrgbTransform> Make(std::span<const std::uint8_t> profile, Layout layout);

    void Apply(const void* in, void* out, std::size_t pixels) const {
        cmsDoTransform(transform_, in, out, static_cast<cmsUInt32Number>(pixels));
    }

private:
    cmsContext context_;
    cmsHTRANSFORM transform_;
};

namespace {

// Linear-light sRGB floats into the profile's colours (floats again), relative colorimetric: the
// floats come from a decoder that worked in absolute colours. Float to float, and a gamma of
// exactly 1, are evaluated by Little CMS beyond 0 to 1, so colours outside sRGB reach a wider
// profile unclipped.
cmsHTRANSFORM MakeFromLinearSrgb(cmsContext context, cmsHPROFILE target, Layout layout) {
    if (!target || cmsGetColorSpace(target) != cmsSigRgbData || !IsImageProfileClass(cmsGetDeviceClass(target)))
        return nullptr;
    cmsToneCurve* linear = cmsBuildGamma(context, 1.0);
    if (!linear) return nullptr;
    cmsCIExyY d65;
    cmsWhitePointFromTemp(&d65, 6504);
    const cmsCIExyYTRIPLE primaries{{0.6400, 0.3300, 1.0}, {0.3000, 0.6000, 1.0}, {0.1500, 0.0600, 1.0}};
    cmsToneCurve* curves[3] = {linear, linear, linear};
    cmsHPROFILE source = cmsCreateRGBProfileTHR(context, &d65, &primaries, curves);
    cmsFreeToneCurve(linear);
    if (!source) return nullptr;
    // Floats out as well: a transform with 8-bit output clips its float input to 0 to 1 first.
    const bool alpha = layout == Layout::LinearFloatToBgra;
    cmsHTRANSFORM transform = cmsCreateTransformTHR(context, source, InputFormat(layout), target, InputFormat(layout),
                                                    INTENT_RELATIVE_COLORIMETRIC, alpha ? cmsFLAGS_COPY_ALPHA : 0);
    cmsCloseProfile(source);
    return transform;
}

}  // namespace

std::shared_ptr<const SrgbTransform> SrgbTransform::Make(std::span<const std::uint8_t> profile, Layout layout) {
    if (profile.size() < 128 || profile.size() > kMaxIccProfileBytes) return nullptr;
    cmsContext context = cmsCreateContext(nullptr, nullptr);
    if (!context) return nullptr;
    cmsSetLogErrorHandlerTHR(context, IgnoreLcmsError);
    cmsHPROFILE source = cmsOpenProfileFromMemTHR(context, profile.data(), static_cast<cmsUInt32Number>(profile.size()));
    cmsHPROFILE srgb = cmsCreate_sRGBProfileTHR(context);
    cmsHTRANSFORM transform = nullptr;
    if (ToProfile(layout)) {
        transform = MakeFromLinearSrgb(context, source, layout);
    } else if (source && srgb && cmsGetColorSpace(source) == SourceSpace(layout) &&
        IsImageProfileClass(cmsGetDeviceClass(source))) {
        const cmsUInt32Number out = layout == Layout::Bgrx ? TYPE_BGRA_8 : TYPE_BGR_8;
        cmsUInt32Number flags = layout == Layout::Bgrx ? cmsFLAGS_COPY_ALPHA : 0;
        // CMYK goes through the profile's own tables: the grid Little CMS would precalculate
        // from them strays up to 20 levels from them on press profiles. That costs about half a
        // microsecond a pixel, which the few CMYK files can afford.
        if (SourceSpace(layout) == cmsSigCmykData) flags |= cmsFLAGS_NOOPTIMIZE;
        transform = cmsCreateTransformTHR(context, source, InputFormat(layout), srgb, out, INTENT_PERCEPTUAL, flags);
    }
    if (source) cmsCloseProfile(source);
    if (srgb) cmsCloseProfile(srgb);
    if (!transform) {
        cmsDeleteContext(context);
        return nullptr;
    }
    try {
        return std::make_shared<const SrgbTransform>(context, transform);
    } catch (const std::bad_alloc&) {
        cmsDeleteTransform(transform);
        cmsDeleteContext(context);
        throw;
    }
}

namespace {

// Transforms by profile and layout, shared by every job of the process: building one costs
// milliseconds, and a batch of photos from one camera all hold the same profile. Profiles that
// cannot be used are remembered too. Bounded by entries and by the profile bytes it keeps.
class TransformCache {
public:
    std::shared_ptr<const SrgbTransform> Find(std::span<const std::uint8_t> profile, Layout layout) {
        const std::size_t hash = std::hash<std::string_view>{}(
            std::string_view(reinterpret_cast<const char*>(profile.data()), profile.size()));
        {
            std::lock_guard lock(mutex_);
            if (const Entry* entry = Lookup(hash, profile, layout)) return entry->transform;
        }
        // Built outside the lock, so other jobs' look-ups do not wait for it; two jobs meeting a
        // new profile at once may both build it, and the second result is simply not kept.
        std::shared_ptr<const SrgbTransform> transform = SrgbTransform::Make(profile, layout);
        if (profile.size() > kMaxKeptBytes) return transform;
        std::lock_guard lock(mutex_);
        if (const Entry* entry = Lookup(hash, profile, layout)) return entry->transform;
        while (!entries_.empty() && (entries_.size() >= kMaxEntries || keptBytes_ + profile.size() > kMaxKeptBytes)) {
            keptBytes_ -= entries_.front().profile.size();
            entries_.erase(entries_.begin());
        }
        Entry entry{hash, layout, std::vector<std::uint8_t>(profile.begin(), profile.end()), transform};
        keptBytes_ += profile.size();
        entries_.push_back(std::move(entry));
        return transform;
    }

private:
    static constexpr std::size_t kMaxEntries = 16;
    static constexpr std::size_t kMaxKeptBytes = 8u << 20;

    struct Entry {
        std::size_t hash;
        Layout layout;
        std::vector<std::uint8_t> profile;
        std::shared_ptr<const SrgbTransform> transform;  // null for an unusable profile
    };

    // The entry for these bytes, moved to the back (most recently used). The caller holds the lock.
    const Entry* Lookup(std::size_t hash, std::span<const std::uint8_t> profile, Layout layout) {
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            const Entry& e = entries_[i];
            if (e.hash != hash || e.layout != layout || e.profile.size() != profile.size() ||
                !std::equal(e.profile.begin(), e.profile.end(), profile.begin()))
                continue;
            if (i + 1 != entries_.size()) {
                Entry found = std::move(entries_[i]);
                entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
                entries_.push_back(std::move(found));
            }
            return &entries_.back();
        }
        return nullptr;
    }

    std::mutex mutex_;
    std::vector<Entry> entries_;  // least recently used first
    std::size_t keptBytes_ = 0;
};

TransformCache& SharedTransforms() {
    static TransformCache cache;
    return cache;
}

static_assert(sizeof(PaletteEntry) == 4, "palette entries are converted in place as BGRA pixels");

// Grey samples keep R = G = B in the raster, so a table of the 256 greys' sRGB colours turns the
// palette or the pixels.
void ConvertGreyToSrgb(Raster& image, std::span<const std::uint8_t> profile) {
    const std::shared_ptr<const SrgbTransform> transform = SharedTransforms().Find(profile, Layout::GreyToBgr);
    if (!transform) return;
    std::array<std::uint8_t, 256> greys;
    for (std::size_t i = 0; i < greys.size(); ++i) greys[i] = static_cast<std::uint8_t>(i);
    std::array<std::uint8_t, 256 * 3> bgr;
    transform->Apply(greys.data(), bgr.data(), greys.size());

    if (image.bitsPerPixel() <= 8) {
        for (PaletteEntry& e : image.palette()) {
            const std::size_t g = e.green;
            e = {bgr[3 * g], bgr[3 * g + 1], bgr[3 * g + 2], e.reserved};
        }
        return;
    }
    const int step = image.bitsPerPixel() / 8;
    for (int y = 0; y < image.height(); ++y) {
        std::uint8_t* p = image.row(y);
        for (int x = 0; x < image.width(); ++x, p += step) {
            const std::size_t g = p[1];
            p[0] = bgr[3 * g];
            p[1] = bgr[3 * g + 1];
            p[2] = bgr[3 * g + 2];
        }
    }
}

// The generic CMYK profile's transform for the layout, built once per process; null when its
// file is missing or Little CMS cannot use it.
std::shared_ptr<const SrgbTransform> GenericCmykTransform(Layout layout) {
    static const std::vector<std::uint8_t> profile = [] {
        try {
            return ReadFileBytes(kGenericCmykProfilePath, kMaxIccProfileBytes);
        } catch (const Error&) {
            return std::vector<std::uint8_t>{};
        }
    }();
    if (layout == Layout::InvertedCmykToBgr) {
        static const std::shared_ptr<const SrgbTransform> inverted = SrgbTransform::Make(profile, layout);
        return inverted;
    }
    static const std::shared_ptr<const SrgbTransform> plain = SrgbTransform::Make(profile, layout);
    return plain;
}

// Without any profile: each primary is the light its ink and the black let through.
void InksToBgrByArithmetic(const std::uint8_t* cmyk, std::uint8_t* bgr, std::size_t pixels, InkSamples samples) {
    const bool inverted = samples == InkSamples::Inverted;
    auto light = [inverted](std::uint8_t ink) -> unsigned { return inverted ? ink : 255u - ink; };
    for (std::size_t i = 0; i < pixels; ++i, cmyk += 4, bgr += 3) {
        const unsigned k = light(cmyk[3]);
        bgr[0] = static_cast<std::uint8_t>((light(cmyk[2]) * k + 127) / 255);
        bgr[1] = static_cast<std::uint8_t>((light(cmyk[1]) * k + 127) / 255);
        bgr[2] = static_cast<std::uint8_t>((light(cmyk[0]) * k + 127) / 255);
    }
}

}  // namespace

CmykToSrgb::CmykToSrgb(std::span<const std::uint8_t> fileProfile, InkSamples samples) : samples_(samples) {
    const Layout layout = samples == InkSamples::Inverted ? Layout::InvertedCmykToBgr : Layout::CmykToBgr;
    if (!fileProfile.empty()) transform_ = SharedTransforms().Find(fileProfile, layout);
    if (!transform_) transform_ = GenericCmykTransform(layout);
}

CmykToSrgb::~CmykToSrgb() = default;

void CmykToSrgb::ConvertRow(const std::uint8_t* cmyk, std::uint8_t* bgr, std::size_t pixels) const {
    if (transform_)
        transform_->Apply(cmyk, bgr, pixels);
    else
        InksToBgrByArithmetic(cmyk, bgr, pixels, samples_);
}

LinearSrgbToProfile::LinearSrgbToProfile(std::span<const std::uint8_t> profile, bool alpha)
    : transform_(SharedTransforms().Find(profile, alpha ? Layout::LinearFloatToBgra : Layout::LinearFloatToBgr)),
      alpha_(alpha) {}

LinearSrgbToProfile::~LinearSrgbToProfile() = default;

void LinearSrgbToProfile::ConvertRow(const float* linear, std::uint8_t* pixels, std::size_t count) const {
    if (!transform_) return;
    const std::size_t channels = alpha_ ? 4 : 3;
    scratch_.resize(count * channels);
    transform_->Apply(linear, scratch_.data(), count);
    // RGB(A) floats to BGR(A) bytes, rounded to the nearest level.
    auto level = [](float v) { return static_cast<std::uint8_t>(std::clamp(v * 255.0f + 0.5f, 0.0f, 255.0f)); };
    const float* in = scratch_.data();
    for (std::size_t i = 0; i < count; ++i, in += channels, pixels += channels) {
        pixels[0] = level(in[2]);
        pixels[1] = level(in[1]);
        pixels[2] = level(in[0]);
        if (alpha_) pixels[3] = level(in[3]);
    }
}

bool IsUsableRgbProfile(std::span<const std::uint8_t> profile) {
    return SharedTransforms().Find(profile, Layout::Bgr) != nullptr;
}

std::vector<std::uint8_t> SettleColourProfile(DecodedPicture& picture) {
    std::vector<std::uint8_t> profile = std::move(picture.iccProfile);
    picture.iccProfile.clear();
    if (profile.empty() || picture.raster.empty()) return {};
    switch (picture.sampleColours) {
        case SampleColours::Rgb:
            if (IsUsableRgbProfile(profile)) return profile;
            break;
        case SampleColours::Grey:
            ConvertGreyToSrgb(picture.raster, profile);
            break;
        case SampleColours::Cmyk:   // the reader turned the inks to RGB; the profile describes inks
        case SampleColours::Other:
            break;
    }
    return {};
}

void ConvertToSrgb(Raster& image, std::span<const std::uint8_t> profile) {
    if (image.empty() || profile.empty()) return;
    const bool palette = image.bitsPerPixel() <= 8;
    const Layout layout = palette || image.bitsPerPixel() == 32 ? Layout::Bgrx : Layout::Bgr;
    const std::shared_ptr<const SrgbTransform> transform = SharedTransforms().Find(profile, layout);
    if (!transform) return;
    if (palette) {
        std::vector<PaletteEntry>& entries = image.palette();
        transform->Apply(entries.data(), entries.data(), entries.size());
        return;
    }
    // In place, row by row: input and output have the same layout.
    for (int y = 0; y < image.height(); ++y)
        transform->Apply(image.row(y), image.row(y), static_cast<std::size_t>(image.width()));
}

}  // namespace zelvan
