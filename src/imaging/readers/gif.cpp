// GIF reader over giflib. A still picture is decoded row by row onto the logical screen in its
// palette. An animation is first outlined without decoding (frames, total delay) and checked
// against the limits; then every frame is composed on a canvas with opacity as its disposal,
// transparent index and palette say, and kept as shown.
#include <algorithm>
#include <array>
#include <optional>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gif_lib.h>

#include "base/error.h"
#include "imaging/animation.h"
#include "imaging/readers/readers.h"

namespace zelvan {
namespace {

struct GifSource {
    std::span<const std::uint8_t> bytes;
    std::size_t position = 0;
    bool ranOut = false;     // a read asked for more than was left
    std::uint8_t lastByte = 0;
};

int ReadGifBytes(GifFileType* gif, GifByteType* out, int count) {
    auto* source = static_cast<GifSource*>(gif->UserData);
    if (count <= 0) return 0;
    std::size_t n = std::min(static_cast<std::size_t>(count),
                             source->bytes.size() - source->position);
    if (n < static_cast<std::size_t>(count)) source->ranOut = true;
    if (n == 0) return 0;
    std::memcpy(out, source->bytes.data() + source->position, n);
    source->position += n;
    source->lastByte = out[n - 1];
    return static_cast<int>(n);
}

struct GifCloser {
    void operator()(GifFileType* gif) const {
        int ignored = 0;
        DGifCloseFile(gif, &ignored);
    }
};
using GifHandle = std::unique_ptr<GifFileType, GifCloser>;

[[noreturn]] void FailGif(const GifSource& source, int errorCode) {
    if (source.ranOut) throw Error("GIF: file is truncated");
    // giflib reports a short read for the one thing it refuses that is not one.
    if (errorCode == D_GIF_ERR_READ_FAILED) throw Error("GIF: invalid LZW code size");
    const char* text = GifErrorString(errorCode);
    throw Error(std::string("GIF: ") + (text ? text : "cannot decode the image"));
}

// Reads records up to the first image descriptor; extensions are skipped.
void FindFirstImage(GifFileType* gif, const GifSource& source) {
    for (;;) {
        GifRecordType record = UNDEFINED_RECORD_TYPE;
        if (DGifGetRecordType(gif, &record) == GIF_ERROR) FailGif(source, gif->Error);
        switch (record) {
            case IMAGE_DESC_RECORD_TYPE:
                if (DGifGetImageDesc(gif) == GIF_ERROR) FailGif(source, gif->Error);
                return;
            case EXTENSION_RECORD_TYPE: {
                int code = 0;
                GifByteType* block = nullptr;
                if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) FailGif(source, gif->Error);
                while (block != nullptr)
                    if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) FailGif(source, gif->Error);
                break;
            }
            case TERMINATE_RECORD_TYPE:
                throw Error("GIF: file holds no image");
            default:
                throw Error("GIF: unknown record in file");
        }
    }
}

void SetPalette(Raster& raster, const ColorMapObject* map, int codeSize) {
    std::vector<PaletteEntry>& palette = raster.palette();  // 256 entries, black
    if (map != nullptr && map->Colors != nullptr) {
        const int count = std::min(map->ColorCount, 256);
        for (int i = 0; i < count; ++i)
            palette[i] = {map->Colors[i].Blue, map->Colors[i].Green, map->Colors[i].Red, 0};
        return;
    }
    // No colour table at all: a grey ramp over the indices the image can hold keeps the picture
    // readable.
    const int count = 1 << std::clamp(codeSize, 1, 8);
    for (int i = 0; i < count; ++i) {
        auto v = static_cast<std::uint8_t>(count > 1 ? i * 255 / (count - 1) : 0);
        palette[i] = {v, v, v, 0};
    }
}

DecodedPicture ReadStill(std::span<const std::uint8_t> bytes);
DecodedPicture ReadAnimation(std::span<const std::uint8_t> bytes, std::int64_t frameCount);

// Skips an extension's data blocks.
void SkipExtension(GifFileType* gif, GifByteType* block, const GifSource& source) {
    while (block != nullptr)
        if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) FailGif(source, gif->Error);
}

