// AVIF writer over libavif with the aom encoder: one still image, 8 bits per sample, the mask's
// opacity as its alpha plane, the ICC profile and the EXIF block in the container.
#include <avif/avif.h>

#include <algorithm>
#include <memory>
#include <string>

#include "base/error.h"
#include "imaging/writers/writers.h"

namespace zelvan {
namespace {

// AV1 codes a frame side in 16 bits: at most 65536 pixels.
constexpr int kMaxSide = 65536;
// From this quality up the colour planes keep full resolution (4:4:4); below it, the chroma planes
// are halved both ways (4:2:0), as photographs barely show.
constexpr int kFullChromaQuality = 90;

struct ImageDeleter {
    void operator()(avifImage* i) const { avifImageDestroy(i); }
};
struct EncoderDeleter {
    void operator()(avifEncoder* e) const { avifEncoderDestroy(e); }
};
// The encoder's output, freed on every path.
struct EncodedData {
    avifRWData data = AVIF_DATA_EMPTY;
    EncodedData() = default;
    ~EncodedData() { avifRWDataFree(&data); }
    EncodedData(const EncodedData&) = delete;
    EncodedData& operator=(const EncodedData&) = delete;
};

[[noreturn]] void ThrowAvif(const char* step, avifResult result, const avifDiagnostics* diag = nullptr) {
    std::string message = std::string("AVIF: ") + step + ": " +
                          (result == AVIF_RESULT_OUT_OF_MEMORY ? "not enough memory to encode the image"
                                                               : avifResultToString(result));
    if (diag && diag->error[0] != '\0') message += std::string(" (") + diag->error + ")";
    throw Error(message);
}

// The opaque colours and the mask's opacity (its third byte) side by side, as libavif takes them.
std::vector<std::uint8_t> BgraOf(const Raster& image, const Raster& alphaMask) {
    const int width = image.width(), height = image.height();
    const int step = image.bitsPerPixel() / 8, maskStep = alphaMask.bitsPerPixel() / 8;
    std::vector<std::uint8_t> bgra(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
    std::uint8_t* out = bgra.data();
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* in = image.row(y);
        const std::uint8_t* opacity = alphaMask.row(y) + 2;
        for (int x = 0; x < width; ++x, in += step, opacity += maskStep, out += 4) {
            out[0] = in[0];
            out[1] = in[1];
            out[2] = in[2];
            out[3] = *opacity;
        }
    }
    return bgra;
}

}  // namespace

int AvifQuantizer(int quality) {
    const int q = std::clamp(quality, 1, 100);
    return ((100 - q) * AVIF_QUANTIZER_WORST_QUALITY + 50) / 100;
}

std::vector<std::uint8_t> EncodeAvif(const Raster& image, const Raster* alphaMask, const AvifSettings& settings,
                                     std::span<const std::uint8_t> iccProfile,
                                     std::span<const std::uint8_t> exifBlock) {
    if (image.empty()) throw Error("AVIF: there is no image to write");
    const int width = image.width(), height = image.height();
    if (width > kMaxSide || height > kMaxSide)
        throw Error("AVIF: image is too large for the format (at most 65536 pixels a side, this one is " +
                    std::to_string(width) + "x" + std::to_string(height) + ")");
    if (alphaMask && (alphaMask->width() != width || alphaMask->height() != height || alphaMask->bitsPerPixel() < 24))
        throw Error("AVIF: the alpha mask does not match the image");

    const Raster* source = &image;
    Raster expanded;
    if (image.bitsPerPixel() != 24 && image.bitsPerPixel() != 32) {
        expanded = image.ToBgr24();
        source = &expanded;
    }

    const avifPixelFormat format =
        settings.quality >= kFullChromaQuality ? AVIF_PIXEL_FORMAT_YUV444 : AVIF_PIXEL_FORMAT_YUV420;
    std::unique_ptr<avifImage, ImageDeleter> avif(
        avifImageCreate(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), 8, format));
    if (!avif) throw Error("AVIF: not enough memory to encode the image");
    avif->yuvRange = AVIF_RANGE_FULL;
    avif->matrixCoefficients = AVIF_MATRIX_COEFFICIENTS_BT601;
    if (iccProfile.empty()) {
        // Without a profile the pixels are sRGB, and the container says so.
        avif->colorPrimaries = AVIF_COLOR_PRIMARIES_BT709;
        avif->transferCharacteristics = AVIF_TRANSFER_CHARACTERISTICS_SRGB;
    } else {
        avifImageSetProfileICC(avif.get(), iccProfile.data(), iccProfile.size());
    }
    // A block whose Orientation is not 1 also becomes the container's rotation and mirroring:
    // the pixels are then as the source stored them, and readers turn them once.
    if (!exifBlock.empty()) avifImageSetMetadataExif(avif.get(), exifBlock.data(), exifBlock.size());

    avifRGBImage rgb;
    avifRGBImageSetDefaults(&rgb, avif.get());
    rgb.depth = 8;
    std::vector<std::uint8_t> bgra;
    if (alphaMask) {
        bgra = BgraOf(*source, *alphaMask);
        rgb.format = AVIF_RGB_FORMAT_BGRA;
        rgb.pixels = bgra.data();
        rgb.rowBytes = static_cast<std::uint32_t>(width) * 4;
    } else {
        // The raster's rows as they are; a fourth byte without a mask is no opacity.
        rgb.format = source->bitsPerPixel() == 32 ? AVIF_RGB_FORMAT_BGRA : AVIF_RGB_FORMAT_BGR;
        rgb.ignoreAlpha = AVIF_TRUE;
        rgb.pixels = const_cast<std::uint8_t*>(source->data());  // only read by the conversion
        rgb.rowBytes = static_cast<std::uint32_t>(source->stride());
    }
    avifResult result = avifImageRGBToYUV(avif.get(), &rgb);
    if (result != AVIF_RESULT_OK) ThrowAvif("cannot convert the colours", result);

    std::unique_ptr<avifEncoder, EncoderDeleter> encoder(avifEncoderCreate());
    if (!encoder) throw Error("AVIF: cannot start the encoder");
    encoder->codecChoice = AVIF_CODEC_CHOICE_AOM;
    // Jobs already encode side by side, one per core.
    encoder->maxThreads = 1;
    encoder->speed = std::clamp(settings.speed, AVIF_SPEED_SLOWEST, AVIF_SPEED_FASTEST);
    const int quantizer = AvifQuantizer(settings.quality);
    encoder->minQuantizer = quantizer;
    encoder->maxQuantizer = quantizer;
    // Opacity is kept exactly: a mask's hard edges show every coding error.
    encoder->minQuantizerAlpha = AVIF_QUANTIZER_LOSSLESS;
    encoder->maxQuantizerAlpha = AVIF_QUANTIZER_LOSSLESS;

    EncodedData output;
    result = avifEncoderWrite(encoder.get(), avif.get(), &output.data);
    if (result != AVIF_RESULT_OK) ThrowAvif("the encoder failed", result, &encoder->diag);
    return std::vector<std::uint8_t>(output.data.data, output.data.data + output.data.size);
}

}  // namespace zelvan
