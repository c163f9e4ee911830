// PNG reader: the program's own chunk walk, libdeflate's inflate of the whole image data at once,
// and the row filters undone by png_filters.
//
// Every chunk up to IEND is checked first (its CRC, its length, the order of the critical ones);
// only then is the image data, the contents of the IDAT chunks joined, inflated into one buffer
// of the size the header implies, and each row, its filter undone, converted into the raster.
// Large pictures are inflated with zlib a row at a time instead, straight into the raster, so
// that no buffer as large as the picture is held beside it.
// Interlaced files take one sweep per pass, each pass's pixels put in their places.
//
// Only the pixels and their transparency are read: every other ancillary chunk (gamma, colour,
// text, ...) is skipped unparsed, its CRC still checked; the eXIf chunk's orientation, the iCCP
// chunk's profile and the cICP chunk's colour codes (which rank above the profile) are looked up
// on their own. Indexed files keep their indices, with the
// opacity of each palette entry beside them; a grey or RGB file with a transparent colour comes
// out with an alpha channel. 16-bit samples are rounded to 8 bits as libpng's png_set_scale_16
// rounds them, and the transparent colour is compared with them before that.
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define ZELVAN_PNG_X86 1
#endif
#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "base/error.h"
#include "imaging/colour_codes.h"
#include "imaging/colour_profile.h"
#include "imaging/orientation.h"
#include "imaging/picture_memory.h"
#include "imaging/readers/png_filters.h"
#include "imaging/readers/readers.h"

namespace zelvan {
namespace {

// Deflate turns one byte into at most 1032 (a 258-byte match in two bits); a little more here
// for block headers.
constexpr std::uint64_t kMaxInflateRatio = 1100;

// Ancillary chunks are skipped, so no chunk but IDAT needs to be large; a larger one is refused
// as damage.
constexpr std::uint32_t kMaxChunkBytes = 8u << 20;
// Chunk lengths are 31-bit numbers.
constexpr std::uint32_t kMaxChunkLength = 0x7FFFFFFFu;

enum ColourType : int { kGrey = 0, kRgb = 2, kIndexed = 3, kGreyAlpha = 4, kRgba = 6 };

constexpr std::uint8_t kPngSignature[8] = {137, 'P', 'N', 'G', 13, 10, 26, 10};

std::uint32_t Be32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

unsigned Be16(const std::uint8_t* p) { return unsigned{p[0]} << 8 | p[1]; }

[[noreturn]] void Fail(const std::string& message) { throw Error("PNG: " + message); }

[[noreturn]] void FailChunk(const std::uint8_t* type, const std::string& message) {
    Fail(std::string(reinterpret_cast<const char*>(type), 4) + ": " + message);
}

bool IsType(const std::uint8_t* type, const char (&name)[5]) { return std::memcmp(type, name, 4) == 0; }

// IHDR, checked.
struct Header {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    int bitDepth = 0;
    int colourType = -1;
    bool interlaced = false;

