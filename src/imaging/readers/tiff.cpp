// TIFF reader over libtiff's RGBA interface, which handles every photometric, compression and
// layout libtiff knows (fax files included). Only the first directory is read. libtiff's messages
// go to handlers attached to this one handle, so decodes on other threads never mix them.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <tiffio.h>

#include "base/error.h"
#include "imaging/colour_profile.h"
#include "imaging/readers/readers.h"

namespace zelvan {
namespace {

// The largest block libtiff may allocate at once: a single-strip image at the size limit with
// four bytes per pixel. A hostile header asking for more fails instead of taking the memory.
constexpr tmsize_t kMaxTiffAllocation = tmsize_t{1} << 30;

struct TiffSource {
    std::span<const std::uint8_t> bytes;
    std::uint64_t position = 0;
    char error[512] = {};  // the first error libtiff reported
    bool failed = false;
};

tmsize_t ReadTiffBytes(thandle_t handle, void* out, tmsize_t count) {
    auto* source = static_cast<TiffSource*>(handle);
    const std::uint64_t size = source->bytes.size();
    if (count <= 0 || source->position >= size) return 0;
    const std::uint64_t n = std::min<std::uint64_t>(static_cast<std::uint64_t>(count),
                                                    size - source->position);
    std::memcpy(out, source->bytes.data() + source->position, n);
    source->position += n;
    return static_cast<tmsize_t>(n);
}

tmsize_t WriteTiffBytes(thandle_t, void*, tmsize_t) { return -1; }

toff_t SeekTiff(thandle_t handle, toff_t offset, int whence) {
    auto* source = static_cast<TiffSource*>(handle);
    std::uint64_t base = 0;
    if (whence == SEEK_CUR) base = source->position;
    else if (whence == SEEK_END) base = source->bytes.size();
    else if (whence != SEEK_SET) return static_cast<toff_t>(-1);
    // Offsets relative to the current position or the end may be negative.
    const auto delta = static_cast<std::int64_t>(offset);
    if (whence != SEEK_SET && delta < 0 && static_cast<std::uint64_t>(-delta) > base)
        return static_cast<toff_t>(-1);
    source->position = whence == SEEK_SET ? offset : base + static_cast<std::uint64_t>(delta);
    return source->position;
}

int CloseTiff(thandle_t) { return 0; }

toff_t TiffSize(thandle_t handle) { return static_cast<TiffSource*>(handle)->bytes.size(); }

// libtiff reads strips straight from the "mapped" bytes; it never writes to a mapping.
int MapTiff(thandle_t handle, void** base, toff_t* size) {
    auto* source = static_cast<TiffSource*>(handle);
    *base = const_cast<std::uint8_t*>(source->bytes.data());
    *size = source->bytes.size();
    return 1;
}

void UnmapTiff(thandle_t, void*, toff_t) {}

int OnTiffError(TIFF*, void* userData, const char* module, const char* format, va_list args) {
    auto* source = static_cast<TiffSource*>(userData);
    if (!source->failed) {
        source->failed = true;
        char text[sizeof source->error];
        std::vsnprintf(text, sizeof text, format, args);
        // Many messages start with the file name, which is empty here.
        const char* message = std::strncmp(text, ": ", 2) == 0 ? text + 2 : text;
        // Long messages are cut to the buffer.
        const int n = module && *module
                          ? std::snprintf(source->error, sizeof source->error, "%s: %s", module, message)
                          : std::snprintf(source->error, sizeof source->error, "%s", message);
        if (n < 0) std::snprintf(source->error, sizeof source->error, "unreadable message");
    }
    return 1;  // handled: nothing reaches libtiff's process-wide handlers
}

int OnTiffWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct TiffCloser {
    void operator()(TIFF* tif) const { TIFFClose(tif); }
};
struct TiffOptionsDeleter {
    void operator()(TIFFOpenOptions* options) const { TIFFOpenOptionsFree(options); }
};
struct RgbaImageEnd {
    void operator()(TIFFRGBAImage* image) const { TIFFRGBAImageEnd(image); }
};

[[noreturn]] void FailTiff(const TiffSource& source, const char* fallback) {
    throw Error(std::string("TIFF: ") + (source.failed ? source.error : fallback));
}

// libtiff's packed ABGR words to blue, green, red, alpha bytes with straight alpha, in place.
// libtiff hands colour back multiplied by alpha when the file stores it so, and when it
// multiplies unassociated alpha itself (every RGB layout does; grey with alpha is passed on as
// stored).
void AbgrToBgraInPlace(Raster& raster, bool premultiplied) {
    const std::size_t count = static_cast<std::size_t>(raster.width()) * raster.height();
    std::uint8_t* p = raster.data();
    for (std::size_t i = 0; i < count; ++i, p += 4) {
        std::uint32_t v;
        std::memcpy(&v, p, 4);
        unsigned r = TIFFGetR(v), g = TIFFGetG(v), b = TIFFGetB(v);
        const unsigned a = TIFFGetA(v);
        if (premultiplied && a != 255) {
            if (a == 0) {
                r = g = b = 0;
            } else {
                r = std::min(255u, (r * 255 + a / 2) / a);
                g = std::min(255u, (g * 255 + a / 2) / a);
                b = std::min(255u, (b * 255 + a / 2) / a);
            }
        }
        p[0] = static_cast<std::uint8_t>(b);
        p[1] = static_cast<std::uint8_t>(g);
        p[2] = static_cast<std::uint8_t>(r);
        p[3] = static_cast<std::uint8_t>(a);
    }
}

Raster AbgrToBgr(const Raster& abgr) {
    Raster out = Raster::Uninitialised(abgr.width(), abgr.height(), 24);
    for (int y = 0; y < abgr.height(); ++y) {
        const std::uint8_t* src = abgr.row(y);
        std::uint8_t* dst = out.row(y);
        for (int x = 0; x < abgr.width(); ++x, src += 4, dst += 3) {
            std::uint32_t v;
            std::memcpy(&v, src, 4);
            dst[0] = static_cast<std::uint8_t>(TIFFGetB(v));
            dst[1] = static_cast<std::uint8_t>(TIFFGetG(v));
            dst[2] = static_cast<std::uint8_t>(TIFFGetR(v));
        }
    }
    return out;
}

// libtiff's RGBA interface, asked for rows top-down and left to right, undoes the mirrors
// of an Orientation tag itself but never swaps the sides: of the eight values, what is still to
// be done to its pixels.
int OrientationLeftByLibtiff(int orientation) {
    switch (orientation) {
        case ORIENTATION_LEFTTOP: return 5;   // left as stored: still transposed
        case ORIENTATION_RIGHTTOP: return 7;  // mirrored left-right: a transverse remains
        case ORIENTATION_RIGHTBOT: return 5;  // turned 180 degrees: a transpose remains
        case ORIENTATION_LEFTBOT: return 7;   // mirrored top-bottom: a transverse remains
        default: return 1;                    // 1 to 4 come out as meant
    }
}

// The colour space of the file's samples, which its ICC profile describes.
SampleColours SamplesOf(std::uint16_t photometric) {
    switch (photometric) {
        case PHOTOMETRIC_MINISBLACK:
        case PHOTOMETRIC_MINISWHITE:
            return SampleColours::Grey;
        case PHOTOMETRIC_RGB:
        case PHOTOMETRIC_PALETTE:
        case PHOTOMETRIC_YCBCR:
            return SampleColours::Rgb;
        case PHOTOMETRIC_SEPARATED:
            return SampleColours::Cmyk;
        default:
            return SampleColours::Other;
    }
}

}  // namespace

DecodedPicture ReadTiff(std::span<const std::uint8_t> bytes) {
    TiffSource source{bytes};
    std::unique_ptr<TIFFOpenOptions, TiffOptionsDeleter> options(TIFFOpenOptionsAlloc());
    if (!options) throw Error("TIFF: cannot start the decoder");
    TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), kMaxTiffAllocation);
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), OnTiffError, &source);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), OnTiffWarning, &source);

    std::unique_ptr<TIFF, TiffCloser> tif(TIFFClientOpenExt(
        "", "r", &source, ReadTiffBytes, WriteTiffBytes, SeekTiff, CloseTiff, TiffSize, MapTiff,
        UnmapTiff, options.get()));
    if (!tif) FailTiff(source, "not a TIFF file");
    if (source.failed) FailTiff(source, "");

    std::uint32_t width = 0, height = 0;
    TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &height);
    CheckImageSize(width, height, "TIFF");

    char message[1024] = {};
    if (!TIFFRGBAImageOK(tif.get(), message)) throw Error(std::string("TIFF: ") + message);
    TIFFRGBAImage image{};
    if (!TIFFRGBAImageBegin(&image, tif.get(), /*stop on first error*/ 1, message))
        throw Error(std::string("TIFF: ") + message);
    std::unique_ptr<TIFFRGBAImage, RgbaImageEnd> imageEnd(&image);
    if (source.failed) FailTiff(source, "");
    CheckImageSize(image.width, image.height, "TIFF");

    // The RGBA interface writes width x height packed words; a 32-bit raster's rows are exactly
    // that, back to back.
    Raster rgba = Raster::Uninitialised(static_cast<int>(image.width),
                                        static_cast<int>(image.height), 32);
    image.req_orientation = ORIENTATION_TOPLEFT;
    const int ok = TIFFRGBAImageGet(&image, reinterpret_cast<std::uint32_t*>(rgba.data()),
                                    image.width, image.height);
    // An error counts even when libtiff returned partial data.
    if (!ok || source.failed) FailTiff(source, "cannot decode the image");

    DecodedPicture picture;
    picture.kind = PictureKind::Tiff;
    picture.orientation = OrientationLeftByLibtiff(image.orientation);
    picture.sampleColours = SamplesOf(image.photometric);
    std::uint32_t profileSize = 0;
    const void* profile = nullptr;
    if (TIFFGetField(tif.get(), TIFFTAG_ICCPROFILE, &profileSize, &profile) && profile &&
        profileSize <= kMaxIccProfileBytes) {
        const auto* begin = static_cast<const std::uint8_t*>(profile);
        picture.iccProfile.assign(begin, begin + profileSize);
    }
    if (image.alpha != 0) {
        const bool grey = image.photometric == PHOTOMETRIC_MINISBLACK ||
                          image.photometric == PHOTOMETRIC_MINISWHITE;
        AbgrToBgraInPlace(rgba, image.alpha == EXTRASAMPLE_ASSOCALPHA || !grey);
        picture.raster = std::move(rgba);
    } else {
        picture.raster = AbgrToBgr(rgba);
    }
    return picture;
}

}  // namespace zelvan
