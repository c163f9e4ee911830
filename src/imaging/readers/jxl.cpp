// JPEG XL reader over libjxl's decoder, single-threaded (the jobs run side by side already).
//
// The decoder is told to keep the stored orientation: the codestream's orientation goes into the
// picture for the job's Orient step, so that Auto_rotate decides for JPEG XL as for every other
// format and nothing turns the picture twice. Samples come out as 8 bits whatever the file's
// depth; an animation gives its first frame as shown. Grey files stay grey (with alpha they
// become BGRA, as grey PNG files with alpha do). A lossy file's colours come out in the colour space
// it was encoded from, with that space's profile (see ChooseColours).
#include <jxl/decode.h>
#include <jxl/decode_cxx.h>
#include <jxl/encode.h>  // the colour-encoding helpers

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/error.h"
#include "imaging/colour_profile.h"
#include "imaging/readers/readers.h"

namespace zelvan {
namespace {

[[noreturn]] void Fail(const std::string& what) { throw Error("JPEG XL: " + what); }

// sRGB described by the codestream's own fields: the picture then needs no profile.
bool IsPlainSrgb(const JxlDecoder* decoder) {
    JxlColorEncoding encoding;
    if (JxlDecoderGetColorAsEncodedProfile(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &encoding) !=
        JXL_DEC_SUCCESS)
        return false;
    return encoding.color_space != JXL_COLOR_SPACE_XYB && encoding.white_point == JXL_WHITE_POINT_D65 &&
           encoding.transfer_function == JXL_TRANSFER_FUNCTION_SRGB &&
           (encoding.color_space == JXL_COLOR_SPACE_GRAY || encoding.primaries == JXL_PRIMARIES_SRGB);
}

// The profile the file was encoded from, as ICC bytes; empty when there is none to be had.
std::vector<std::uint8_t> OriginalProfile(const JxlDecoder* decoder) {
    std::size_t size = 0;
    if (JxlDecoderGetICCProfileSize(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_ORIGINAL, &size) != JXL_DEC_SUCCESS ||
        size == 0 || size > kMaxIccProfileBytes)
        return {};
    std::vector<std::uint8_t> profile(size);
    if (JxlDecoderGetColorAsICCProfile(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_ORIGINAL, profile.data(), size) !=
        JXL_DEC_SUCCESS)
        return {};
    return profile;
}

// The profile of the pixels the decoder delivers; empty for plain sRGB.
std::vector<std::uint8_t> DataProfile(const JxlDecoder* decoder) {
    if (IsPlainSrgb(decoder)) return {};
    std::size_t size = 0;
    if (JxlDecoderGetICCProfileSize(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &size) != JXL_DEC_SUCCESS ||
        size == 0 || size > kMaxIccProfileBytes)
        return {};
    std::vector<std::uint8_t> profile(size);
    if (JxlDecoderGetColorAsICCProfile(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, profile.data(), size) !=
        JXL_DEC_SUCCESS)
        return {};
    return profile;
}

// Colour pixels of a lossy file whose original colours only an ICC profile describes: libjxl
// gives them as linear-light sRGB floats, turned here into the profile's colours row by row, so
// that neither 8-bit linear samples (posterised shadows) nor a clip to sRGB's gamut comes between.
struct LinearRows {
    std::unique_ptr<LinearSrgbToProfile> toProfile;
    Raster* raster = nullptr;
    int bytesPerPixel = 3;