    int Channels() const {
        switch (colourType) {
            case kRgb: return 3;
            case kGreyAlpha: return 2;
            case kRgba: return 4;
            default: return 1;
        }
    }
    // Bytes of a stored row of `pixels` pixels, without its filter type byte.
    std::uint64_t RowBytes(std::uint64_t pixels) const {
        return (pixels * static_cast<unsigned>(Channels() * bitDepth) + 7) / 8;
    }
    // The filters' pixel: whole bytes, at least one.
    std::size_t FilterPixelBytes() const {
        return static_cast<std::size_t>(std::max(1, Channels() * bitDepth / 8));
    }
};

[[noreturn]] void FailHeader(const std::string& message) { Fail("IHDR: " + message); }

Header ParseHeader(const std::uint8_t* data) {
    Header h;
    h.width = Be32(data);
    h.height = Be32(data + 4);
    h.bitDepth = data[8];
    h.colourType = data[9];
    if (h.width == 0 || h.height == 0 || h.width > kMaxChunkLength || h.height > kMaxChunkLength)
        FailHeader("invalid image size " + std::to_string(h.width) + "x" + std::to_string(h.height));
    bool depthFits = false;
    switch (h.colourType) {
        case kGrey:
            depthFits = h.bitDepth == 1 || h.bitDepth == 2 || h.bitDepth == 4 || h.bitDepth == 8 || h.bitDepth == 16;
            break;
        case kIndexed:
            depthFits = h.bitDepth == 1 || h.bitDepth == 2 || h.bitDepth == 4 || h.bitDepth == 8;
            break;
        case kRgb:
        case kGreyAlpha:
        case kRgba:
            depthFits = h.bitDepth == 8 || h.bitDepth == 16;
            break;
        default:
            FailHeader("unknown colour type " + std::to_string(h.colourType));
    }
    if (!depthFits)
        FailHeader("bit depth " + std::to_string(h.bitDepth) + " is invalid for colour type " +
             std::to_string(h.colourType));
    if (data[10] != 0) FailHeader("unknown compression method " + std::to_string(data[10]));
    if (data[11] != 0) FailHeader("unknown filter method " + std::to_string(data[11]));
    if (data[12] > 1) FailHeader("unknown interlace method " + std::to_string(data[12]));
    h.interlaced = data[12] == 1;
    return h;
}

// What the chunk walk finds: the header, the palette and the image data, every chunk up to IEND
// whole and its CRC right.
struct Chunks {
    Header header;
    std::span<const std::uint8_t> palette;              // PLTE's data, empty without one
    std::vector<std::span<const std::uint8_t>> imageData;  // the IDAT chunks' data, in order
    std::size_t imageDataBytes = 0;
    int transparencyChunks = 0;        // tRNS chunks before the image data
    bool paletteAfterTransparency = false;  // a PLTE chunk after one of them
    // The data of the first tRNS chunk before the image data, and of the first eXIf and iCCP
    // chunks wherever they stand.
    std::optional<std::span<const std::uint8_t>> transparency;
    std::optional<std::span<const std::uint8_t>> exif;
    std::optional<std::span<const std::uint8_t>> iccProfile;
    std::optional<std::span<const std::uint8_t>> colourCodes;  // cICP
};

// Walks the chunks from the signature to IEND. Critical chunks must come in their order (IHDR
// first, PLTE before the image data, the IDAT chunks one after another, IEND last); a critical
// chunk this reader does not know fails the file before the image data. After the image data
// every chunk up to IEND is only checked whole, as ancillary ones always are.
Chunks WalkChunks(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < sizeof kPngSignature) {
        if (bytes.empty() || std::memcmp(bytes.data(), kPngSignature, bytes.size()) == 0) Fail("file is truncated");
        Fail("not a PNG file");
    }
    if (std::memcmp(bytes.data(), kPngSignature, sizeof kPngSignature) != 0) Fail("not a PNG file");

