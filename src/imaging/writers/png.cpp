// PNG writer: the program's own chunk writer and row-filter choice over libdeflate's coder.
//
// Rows go from the raster to the PNG byte layout (RGB, RGBA or palette index) one at a time and
// are filtered into one buffer for the whole picture: libdeflate compresses a whole buffer at
// once (faster than zlib's deflate at the same level, and smaller). Its raw deflate output is
// framed as the zlib stream that zlib would start with the same level, and leaves in IDAT chunks
// of exactly 65535 bytes (the last one shorter). zlib still compresses the colour profile.

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>

#include "base/error.h"
#include "imaging/transparency.h"
#include "imaging/writers/adaptive_palette.h"
#include "imaging/writers/writers.h"

namespace zelvan {
namespace {

constexpr std::size_t kIdatSize = 65535;

enum ColourType : std::uint8_t { kGrey = 0, kRgb = 2, kIndexed = 3, kGreyAlpha = 4, kRgba = 6 };
enum Filter : std::uint8_t { kNone = 0, kSub = 1, kUp = 2, kAverage = 3, kPaeth = 4 };

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    const std::uint8_t b[4] = {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                               static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
    out.insert(out.end(), b, b + 4);
}

void WriteChunk(std::vector<std::uint8_t>& out, const char (&type)[5], const std::uint8_t* data,
                std::size_t size) {
    PutU32(out, static_cast<std::uint32_t>(size));
    const std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    if (size) out.insert(out.end(), data, data + size);
    PutU32(out, static_cast<std::uint32_t>(
                    crc32(0, out.data() + start, static_cast<uInt>(size + 4))));
}

// iCCP: the profile's name, its terminator, compression method 0 and the zlib-compressed
// profile. Readers that honour it ignore sRGB and gAMA, so neither is written beside it.
void WriteIccChunk(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> profile) {
    static constexpr char kName[] = "ICC profile";
    std::vector<std::uint8_t> data(sizeof kName + 1 + compressBound(static_cast<uLong>(profile.size())));
    std::copy(kName, kName + sizeof kName, data.begin());  // with its terminator
    data[sizeof kName] = 0;                                // compression method
    uLongf packed = static_cast<uLongf>(data.size() - sizeof kName - 1);
    if (compress2(data.data() + sizeof kName + 1, &packed, profile.data(), static_cast<uLong>(profile.size()),
                  Z_BEST_COMPRESSION) != Z_OK)
        throw Error("PNG: cannot compress the colour profile");
    WriteChunk(out, "iCCP", data.data(), sizeof kName + 1 + packed);
}

// True when entry i of the palette is the grey (i, i, i): the raster is then a plain grey image.
bool IsGreyRamp(const std::vector<PaletteEntry>& palette) {
    if (palette.size() != 256) return false;
    for (std::size_t i = 0; i < palette.size(); ++i)
        if (palette[i] != PaletteEntry{static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i),
                                       static_cast<std::uint8_t>(i), palette[i].reserved})
            return false;
    return true;
}

// Turns raster rows into rows of the PNG byte layout of the colour type that keeps the picture
// exactly and smallest: a palette image stays indexed (grey when its palette is the grey ramp),
// with its opacity per palette entry when the mask follows the palette; anything else is RGB, or
// RGBA with a mask.
class RowConverter {
public:
    // `greyWithAlpha`: a true-colour image whose pixels are all grey, written as grey and alpha.
    // `paletteEntries`: how many palette entries the PLTE chunk lists (0: all of them).
    RowConverter(const Raster& image, const Raster* mask, bool greyWithAlpha = false, int paletteEntries = 0)
        : image_(image), mask_(mask) {
        paletteEntries_ = paletteEntries > 0 ? static_cast<std::size_t>(paletteEntries) : image.palette().size();
        if (mask_) {
            if (mask_->width() != image.width() || mask_->height() != image.height() || mask_->bitsPerPixel() < 24)
                throw Error("PNG: the alpha mask does not match the image");
            maskBytes_ = mask_->bitsPerPixel() / 8;
        }
        if (image.bitsPerPixel() <= 8) {
            const auto& palette = image.palette();
            for (std::size_t i = 0; i < palette.size(); ++i) paletteRgb_[i] = {palette[i].red, palette[i].green, palette[i].blue};
            std::optional<std::vector<std::uint8_t>> opacity;
            if (mask_) opacity = OpacityByPaletteEntry(image, *mask_);
            if (!mask_ && IsGreyRamp(palette)) {
                colourType_ = kGrey;
                channels_ = 1;
                return;
            }
            if (!mask_ || opacity) {
                colourType_ = kIndexed;
                channels_ = 1;
                if (opacity) entryOpacity_ = std::move(*opacity);
                return;
            }
        }
        if (greyWithAlpha && mask_) {
            colourType_ = kGreyAlpha;
            channels_ = 2;
            return;
        }
        colourType_ = mask_ ? kRgba : kRgb;
        channels_ = mask_ ? 4 : 3;
    }

