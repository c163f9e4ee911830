// EXIF blocks of HEIF, AVIF, WebP, JPEG XL and PNG sources, each found by its own library (or, for
// PNG, by walking the chunks), without decoding any pixels.
#include "imaging/source_exif.h"

#include <avif/avif.h>
#include <jxl/decode.h>
#include <jxl/decode_cxx.h>
#include <libheif/heif.h>
#include <webp/demux.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include "imaging/raster.h"
#include "imaging/readers/readers.h"

namespace zelvan {
namespace {

using Bytes = std::vector<std::uint8_t>;
using View = std::span<const std::uint8_t>;

std::uint32_t BigEndian32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// The block from its TIFF header on: the JPEG segment's "Exif\0\0", which some writers put in
// front of it in other containers too, is skipped. Empty for anything that is not a TIFF structure.
Bytes BareTiff(View data) {
    static constexpr std::uint8_t kSegmentPrefix[] = {'E', 'x', 'i', 'f', 0, 0};
    if (data.size() >= sizeof kSegmentPrefix && std::memcmp(data.data(), kSegmentPrefix, sizeof kSegmentPrefix) == 0)
        data = data.subspan(sizeof kSegmentPrefix);
    // The header and the offset of the first directory.
    if (data.size() < 8 || data.size() > kMaxSourceExifBytes) return {};
    const bool intel = data[0] == 'I' && data[1] == 'I' && data[2] == 42 && data[3] == 0;
    const bool motorola = data[0] == 'M' && data[1] == 'M' && data[2] == 0 && data[3] == 42;
    if (!intel && !motorola) return {};
    return Bytes(data.begin(), data.end());
}

// An item or box that opens with the offset of the TIFF header within the rest of it.
Bytes AfterHeaderOffset(View data) {
    if (data.size() < 4) return {};
    const std::uint32_t offset = BigEndian32(data.data());
    if (offset > data.size() - 4) return {};
    return BareTiff(data.subspan(4 + offset));
}

// ---- HEIF ----

struct HeifContextDeleter {
    void operator()(heif_context* c) const { heif_context_free(c); }
};
struct HeifHandleDeleter {
    void operator()(const heif_image_handle* h) const { heif_image_handle_release(h); }
};

Bytes HeifExif(View file) {
    // Registers the plug-ins once for the life of the process, as the reader does (libheif counts
    // the calls).
    static std::once_flag once;
    std::call_once(once, [] { heif_init(nullptr); });
    std::unique_ptr<heif_context, HeifContextDeleter> context(heif_context_alloc());
    if (!context) return {};
    heif_context_set_maximum_image_size_limit(context.get(), 1 << 15);
    if (heif_context_read_from_memory_without_copy(context.get(), file.data(), file.size(), nullptr).code !=
        heif_error_Ok)
        return {};
    heif_image_handle* rawHandle = nullptr;
    if (heif_context_get_primary_image_handle(context.get(), &rawHandle).code != heif_error_Ok) return {};
    std::unique_ptr<const heif_image_handle, HeifHandleDeleter> handle(rawHandle);
    heif_item_id id = 0;
    if (heif_image_handle_get_list_of_metadata_block_IDs(handle.get(), "Exif", &id, 1) < 1) return {};
    const std::size_t size = heif_image_handle_get_metadata_size(handle.get(), id);
    // The item as stored: the header offset, any prefix, then the block.
    if (size < 4 || size > kMaxSourceExifBytes + 64) return {};
    Bytes item(size);
    if (heif_image_handle_get_metadata(handle.get(), id, item.data()).code != heif_error_Ok) return {};
    return AfterHeaderOffset(item);
}

// ---- AVIF ----

struct AvifDecoderDeleter {
    void operator()(avifDecoder* d) const { avifDecoderDestroy(d); }
};

Bytes AvifExif(View file) {
    std::unique_ptr<avifDecoder, AvifDecoderDeleter> decoder(avifDecoderCreate());
    if (!decoder) return {};
    decoder->maxThreads = 1;
    decoder->imageSizeLimit = static_cast<std::uint32_t>(kMaxPixels);
    decoder->ignoreXMP = AVIF_TRUE;
    decoder->ignoreExif = AVIF_FALSE;
    if (avifDecoderSetIOMemory(decoder.get(), file.data(), file.size()) != AVIF_RESULT_OK) return {};
    // Parsing reads the container and its metadata items; the picture stays undecoded.
    if (avifDecoderParse(decoder.get()) != AVIF_RESULT_OK) return {};
    const avifRWData& exif = decoder->image->exif;
    if (!exif.data || exif.size == 0 || exif.size > kMaxSourceExifBytes + 64) return {};
    // libavif 0.11 drops the item's header offset field but not what the offset skips.
    return BareTiff({exif.data, exif.size});
}

// ---- WebP ----

struct DemuxDeleter {
    void operator()(WebPDemuxer* d) const { WebPDemuxDelete(d); }
};

Bytes WebpExif(View file) {
    const WebPData data{file.data(), file.size()};
    // Only a whole file: every chunk complete.
    std::unique_ptr<WebPDemuxer, DemuxDeleter> demux(WebPDemux(&data));
    if (!demux) return {};
    WebPChunkIterator chunk;
    std::memset(&chunk, 0, sizeof chunk);
    Bytes block;
    if (WebPDemuxGetChunk(demux.get(), "EXIF", 1, &chunk))
        block = BareTiff({chunk.chunk.bytes, chunk.chunk.size});
    WebPDemuxReleaseChunkIterator(&chunk);
    return block;
}

// ---- JPEG XL ----

// The container opens with its signature and file type boxes, its boxes all lie within the file,
// and one of them is an "Exif" box or a compressed box that may be one. A file that fails this is
// not handed to the decoder: it would only find the same, and libjxl builds without NDEBUG tell
// standard error about it.
bool HasWholeExifBox(View file) {
    static constexpr std::uint8_t kStart[] = {0, 0, 0, 0x0C, 'J', 'X', 'L', ' ', 0x0D, 0x0A, 0x87, 0x0A,
                                              0, 0, 0, 0x14, 'f', 't', 'y', 'p', 'j', 'x', 'l', ' '};
    if (file.size() < sizeof kStart || std::memcmp(file.data(), kStart, sizeof kStart) != 0) return false;
    std::size_t pos = 0;
    bool exif = false;
    while (pos < file.size()) {
        if (file.size() - pos < 8) return false;
        std::uint64_t size = BigEndian32(file.data() + pos);
        std::size_t header = 8;
        if (size == 1) {
            if (file.size() - pos < 16) return false;
            size = std::uint64_t{BigEndian32(file.data() + pos + 8)} << 32 | BigEndian32(file.data() + pos + 12);
            header = 16;
        } else if (size == 0) {
            size = file.size() - pos;  // the last box runs to the end of the file
        }
        if (size < header || size > file.size() - pos) return false;
        const std::uint8_t* type = file.data() + pos + 4;
        exif = exif || std::memcmp(type, "Exif", 4) == 0 || std::memcmp(type, "brob", 4) == 0;
        pos += static_cast<std::size_t>(size);
    }
    return exif;
}

Bytes JxlExif(View file) {
    // A bare codestream has no boxes.
    if (JxlSignatureCheck(file.data(), file.size()) != JXL_SIG_CONTAINER || !HasWholeExifBox(file)) return {};
    JxlDecoderPtr decoder = JxlDecoderMake(nullptr);
    if (!decoder) return {};
    JxlDecoder* dec = decoder.get();
    if (JxlDecoderSubscribeEvents(dec, JXL_DEC_BOX) != JXL_DEC_SUCCESS ||
        JxlDecoderSetDecompressBoxes(dec, JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(dec, file.data(), file.size()) != JXL_DEC_SUCCESS)
        return {};
    JxlDecoderCloseInput(dec);

    // The box's content: the header offset, then the block. A compressed box grows it as the
    // decoder asks, up to the limit.
    constexpr std::size_t kMaxContent = kMaxSourceExifBytes + 64;
    Bytes content;
    bool collecting = false;
    for (;;) {
        const JxlDecoderStatus status = JxlDecoderProcessInput(dec);
        if (status == JXL_DEC_BOX || status == JXL_DEC_SUCCESS) {
            if (collecting) {
                content.resize(content.size() - JxlDecoderReleaseBoxBuffer(dec));
                return AfterHeaderOffset(content);
            }
            if (status == JXL_DEC_SUCCESS) return {};
            JxlBoxType type;
            if (JxlDecoderGetBoxType(dec, type, JXL_TRUE) != JXL_DEC_SUCCESS) return {};
            if (std::memcmp(type, "Exif", 4) != 0) continue;
            std::uint64_t rawSize = 0;
            if (JxlDecoderGetBoxSizeRaw(dec, &rawSize) != JXL_DEC_SUCCESS) return {};
            content.resize(static_cast<std::size_t>(std::clamp<std::uint64_t>(rawSize, 64, kMaxContent)));
            if (JxlDecoderSetBoxBuffer(dec, content.data(), content.size()) != JXL_DEC_SUCCESS) return {};
            collecting = true;
        } else if (status == JXL_DEC_BOX_NEED_MORE_OUTPUT && collecting) {
            const std::size_t used = content.size() - JxlDecoderReleaseBoxBuffer(dec);
            if (content.size() >= kMaxContent) return {};
            content.resize(std::min(content.size() * 2, kMaxContent));
            if (JxlDecoderSetBoxBuffer(dec, content.data() + used, content.size() - used) != JXL_DEC_SUCCESS)
                return {};
        } else {
            return {};  // damaged, or cut short before the box ended
        }
    }
}

// ---- PNG ----

Bytes PngExif(View file) {
    static constexpr std::uint8_t kSignature[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (file.size() < sizeof kSignature || std::memcmp(file.data(), kSignature, sizeof kSignature) != 0) return {};
    std::size_t pos = sizeof kSignature;
    // Length, type, data and CRC.
    while (file.size() - pos >= 12) {
        const std::uint32_t length = BigEndian32(file.data() + pos);
        if (length > file.size() - pos - 12) return {};
        const std::uint8_t* type = file.data() + pos + 4;
        if (std::memcmp(type, "eXIf", 4) == 0) {
            // A damaged chunk is dropped, as the reader's library drops damaged ancillary chunks.
            if (length > kMaxSourceExifBytes) return {};
            const auto crc = static_cast<std::uint32_t>(crc32(0, type, static_cast<uInt>(length + 4)));
            if (crc != BigEndian32(type + 4 + length)) return {};
            return BareTiff({type + 4, length});
        }
        if (std::memcmp(type, "IEND", 4) == 0) return {};
        pos += 12 + std::size_t{length};
    }
    return {};
}

}  // namespace

ExifContainer ExifContainerOf(std::string_view extension) {
    const ReaderFn reader = FindReader(extension);
    if (reader == ReadHeif) return ExifContainer::Heif;
    if (reader == ReadAvif) return ExifContainer::Avif;
    if (reader == ReadWebp) return ExifContainer::Webp;
    if (reader == ReadJxl) return ExifContainer::JpegXl;
    if (reader == ReadPng) return ExifContainer::Png;
    return ExifContainer::None;
}

bool PictureComesUpright(ExifContainer container) {
    return container == ExifContainer::Heif || container == ExifContainer::Avif;
}

std::vector<std::uint8_t> SourceExifBlock(ExifContainer container, std::span<const std::uint8_t> file) {
    switch (container) {
        case ExifContainer::Heif: return HeifExif(file);
        case ExifContainer::Avif: return AvifExif(file);
        case ExifContainer::Webp: return WebpExif(file);
        case ExifContainer::JpegXl: return JxlExif(file);
        case ExifContainer::Png: return PngExif(file);
        case ExifContainer::None: break;
    }
    return {};
}

}  // namespace zelvan
