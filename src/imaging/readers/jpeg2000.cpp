#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "base/error.h"
#include "imaging/opj_memory_stream.h"
#include "imaging/readers/readers.h"

namespace zelvan {
namespace {

constexpr std::uint8_t kJp2Signature[8] = {0x00, 0x00, 0x00, 0x0C, 0x6A, 0x50, 0x20, 0x20};
constexpr std::uint8_t kCodestreamSignature[4] = {0xFF, 0x4F, 0xFF, 0x51};
// Decoded samples are 32-bit integers per component: bound what a hostile header can ask for.
constexpr std::uint64_t kMaxDecodedSamples = std::uint64_t{1} << 29;

[[noreturn]] void DecodingFailed() { throw Error("JPEG 2000 image decoding failed"); }

void Quiet(const char*, void*) {}

// A sample brought to 8 bits: precision 8 keeps the low byte, others scale to 0..255.
inline std::uint8_t ToByte(std::int64_t sample, std::int64_t offset, std::int64_t maximum, bool eightBit) {
    std::int64_t v = sample + offset;
    if (eightBit) return static_cast<std::uint8_t>(v & 0xFF);
    return static_cast<std::uint8_t>((v * 255 / maximum) & 0xFF);
}

// Places one component into its byte of every pixel, repeating subsampled samples.
void PlaceComponent(const opj_image_comp_t& comp, Raster& raster, int bytesPerPixel, int target) {
    const int width = raster.width(), height = raster.height();
    const int dx = static_cast<int>(comp.dx), dy = static_cast<int>(comp.dy);
    const bool eightBit = comp.prec == 8;
    const std::int64_t offset = comp.sgnd ? (std::int64_t{1} << (comp.prec - 1)) : 0;
    const std::int64_t maximum = (std::int64_t{1} << comp.prec) - 1;
    for (std::uint64_t i = 0; i < comp.h; ++i) {
        const std::uint64_t top = i * static_cast<std::uint64_t>(dy);
        if (top >= static_cast<std::uint64_t>(height)) break;
        std::uint8_t* row = raster.row(static_cast<int>(top));
        const OPJ_INT32* samples = comp.data + i * comp.w;
        for (std::uint64_t j = 0; j < comp.w; ++j) {
            const std::uint64_t left = j * static_cast<std::uint64_t>(dx);
            if (left >= static_cast<std::uint64_t>(width)) break;
            const std::uint8_t v = ToByte(samples[j], offset, maximum, eightBit);
            const int end = static_cast<int>(std::min<std::uint64_t>(left + dx, width));
            for (int x = static_cast<int>(left); x < end; ++x) row[x * bytesPerPixel + target] = v;
        }
        const int last = static_cast<int>(std::min<std::uint64_t>(top + dy, height));
        for (int y = static_cast<int>(top) + 1; y < last; ++y) {
            std::uint8_t* copy = raster.row(y);
            for (int x = 0; x < width; ++x) copy[x * bytesPerPixel + target] = row[x * bytesPerPixel + target];
        }
    }
}

void YccToRgb(Raster& raster, int bytesPerPixel) {
    auto clamp = [](double v) { return static_cast<std::uint8_t>(std::clamp(std::nearbyint(v), 0.0, 255.0)); };
    for (int y = 0; y < raster.height(); ++y) {
        std::uint8_t* p = raster.row(y);
        for (int x = 0; x < raster.width(); ++x, p += bytesPerPixel) {
            const double luma = p[2], cb = p[1] - 128.0, cr = p[0] - 128.0;
            p[2] = clamp(luma + 1.402 * cr);
            p[1] = clamp(luma - 0.34414 * cb - 0.71414 * cr);
            p[0] = clamp(luma + 1.772 * cb);
        }
    }
}

}  // namespace

DecodedPicture ReadJpeg2000(std::span<const std::uint8_t> bytes) {
    OPJ_CODEC_FORMAT format;
    if (bytes.size() >= 8 && std::memcmp(bytes.data(), kJp2Signature, 8) == 0) format = OPJ_CODEC_JP2;
    else if (bytes.size() >= 8 && std::memcmp(bytes.data(), kCodestreamSignature, 4) == 0) format = OPJ_CODEC_J2K;
    else throw Error("Unknown JPEG 2000 file type");

    std::unique_ptr<opj_codec_t, OpjCodecDeleter> codec(opj_create_decompress(format));
    if (!codec) DecodingFailed();
    opj_set_info_handler(codec.get(), Quiet, nullptr);
    opj_set_warning_handler(codec.get(), Quiet, nullptr);
    opj_set_error_handler(codec.get(), Quiet, nullptr);
    opj_dparameters_t parameters;
    opj_set_default_decoder_parameters(&parameters);
    if (!opj_setup_decoder(codec.get(), &parameters)) DecodingFailed();
    // No threads of OpenJPEG's own: the run's workers already decode side by side, one core each.

    OpjReadState state{bytes, 0};
    std::unique_ptr<opj_stream_t, OpjStreamDeleter> stream(CreateOpjReadStream(state));
    if (!stream) DecodingFailed();
    opj_image_t* header = nullptr;
    if (!opj_read_header(stream.get(), codec.get(), &header)) {
        if (header) opj_image_destroy(header);
        DecodingFailed();
    }
    std::unique_ptr<opj_image_t, OpjImageDeleter> image(header);
    if (!image || image->numcomps == 0 || image->x1 <= image->x0 || image->y1 <= image->y0) DecodingFailed();

    const std::int64_t width = static_cast<std::int64_t>(image->x1) - image->x0;
    const std::int64_t height = static_cast<std::int64_t>(image->y1) - image->y0;
    CheckImageSize(width, height, "JPEG 2000");
    // Three or four components make colour pixels; any other count is read as grey from the
    // first component alone, so only that one is decoded.
    const int used = (image->numcomps == 3 || image->numcomps == 4) ? static_cast<int>(image->numcomps) : 1;
    if (static_cast<std::uint64_t>(used) * static_cast<std::uint64_t>(width * height) > kMaxDecodedSamples)
        throw Error("JPEG 2000: the image is too large to decode");
    if (used == 1 && image->numcomps > 1) {
        OPJ_UINT32 first = 0;
        if (!opj_set_decoded_components(codec.get(), 1, &first, OPJ_FALSE)) DecodingFailed();
    }
    if (!opj_decode(codec.get(), stream.get(), image.get()) || !opj_end_decompress(codec.get(), stream.get()))
        DecodingFailed();

    for (int i = 0; i < used; ++i) {
        const opj_image_comp_t& c = image->comps[i];
        if (!c.data || c.dx == 0 || c.dy == 0 || c.prec == 0 || c.prec > 31) DecodingFailed();
    }

    DecodedPicture picture;
    picture.kind = PictureKind::Jpeg2000;
    const int bytesPerPixel = used == 1 ? 1 : used;
    picture.raster = Raster(static_cast<int>(width), static_cast<int>(height), used == 1 ? 8 : used * 8);
    if (used == 1) {
        picture.raster.SetGreyPalette();
        PlaceComponent(image->comps[0], picture.raster, 1, 0);
        return picture;
    }

    // Colour channels fill red, green, blue (or luminance, blue and red difference) in order;
    // an opacity channel goes to the fourth byte. Four components without channel types are
    // read as red, green, blue and opacity.
    int colour = 0;
    for (int i = 0; i < used; ++i) {
        const opj_image_comp_t& c = image->comps[i];
        int target;
        if (c.alpha != 0) target = used == 4 ? 3 : -1;
        else if (colour < 3) target = 2 - colour++;
        else target = used == 4 ? 3 : -1;
        if (target >= 0) PlaceComponent(c, picture.raster, bytesPerPixel, target);
    }
    if (image->color_space == OPJ_CLRSPC_SYCC) YccToRgb(picture.raster, bytesPerPixel);
    return picture;
}

}  // namespace zelvan
