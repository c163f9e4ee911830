// JPEG XL reader over libjxl's decoder, single-threaded (the jobs run side by side already).
//
// The decoder is told to keep the stored orientation: the codestream's orientation goes into the
// picture for the job's Orient step, so that Auto_rotate decides for JPEG XL as for every other
// format and nothing turns the picture twice. Samples come out as 8 bits whatever the file's
// depth; an animation gives its first frame as shown. Grey files stay grey (with alpha they
// become BGRA, as grey PNG files with alpha do).
#include <jxl/decode.h>
#include <jxl/decode_cxx.h>

#include <cstring>
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
                picture.iccProfile = DataProfile(dec);
                break;
            case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
                // Grey with alpha arrives as two bytes a pixel beside the raster and is spread to
                // BGRA below; every other layout lands in the raster (rows padded to 4 bytes, as the
                // raster's are) as it will stay, apart from the byte order.
                const int depth = format.num_channels == 1 ? 8 : format.num_channels == 3 ? 24 : 32;
                picture.raster = Raster::Uninitialised(static_cast<int>(info.xsize), static_cast<int>(info.ysize), depth);
                if (depth == 8) picture.raster.SetGreyPalette();
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
                } else if (!grey) {
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
