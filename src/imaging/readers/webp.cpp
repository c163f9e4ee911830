// WebP reader over libwebp. A still picture decodes straight into the raster (BGR, or BGRA when
// the file has alpha); an animation gives every frame as composed on the canvas, always with
// alpha, the first as the picture's raster. The ICCP chunk is the picture's profile; the EXIF
// chunk's Orientation is left for the job's Orient step, since libwebp never turns anything.
#include <webp/decode.h>
#include <webp/demux.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "base/error.h"
#include "imaging/animation.h"
#include "imaging/colour_profile.h"
#include "imaging/orientation.h"
#include "imaging/readers/readers.h"

namespace zelvan {
namespace {

struct DemuxDeleter {
    void operator()(WebPDemuxer* d) const { WebPDemuxDelete(d); }
};
struct AnimDecoderDeleter {
    void operator()(WebPAnimDecoder* d) const { WebPAnimDecoderDelete(d); }
};

// Releases the chunk iterator on every path.
class ChunkIterator {
public:
    ChunkIterator() { std::memset(&iter_, 0, sizeof iter_); }
    ~ChunkIterator() { WebPDemuxReleaseChunkIterator(&iter_); }
    ChunkIterator(const ChunkIterator&) = delete;
    ChunkIterator& operator=(const ChunkIterator&) = delete;
    WebPChunkIterator* get() { return &iter_; }

private:
    WebPChunkIterator iter_;
};

std::span<const std::uint8_t> Chunk(WebPDemuxer* demux, const char* fourcc, ChunkIterator& it) {
    if (!WebPDemuxGetChunk(demux, fourcc, 1, it.get())) return {};
    return {it.get()->chunk.bytes, it.get()->chunk.size};
}

// The EXIF chunk holds the TIFF structure; some writers put the JPEG segment's "Exif\0\0" before it.
int ExifChunkOrientation(std::span<const std::uint8_t> exif) {
    static constexpr std::uint8_t kPrefix[] = {'E', 'x', 'i', 'f', 0, 0};
    if (exif.size() >= sizeof kPrefix && std::memcmp(exif.data(), kPrefix, sizeof kPrefix) == 0)
        exif = exif.subspan(sizeof kPrefix);
    return exif.empty() ? kOrientationAsStored : ExifOrientation(exif);
}

const char* StatusText(VP8StatusCode status) {
    switch (status) {
        case VP8_STATUS_OUT_OF_MEMORY: return "not enough memory to decode the image";
        case VP8_STATUS_NOT_ENOUGH_DATA: return "file is truncated";
        case VP8_STATUS_UNSUPPORTED_FEATURE: return "the file uses a feature the decoder does not support";
        default: return "image data is damaged";
    }
}

Raster DecodeStill(std::span<const std::uint8_t> bytes, const WebPBitstreamFeatures& features) {
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config)) throw Error("WebP: cannot start the decoder");
    Raster raster = Raster::Uninitialised(features.width, features.height, features.has_alpha ? 32 : 24);
    config.output.colorspace = features.has_alpha ? MODE_BGRA : MODE_BGR;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = raster.data();
    config.output.u.RGBA.stride = static_cast<int>(raster.stride());
    config.output.u.RGBA.size = raster.byteSize();
    const VP8StatusCode status = WebPDecode(bytes.data(), bytes.size(), &config);
    WebPFreeDecBuffer(&config.output);  // external memory: frees nothing of ours
    if (status != VP8_STATUS_OK) throw Error(std::string("WebP: ") + StatusText(status));
    return raster;
}

