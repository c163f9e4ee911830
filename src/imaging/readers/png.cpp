// PNG reader over libpng's classic interface. libpng reports errors through a longjmp: the
// setjmp lives in RunLibpng alone, which holds no C++ object with a destructor.
//
// Only the pixels and their transparency are read: every other ancillary chunk (gamma, colour,
// text, ...) is skipped unparsed, its CRC still checked; the eXIf chunk's orientation and the
// iCCP chunk's profile are looked up apart from libpng. Indexed files keep their indices, with
// the opacity of each palette entry beside them; a grey or RGB file with a transparent colour
// comes out with an alpha channel.
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <string>

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <optional>

#include "base/error.h"
#include "imaging/colour_profile.h"
#include "imaging/orientation.h"
#include "imaging/readers/readers.h"

namespace zelvan {
namespace {

// Deflate turns one byte into at most 1032 (a 258-byte match in two bits); a little more here
// for block headers.
constexpr std::uint64_t kMaxInflateRatio = 1100;

// Ancillary chunks are skipped, so no chunk needs a large buffer; this caps what a hostile
// chunk could make libpng allocate should one be read after all.
constexpr png_alloc_size_t kMaxChunkBytes = 8u << 20;

struct PngJob {
    explicit PngJob(std::span<const std::uint8_t> data) : bytes(data) {}
    ~PngJob() {
        if (png) png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    }
    PngJob(const PngJob&) = delete;
    PngJob& operator=(const PngJob&) = delete;

    std::span<const std::uint8_t> bytes;
    std::size_t position = 0;
    png_structp png = nullptr;
    png_infop info = nullptr;
    char message[256] = {};

    // What the header step learns.
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    int bitDepth = 0;
    int colourType = -1;
    int bitsPerPixel = 0;  // of the raster
    int passes = 1;
    png_color palette[256] = {};
    int paletteSize = 0;
    // A tRNS chunk fit for the colour type, found before libpng starts: a grey or RGB file's
    // transparent colour is then expanded into an alpha channel by libpng.
    std::optional<std::span<const std::uint8_t>> transparency;

    Raster raster;  // allocated between the two steps
};

void OnPngError(png_structp png, png_const_charp message) {
    auto* job = static_cast<PngJob*>(png_get_error_ptr(png));
    std::snprintf(job->message, sizeof job->message, "%s", message);
    png_longjmp(png, 1);
}

// A warning while a critical chunk is being read means damaged image data; warnings about
// ancillary chunks do not matter to the pixels.
void OnPngWarning(png_structp png, png_const_charp message) {
    const png_uint_32 chunk = png_get_io_chunk_type(png);
    const bool ancillary = (chunk >> 29) & 1;  // bit 5 of the first letter: lower case
    if (chunk != 0 && !ancillary) OnPngError(png, message);
}

void ReadPngBytes(png_structp png, png_bytep out, size_t count) {
    auto* job = static_cast<PngJob*>(png_get_io_ptr(png));
    if (count > job->bytes.size() - job->position) png_error(png, "file is truncated");
    std::memcpy(out, job->bytes.data() + job->position, count);
    job->position += count;
}

enum class PngStep { ReadHeader, Decode };

// The only function that calls libpng. Returns false with job.message set on any failure.
bool RunLibpng(PngJob& job, PngStep step) {
    if (step == PngStep::ReadHeader) {
        job.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &job, OnPngError, OnPngWarning);
        if (job.png) job.info = png_create_info_struct(job.png);
        if (!job.png || !job.info) {
            std::snprintf(job.message, sizeof job.message, "cannot start the decoder");
            return false;
        }
    }
    png_structp png = job.png;
    png_infop info = job.info;
    if (setjmp(png_jmpbuf(png))) return false;