    Chunks chunks;
    enum class ImageData { Before, Within, After } imageData = ImageData::Before;
    bool haveHeader = false;
    std::size_t pos = sizeof kPngSignature;
    for (;;) {
        constexpr std::size_t kHeader = 8, kCrc = 4;
        if (bytes.size() - pos < kHeader) Fail("file is truncated");
        const std::uint8_t* const type = bytes.data() + pos + 4;
        const std::uint32_t length = Be32(bytes.data() + pos);
        for (int i = 0; i < 4; ++i)
            if (!((type[i] >= 'A' && type[i] <= 'Z') || (type[i] >= 'a' && type[i] <= 'z'))) Fail("invalid chunk type");
        if (length > kMaxChunkLength) FailChunk(type, "invalid chunk length");
        if (length > bytes.size() - pos - kHeader || bytes.size() - pos - kHeader - length < kCrc)
            Fail("file is truncated");
        const std::uint8_t* const data = type + 4;
        if (libdeflate_crc32(0, type, std::size_t{4} + length) != Be32(data + length)) FailChunk(type, "CRC error");
        pos += kHeader + length + kCrc;

        const bool isImageData = IsType(type, "IDAT");
        if (!isImageData && length > kMaxChunkBytes) FailChunk(type, "chunk data is too large");
        if (!haveHeader && !IsType(type, "IHDR")) Fail("missing IHDR");
        if (IsType(type, "IHDR")) {
            if (haveHeader) FailChunk(type, "out of place");
            if (length != 13) FailChunk(type, "invalid");
            chunks.header = ParseHeader(data);
            haveHeader = true;
            continue;
        }
        const int colourType = chunks.header.colourType;
        if (isImageData) {
            if (imageData == ImageData::After) FailChunk(type, "image data chunks not consecutive");
            if (colourType == kIndexed && chunks.palette.empty()) FailChunk(type, "no palette before the image data");
            imageData = ImageData::Within;
            chunks.imageData.emplace_back(data, length);
            chunks.imageDataBytes += length;
            continue;
        }
        if (imageData == ImageData::Within) imageData = ImageData::After;
        if (IsType(type, "IEND")) {
            if (imageData == ImageData::Before) FailChunk(type, "no image data");
            if (length != 0) FailChunk(type, "invalid");
            return chunks;
        }
        if (IsType(type, "eXIf") && !chunks.exif) chunks.exif = std::span(data, length);
        if (IsType(type, "iCCP") && !chunks.iccProfile) chunks.iccProfile = std::span(data, length);
        if (IsType(type, "cICP") && !chunks.colourCodes) chunks.colourCodes = std::span(data, length);
        if (imageData == ImageData::After) continue;
        if (IsType(type, "PLTE")) {
            if (!chunks.palette.empty()) FailChunk(type, "duplicate");
            if (colourType == kGrey || colourType == kGreyAlpha) FailChunk(type, "palette in a grey image");
            if (length == 0 || length > 3 * 256 || length % 3 != 0) FailChunk(type, "invalid");
            chunks.palette = {data, length};
            chunks.paletteAfterTransparency = chunks.transparencyChunks > 0;
        } else if (IsType(type, "tRNS")) {
            if (chunks.transparencyChunks++ == 0) chunks.transparency = std::span(data, length);
        } else if ((type[0] & 0x20) == 0) {
            FailChunk(type, "unknown critical chunk");
        }
    }
}

// The file's tRNS chunk when it is fit for the colour type: before the image data, 2 bytes for
// grey, 6 for RGB, 1 to 256 entries for indexed files; nullopt otherwise (colour types with an
// alpha channel have none). Only the first tRNS chunk counts.
std::optional<std::span<const std::uint8_t>> TransparencyChunk(const Chunks& chunks) {
    const auto& chunk = chunks.transparency;
    if (!chunk) return std::nullopt;
    switch (chunks.header.colourType) {
        case kGrey: return chunk->size() == 2 ? chunk : std::nullopt;
        case kRgb: return chunk->size() == 6 ? chunk : std::nullopt;
        case kIndexed: return !chunk->empty() && chunk->size() <= 256 ? chunk : std::nullopt;
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

// The Orientation tag of the eXIf chunk; a bad block means 1, leaving the file readable.
int ExifChunkOrientation(const Chunks& chunks) {
    return chunks.exif ? ExifOrientation(*chunks.exif) : kOrientationAsStored;
}

// The profile inflated from the iCCP chunk (a name of 1 to 79 bytes, its terminator, compression
// method 0, a zlib stream); empty when there is none or it is damaged, leaving the file readable.
std::vector<std::uint8_t> IccChunkProfile(const Chunks& chunks) {
    const auto& chunk = chunks.iccProfile;
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

// The cICP chunk's codes: primaries, transfer, matrix (0: the samples are RGB, the only kind PNG
// stores) and the full-range flag (1). Nothing for a chunk that does not fit.
std::optional<ColourCodes> ColourCodesChunk(const Chunks& chunks) {
    const auto& chunk = chunks.colourCodes;
    if (!chunk || chunk->size() != 4 || (*chunk)[2] != 0 || (*chunk)[3] != 1) return std::nullopt;
    return ColourCodes{(*chunk)[0], (*chunk)[1]};
}

// ---------------------------------------------------------------------------------------------
// Rows of samples to raster pixels.

// A 16-bit sample rounded to the nearest 8-bit value (v * 255 / 65535), as png_set_scale_16.
inline std::uint8_t Scale16(const std::uint8_t* p) {
    return static_cast<std::uint8_t>((Be16(p) * 255u + 32895u) >> 16);
}

// Sample x of a row of samples of less than a byte, most significant bits first.
template <int kDepth>
inline unsigned SmallSample(const std::uint8_t* row, std::uint32_t x) {
    constexpr unsigned kPerByte = 8 / kDepth;
    const unsigned shift = 8 - kDepth * (1 + x % kPerByte);
    return (row[x / kPerByte] >> shift) & ((1u << kDepth) - 1);
}

// How stored rows become raster rows: which layout, and the transparent colour of a grey or RGB
// file (each sample reduced to the bit depth, as they are compared).
struct RowConversion {
    int colourType = kGrey;
    int bitDepth = 8;
    bool keyed = false;
    unsigned key[3] = {};

    int OutputBytes() const {
        if (colourType == kIndexed || (colourType == kGrey && !keyed)) return 1;
        if (colourType == kRgb && !keyed) return 3;
        return 4;
    }
};

// Indices, or grey levels stretched to 8 bits (times 255, 85 or 17), of samples under a byte.
template <int kDepth>
void SmallSamplesToBytes(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t width, unsigned factor) {
    for (std::uint32_t x = 0; x < width; ++x) dst[x] = static_cast<std::uint8_t>(SmallSample<kDepth>(src, x) * factor);
}

template <int kDepth>
void SmallGreyToBgra(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t width, unsigned key) {
    constexpr unsigned kFactor = 255 / ((1u << kDepth) - 1);
    for (std::uint32_t x = 0; x < width; ++x, dst += 4) {
        const unsigned v = SmallSample<kDepth>(src, x);
        dst[0] = dst[1] = dst[2] = static_cast<std::uint8_t>(v * kFactor);
        dst[3] = v == key ? 0 : 255;
    }
}

void RgbToBgrPlain(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t width) {
    for (std::uint32_t x = 0; x < width; ++x, src += 3, dst += 3) {
        const std::uint8_t r = src[0];
        dst[0] = src[2];
        dst[1] = src[1];
        dst[2] = r;
    }
}

#ifdef ZELVAN_PNG_X86
// Five pixels a step, one shuffle each: the sixteenth byte written is the next step's first.
__attribute__((target("ssse3"))) void RgbToBgrSsse3(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t width) {
    const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
    std::uint32_t x = 0;
    for (; x + 6 <= width; x += 5, src += 15, dst += 15)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst),
                         _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src)), order));
    RgbToBgrPlain(src, dst, width - x);
}
#endif

