// WebP writer over libwebp, stills and animations; libwebpmux adds the ICCP and EXIF chunks around
// the encoded image.
#include <webp/encode.h>
#include <webp/mux.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "base/error.h"
#include "imaging/writers/writers.h"

namespace zelvan {
namespace {

constexpr int kMaxSide = WEBP_MAX_DIMENSION;  // 16383

struct MuxDeleter {
    void operator()(WebPMux* m) const { WebPMuxDelete(m); }
};

// Frees the picture's own buffers and the memory writer's output on every path.
struct EncoderState {
    WebPPicture picture;
    WebPMemoryWriter writer;
    EncoderState() {
        WebPPictureInit(&picture);
        WebPMemoryWriterInit(&writer);
    }
    ~EncoderState() {
        WebPPictureFree(&picture);
        WebPMemoryWriterClear(&writer);
    }
    EncoderState(const EncoderState&) = delete;
    EncoderState& operator=(const EncoderState&) = delete;
};

const char* EncodingErrorText(WebPEncodingError error) {
    switch (error) {
        case VP8_ENC_ERROR_OUT_OF_MEMORY:
        case VP8_ENC_ERROR_BITSTREAM_OUT_OF_MEMORY: return "WebP: not enough memory to encode the image";
        case VP8_ENC_ERROR_BAD_DIMENSION: return "WebP: image is too large for the format (at most 16383 pixels a side)";
        case VP8_ENC_ERROR_PARTITION0_OVERFLOW:
        case VP8_ENC_ERROR_PARTITION_OVERFLOW: return "WebP: the image is too complex for a lossy WebP file";
        default: return "WebP: the encoder failed";
    }
}

// Adds or replaces one chunk of a WebP file.
std::vector<std::uint8_t> WithChunk(std::span<const std::uint8_t> webp, const char* fourcc,
                                    std::span<const std::uint8_t> content) {
    const WebPData input{webp.data(), webp.size()};
    std::unique_ptr<WebPMux, MuxDeleter> mux(WebPMuxCreate(&input, 0));
    if (!mux) throw Error("WebP: cannot read the encoded file back to add its metadata");
    const WebPData chunk{content.data(), content.size()};
    if (WebPMuxSetChunk(mux.get(), fourcc, &chunk, 1) != WEBP_MUX_OK)
        throw Error(std::string("WebP: cannot add the ") + fourcc + " chunk");
    WebPData assembled;
    WebPDataInit(&assembled);
    if (WebPMuxAssemble(mux.get(), &assembled) != WEBP_MUX_OK) {
        WebPDataClear(&assembled);
        throw Error(std::string("WebP: cannot add the ") + fourcc + " chunk");
    }
    std::vector<std::uint8_t> out(assembled.bytes, assembled.bytes + assembled.size);
    WebPDataClear(&assembled);
    return out;
}

// The pixels into the encoder's picture: BGR, or BGRA with the mask's opacity.
void ImportPixels(WebPPicture& picture, const Raster& image, const Raster* alphaMask) {
    const int width = image.width();
    const int height = image.height();
    const int channels = alphaMask ? 4 : 3;
    const std::size_t w = static_cast<std::size_t>(width);
    const std::size_t rowBytes = w * static_cast<std::size_t>(channels);
    std::vector<std::uint8_t> pixels(rowBytes * static_cast<std::size_t>(height));
    std::vector<std::uint8_t> bgr(w * 3);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* dst = pixels.data() + rowBytes * static_cast<std::size_t>(y);
        if (!alphaMask) {
            image.ExpandRowToBgr(y, dst);
            continue;
        }
        image.ExpandRowToBgr(y, bgr.data());
        const std::uint8_t* m = alphaMask->row(y) + 2;
        const std::size_t mb = static_cast<std::size_t>(alphaMask->bitsPerPixel() / 8);
        for (std::size_t x = 0; x < w; ++x) {
            std::memcpy(dst + 4 * x, &bgr[3 * x], 3);
            dst[4 * x + 3] = m[x * mb];
        }
    }
    picture.use_argb = 1;
    picture.width = width;
    picture.height = height;
    const int stride = static_cast<int>(rowBytes);
    const int imported = alphaMask ? WebPPictureImportBGRA(&picture, pixels.data(), stride)
                                   : WebPPictureImportBGR(&picture, pixels.data(), stride);
    if (!imported) throw Error("WebP: not enough memory to encode the image");
}

WebPConfig ConfigFor(const WebpSettings& settings) {
    WebPConfig config;
    if (!WebPConfigInit(&config)) throw Error("WebP: cannot start the encoder");
    config.lossless = settings.lossless ? 1 : 0;
    config.quality = static_cast<float>(settings.quality) + static_cast<float>(settings.qualityTenths) / 10.0f;
    config.method = settings.effort;
    // Lossless keeps the colour under fully transparent pixels too, so the picture comes back whole.
    config.exact = settings.lossless ? 1 : 0;
    if (!WebPValidateConfig(&config)) throw Error("WebP: the settings are out of range");
    return config;
}

void CheckSide(int width, int height) {
    if (width > kMaxSide || height > kMaxSide)
        throw Error("WebP: image is too large for the format (at most 16383 pixels a side, this one is " +
                    std::to_string(width) + "x" + std::to_string(height) + ")");
}

struct AnimEncoderDeleter {
    void operator()(WebPAnimEncoder* e) const { WebPAnimEncoderDelete(e); }
};

}  // namespace