    std::uint8_t colourType() const { return colourType_; }
    int channels() const { return channels_; }

    // The PLTE chunk's data for an indexed image, and its tRNS data: the opacities up to the last
    // entry that is not opaque, empty when all are.
    std::vector<std::uint8_t> PaletteChunk() const {
        std::vector<std::uint8_t> plte;
        for (std::size_t i = 0; i < std::min(paletteEntries_, image_.palette().size()); ++i)
            plte.insert(plte.end(), paletteRgb_[i].begin(), paletteRgb_[i].end());
        return plte;
    }
    std::vector<std::uint8_t> TransparencyChunk() const {
        std::vector<std::uint8_t> trns = entryOpacity_;
        while (!trns.empty() && trns.back() == 255) trns.pop_back();
        return trns;
    }

    // Writes width x channels bytes of row y to dst.
    void Convert(int y, std::uint8_t* dst) const {
        const std::uint8_t* src = image_.row(y);
        const int width = image_.width();
        const int bpp = image_.bitsPerPixel();
        if (colourType_ == kIndexed || colourType_ == kGrey) {
            // The grey ramp's entry i is grey i, so the index is the grey level too.
            ForEachPaletteIndex(src, width, bpp, [&](int x, unsigned i) { dst[x] = static_cast<std::uint8_t>(i); });
            return;
        }
        if (bpp <= 8) {
            if (colourType_ == kRgb) {
                ForEachPaletteIndex(src, width, bpp, [&](int x, unsigned i) {
                    std::memcpy(dst + 3 * static_cast<std::size_t>(x), paletteRgb_[i].data(), 3);
                });
            } else {
                const std::uint8_t* m = mask_->row(y) + 2;
                const int mb = maskBytes_;
                ForEachPaletteIndex(src, width, bpp, [&](int x, unsigned i) {
                    std::uint8_t* d = dst + 4 * static_cast<std::size_t>(x);
                    std::memcpy(d, paletteRgb_[i].data(), 3);
                    d[3] = m[static_cast<std::size_t>(x) * mb];
                });
            }
            return;
        }
        const int step = bpp / 8;
        if (colourType_ == kGreyAlpha) {
            const std::uint8_t* m = mask_->row(y) + 2;
            const int mb = maskBytes_;
            for (int x = 0; x < width; ++x, src += step, dst += 2, m += mb) {
                dst[0] = src[0];
                dst[1] = *m;
            }
            return;
        }
        if (colourType_ == kRgb) {
            for (int x = 0; x < width; ++x, src += step, dst += 3) {
                dst[0] = src[2];
                dst[1] = src[1];
                dst[2] = src[0];
            }
        } else {
            const std::uint8_t* m = mask_->row(y) + 2;
            const int mb = maskBytes_;
            for (int x = 0; x < width; ++x, src += step, dst += 4, m += mb) {
                dst[0] = src[2];
                dst[1] = src[1];
                dst[2] = src[0];
                dst[3] = *m;
            }
        }
    }

private:
    const Raster& image_;
    const Raster* mask_;
    std::uint8_t colourType_ = kRgb;
    int channels_ = 3;
    int maskBytes_ = 3;
    std::array<std::array<std::uint8_t, 3>, 256> paletteRgb_{};
    std::vector<std::uint8_t> entryOpacity_;
    std::size_t paletteEntries_ = 0;
};

// Loops over rows run in fixed blocks of 16 bytes with a short tail: the compiler turns a
// block into vector instructions at -O2 without needing a remainder loop of its own.
constexpr std::size_t kBlock = 16;

// Positions j (2 <= j < len) whose byte equals one of the two bytes before it.
std::size_t RepeatCount(const std::uint8_t* f, std::size_t len) {
    std::size_t n = 0, j = 2;
    for (; j + kBlock <= len; j += kBlock) {
        unsigned block = 0;
        const std::uint8_t* b = f + j;
        for (int k = 0; k < static_cast<int>(kBlock); ++k) block += (b[k] == b[k - 1]) | (b[k] == b[k - 2]);
        n += block;
    }
    for (; j < len; ++j) n += static_cast<std::size_t>((f[j] == f[j - 1]) | (f[j] == f[j - 2]));
    return n;
}

// One byte of each of Sub, Up, Average and Paeth; x is the byte, a the one to its left, b the
// one above, c the one above-left.
inline void FilterByte(int x, int a, int b, int c, std::uint8_t& sub, std::uint8_t& up, std::uint8_t& avg,
                       std::uint8_t& paeth) {
    sub = static_cast<std::uint8_t>(x - a);
    up = static_cast<std::uint8_t>(x - b);
    avg = static_cast<std::uint8_t>(x - ((a + b) >> 1));
    int pa = b - c, pb = a - c;
    int pc = pa + pb;
    pa = pa < 0 ? -pa : pa;
    pb = pb < 0 ? -pb : pb;
    pc = pc < 0 ? -pc : pc;
    int pred = pb <= pc ? b : c;
    pred = pa <= pb && pa <= pc ? a : pred;
    paeth = static_cast<std::uint8_t>(x - pred);
}

void FilterRow(const std::uint8_t* cur, const std::uint8_t* prev, std::size_t len, std::size_t bpp,
               std::uint8_t* sub, std::uint8_t* up, std::uint8_t* avg, std::uint8_t* paeth) {
    // No pixel to the left of the first one: a and c count as zero.
    std::size_t i = 0;
    for (; i < bpp && i < len; ++i) FilterByte(cur[i], 0, prev[i], 0, sub[i], up[i], avg[i], paeth[i]);
    for (; i + kBlock <= len; i += kBlock) {
        // Filtering into local blocks keeps the loop free of aliasing doubts.
        std::uint8_t s[kBlock], u[kBlock], a[kBlock], p[kBlock];
        const std::uint8_t* x = cur + i;
        const std::uint8_t* b = prev + i;
        const auto back = static_cast<std::ptrdiff_t>(bpp);
        for (std::ptrdiff_t k = 0; k < static_cast<std::ptrdiff_t>(kBlock); ++k)
            FilterByte(x[k], x[k - back], b[k], b[k - back], s[k], u[k], a[k], p[k]);
        std::memcpy(sub + i, s, kBlock);
        std::memcpy(up + i, u, kBlock);
        std::memcpy(avg + i, a, kBlock);
        std::memcpy(paeth + i, p, kBlock);
    }
    for (; i < len; ++i)
        FilterByte(cur[i], cur[i - bpp], prev[i], prev[i - bpp], sub[i], up[i], avg[i], paeth[i]);
}

// Filters `cur` (prev is the unfiltered row above) with Sub, Up, Average and Paeth into
// out[1] to out[4] and returns the filter whose bytes repeat most often, ties going to the
// earlier filter; None is `cur` itself.
Filter ChooseFilter(const std::uint8_t* cur, const std::uint8_t* prev, std::size_t len, int bpp,
                    std::uint8_t* const out[5]) {
    FilterRow(cur, prev, len, static_cast<std::size_t>(bpp), out[kSub], out[kUp], out[kAverage], out[kPaeth]);
    Filter best = kNone;
    std::size_t bestCount = RepeatCount(cur, len);
    for (int f = kSub; f <= kPaeth; ++f) {
        std::size_t n = RepeatCount(out[f], len);
        if (n > bestCount) {
            bestCount = n;
            best = static_cast<Filter>(f);
        }
    }
    return best;
}

// The two bytes zlib's deflate starts its stream with at this level: a 32 KiB window, the level
// class (FLEVEL) as zlib reports it, and the check bits that make the pair a multiple of 31.
std::array<std::uint8_t, 2> ZlibHeader(int level) {
    const unsigned levelClass = level < 2 ? 0 : level < 6 ? 1 : level == 6 ? 2 : 3;
    unsigned header = (0x78u << 8) | (levelClass << 6);
    header += 31 - header % 31;
    return {static_cast<std::uint8_t>(header >> 8), static_cast<std::uint8_t>(header)};
}

// A buffer left uninitialised: pages of a large one that are never written never become
// resident, so the compressor's worst-case room costs only what it fills.
struct Buffer {
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t size = 0;
};

// The filtered rows as one zlib stream: header, libdeflate's raw deflate output (stored blocks
// at level 0), and the Adler-32 of the rows.
Buffer CompressImageData(const std::uint8_t* rows, std::size_t size, int level) {
    std::unique_ptr<libdeflate_compressor, decltype(&libdeflate_free_compressor)> compressor(
        libdeflate_alloc_compressor(level), &libdeflate_free_compressor);
    if (!compressor) throw Error("PNG: cannot start the compressor");
    const std::size_t room = libdeflate_deflate_compress_bound(compressor.get(), size);
    Buffer z{std::make_unique_for_overwrite<std::uint8_t[]>(2 + room + 4), 0};
    const auto header = ZlibHeader(level);
    std::memcpy(z.data.get(), header.data(), 2);
    const std::size_t packed = libdeflate_deflate_compress(compressor.get(), rows, size, z.data.get() + 2, room);
    if (packed == 0) throw Error("PNG: compression failed");
    const std::uint32_t adler = libdeflate_adler32(1, rows, size);
    std::uint8_t* tail = z.data.get() + 2 + packed;
    for (int i = 0; i < 4; ++i) tail[i] = static_cast<std::uint8_t>(adler >> (24 - 8 * i));
    z.size = 2 + packed + 4;
    return z;
}

// Filters rows, one image or one Adam7 pass at a time, against the row above into the buffer
// that is compressed once all rows are in.
class RowEncoder {
public:
    RowEncoder(std::uint8_t* dst, std::size_t capacity, std::size_t maxRowBytes, int bytesPerPixel, bool allFilters)
        : dst_(dst), capacity_(capacity), bpp_(bytesPerPixel), allFilters_(allFilters), prev_(maxRowBytes) {
        if (allFilters_)
            for (int f = kSub; f <= kPaeth; ++f) candidates_[f].resize(maxRowBytes);
    }