void RgbToBgr(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t width) {
#ifdef ZELVAN_PNG_X86
    static const bool ssse3 = __builtin_cpu_supports("ssse3");
    if (ssse3) return RgbToBgrSsse3(src, dst, width);
#endif
    RgbToBgrPlain(src, dst, width);
}

void RgbaToBgra(const std::uint8_t* src, std::uint8_t* dst, std::uint32_t width) {
    std::uint32_t x = 0;
#ifdef ZELVAN_PNG_X86
    // Four pixels at a time: red and blue change places within each 32-bit pixel.
    const __m128i redBlue = _mm_set1_epi32(0x00FF00FF);
    for (; x + 4 <= width; x += 4, src += 16, dst += 16) {
        const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
        const __m128i rb = _mm_and_si128(p, redBlue);
        const __m128i swapped = _mm_or_si128(_mm_slli_epi32(rb, 16), _mm_srli_epi32(rb, 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_or_si128(_mm_andnot_si128(redBlue, p), swapped));
    }
#endif
    for (; x < width; ++x, src += 4, dst += 4) {
        const std::uint8_t r = src[0];
        dst[0] = src[2];
        dst[1] = src[1];
        dst[2] = r;
        dst[3] = src[3];
    }
}

// One stored row of `width` pixels (filter undone) into OutputBytes() bytes per pixel.
void ConvertRow(const RowConversion& c, const std::uint8_t* src, std::uint8_t* dst, std::uint32_t width) {
    const bool sixteen = c.bitDepth == 16;
    switch (c.colourType) {
        case kIndexed:
        case kGrey:
            if (c.keyed) {
                switch (c.bitDepth) {
                    case 1: return SmallGreyToBgra<1>(src, dst, width, c.key[0]);
                    case 2: return SmallGreyToBgra<2>(src, dst, width, c.key[0]);
                    case 4: return SmallGreyToBgra<4>(src, dst, width, c.key[0]);
                    case 8:
                        for (std::uint32_t x = 0; x < width; ++x, dst += 4) {
                            dst[0] = dst[1] = dst[2] = src[x];
                            dst[3] = src[x] == c.key[0] ? 0 : 255;
                        }
                        return;
                    default:
                        for (std::uint32_t x = 0; x < width; ++x, src += 2, dst += 4) {
                            dst[0] = dst[1] = dst[2] = Scale16(src);
                            dst[3] = Be16(src) == c.key[0] ? 0 : 255;
                        }
                        return;
                }
            }
            {
                // Indices stay as they are; grey levels are stretched to 8 bits.
                const bool grey = c.colourType == kGrey;
                switch (c.bitDepth) {
                    case 1: return SmallSamplesToBytes<1>(src, dst, width, grey ? 255 : 1);
                    case 2: return SmallSamplesToBytes<2>(src, dst, width, grey ? 85 : 1);
                    case 4: return SmallSamplesToBytes<4>(src, dst, width, grey ? 17 : 1);
                    case 8: std::memcpy(dst, src, width); return;
                    default:
                        for (std::uint32_t x = 0; x < width; ++x, src += 2) dst[x] = Scale16(src);
                        return;
                }
            }
        case kRgb:
            if (c.keyed) {
                for (std::uint32_t x = 0; x < width; ++x, dst += 4) {
                    unsigned s[3];
                    if (sixteen) {
                        for (int i = 0; i < 3; ++i, src += 2) {
                            s[i] = Be16(src);
                            dst[2 - i] = Scale16(src);
                        }
                    } else {
                        for (int i = 0; i < 3; ++i, ++src) dst[2 - i] = static_cast<std::uint8_t>(s[i] = *src);
                    }
                    dst[3] = s[0] == c.key[0] && s[1] == c.key[1] && s[2] == c.key[2] ? 0 : 255;
                }
                return;
            }
            if (!sixteen) return RgbToBgr(src, dst, width);
            for (std::uint32_t x = 0; x < width; ++x, src += 6, dst += 3) {
                dst[0] = Scale16(src + 4);
                dst[1] = Scale16(src + 2);
                dst[2] = Scale16(src);
            }
            return;
        case kGreyAlpha:
            for (std::uint32_t x = 0; x < width; ++x, dst += 4) {
                if (sixteen) {
                    dst[0] = dst[1] = dst[2] = Scale16(src);
                    dst[3] = Scale16(src + 2);
                    src += 4;
                } else {
                    dst[0] = dst[1] = dst[2] = src[0];
                    dst[3] = src[1];
                    src += 2;
                }
            }
            return;
        default:  // RGBA
            if (!sixteen) return RgbaToBgra(src, dst, width);
            for (std::uint32_t x = 0; x < width; ++x, src += 8, dst += 4) {
                dst[0] = Scale16(src + 4);
                dst[1] = Scale16(src + 2);
                dst[2] = Scale16(src);
                dst[3] = Scale16(src + 6);
            }
            return;
    }
}

// ---------------------------------------------------------------------------------------------
// Image data.

// A pass of the image: the whole of it, or one of Adam7's seven.
struct Pass {
    std::uint32_t x0, y0, dx, dy;
};
constexpr Pass kWholeImage = {0, 0, 1, 1};
constexpr Pass kAdam7[7] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                            {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};

// Pixels of a pass across a side of `size`; a pass with none in either direction has no rows
// in the file.
std::uint32_t PassPixels(std::uint32_t size, std::uint32_t start, std::uint32_t step) {
    return size > start ? (size - start + step - 1) / step : 0;
}

std::span<const Pass> PassesOf(const Header& h) {
    return h.interlaced ? std::span<const Pass>(kAdam7) : std::span<const Pass>(&kWholeImage, 1);
}

// Bytes the inflated image data must have: every row of every pass with its filter type byte.
std::uint64_t InflatedBytes(const Header& h) {
    std::uint64_t total = 0;
    for (const Pass& p : PassesOf(h)) {
        const std::uint32_t w = PassPixels(h.width, p.x0, p.dx), rows = PassPixels(h.height, p.y0, p.dy);
        if (w != 0 && rows != 0) total += rows * (1 + h.RowBytes(w));
    }
    return total;
}

constexpr std::size_t kHugePage = std::size_t{2} << 20;

struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

constexpr std::uint8_t kImageDataType[4] = {'I', 'D', 'A', 'T'};

// The two bytes of the zlib header, checked as the format allows them.
void CheckZlibHeader(std::span<const std::uint8_t> in) {
    if (in.size() < 2) FailChunk(kImageDataType, "not enough image data");
    if ((in[0] >> 4) > 7) FailChunk(kImageDataType, "invalid window size");
    if ((in[0] << 8 | in[1]) % 31 != 0) FailChunk(kImageDataType, "incorrect header check");
    if ((in[0] & 0x0F) != 8) FailChunk(kImageDataType, "unknown compression method");
    if (in[1] & 0x20) FailChunk(kImageDataType, "preset dictionary not allowed");
}

// The IDAT data as one zlib stream inflated into `out`, which it must fill exactly, ending where
// the data ends.
void InflateImageData(std::span<const std::uint8_t> in, std::uint8_t* out, std::size_t size) {
    CheckZlibHeader(in);
    std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor(libdeflate_alloc_decompressor());
    if (!decompressor) Fail("not enough memory");
    std::size_t used = 0, produced = 0;
    switch (libdeflate_zlib_decompress_ex(decompressor.get(), in.data(), in.size(), out, size, &used, &produced)) {
        case LIBDEFLATE_SUCCESS:
            if (produced < size) FailChunk(kImageDataType, "not enough image data");
            if (used < in.size()) FailChunk(kImageDataType, "extra compressed data");
            return;
        case LIBDEFLATE_INSUFFICIENT_SPACE:
            FailChunk(kImageDataType, "too much image data");
        default:
            FailChunk(kImageDataType, "damaged compressed data");
    }
}

// Inflated image data above this size is inflated a row at a time into the raster, so that a
// large picture (or a small file that claims one) takes little more than its raster; below it,
// libdeflate's inflate of the whole data at once is several times faster than zlib's.
constexpr std::uint64_t kInflateInPartsFrom = std::uint64_t{64} << 20;

// The IDAT chunks' data as one zlib stream, inflated piece by piece with zlib, straight from the
// chunks (never joined). Fails as InflateImageData does.
class ImageDataStream {
public:
    explicit ImageDataStream(const std::vector<std::span<const std::uint8_t>>& pieces) : pieces_(pieces) {
        std::uint8_t header[2];
        std::size_t got = 0;
        for (const auto& piece : pieces_)
            for (std::size_t i = 0; i < piece.size() && got < 2; ++i) header[got++] = piece[i];
        CheckZlibHeader({header, got});
        if (inflateInit(&z_) != Z_OK) Fail("not enough memory");
    }
    ~ImageDataStream() { inflateEnd(&z_); }
    ImageDataStream(const ImageDataStream&) = delete;
    ImageDataStream& operator=(const ImageDataStream&) = delete;

    // The next `size` bytes of inflated data.
    void Read(std::uint8_t* out, std::size_t size) {
        z_.next_out = out;
        z_.avail_out = static_cast<uInt>(size);
        while (z_.avail_out > 0) {
            if (ended_) FailChunk(kImageDataType, "not enough image data");
            if (!Feed()) FailChunk(kImageDataType, "not enough image data");
            Step();
        }
    }

    // The stream must end here, its checksum right, with no data after it.
    void Finish() {
        std::uint8_t extra = 0;
        while (!ended_) {
            z_.next_out = &extra;
            z_.avail_out = 1;
            if (!Feed()) FailChunk(kImageDataType, "damaged compressed data");
            Step();
            if (z_.avail_out == 0) FailChunk(kImageDataType, "too much image data");
        }
        if (z_.avail_in > 0) FailChunk(kImageDataType, "extra compressed data");
        for (std::size_t i = next_; i < pieces_.size(); ++i)
            if (!pieces_[i].empty()) FailChunk(kImageDataType, "extra compressed data");
    }

private:
    // Input for the next step; false when every chunk is used up.
    bool Feed() {
        while (z_.avail_in == 0) {
            if (next_ == pieces_.size()) return false;
            const auto& piece = pieces_[next_++];
            z_.next_in = const_cast<Bytef*>(piece.data());  // only read
            z_.avail_in = static_cast<uInt>(piece.size());   // chunks are below 2^31 bytes
        }
        return true;
    }

    void Step() {
        switch (inflate(&z_, Z_NO_FLUSH)) {
            case Z_OK: return;
            case Z_STREAM_END:
                ended_ = true;
                return;
            case Z_MEM_ERROR: Fail("not enough memory");
            default: FailChunk(kImageDataType, "damaged compressed data");
        }
    }

    const std::vector<std::span<const std::uint8_t>>& pieces_;
    std::size_t next_ = 0;
    z_stream z_{};
    bool ended_ = false;
};

// Hands the huge pages of the inflated data back to the kernel as the rows in them are done
// with: the raster fills as they go, so that the two together take little more memory than
// the larger of them. Whole 2 MB pages only, the buffer's own (picture memory aligns a large
// block to them, except under AddressSanitizer).
class ImageDataRelease {
public:
    ImageDataRelease(std::uint8_t* data, std::size_t size)
        : next_(size >= kHugePage && reinterpret_cast<std::uintptr_t>(data) % kHugePage == 0 ? data : nullptr),
          end_(data + size) {}

    // Nothing before `keep` will be read again.
    void Before([[maybe_unused]] const std::uint8_t* keep) {
#if defined(__linux__) && defined(MADV_DONTNEED)
        if (!next_ || keep < next_ + kHugePage) return;
        const std::size_t bytes = static_cast<std::size_t>(keep - next_) / kHugePage * kHugePage;
        if (next_ + bytes > end_) return;
        madvise(next_, bytes, MADV_DONTNEED);
        next_ += bytes;
#endif
    }

private:
    std::uint8_t* next_;  // the first byte not handed back; nullptr for a small buffer
    const std::uint8_t* end_;
};

// Rows of inflated data, each its filter type byte and its bytes, taken one after another from
// the whole inflated data, whose pages are handed back as they are done with.
class WholeImageRows {
public:
    static constexpr bool kRowsAhead = true;  // the next row is already there
    WholeImageRows(std::uint8_t* data, std::size_t size) : next_(data), release_(data, size) {}

    std::uint8_t* Next(std::size_t rowBytes, const std::uint8_t* previous) {
        release_.Before(previous ? previous - 1 : next_);
        std::uint8_t* row = next_;
        next_ += 1 + rowBytes;
        return row;
    }
    // The row that Next will give, for filters undone two rows at a time.
    std::uint8_t* Ahead() const { return next_; }

private:
    std::uint8_t* next_;
    ImageDataRelease release_;
};

// The same rows inflated one at a time into two row buffers that take turns: the row above
// stays while the next one is inflated.
class StreamedImageRows {
public:
    static constexpr bool kRowsAhead = false;
    StreamedImageRows(ImageDataStream& stream, std::size_t maxRowBytes)
        : stream_(stream), rows_{std::vector<std::uint8_t>(1 + maxRowBytes), std::vector<std::uint8_t>(1 + maxRowBytes)} {}

    std::uint8_t* Next(std::size_t rowBytes, const std::uint8_t*) {
        turn_ ^= 1;
        stream_.Read(rows_[turn_].data(), 1 + rowBytes);
        return rows_[turn_].data();
    }
    std::uint8_t* Ahead() const { return nullptr; }

private:
    ImageDataStream& stream_;
    std::vector<std::uint8_t> rows_[2];
    int turn_ = 0;
};

// Undoes the row filters of the inflated data and converts every row into the raster.
template <class Rows>
void DecodeRows(const Header& h, const RowConversion& conversion, Rows& rows, Raster& raster) {
    const std::size_t pixelBytes = h.FilterPixelBytes();
    const std::size_t outBytes = static_cast<std::size_t>(conversion.OutputBytes());
    std::vector<std::uint8_t> passRow;  // an interlaced row before its pixels go to their places
    if (h.interlaced) passRow.resize(h.width * outBytes);
    for (const Pass& p : PassesOf(h)) {
        const std::uint32_t width = PassPixels(h.width, p.x0, p.dx), passRows = PassPixels(h.height, p.y0, p.dy);
        if (width == 0 || passRows == 0) continue;
        const std::size_t rowBytes = static_cast<std::size_t>(h.RowBytes(width));
        const std::uint8_t* previous = nullptr;
        bool undone = false;  // the row was undone with the one above it
        for (std::uint32_t j = 0; j < passRows; ++j) {
            std::uint8_t* const data = rows.Next(rowBytes, previous);
            std::uint8_t* row = data + 1;
            if (undone) {
                undone = false;
            } else if (Rows::kRowsAhead && previous && j + 1 < passRows && data[0] == png::kFilterPaeth &&
                       rows.Ahead()[0] == png::kFilterPaeth) {
                // Two Paeth rows, most of a photograph: together where the processor allows.
                undone = png::UnfilterPaethPair(row, rows.Ahead() + 1, previous, rowBytes, pixelBytes);
                if (!undone) png::UnfilterRow(png::kFilterPaeth, row, previous, rowBytes, pixelBytes);
            } else if (!png::UnfilterRow(data[0], row, previous, rowBytes, pixelBytes)) {
                Fail("IDAT: unknown filter type " + std::to_string(data[0]));
            }
            previous = row;
            std::uint8_t* target = raster.row(static_cast<int>(p.y0 + j * p.dy));
            if (!h.interlaced) {
                ConvertRow(conversion, row, target, width);
                continue;
            }
            ConvertRow(conversion, row, passRow.data(), width);
            for (std::uint32_t i = 0; i < width; ++i)
                std::memcpy(target + (p.x0 + std::size_t{i} * p.dx) * outBytes, passRow.data() + i * outBytes, outBytes);
        }
    }
}

// The fast path: the whole image data inflated at once into one buffer (with, when the file has
// more than one IDAT chunk, their contents joined behind it), then its rows decoded.
void DecodeWholeImageData(const Chunks& chunks, Raster& raster, const RowConversion& conversion) {
    const Header& h = chunks.header;
    const std::uint64_t inflatedBytes = InflatedBytes(h);
    const std::size_t joinedBytes = chunks.imageData.size() > 1 ? chunks.imageDataBytes : 0;
    if (inflatedBytes > std::numeric_limits<std::size_t>::max() - joinedBytes) Fail("image too large for this computer");
    const std::size_t size = static_cast<std::size_t>(inflatedBytes);
    const PictureMemory buffer = AllocatePictureMemory(size + joinedBytes, PictureBytes::Undefined);
    if (!buffer)
        Fail("not enough memory for an image of " + std::to_string(h.width) + "x" + std::to_string(h.height) + " pixels");
    std::span<const std::uint8_t> compressed = chunks.imageData.front();
    if (joinedBytes != 0) {
        std::uint8_t* joined = buffer.get() + size;
        for (const auto& piece : chunks.imageData) joined = std::copy(piece.begin(), piece.end(), joined);
        compressed = {buffer.get() + size, joinedBytes};
    }
    InflateImageData(compressed, buffer.get(), size);

    WholeImageRows rows(buffer.get(), size);
    DecodeRows(h, conversion, rows, raster);
}

DecodedPicture ReadPngInflating(std::span<const std::uint8_t> bytes, bool inflateInParts) {
    const Chunks chunks = WalkChunks(bytes);
    const Header& h = chunks.header;
    const std::optional<std::span<const std::uint8_t>> transparency = TransparencyChunk(chunks);
    // A grey or RGB file's transparent colour becomes an alpha channel; a second tRNS chunk, or
    // an RGB file's suggested palette after it, leaves it in doubt.
    const bool keyed = transparency && h.colourType != kIndexed;
    if (keyed && chunks.transparencyChunks > 1) Fail("tRNS: duplicate");
    if (keyed && chunks.paletteAfterTransparency) Fail("PLTE: after tRNS");

    CheckImageSize(h.width, h.height, "PNG");
    // A file far too short for the image it declares is refused before the image data and the
    // raster take the memory for it.
    const std::uint64_t imageBytes = std::uint64_t{h.height} * h.RowBytes(h.width);
    if (imageBytes / kMaxInflateRatio > bytes.size())
        throw Error("PNG: file is truncated (too short for an image of " + std::to_string(h.width) +
                    "x" + std::to_string(h.height) + " pixels)");

    RowConversion conversion;
    conversion.colourType = h.colourType;
    conversion.bitDepth = h.bitDepth;
    if (keyed) {
        // Samples are compared at the file's bit depth: the key keeps as many low bits.
        conversion.keyed = true;
        const unsigned mask = (1u << h.bitDepth) - 1;
        for (std::size_t i = 0; i < transparency->size() / 2; ++i) conversion.key[i] = Be16(transparency->data() + 2 * i) & mask;
    }
    const int bitsPerPixel = conversion.OutputBytes() * 8;
    Raster raster = Raster::Uninitialised(static_cast<int>(h.width), static_cast<int>(h.height), bitsPerPixel);
    if (h.colourType == kGrey) {
        raster.SetGreyPalette();
    } else if (h.colourType == kIndexed) {
        // Entries past the file's palette, or past those the bit depth can name, stay black.
        const std::size_t entries = std::min(chunks.palette.size() / 3, std::size_t{1} << h.bitDepth);
        for (std::size_t i = 0; i < entries; ++i) {
            const std::uint8_t* rgb = chunks.palette.data() + 3 * i;
            raster.palette()[i] = {rgb[2], rgb[1], rgb[0], 0};
        }
    }
    const std::uint64_t inflatedBytes = InflatedBytes(h);
    if (inflateInParts || inflatedBytes >= kInflateInPartsFrom) {
        ImageDataStream stream(chunks.imageData);
        StreamedImageRows rows(stream, static_cast<std::size_t>(h.RowBytes(h.width)));
        DecodeRows(h, conversion, rows, raster);
        stream.Finish();
    } else {
        DecodeWholeImageData(chunks, raster, conversion);
    }

    DecodedPicture picture;
    picture.kind = PictureKind::Png;
    picture.pngColourType = h.colourType;
    picture.pngTransparentColour = keyed;
    if (h.colourType == kIndexed && transparency) picture.paletteOpacity = PaletteOpacity(*transparency);
    picture.orientation = ExifChunkOrientation(chunks);
    picture.sampleColours = h.colourType == kGrey || h.colourType == kGreyAlpha ? SampleColours::Grey : SampleColours::Rgb;
    // The colour codes rank above an ICC profile, as the format has it. PQ and HLG samples are
    // tone mapped from the 8 bits the rows were brought to.
    if (const std::optional<ColourCodes> codes = ColourCodesChunk(chunks)) {
        if (IsHdrTransfer(codes->transfer)) ToneMapRaster(raster, codes->transfer);
        if (picture.sampleColours == SampleColours::Rgb) picture.iccProfile = ProfileForColourCodes(*codes);
    } else {
        picture.iccProfile = IccChunkProfile(chunks);
    }
    picture.raster = std::move(raster);
    return picture;
}

}  // namespace

DecodedPicture ReadPng(std::span<const std::uint8_t> bytes) { return ReadPngInflating(bytes, false); }

DecodedPicture ReadPngInflatingInParts(std::span<const std::uint8_t> bytes) { return ReadPngInflating(bytes, true); }

}  // namespace zelvan