    if (step == PngStep::ReadHeader) {
        png_set_read_fn(png, &job, ReadPngBytes);
        // Damage anywhere fails the file: CRC errors in every chunk, and the "benign" errors
        // (extra or missing image data, misplaced chunks) stay errors.
        png_set_crc_action(png, PNG_CRC_ERROR_QUIT, PNG_CRC_ERROR_QUIT);
        png_set_benign_errors(png, 0);
        // Out-of-range indices read as black (the palette is padded), as in GIF files.
        png_set_check_for_invalid_index(png, 0);
        // The size limit is the program's own, checked after the header.
        png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
        png_set_chunk_malloc_max(png, kMaxChunkBytes);
        // Skip every ancillary chunk unparsed, tRNS included (the negative count names every
        // chunk libpng knows apart from the critical ones and tRNS).
        png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
        // A grey or RGB file's transparent colour is libpng's to apply (it compares the samples
        // before 16-bit files are scaled); an indexed file's tRNS is read apart, and a tRNS
        // unfit for the colour type is ignored rather than failing the file.
        static const png_byte kTrns[] = {'t', 'R', 'N', 'S', '\0'};
        png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, kTrns, 1);
        if (job.transparency) png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_AS_DEFAULT, kTrns, 1);

        png_read_info(png, info);
        png_get_IHDR(png, info, &job.width, &job.height, &job.bitDepth, &job.colourType, nullptr,
                     nullptr, nullptr);
        switch (job.colourType) {
            case PNG_COLOR_TYPE_PALETTE: {
                png_colorp colours = nullptr;
                int count = 0;
                if (png_get_PLTE(png, info, &colours, &count) && count > 0) {
                    job.paletteSize = count < 256 ? count : 256;
                    std::memcpy(job.palette, colours, sizeof(png_color) * job.paletteSize);
                }
                job.bitsPerPixel = 8;
                break;
            }
            case PNG_COLOR_TYPE_GRAY:
                job.bitsPerPixel = job.transparency ? 32 : 8;
                break;
            case PNG_COLOR_TYPE_RGB:
                job.bitsPerPixel = job.transparency ? 32 : 24;
                break;
            case PNG_COLOR_TYPE_GRAY_ALPHA:
            case PNG_COLOR_TYPE_RGB_ALPHA:
                job.bitsPerPixel = 32;
                break;
            default:
                png_error(png, "unknown colour type");
        }
        return true;
    }

    // Decode: libpng allocates its row buffers only here, after the size has been checked.
    if (job.bitDepth == 16) png_set_scale_16(png);
    switch (job.colourType) {
        case PNG_COLOR_TYPE_PALETTE:
            if (job.bitDepth < 8) png_set_packing(png);
            break;
        case PNG_COLOR_TYPE_GRAY:
            if (job.bitDepth < 8) png_set_expand_gray_1_2_4_to_8(png);
            if (job.transparency) {
                png_set_tRNS_to_alpha(png);
                png_set_gray_to_rgb(png);
            }
            break;
        case PNG_COLOR_TYPE_GRAY_ALPHA:
            png_set_gray_to_rgb(png);
            break;
        default:
            if (job.transparency) png_set_tRNS_to_alpha(png);
            png_set_bgr(png);
            break;
    }
    job.passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const std::uint64_t rowBytes = std::uint64_t{job.width} * (job.bitsPerPixel / 8);
    if (png_get_rowbytes(png, info) != rowBytes) png_error(png, "unexpected row layout");

    // Rows go straight into the raster; interlaced files take one sweep per pass, as
    // png_read_image does, without its table of row pointers.
    for (int pass = 0; pass < job.passes; ++pass)
        for (png_uint_32 y = 0; y < job.height; ++y)
            png_read_row(png, job.raster.row(static_cast<int>(y)), nullptr);
    // Reads the rest of the image data and every chunk up to IEND: a damaged or missing end
    // fails too.
    png_read_end(png, nullptr);
    return true;
}

[[noreturn]] void ThrowPng(const PngJob& job) { throw Error(std::string("PNG: ") + job.message); }