    // A new image or pass: the row above the first one counts as zeros.
    void StartPass(std::size_t rowBytes) {
        rowBytes_ = rowBytes;
        std::fill_n(prev_.begin(), rowBytes, std::uint8_t{0});
    }

    // Filters `row` (rowBytes_ long) behind the rows before it. Its bytes stay as the next row's
    // "above" by a swap of buffers: `row` comes back holding scratch space of the same size.
    void AddRow(std::vector<std::uint8_t>& row) {
        const std::size_t len = rowBytes_;
        if (capacity_ - used_ < len + 1) throw Error("PNG: internal error: more rows than the image has");
        std::uint8_t* dst = dst_ + used_;
        if (allFilters_) {
            std::uint8_t* const out[5] = {nullptr, candidates_[1].data(), candidates_[2].data(),
                                          candidates_[3].data(), candidates_[4].data()};
            const Filter f = ChooseFilter(row.data(), prev_.data(), len, bpp_, out);
            dst[0] = f;
            std::memcpy(dst + 1, f == kNone ? row.data() : out[f], len);
        } else {
            dst[0] = kNone;
            std::memcpy(dst + 1, row.data(), len);
        }
        used_ += len + 1;
        row.swap(prev_);
    }

    std::size_t used() const { return used_; }

private:
    std::uint8_t* dst_;
    std::size_t capacity_;
    std::size_t used_ = 0;
    int bpp_;
    bool allFilters_;
    std::vector<std::uint8_t> prev_;
    std::array<std::vector<std::uint8_t>, 5> candidates_;
    std::size_t rowBytes_ = 0;
};

struct Adam7Pass {
    int x0, y0, dx, dy;
};
constexpr Adam7Pass kAdam7[7] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                 {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};

// Picks every dx-th pixel from x0 on.
void GatherPixels(const std::uint8_t* full, int width, const Adam7Pass& p, int channels,
                  std::uint8_t* dst) {
    const std::size_t step = static_cast<std::size_t>(p.dx) * channels;
    const std::uint8_t* src = full + static_cast<std::size_t>(p.x0) * channels;
    const int count = (width - p.x0 + p.dx - 1) / p.dx;
    switch (channels) {
        case 1:
            for (int i = 0; i < count; ++i, src += step) dst[i] = *src;
            break;
        case 2:
            for (int i = 0; i < count; ++i, src += step, dst += 2) std::memcpy(dst, src, 2);
            break;
        case 3:
            for (int i = 0; i < count; ++i, src += step, dst += 3) std::memcpy(dst, src, 3);
            break;
        default:
            for (int i = 0; i < count; ++i, src += step, dst += 4) std::memcpy(dst, src, 4);
            break;
    }
}

bool AllOpaque(const Raster& mask) {
    const int step = mask.bitsPerPixel() / 8;
    for (int y = 0; y < mask.height(); ++y) {
        const std::uint8_t* m = mask.row(y) + 2;
        for (int x = 0; x < mask.width(); ++x, m += step)
            if (*m != 255) return false;
    }
    return true;
}

// True when every pixel of a true-colour image has red = green = blue.
bool AllGrey(const Raster& image) {
    const int step = image.bitsPerPixel() / 8;
    for (int y = 0; y < image.height(); ++y) {
        const std::uint8_t* p = image.row(y);
        for (int x = 0; x < image.width(); ++x, p += step)
            if (p[0] != p[1] || p[1] != p[2]) return false;
    }
    return true;
}

// A true-colour image's grey level per pixel as an 8-bit raster with the grey ramp.
Raster GreyRaster(const Raster& image) {
    Raster grey(image.width(), image.height(), 8);
    grey.SetGreyPalette();
    const int step = image.bitsPerPixel() / 8;
    for (int y = 0; y < image.height(); ++y) {
        const std::uint8_t* p = image.row(y);
        std::uint8_t* dst = grey.row(y);
        for (int x = 0; x < image.width(); ++x, p += step) dst[x] = p[0];
    }
    return grey;
}

std::vector<std::uint8_t> EncodeLayout(const Raster& image, const Raster* alphaMask, bool greyWithAlpha,
                                       const PngSettings& settings, std::span<const std::uint8_t> iccProfile,
                                       int paletteEntries = 0);

std::vector<std::uint8_t> EncodePalettePicture(const PalettePicture& picture, const PngSettings& settings,
                                               std::span<const std::uint8_t> iccProfile) {
    // Only the entries in use are listed: a short palette costs a few bytes instead of 768.
    if (picture.opacity.empty())
        return EncodeLayout(picture.image, nullptr, false, settings, iccProfile, picture.colourCount);
    const Raster mask = PaletteOpacityMask(picture.image, picture.opacity);
    return EncodeLayout(picture.image, &mask, false, settings, iccProfile, picture.colourCount);
}

}  // namespace