    static void Deliver(void* opaque, std::size_t x, std::size_t y, std::size_t count, const void* pixels) {
        const LinearRows& rows = *static_cast<const LinearRows*>(opaque);
        if (y >= static_cast<std::size_t>(rows.raster->height()) || x + count > static_cast<std::size_t>(rows.raster->width()))
            return;
        rows.toProfile->ConvertRow(static_cast<const float*>(pixels),
                                   rows.raster->row(static_cast<int>(y)) + x * static_cast<std::size_t>(rows.bytesPerPixel),
                                   count);
    }
};

// Chooses the colours the decoder gives and the picture's profile for them. A lossless file (or
// one keeping its original samples) gives them as stored. A lossy one is coded in the format's
// own absolute colours, which the decoder can turn into the original colour space when that is
// described by the codestream's fields; when only an ICC profile describes it, the floats of
// LinearRows take them there. Otherwise (grey, or a profile Little CMS cannot use) non-linear sRGB.
void ChooseColours(JxlDecoder* dec, const JxlBasicInfo& info, bool grey, DecodedPicture& picture,
                   LinearRows& linear) {
    if (info.uses_original_profile) {
        picture.iccProfile = DataProfile(dec);
        return;
    }
    JxlColorEncoding original;
    if (JxlDecoderGetColorAsEncodedProfile(dec, nullptr, JXL_COLOR_PROFILE_TARGET_ORIGINAL, &original) ==
            JXL_DEC_SUCCESS &&
        JxlDecoderSetPreferredColorProfile(dec, &original) == JXL_DEC_SUCCESS) {
        picture.iccProfile = DataProfile(dec);
        return;
    }
    if (!grey) {
        std::vector<std::uint8_t> profile = OriginalProfile(dec);
        JxlColorEncoding linearSrgb;
        JxlColorEncodingSetToLinearSRGB(&linearSrgb, JXL_FALSE);
        if (!profile.empty() && JxlDecoderSetPreferredColorProfile(dec, &linearSrgb) == JXL_DEC_SUCCESS) {
            auto toProfile = std::make_unique<LinearSrgbToProfile>(profile, info.alpha_bits > 0);
            if (toProfile->Usable()) {
                linear.toProfile = std::move(toProfile);
                picture.iccProfile = std::move(profile);
                return;
            }
        }
    }
    JxlColorEncoding srgb;
    JxlColorEncodingSetToSRGB(&srgb, grey ? JXL_TRUE : JXL_FALSE);
    JxlDecoderSetPreferredColorProfile(dec, &srgb);
    picture.iccProfile = DataProfile(dec);
}

}  // namespace

DecodedPicture ReadJxl(std::span<const std::uint8_t> bytes) {
    const JxlSignature signature = JxlSignatureCheck(bytes.data(), bytes.size());
    if (signature == JXL_SIG_NOT_ENOUGH_BYTES) Fail("file is truncated");
    if (signature != JXL_SIG_CODESTREAM && signature != JXL_SIG_CONTAINER) Fail("not a JPEG XL file");

    JxlDecoderPtr decoder = JxlDecoderMake(nullptr);
    if (!decoder) Fail("cannot start the decoder");
    JxlDecoder* dec = decoder.get();
    if (JxlDecoderSubscribeEvents(dec, JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FULL_IMAGE) !=
            JXL_DEC_SUCCESS ||
        JxlDecoderSetKeepOrientation(dec, JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetUnpremultiplyAlpha(dec, JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(dec, bytes.data(), bytes.size()) != JXL_DEC_SUCCESS)
        Fail("cannot start the decoder");
    // The input is left open, which the decoder allows when no box is asked for: a file cut short
    // then ends in JXL_DEC_NEED_MORE_INPUT. Closed input makes that an error, which libjxl builds
    // without NDEBUG (Debian's) also print on standard error.

    DecodedPicture picture;
    picture.kind = PictureKind::JpegXl;
    JxlBasicInfo info{};
    JxlPixelFormat format{3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 4};
    bool grey = false;
    std::vector<std::uint8_t> greyAlpha;  // a grey file with alpha, as the decoder lays it out
    LinearRows linear;
    for (;;) {
        const JxlDecoderStatus status = JxlDecoderProcessInput(dec);
        switch (status) {
            case JXL_DEC_ERROR: Fail("image data is damaged");
            case JXL_DEC_NEED_MORE_INPUT: Fail("file is truncated");
            case JXL_DEC_BASIC_INFO: {
                if (JxlDecoderGetBasicInfo(dec, &info) != JXL_DEC_SUCCESS) Fail("image header is damaged");
                CheckImageSize(info.xsize, info.ysize, "JPEG XL");
                grey = info.num_color_channels == 1;
                const bool alpha = info.alpha_bits > 0;
                format.num_channels = (grey ? 1u : 3u) + (alpha ? 1u : 0u);
                picture.orientation = info.orientation >= 1 && info.orientation <= 8 ? static_cast<int>(info.orientation) : 1;
                picture.sampleColours = grey ? SampleColours::Grey : SampleColours::Rgb;
                break;
            }
            case JXL_DEC_COLOR_ENCODING:
                ChooseColours(dec, info, grey, picture, linear);
                break;
            case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
                // Grey with alpha arrives as two bytes a pixel beside the raster and is spread to
                // BGRA below; every other layout lands in the raster (rows padded to 4 bytes, as the
                // raster's are) as it will stay, apart from the byte order.
                const int depth = format.num_channels == 1 ? 8 : format.num_channels == 3 ? 24 : 32;
                picture.raster = Raster::Uninitialised(static_cast<int>(info.xsize), static_cast<int>(info.ysize), depth);
                if (depth == 8) picture.raster.SetGreyPalette();
                if (linear.toProfile) {
                    linear.raster = &picture.raster;
                    linear.bytesPerPixel = depth / 8;
                    const JxlPixelFormat floats{format.num_channels, JXL_TYPE_FLOAT, JXL_NATIVE_ENDIAN, 0};
                    if (JxlDecoderSetImageOutCallback(dec, &floats, LinearRows::Deliver, &linear) != JXL_DEC_SUCCESS)
                        Fail("unexpected image layout");
                    break;
                }
                std::size_t size = 0;
                if (JxlDecoderImageOutBufferSize(dec, &format, &size) != JXL_DEC_SUCCESS) Fail("unexpected image layout");
                std::uint8_t* out = picture.raster.data();
                if (format.num_channels == 2) {
                    greyAlpha.resize(size);
                    out = greyAlpha.data();
                } else if (size > picture.raster.byteSize()) {
                    Fail("unexpected image layout");
                }
                if (JxlDecoderSetImageOutBuffer(dec, &format, out, size) != JXL_DEC_SUCCESS) Fail("unexpected image layout");
                break;
            }
            case JXL_DEC_FULL_IMAGE:
            case JXL_DEC_SUCCESS: {
                if (picture.raster.empty()) Fail("the file holds no image");
                Raster& r = picture.raster;
                const int w = r.width();
                if (format.num_channels == 2) {
                    const std::size_t stride = (2 * static_cast<std::size_t>(w) + 3) & ~std::size_t{3};
                    for (int y = 0; y < r.height(); ++y) {
                        const std::uint8_t* src = greyAlpha.data() + stride * static_cast<std::size_t>(y);
                        std::uint8_t* dst = r.row(y);
                        for (int x = 0; x < w; ++x, src += 2, dst += 4) {
                            dst[0] = dst[1] = dst[2] = src[0];
                            dst[3] = src[1];
                        }
                    }
                } else if (!grey && !linear.toProfile) {
                    const int step = static_cast<int>(format.num_channels);
                    for (int y = 0; y < r.height(); ++y) {
                        std::uint8_t* p = r.row(y);
                        for (int x = 0; x < w; ++x, p += step) std::swap(p[0], p[2]);
                    }
                }
                return picture;
            }
            default:
                break;  // events not subscribed to, and frames before the first shown one
        }
    }
}

}  // namespace zelvan
