#include <memory>

#include "base/error.h"
#include "imaging/opj_memory_stream.h"
#include "imaging/writers/writers.h"

namespace zelvan {
namespace {

void Quiet(const char*, void*) {}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.insert(out.end(), {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                           static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)});
}
void Put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.insert(out.end(), {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)});
}
void PutType(std::vector<std::uint8_t>& out, const char (&type)[5]) { out.insert(out.end(), type, type + 4); }

// The JP2 boxes around a codestream: signature, file type, header (image header, colour box:
// sRGB or the ICC profile, channel definitions for every component) and the codestream box.
std::vector<std::uint8_t> WrapInJp2(const std::vector<std::uint8_t>& codestream, std::uint32_t width,
                                    std::uint32_t height, int components,
                                    std::span<const std::uint8_t> iccProfile) {
    std::vector<std::uint8_t> out;
    if (iccProfile.size() > UINT32_MAX / 2) throw Error("JPEG 2000: the colour profile is too large to embed");
    out.reserve(codestream.size() + iccProfile.size() + 128);
    Put32(out, 12);
    PutType(out, "jP  ");
    Put32(out, 0x0D0A870A);

    Put32(out, 20);
    PutType(out, "ftyp");
    PutType(out, "jp2 ");
    Put32(out, 0);
    PutType(out, "jp2 ");

    const std::uint32_t ihdr = 22, cdef = 10 + 6 * static_cast<std::uint32_t>(components);
    const std::uint32_t colr = iccProfile.empty() ? 15 : 11 + static_cast<std::uint32_t>(iccProfile.size());
    Put32(out, 8 + ihdr + colr + cdef);
    PutType(out, "jp2h");
    Put32(out, ihdr);
    PutType(out, "ihdr");
    Put32(out, height);
    Put32(out, width);
    Put16(out, static_cast<std::uint16_t>(components));
    out.push_back(7);  // 8-bit unsigned samples
    out.push_back(7);  // wavelet compression
    out.push_back(0);  // colour space known
    out.push_back(0);  // no intellectual property box
    Put32(out, colr);
    PutType(out, "colr");
    if (iccProfile.empty()) {
        out.push_back(1);  // enumerated colour space
        out.push_back(0);
        out.push_back(0);
        Put32(out, 16);  // sRGB
    } else {
        out.push_back(2);  // restricted ICC profile
        out.push_back(0);
        out.push_back(0);
        out.insert(out.end(), iccProfile.begin(), iccProfile.end());
    }
    Put32(out, cdef);
    PutType(out, "cdef");
    Put16(out, static_cast<std::uint16_t>(components));
    for (int i = 0; i < components; ++i) {
        Put16(out, static_cast<std::uint16_t>(i));
        const bool opacity = i == 3;
        Put16(out, opacity ? 1 : 0);                                    // colour or opacity
        Put16(out, opacity ? 0 : static_cast<std::uint16_t>(i + 1));  // its colour, or the whole image
    }

    if (codestream.size() + 8 > UINT32_MAX) throw Error("JPEG 2000 image encoding failed");
    Put32(out, static_cast<std::uint32_t>(codestream.size() + 8));
    PutType(out, "jp2c");
    out.insert(out.end(), codestream.begin(), codestream.end());
    return out;
}

}  // namespace

float Jpeg2000Rate(int quality, int components, int width, int height) {
    // Aimed at 100 / (115 - q)^2 bytes per sample plus a fixed overhead; every step is kept in
    // single precision, as the rate is a single-precision ratio.
    const std::int32_t x = static_cast<std::int32_t>(static_cast<std::int64_t>(components) * width * height);
    const float f = static_cast<float>(100.0 / ((115.0 - quality) * (115.0 - quality)));
    const float s = static_cast<float>(static_cast<double>(x) * f + 550.0 + 142.0 * (components - 1));
    return static_cast<float>(1.0 / (static_cast<double>(s) / x));
}

int Jpeg2000Resolutions(int width, int height) {
    // Six levels where the image allows; each level halves the smaller side, which must stay
    // at least one pixel.
    int levels = 1;
    const int side = std::min(width, height);
    while (levels < 6 && (1 << levels) <= side) ++levels;
    return levels;
}

