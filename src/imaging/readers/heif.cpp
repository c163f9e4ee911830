// HEIC/HEIF reader over libheif (HEVC through the libde265 plug-in). Only the primary image of
// the file is read, decoded to 8-bit interleaved RGB(A) (deeper samples are scaled down by
// libheif) and copied into a BGR(A) raster; an alpha plane gives a 32-bit raster. Colour given
// only by the nclx box becomes the matching profile; PQ and HLG pictures are tone mapped
// (imaging/colour_codes.h).
//
// libheif applies the container's crop, rotation (irot) and mirroring (imir) while decoding, so
// the picture comes out as meant and its orientation is 1: the EXIF Orientation inside a HEIF
// file only repeats what those boxes say and never turns it again.
#include <libheif/heif.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>

#include "base/error.h"
#include "imaging/colour_codes.h"
#include "imaging/colour_profile.h"
#include "imaging/readers/heif_container_limits.h"
#include "imaging/orientation.h"
#include "imaging/readers/readers.h"

namespace zelvan {
namespace {

// libheif's own bound on each side; the program's bound on the pixel count is checked before
// anything is decoded.
constexpr int kMaxSide = 1 << 15;

struct ContextDeleter {
    void operator()(heif_context* c) const { heif_context_free(c); }
};
struct HandleDeleter {
    void operator()(const heif_image_handle* h) const { heif_image_handle_release(h); }
};
struct ImageDeleter {
    void operator()(const heif_image* i) const { heif_image_release(i); }
};
struct OptionsDeleter {
    void operator()(heif_decoding_options* o) const { heif_decoding_options_free(o); }
};

// The plug-ins (the HEVC decoder among them) are registered once, before the first job uses
// libheif; they stay registered for the life of the process, since jobs may run at any time.
void InitialiseLibheif() {
    static std::once_flag once;
    std::call_once(once, [] { heif_init(nullptr); });
}

void Check(const heif_error& error, const char* step) {
    if (error.code == heif_error_Ok) return;
    std::string message = std::string("HEIF: ") + step;
    if (error.message && error.message[0] != '\0') message += std::string(": ") + error.message;
    throw Error(message);
}

std::vector<std::uint8_t> IccProfile(const heif_image_handle* handle) {
    const heif_color_profile_type type = heif_image_handle_get_color_profile_type(handle);
    if (type != heif_color_profile_type_prof && type != heif_color_profile_type_rICC) return {};
    const std::size_t size = heif_image_handle_get_raw_color_profile_size(handle);
    if (size == 0 || size > kMaxIccProfileBytes) return {};
    std::vector<std::uint8_t> profile(size);
    // A profile that cannot be read is left out; the picture is still good.
    if (heif_image_handle_get_raw_color_profile(handle, profile.data()).code != heif_error_Ok) return {};
    return profile;
}

// The nclx colour box's codes; unspecified ones when the file has none.
ColourCodes NclxCodes(const heif_image_handle* handle) {
    heif_color_profile_nclx* nclx = nullptr;
    if (heif_image_handle_get_nclx_color_profile(handle, &nclx).code != heif_error_Ok || !nclx) return {};
    const ColourCodes codes{static_cast<int>(nclx->color_primaries), static_cast<int>(nclx->transfer_characteristics)};
    heif_nclx_color_profile_free(nclx);
    return codes;
}

// Colours stored multiplied by their opacity, divided back with rounding; a fully transparent
// pixel keeps black.
void UnpremultiplyPixel(std::uint8_t* bgra) {
    const unsigned opacity = bgra[3];
    if (opacity == 255) return;
    for (int c = 0; c < 3; ++c) {
        const unsigned colour = opacity == 0 ? 0u : (bgra[c] * 255u + opacity / 2) / opacity;
        bgra[c] = static_cast<std::uint8_t>(colour > 255 ? 255 : colour);
    }
}

}  // namespace

DecodedPicture ReadHeif(std::span<const std::uint8_t> bytes) {
    CheckHeifContainerLimits(bytes);
    InitialiseLibheif();
    std::unique_ptr<heif_context, ContextDeleter> context(heif_context_alloc());
    if (!context) throw Error("HEIF: cannot start the decoder");
    heif_context_set_maximum_image_size_limit(context.get(), kMaxSide);
    // Jobs already decode side by side: tiles are decoded on the job's own thread.
    heif_context_set_max_decoding_threads(context.get(), 0);
    Check(heif_context_read_from_memory_without_copy(context.get(), bytes.data(), bytes.size(), nullptr),
          "not a valid HEIF file");

    heif_image_handle* rawHandle = nullptr;
    Check(heif_context_get_primary_image_handle(context.get(), &rawHandle), "the file has no primary image");
    std::unique_ptr<const heif_image_handle, HandleDeleter> handle(rawHandle);
    // The size after the container's transformations, the size of the raster.
    CheckImageSize(heif_image_handle_get_width(handle.get()), heif_image_handle_get_height(handle.get()), "HEIF");

    const bool alpha = heif_image_handle_has_alpha_channel(handle.get()) != 0;
    std::vector<std::uint8_t> profile = IccProfile(handle.get());
    // Without an ICC profile the nclx colour box says what the colours are; PQ and HLG pictures
    // are decoded at their own depth and tone mapped.
    const ColourCodes codes = profile.empty() ? NclxCodes(handle.get()) : ColourCodes{};
    const bool hdr = IsHdrTransfer(codes.transfer);
    const bool deep = hdr && heif_image_handle_get_luma_bits_per_pixel(handle.get()) > 8;
    std::unique_ptr<heif_decoding_options, OptionsDeleter> options(heif_decoding_options_alloc());
    if (!options) throw Error("HEIF: cannot start the decoder");
    options->ignore_transformations = 0;
    options->convert_hdr_to_8bit = deep ? 0 : 1;
    // Damaged image data fails the file instead of giving a partly grey picture.
    options->strict_decoding = 1;
    const heif_chroma chroma = deep ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
                                    : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    heif_image* rawImage = nullptr;
    Check(heif_decode_image(handle.get(), &rawImage, heif_colorspace_RGB, chroma, options.get()),
          "image data is damaged");
    std::unique_ptr<const heif_image, ImageDeleter> image(rawImage);

    const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
    CheckImageSize(width, height, "HEIF");
    int sourceStride = 0;
    const std::uint8_t* pixels = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &sourceStride);
    const int channels = alpha ? 4 : 3;
    const int sampleBytes = deep ? 2 : 1;
    const int bits = heif_image_get_bits_per_pixel_range(image.get(), heif_channel_interleaved);
    if (!pixels || width <= 0 || height <= 0 || sourceStride < width * channels * sampleBytes ||
        (deep ? bits <= 8 || bits > 16 : bits != 8))
        throw Error(deep ? "HEIF: the decoder gave no deep picture" : "HEIF: the decoder gave no 8-bit picture");