// The data of the file's first chunk of this type, found by walking the chunk list of the bytes
// libpng has just decoded (so every chunk up to IEND is known to be whole and its CRC right);
// nullopt without one. libpng's own handlers of eXIf and iCCP would turn a malformed block into
// an error of the whole file; the orientation and the profile are only kept when sound.
std::optional<std::span<const std::uint8_t>> FirstChunk(std::span<const std::uint8_t> bytes, const char (&type)[5],
                                                        bool beforeImageData = false) {
    constexpr std::size_t kSignature = 8, kHeader = 8, kCrc = 4;
    std::size_t pos = kSignature;
    while (bytes.size() >= pos && bytes.size() - pos >= kHeader + kCrc) {
        const std::uint8_t* chunk = bytes.data() + pos;
        const std::uint64_t length = std::uint64_t{chunk[0]} << 24 | std::uint64_t{chunk[1]} << 16 |
                                     std::uint64_t{chunk[2]} << 8 | chunk[3];
        if (length > bytes.size() - pos - kHeader - kCrc) break;
        if (std::memcmp(chunk + 4, "IEND", 4) == 0) break;
        if (beforeImageData && std::memcmp(chunk + 4, "IDAT", 4) == 0) break;
        if (std::memcmp(chunk + 4, type, 4) == 0) return bytes.subspan(pos + kHeader, static_cast<std::size_t>(length));
        pos += kHeader + static_cast<std::size_t>(length) + kCrc;
    }
    return std::nullopt;
}

// The file's tRNS chunk when it is fit for the colour type named in the header: before the image
// data, 2 bytes for grey, 6 for RGB, 1 to 256 entries for indexed files; nullopt otherwise
// (colour types with an alpha channel have none). The header is read here only to choose, the
// file is checked by libpng.
int HeaderColourType(std::span<const std::uint8_t> bytes) {
    constexpr std::size_t kColourTypeAt = 8 + 8 + 9;  // signature, IHDR's length and type, 9 bytes in
    return bytes.size() > kColourTypeAt ? bytes[kColourTypeAt] : -1;
}

std::optional<std::span<const std::uint8_t>> TransparencyChunk(std::span<const std::uint8_t> bytes) {
    const auto chunk = FirstChunk(bytes, "tRNS", true);
    if (!chunk) return std::nullopt;
    switch (HeaderColourType(bytes)) {
        case PNG_COLOR_TYPE_GRAY: return chunk->size() == 2 ? chunk : std::nullopt;
        case PNG_COLOR_TYPE_RGB: return chunk->size() == 6 ? chunk : std::nullopt;
        case PNG_COLOR_TYPE_PALETTE: return !chunk->empty() && chunk->size() <= 256 ? chunk : std::nullopt;
        default: return std::nullopt;
    }
}

// The opacity of each of the 256 palette entries from an indexed file's tRNS chunk; empty when
// every entry is opaque.
std::vector<std::uint8_t> PaletteOpacity(std::span<const std::uint8_t> chunk) {
    if (std::all_of(chunk.begin(), chunk.end(), [](std::uint8_t a) { return a == 255; })) return {};
    std::vector<std::uint8_t> opacity(256, 255);
    std::copy(chunk.begin(), chunk.end(), opacity.begin());
    return opacity;
}

// The Orientation tag of the eXIf chunk; a bad block means 1.
int ExifChunkOrientation(std::span<const std::uint8_t> bytes) {
    const auto exif = FirstChunk(bytes, "eXIf");
    return exif ? ExifOrientation(*exif) : kOrientationAsStored;
}