std::vector<std::uint8_t> EncodeWebp(const Raster& image, const Raster* alphaMask, const WebpSettings& settings,
                                     std::span<const std::uint8_t> iccProfile) {
    if (image.empty()) throw Error("WebP: there is no image to write");
    const int width = image.width();
    const int height = image.height();
    CheckSide(width, height);
    if (alphaMask && (alphaMask->width() != width || alphaMask->height() != height || alphaMask->bitsPerPixel() < 24))
        throw Error("WebP: the alpha mask does not match the image");

    const WebPConfig config = ConfigFor(settings);
    EncoderState state;
    ImportPixels(state.picture, image, alphaMask);
    state.picture.writer = WebPMemoryWrite;
    state.picture.custom_ptr = &state.writer;
    if (!WebPEncode(&config, &state.picture)) throw Error(EncodingErrorText(state.picture.error_code));
    std::vector<std::uint8_t> out(state.writer.mem, state.writer.mem + state.writer.size);
    if (!iccProfile.empty()) out = WithChunk(out, "ICCP", iccProfile);
    return out;
}

std::vector<std::uint8_t> WebpWithExif(std::span<const std::uint8_t> webp, std::span<const std::uint8_t> tiffBlock) {
    // No block, no chunk: an empty EXIF chunk would only puzzle readers.
    if (tiffBlock.empty()) return {webp.begin(), webp.end()};
    return WithChunk(webp, "EXIF", tiffBlock);
}

}  // namespace zelvan

namespace zelvan {

std::vector<std::uint8_t> EncodeWebpAnimation(std::span<const FrameToWrite> frames, int loopCount,
                                              const WebpSettings& settings, std::span<const std::uint8_t> iccProfile) {
    if (frames.empty() || !frames.front().image || frames.front().image->empty())
        throw Error("WebP: there is no image to write");
    const int width = frames.front().image->width();
    const int height = frames.front().image->height();
    CheckSide(width, height);
    for (const FrameToWrite& frame : frames) {
        if (!frame.image || frame.image->width() != width || frame.image->height() != height)
            throw Error("WebP: the animation's frames differ in size");
        const Raster* mask = frame.alphaMask;
        if (mask && (mask->width() != width || mask->height() != height || mask->bitsPerPixel() < 24))
            throw Error("WebP: the alpha mask does not match the image");
    }
    const WebPConfig config = ConfigFor(settings);

    WebPAnimEncoderOptions options;
    if (!WebPAnimEncoderOptionsInit(&options)) throw Error("WebP: cannot start the animation encoder");
    options.anim_params.loop_count = std::clamp(loopCount, 0, 65535);
    std::unique_ptr<WebPAnimEncoder, AnimEncoderDeleter> encoder(WebPAnimEncoderNew(width, height, &options));
    if (!encoder) throw Error("WebP: not enough memory to encode the animation");
    int timestamp = 0;
    for (const FrameToWrite& frame : frames) {
        EncoderState state;
        ImportPixels(state.picture, *frame.image, frame.alphaMask);
        if (!WebPAnimEncoderAdd(encoder.get(), &state.picture, timestamp, &config)) {
            const char* text = WebPAnimEncoderGetError(encoder.get());
            throw Error(std::string("WebP: ") + (text && *text ? text : "the animation encoder failed"));
        }
        // The format's timestamps are whole milliseconds in 24 bits; the sum was checked on reading.
        timestamp += std::clamp(frame.durationMs, 0, (1 << 24) - 1);
    }
    // The last frame's end gives its duration.
    if (!WebPAnimEncoderAdd(encoder.get(), nullptr, timestamp, nullptr))
        throw Error("WebP: the animation encoder failed");
    WebPData assembled;
    WebPDataInit(&assembled);
    if (!WebPAnimEncoderAssemble(encoder.get(), &assembled)) {
        WebPDataClear(&assembled);
        throw Error("WebP: cannot assemble the animation");
    }
    std::vector<std::uint8_t> out(assembled.bytes, assembled.bytes + assembled.size);
    WebPDataClear(&assembled);
    if (!iccProfile.empty()) out = WithChunk(out, "ICCP", iccProfile);
    return out;
}

}  // namespace zelvan