    // A file may store its colours multiplied by their opacity; the raster holds them as they are
    // meant (libheif hands them over as stored).
    const bool premultiplied = alpha && heif_image_handle_is_premultiplied_alpha(handle.get()) != 0;
    Raster raster = Raster::Uninitialised(width, height, alpha ? 32 : 24);
    const HdrToneMap tone(hdr ? codes.transfer : colour_code::kTransferPq);
    const unsigned top = (1u << bits) - 1;
    // A deep sample as a fraction of its full scale in 1/65535 steps.
    auto full = [top](const std::uint8_t* p) {
        const unsigned v = std::min<unsigned>(static_cast<unsigned>(p[0] | p[1] << 8), top);
        return static_cast<std::uint16_t>((v * 65535u + top / 2) / top);
    };
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* in = pixels + static_cast<std::size_t>(sourceStride) * static_cast<std::size_t>(y);
        std::uint8_t* out = raster.row(y);
        for (int x = 0; x < width; ++x, in += channels * sampleBytes, out += channels) {
            if (deep) {
                out[0] = tone(full(in + 4));
                out[1] = tone(full(in + 2));
                out[2] = tone(full(in));
                if (alpha) out[3] = static_cast<std::uint8_t>((full(in + 6) * 255u + 32767u) / 65535u);
            } else {
                out[0] = in[2];
                out[1] = in[1];
                out[2] = in[0];
                if (alpha) out[3] = in[3];
            }
            if (premultiplied) UnpremultiplyPixel(out);
        }
    }
    // 8-bit PQ or HLG samples (rare) are tone mapped as they are.
    if (hdr && !deep) ToneMapRaster(raster, codes.transfer);

    DecodedPicture picture;
    picture.kind = PictureKind::Heif;
    picture.iccProfile = profile.empty() ? ProfileForColourCodes(codes) : std::move(profile);
    picture.orientation = kOrientationAsStored;
    picture.raster = std::move(raster);
    return picture;
}

}  // namespace zelvan