std::vector<std::uint8_t> EncodeJp2(const Raster& image, const Raster* alphaMask, int quality, bool lossless,
                                    std::span<const std::uint8_t> iccProfile, int threads) {
    const Raster* source = &image;
    Raster expanded;
    if (image.bitsPerPixel() != 24 && image.bitsPerPixel() != 32) {
        expanded = image.ToBgr24();
        source = &expanded;
    }
    if (alphaMask && (alphaMask->width() != image.width() || alphaMask->height() != image.height() ||
                      alphaMask->bitsPerPixel() < 24))
        throw Error("JPEG 2000: the alpha mask does not match the image");
    const int n = alphaMask ? 4 : 3;
    const int width = source->width(), height = source->height();

    opj_image_cmptparm_t parameters[4] = {};
    for (int i = 0; i < n; ++i) {
        parameters[i].dx = parameters[i].dy = 1;
        parameters[i].w = static_cast<OPJ_UINT32>(width);
        parameters[i].h = static_cast<OPJ_UINT32>(height);
        parameters[i].prec = 8;
        parameters[i].sgnd = 0;
    }
    std::unique_ptr<opj_image_t, OpjImageDeleter> jimage(opj_image_create(static_cast<OPJ_UINT32>(n), parameters, OPJ_CLRSPC_SRGB));
    if (!jimage) throw Error("Failed to create JPEG 2000 image struct for saving");
    jimage->x0 = jimage->y0 = 0;
    jimage->x1 = static_cast<OPJ_UINT32>(width);
    jimage->y1 = static_cast<OPJ_UINT32>(height);
    if (n == 4) jimage->comps[3].alpha = 1;

    // Component 0 red (byte 2), 1 green (byte 1), 2 blue (byte 0); 3 opacity (the mask's byte 2).
    static constexpr int kByteOf[3] = {2, 1, 0};
    const int step = source->bitsPerPixel() / 8;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = source->row(y);
        const std::size_t base = static_cast<std::size_t>(y) * width;
        for (int c = 0; c < 3; ++c) {
            OPJ_INT32* dst = jimage->comps[c].data + base;
            const std::uint8_t* p = row + kByteOf[c];
            for (int x = 0; x < width; ++x, p += step) dst[x] = *p;
        }
        if (n == 4) {
            OPJ_INT32* dst = jimage->comps[3].data + base;
            const int maskStep = alphaMask->bitsPerPixel() / 8;
            const std::uint8_t* p = alphaMask->row(y) + 2;
            for (int x = 0; x < width; ++x, p += maskStep) dst[x] = *p;
        }
    }

    opj_cparameters_t cp;
    opj_set_default_encoder_parameters(&cp);
    cp.tcp_numlayers = 1;
    cp.cp_disto_alloc = 1;
    cp.tcp_rates[0] = lossless ? 0.0f : Jpeg2000Rate(quality, n, width, height);
    cp.numresolution = Jpeg2000Resolutions(width, height);
    cp.tcp_mct = 0;

    std::unique_ptr<opj_codec_t, OpjCodecDeleter> codec(opj_create_compress(OPJ_CODEC_J2K));
    if (!codec) throw Error("JPEG 2000 image encoding failed");
    opj_set_info_handler(codec.get(), Quiet, nullptr);
    opj_set_warning_handler(codec.get(), Quiet, nullptr);
    opj_set_error_handler(codec.get(), Quiet, nullptr);
    if (!opj_setup_encoder(codec.get(), &cp, jimage.get())) throw Error("JPEG 2000 image encoding failed");
    if (opj_has_thread_support() && threads > 1) opj_codec_set_threads(codec.get(), threads);

    OpjWriteState state;
    std::unique_ptr<opj_stream_t, OpjStreamDeleter> stream(CreateOpjWriteStream(state));
    if (!stream || !opj_start_compress(codec.get(), jimage.get(), stream.get()) ||
        !opj_encode(codec.get(), stream.get()) || !opj_end_compress(codec.get(), stream.get()))
        throw Error("JPEG 2000 image encoding failed");
    stream.reset();
    return WrapInJp2(state.bytes, static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), n,
                     iccProfile);
}

}  // namespace zelvan