std::vector<std::uint8_t> EncodePng(const Raster& image, const Raster* alphaMask, const PngSettings& settings,
                                    std::span<const std::uint8_t> iccProfile) {
    if (image.empty()) throw Error("PNG: there is no image to write");
    if (settings.compressionLevel < 0 || settings.compressionLevel > 9)
        throw Error("PNG: compression level " + std::to_string(settings.compressionLevel) +
                    " is outside 0 to 9");
    // Palette pictures already have the smallest layout that keeps them.
    if (image.bitsPerPixel() <= 8) return EncodeLayout(image, alphaMask, false, settings, iccProfile);
    if (settings.adaptivePalette) return EncodePalettePicture(ToAdaptivePalette(image, alphaMask), settings, iccProfile);
    if (!settings.reduceLayout) return EncodeLayout(image, alphaMask, false, settings, iccProfile);

    // The smallest layout that keeps every pixel: an opacity that is everywhere full is no
    // opacity; grey pixels without opacity are grey; at most 256 colours (with their opacity)
    // are a palette; grey with opacity is grey and alpha. Samples are 8 bits here already: the
    // raster carries no deeper ones, so there is no 16-bit layout to reduce.
    const Raster* mask = alphaMask && !AllOpaque(*alphaMask) ? alphaMask : nullptr;
    const bool grey = AllGrey(image);
    if (grey && !mask) return EncodeLayout(GreyRaster(image), nullptr, false, settings, iccProfile);
    if (std::optional<PalettePicture> palette = ExactPalette(image, mask))
        return EncodePalettePicture(*palette, settings, iccProfile);
    return EncodeLayout(image, mask, grey, settings, iccProfile);
}