// What a file holds before anything is decoded: its complete images (whose data blocks are all
// there) and the sum of their delays. Counting stops past the frame limit, so that a file of
// millions of tiny images costs no more than the limit.
struct GifOutline {
    std::int64_t frames = 0;
    std::int64_t totalMs = 0;
};

GifOutline Outline(std::span<const std::uint8_t> bytes) {
    GifOutline outline;
    GifSource source{bytes};
    int openError = 0;
    GifHandle gif(DGifOpen(&source, ReadGifBytes, &openError));
    if (!gif) return outline;
    int delayMs = 0;
    for (;;) {
        GifRecordType record = UNDEFINED_RECORD_TYPE;
        if (DGifGetRecordType(gif.get(), &record) == GIF_ERROR) return outline;
        if (record == IMAGE_DESC_RECORD_TYPE) {
            int codeSize = 0;
            GifByteType* block = nullptr;
            if (DGifGetImageDesc(gif.get()) == GIF_ERROR || DGifGetCode(gif.get(), &codeSize, &block) == GIF_ERROR)
                return outline;
            while (block != nullptr)
                if (DGifGetCodeNext(gif.get(), &block) == GIF_ERROR) return outline;
            ++outline.frames;
            outline.totalMs += delayMs;
            delayMs = 0;
            if (outline.frames > kMaxAnimationFrames) return outline;
        } else if (record == EXTENSION_RECORD_TYPE) {
            int code = 0;
            GifByteType* block = nullptr;
            if (DGifGetExtension(gif.get(), &code, &block) == GIF_ERROR) return outline;
            GraphicsControlBlock control{};
            if (code == GRAPHICS_EXT_FUNC_CODE && block != nullptr &&
                DGifExtensionToGCB(block[0], block + 1, &control) == GIF_OK)
                delayMs = control.DelayTime * 10;
            while (block != nullptr)
                if (DGifGetExtensionNext(gif.get(), &block) == GIF_ERROR) return outline;
        } else {
            return outline;
        }
    }
}

}  // namespace

DecodedPicture ReadGif(std::span<const std::uint8_t> bytes) {
    const GifOutline outline = Outline(bytes);
    if (outline.frames <= 1) return ReadStill(bytes);
    CheckAnimationSize(1, 1, outline.frames, "GIF");
    CheckAnimationDuration(outline.totalMs, "GIF");
    return ReadAnimation(bytes, outline.frames);
}