// The profile inflated from the iCCP chunk (a name of 1 to 79 bytes, its terminator, compression
// method 0, a zlib stream); empty when there is none or it is damaged.
std::vector<std::uint8_t> IccChunkProfile(std::span<const std::uint8_t> bytes) {
    const auto chunk = FirstChunk(bytes, "iCCP");
    if (!chunk) return {};
    const auto* nameEnd = static_cast<const std::uint8_t*>(std::memchr(chunk->data(), 0, std::min<std::size_t>(chunk->size(), 80)));
    if (!nameEnd || nameEnd == chunk->data()) return {};
    const std::size_t start = static_cast<std::size_t>(nameEnd - chunk->data()) + 2;
    if (start > chunk->size() || nameEnd[1] != 0) return {};

    z_stream z{};
    if (inflateInit(&z) != Z_OK) return {};
    std::vector<std::uint8_t> profile;
    z.next_in = const_cast<Bytef*>(chunk->data() + start);  // only read
    z.avail_in = static_cast<uInt>(chunk->size() - start);
    int status = Z_OK;
    while (status == Z_OK) {
        if (profile.size() >= kMaxIccProfileBytes) break;
        const std::size_t done = profile.size();
        profile.resize(std::min(kMaxIccProfileBytes, done + 64 * 1024));
        z.next_out = profile.data() + done;
        z.avail_out = static_cast<uInt>(profile.size() - done);
        status = inflate(&z, Z_NO_FLUSH);
        profile.resize(profile.size() - z.avail_out);
    }
    inflateEnd(&z);
    if (status != Z_STREAM_END) return {};
    return profile;
}

}  // namespace

DecodedPicture ReadPng(std::span<const std::uint8_t> bytes) {
    PngJob job(bytes);
    const std::optional<std::span<const std::uint8_t>> transparency = TransparencyChunk(bytes);
    if (HeaderColourType(bytes) != PNG_COLOR_TYPE_PALETTE) job.transparency = transparency;
    if (!RunLibpng(job, PngStep::ReadHeader)) ThrowPng(job);

    CheckImageSize(job.width, job.height, "PNG");
    // A file far too short for the image it declares is refused before libpng and the raster
    // take the memory for it.
    const int channels = job.colourType == PNG_COLOR_TYPE_RGB         ? 3
                         : job.colourType == PNG_COLOR_TYPE_RGB_ALPHA  ? 4
                         : job.colourType == PNG_COLOR_TYPE_GRAY_ALPHA ? 2
                                                                       : 1;
    const std::uint64_t imageBytes =
        std::uint64_t{job.height} * ((std::uint64_t{job.width} * channels * job.bitDepth + 7) / 8);
    if (imageBytes / kMaxInflateRatio > bytes.size())
        throw Error("PNG: file is truncated (too short for an image of " + std::to_string(job.width) +
                    "x" + std::to_string(job.height) + " pixels)");
    job.raster = Raster::Uninitialised(static_cast<int>(job.width), static_cast<int>(job.height),
                                       job.bitsPerPixel);
    if (job.colourType == PNG_COLOR_TYPE_GRAY) {
        job.raster.SetGreyPalette();
    } else if (job.colourType == PNG_COLOR_TYPE_PALETTE) {
        // Entries past the file's palette stay black.
        for (int i = 0; i < job.paletteSize; ++i)
            job.raster.palette()[i] = {job.palette[i].blue, job.palette[i].green,
                                       job.palette[i].red, 0};
    }

    if (!RunLibpng(job, PngStep::Decode)) ThrowPng(job);

    DecodedPicture picture;
    picture.kind = PictureKind::Png;
    picture.pngColourType = job.colourType;
    picture.pngTransparentColour = job.transparency.has_value();
    if (job.colourType == PNG_COLOR_TYPE_PALETTE && transparency) picture.paletteOpacity = PaletteOpacity(*transparency);
    picture.orientation = ExifChunkOrientation(bytes);
    picture.sampleColours = job.colourType == PNG_COLOR_TYPE_GRAY || job.colourType == PNG_COLOR_TYPE_GRAY_ALPHA
                                ? SampleColours::Grey
                                : SampleColours::Rgb;
    picture.iccProfile = IccChunkProfile(bytes);
    picture.raster = std::move(job.raster);
    return picture;
}

}  // namespace zelvan