namespace {

std::vector<std::uint8_t> EncodeLayout(const Raster& image, const Raster* alphaMask, bool greyWithAlpha,
                                       const PngSettings& settings, std::span<const std::uint8_t> iccProfile,
                                       int paletteEntries) {
    const RowConverter converter(image, alphaMask, greyWithAlpha, paletteEntries);
    const int width = image.width();
    const int height = image.height();
    const int channels = converter.channels();
    const std::size_t rowBytes = static_cast<std::size_t>(width) * channels;

    std::vector<std::uint8_t> out;
    static constexpr std::uint8_t kSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
    out.insert(out.end(), kSignature, kSignature + 8);

    std::uint8_t ihdr[13] = {};
    for (int i = 0; i < 4; ++i) {
        ihdr[i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(width) >> (24 - 8 * i));
        ihdr[4 + i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(height) >> (24 - 8 * i));
    }
    ihdr[8] = 8;  // bits per sample
    ihdr[9] = converter.colourType();
    ihdr[12] = settings.interlace ? 1 : 0;  // compression and filter methods stay 0
    WriteChunk(out, "IHDR", ihdr, sizeof ihdr);
    if (!iccProfile.empty()) WriteIccChunk(out, iccProfile);

    if (converter.colourType() == kIndexed) {
        const std::vector<std::uint8_t> plte = converter.PaletteChunk();
        WriteChunk(out, "PLTE", plte.data(), plte.size());
        const std::vector<std::uint8_t> trns = converter.TransparencyChunk();
        if (!trns.empty()) WriteChunk(out, "tRNS", trns.data(), trns.size());
    }

    // Every row with its filter byte, of the image or of the seven passes.
    std::size_t filteredSize = 0;
    if (!settings.interlace) {
        filteredSize = static_cast<std::size_t>(height) * (rowBytes + 1);
    } else {
        for (const Adam7Pass& pass : kAdam7) {
            if (width <= pass.x0 || height <= pass.y0) continue;  // an empty pass has no rows
            const auto passRows = static_cast<std::size_t>((height - pass.y0 + pass.dy - 1) / pass.dy);
            const auto passWidth = static_cast<std::size_t>((width - pass.x0 + pass.dx - 1) / pass.dx);
            filteredSize += passRows * (passWidth * static_cast<std::size_t>(channels) + 1);
        }
    }

    Buffer z;
    {
        const auto filtered = std::make_unique_for_overwrite<std::uint8_t[]>(filteredSize);
        RowEncoder encoder(filtered.get(), filteredSize, rowBytes, channels, settings.allFilters);
        std::vector<std::uint8_t> row(rowBytes);
        if (!settings.interlace) {
            encoder.StartPass(rowBytes);
            for (int y = 0; y < height; ++y) {
                converter.Convert(y, row.data());
                encoder.AddRow(row);
            }
        } else {
            std::vector<std::uint8_t> full(rowBytes);
            for (const Adam7Pass& pass : kAdam7) {
                if (width <= pass.x0 || height <= pass.y0) continue;
                const int passWidth = (width - pass.x0 + pass.dx - 1) / pass.dx;
                encoder.StartPass(static_cast<std::size_t>(passWidth) * channels);
                for (int y = pass.y0; y < height; y += pass.dy) {
                    converter.Convert(y, full.data());
                    GatherPixels(full.data(), width, pass, channels, row.data());
                    encoder.AddRow(row);
                }
            }
        }
        if (encoder.used() != filteredSize) throw Error("PNG: internal error: fewer rows than the image has");
        z = CompressImageData(filtered.get(), filteredSize, settings.compressionLevel);
    }  // the filtered rows go before the chunks are copied out

    const std::size_t chunks = (z.size + kIdatSize - 1) / kIdatSize;
    out.reserve(out.size() + z.size + 12 * chunks + 12);
    for (std::size_t pos = 0; pos < z.size; pos += kIdatSize)
        WriteChunk(out, "IDAT", z.data.get() + pos, std::min(kIdatSize, z.size - pos));
    z = Buffer{};
    WriteChunk(out, "IEND", nullptr, 0);
    return out;
}

}  // namespace
}  // namespace zelvan