namespace {

DecodedPicture ReadStill(std::span<const std::uint8_t> bytes) {
    GifSource source{bytes};
    int openError = 0;
    GifHandle gif(DGifOpen(&source, ReadGifBytes, &openError));
    if (!gif) FailGif(source, openError);

    FindFirstImage(gif.get(), source);
    // DGifGetImageDesc ends by reading the LZW minimum code size.
    const int codeSize = source.lastByte;

    const GifImageDesc& frame = gif->Image;
    if (frame.Width > 0 && frame.Height > 0) CheckImageSize(frame.Width, frame.Height, "GIF");

    // The picture is the logical screen; a file that declares no screen takes the frame's size.
    int screenWidth = gif->SWidth;
    int screenHeight = gif->SHeight;
    int left = frame.Left;
    int top = frame.Top;
    if (screenWidth <= 0 || screenHeight <= 0) {
        screenWidth = frame.Width;
        screenHeight = frame.Height;
        left = 0;
        top = 0;
    }
    CheckImageSize(screenWidth, screenHeight, "GIF");

    DecodedPicture picture;
    picture.kind = PictureKind::Gif;
    Raster& raster = picture.raster;
    raster = Raster::Uninitialised(screenWidth, screenHeight, 8);
    SetPalette(raster, frame.ColorMap ? frame.ColorMap : gif->SColorMap, codeSize);
    const auto background = static_cast<std::uint8_t>(gif->SBackGroundColor);
    for (int y = 0; y < screenHeight; ++y) std::memset(raster.row(y), background, screenWidth);

    if (frame.Width <= 0 || frame.Height <= 0) return picture;

    // Columns of the frame that land on the screen (giflib checks neither position nor size).
    const int firstColumn = std::clamp(left, 0, screenWidth);
    const int endColumn = static_cast<int>(
        std::clamp<std::int64_t>(std::int64_t{left} + frame.Width, 0, screenWidth));
    std::vector<GifPixelType> line(static_cast<std::size_t>(frame.Width));

    auto readRow = [&](int frameRow) {
        if (DGifGetLine(gif.get(), line.data(), frame.Width) == GIF_ERROR)
            FailGif(source, gif->Error);
        const std::int64_t y = std::int64_t{top} + frameRow;
        if (y < screenHeight && firstColumn < endColumn)
            std::memcpy(raster.row(static_cast<int>(y)) + firstColumn,
                        line.data() + (firstColumn - left), endColumn - firstColumn);
    };
    if (frame.Interlace) {
        static constexpr int kStart[] = {0, 4, 2, 1};
        static constexpr int kStep[] = {8, 8, 4, 2};
        for (int pass = 0; pass < 4; ++pass)
            for (int y = kStart[pass]; y < frame.Height; y += kStep[pass]) readRow(y);
    } else {
        for (int y = 0; y < frame.Height; ++y) readRow(y);
    }
    return picture;
}

// The frame's colours as the canvas takes them (blue, green, red, opacity), the transparent index
// clear; a frame without any colour table gets the grey ramp the still reader uses.
std::array<std::uint32_t, 256> FrameColours(const ColorMapObject* map, int codeSize, int transparentIndex) {
    Raster ramp(1, 1, 8);
    SetPalette(ramp, map, codeSize);
    std::array<std::uint32_t, 256> colours{};
    for (int i = 0; i < 256; ++i) {
        const PaletteEntry& e = ramp.palette()[static_cast<std::size_t>(i)];
        colours[static_cast<std::size_t>(i)] = std::uint32_t{e.blue} | std::uint32_t{e.green} << 8 |
                                               std::uint32_t{e.red} << 16 | 0xFF000000u;
    }
    if (transparentIndex >= 0 && transparentIndex < 256) colours[static_cast<std::size_t>(transparentIndex)] = 0;
    return colours;
}

// Clears a rectangle of the canvas, clipped to it, to transparency.
void ClearArea(Raster& canvas, std::int64_t left, std::int64_t top, std::int64_t width, std::int64_t height) {
    const int x0 = static_cast<int>(std::clamp<std::int64_t>(left, 0, canvas.width()));
    const int x1 = static_cast<int>(std::clamp<std::int64_t>(left + width, 0, canvas.width()));
    const int y0 = static_cast<int>(std::clamp<std::int64_t>(top, 0, canvas.height()));
    const int y1 = static_cast<int>(std::clamp<std::int64_t>(top + height, 0, canvas.height()));
    for (int y = y0; y < y1; ++y) std::memset(canvas.row(y) + 4 * x0, 0, 4 * static_cast<std::size_t>(x1 - x0));
}

DecodedPicture ReadAnimation(std::span<const std::uint8_t> bytes, std::int64_t frameCount) {
    GifSource source{bytes};
    int openError = 0;
    GifHandle gif(DGifOpen(&source, ReadGifBytes, &openError));
    if (!gif) FailGif(source, openError);

    DecodedPicture picture;
    picture.kind = PictureKind::Gif;
    Animation animation;
    animation.loopCount = 1;  // without a NETSCAPE2.0 block the animation plays once
    Raster canvas;
    GraphicsControlBlock control{};
    control.TransparentColor = NO_TRANSPARENT_COLOR;
    std::int64_t decoded = 0;
    std::vector<GifPixelType> line;

    while (decoded < frameCount) {
        GifRecordType record = UNDEFINED_RECORD_TYPE;
        if (DGifGetRecordType(gif.get(), &record) == GIF_ERROR) FailGif(source, gif->Error);
        if (record == EXTENSION_RECORD_TYPE) {
            int code = 0;
            GifByteType* block = nullptr;
            if (DGifGetExtension(gif.get(), &code, &block) == GIF_ERROR) FailGif(source, gif->Error);
            if (code == GRAPHICS_EXT_FUNC_CODE && block != nullptr)
                DGifExtensionToGCB(block[0], block + 1, &control);
            const bool netscape = code == APPLICATION_EXT_FUNC_CODE && block != nullptr && block[0] >= 11 &&
                                  (std::memcmp(block + 1, "NETSCAPE2.0", 11) == 0 ||
                                   std::memcmp(block + 1, "ANIMEXTS1.0", 11) == 0);
            if (netscape) {
                if (DGifGetExtensionNext(gif.get(), &block) == GIF_ERROR) FailGif(source, gif->Error);
                // The block counts repeats after the first play; 0 repeats for ever.
                if (block != nullptr && block[0] >= 3 && block[1] == 1) {
                    const int repeats = block[2] | block[3] << 8;
                    animation.loopCount = repeats == 0 ? 0 : repeats + 1;
                }
            }
            SkipExtension(gif.get(), block, source);
            continue;
        }
        if (record != IMAGE_DESC_RECORD_TYPE) throw Error("GIF: the animation ends before its last frame");
        if (DGifGetImageDesc(gif.get()) == GIF_ERROR) FailGif(source, gif->Error);
        const int codeSize = source.lastByte;
        const GifImageDesc& frame = gif->Image;
        if (canvas.empty()) {
            // The canvas is the logical screen; a file that declares none takes the first frame's size.
            const int width = gif->SWidth > 0 && gif->SHeight > 0 ? gif->SWidth : frame.Width;
            const int height = gif->SWidth > 0 && gif->SHeight > 0 ? gif->SHeight : frame.Height;
            CheckAnimationSize(width, height, frameCount, "GIF");
            canvas = Raster(width, height, 32);  // clear: what no frame covers shows through
        }
        if (frame.Width > 0 && frame.Height > 0) CheckImageSize(frame.Width, frame.Height, "GIF");

        // What the frame covers is restored after it when its disposal asks for the earlier picture.
        std::optional<Raster> before;
        if (control.DisposalMode == DISPOSE_PREVIOUS) before = canvas;
        const std::array<std::uint32_t, 256> colours =
            FrameColours(frame.ColorMap ? frame.ColorMap : gif->SColorMap, codeSize, control.TransparentColor);
        const std::int64_t left = frame.Left, top = frame.Top;
        const int firstColumn = static_cast<int>(std::clamp<std::int64_t>(left, 0, canvas.width()));
        const int endColumn = static_cast<int>(std::clamp<std::int64_t>(left + frame.Width, 0, canvas.width()));
        line.resize(static_cast<std::size_t>(std::max(frame.Width, 0)));
        auto readRow = [&](int frameRow) {
            if (DGifGetLine(gif.get(), line.data(), frame.Width) == GIF_ERROR) FailGif(source, gif->Error);
            const std::int64_t y = top + frameRow;
            if (y < 0 || y >= canvas.height()) return;
            auto* dst = reinterpret_cast<std::uint8_t*>(canvas.row(static_cast<int>(y)));
            for (int x = firstColumn; x < endColumn; ++x) {
                const std::uint32_t c = colours[line[static_cast<std::size_t>(x - left)]];
                if ((c >> 24) == 0) continue;  // the transparent index leaves the canvas as it is
                std::memcpy(dst + 4 * x, &c, 4);
            }
        };
        if (frame.Width > 0 && frame.Height > 0) {
            if (frame.Interlace) {
                static constexpr int kStart[] = {0, 4, 2, 1};
                static constexpr int kStep[] = {8, 8, 4, 2};
                for (int pass = 0; pass < 4; ++pass)
                    for (int y = kStart[pass]; y < frame.Height; y += kStep[pass]) readRow(y);
            } else {
                for (int y = 0; y < frame.Height; ++y) readRow(y);
            }
        }

        const int durationMs = control.DelayTime * 10;
        if (decoded == 0) {
            picture.raster = canvas;
            animation.firstDurationMs = durationMs;
        } else {
            animation.furtherFrames.push_back({canvas, durationMs});
        }
        ++decoded;
        if (control.DisposalMode == DISPOSE_BACKGROUND) ClearArea(canvas, left, top, frame.Width, frame.Height);
        else if (before) canvas = std::move(*before);
        // A control block governs the one image that follows it.
        control = GraphicsControlBlock{};
        control.TransparentColor = NO_TRANSPARENT_COLOR;
    }
    picture.animation = std::move(animation);
    return picture;
}

}  // namespace
}  // namespace zelvan
