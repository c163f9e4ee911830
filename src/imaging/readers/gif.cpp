// GIF reader over giflib. Only the first image is decoded, row by row, and drawn onto the
// logical screen; later frames are never read, so a file with thousands of frames costs nothing.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gif_lib.h>

#include "base/error.h"
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

}  // namespace

DecodedPicture ReadGif(std::span<const std::uint8_t> bytes) {
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

}  // namespace zelvan