// Every frame of an animation as shown, composed on the canvas by libwebp, with its duration and
// the loop count. The frame count, the canvas and the total duration are checked first.
void DecodeAnimation(std::span<const std::uint8_t> bytes, DecodedPicture& picture) {
    WebPAnimDecoderOptions options;
    if (!WebPAnimDecoderOptionsInit(&options)) throw Error("WebP: cannot start the decoder");
    options.color_mode = MODE_BGRA;
    options.use_threads = 0;
    const WebPData data{bytes.data(), bytes.size()};
    std::unique_ptr<WebPAnimDecoder, AnimDecoderDeleter> decoder(WebPAnimDecoderNew(&data, &options));
    if (!decoder) throw Error("WebP: the animation is damaged");
    WebPAnimInfo info;
    if (!WebPAnimDecoderGetInfo(decoder.get(), &info)) throw Error("WebP: the animation is damaged");
    const int width = static_cast<int>(info.canvas_width), height = static_cast<int>(info.canvas_height);
    CheckAnimationSize(width, height, std::max<std::int64_t>(info.frame_count, 1), "WebP");
    // The demuxer knows every frame's duration before anything is decoded.
    const WebPDemuxer* demux = WebPAnimDecoderGetDemuxer(decoder.get());
    std::int64_t totalMs = 0;
    for (std::uint32_t i = 1; i <= info.frame_count; ++i) {
        WebPIterator it;
        if (!WebPDemuxGetFrame(demux, static_cast<int>(i), &it)) break;
        totalMs += it.duration;
        WebPDemuxReleaseIterator(&it);
    }
    CheckAnimationDuration(totalMs, "WebP");

    Animation animation;
    animation.loopCount = static_cast<int>(std::min<std::uint32_t>(info.loop_count, 65535));
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 4;
    int previousEnd = 0;
    for (std::uint32_t i = 0; i < info.frame_count; ++i) {
        std::uint8_t* pixels = nullptr;
        int end = 0;
        if (!WebPAnimDecoderGetNext(decoder.get(), &pixels, &end) || !pixels)
            throw Error(i == 0 ? "WebP: the animation's first frame is damaged or truncated"
                               : "WebP: frame " + std::to_string(i + 1) + " of the animation is damaged or truncated");
        Raster raster = Raster::Uninitialised(width, height, 32);
        for (int y = 0; y < height; ++y)
            std::memcpy(raster.row(y), pixels + rowBytes * static_cast<std::size_t>(y), rowBytes);
        // The decoder gives each frame's end; its duration is the time since the one before.
        const int durationMs = end - previousEnd;
        previousEnd = end;
        if (i == 0) {
            picture.raster = std::move(raster);
            animation.firstDurationMs = durationMs;
        } else {
            animation.furtherFrames.push_back({std::move(raster), durationMs});
        }
    }
    if (picture.raster.empty()) throw Error("WebP: the animation has no frame");
    // A one-frame animation is a still picture that happens to be stored as one.
    if (!animation.furtherFrames.empty()) picture.animation = std::move(animation);
}

}  // namespace

DecodedPicture ReadWebp(std::span<const std::uint8_t> bytes) {
    WebPBitstreamFeatures features;
    const VP8StatusCode status = WebPGetFeatures(bytes.data(), bytes.size(), &features);
    if (status != VP8_STATUS_OK) {
        if (status == VP8_STATUS_NOT_ENOUGH_DATA) throw Error("WebP: file is truncated");
        throw Error("WebP: not a valid WebP file");
    }
    CheckImageSize(features.width, features.height, "WebP");

    // The demuxer checks the container (every chunk whole) and finds the metadata chunks.
    const WebPData data{bytes.data(), bytes.size()};
    WebPDemuxState state = WEBP_DEMUX_PARSE_ERROR;
    std::unique_ptr<WebPDemuxer, DemuxDeleter> demux(WebPDemuxInternal(&data, 0, &state, WEBP_DEMUX_ABI_VERSION));
    if (!demux) throw Error(state == WEBP_DEMUX_PARSING_HEADER || state == WEBP_DEMUX_PARSED_HEADER
                                ? "WebP: file is truncated"
                                : "WebP: the file's chunks are damaged");
    const int canvasWidth = static_cast<int>(WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_WIDTH));
    const int canvasHeight = static_cast<int>(WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_HEIGHT));
    CheckImageSize(canvasWidth, canvasHeight, "WebP");

    DecodedPicture picture;
    picture.kind = PictureKind::Webp;
    if (features.has_animation) DecodeAnimation(bytes, picture);
    else picture.raster = DecodeStill(bytes, features);
    ChunkIterator exif, icc;
    picture.orientation = ExifChunkOrientation(Chunk(demux.get(), "EXIF", exif));
    const std::span<const std::uint8_t> profile = Chunk(demux.get(), "ICCP", icc);
    if (profile.size() <= kMaxIccProfileBytes) picture.iccProfile.assign(profile.begin(), profile.end());
    return picture;
}

}  // namespace zelvan
