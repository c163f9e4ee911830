// GIF writer: a single GIF87a image, or a GIF89a animation, each image with a local colour
// table, and the program's own LZW coder.

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "base/error.h"
#include "imaging/writers/adaptive_palette.h"
#include "imaging/writers/writers.h"

namespace zelvan {
namespace {

constexpr int kMaxCode = 4095;  // the table is reset before this code would be assigned

// Packs variable-width codes, least significant bit first, into data sub-blocks of at most
// 255 bytes appended to `out`.
class CodeWriter {
public:
    explicit CodeWriter(std::vector<std::uint8_t>& out) : out_(out) {}

    void Put(int code, int width) {
        bits_ |= static_cast<std::uint32_t>(code) << count_;
        count_ += width;
        while (count_ >= 8) {
            PutByte(static_cast<std::uint8_t>(bits_));
            bits_ >>= 8;
            count_ -= 8;
        }
    }

    // Pads the last byte, closes the open sub-block and writes the zero-length block.
    void Finish() {
        if (count_ > 0) PutByte(static_cast<std::uint8_t>(bits_));
        bits_ = 0;
        count_ = 0;
        if (blockStart_ != kNoBlock) out_[blockStart_] = static_cast<std::uint8_t>(out_.size() - blockStart_ - 1);
        out_.push_back(0);
    }

private:
    static constexpr std::size_t kNoBlock = ~std::size_t{0};

    void PutByte(std::uint8_t b) {
        if (blockStart_ == kNoBlock) {
            blockStart_ = out_.size();
            out_.push_back(0);  // length, filled in when the block is closed
        }
        out_.push_back(b);
        if (out_.size() - blockStart_ - 1 == 255) {
            out_[blockStart_] = 255;
            blockStart_ = kNoBlock;
        }
    }

    std::vector<std::uint8_t>& out_;
    std::uint32_t bits_ = 0;
    int count_ = 0;
    std::size_t blockStart_ = kNoBlock;
};

// Variable-width LZW as GIF defines it: clear code 2^minCodeSize, end code one above, codes
// growing from minCodeSize + 1 to 12 bits, and a clear code whenever the table is full.
class LzwEncoder {
public:
    LzwEncoder(std::vector<std::uint8_t>& out, int minCodeSize)
        : writer_(out), clearCode_(1 << minCodeSize), endCode_(clearCode_ + 1), minCodeSize_(minCodeSize) {
        writer_.Put(clearCode_, minCodeSize_ + 1);
        Reset();
    }

    void Add(const std::uint8_t* pixels, std::size_t count) {
        std::size_t i = 0;
        if (prefix_ < 0) {
            if (count == 0) return;
            prefix_ = pixels[i++];
        }
        for (; i < count; ++i) {
            const unsigned k = pixels[i];
            const std::uint32_t key = (static_cast<std::uint32_t>(prefix_) << 8) | k;
            std::size_t slot = Hash(key);
            for (;;) {
                const std::uint32_t entry = table_[slot];
                if (entry == kEmpty) break;
                if ((entry >> 12) == key) break;
                slot = (slot + 1) & (kTableSize - 1);
            }
            if (table_[slot] != kEmpty) {
                prefix_ = static_cast<int>(table_[slot] & 0xFFF);
                continue;
            }
            Emit(prefix_);
            if (nextCode_ >= kMaxCode) {
                writer_.Put(clearCode_, codeWidth_);
                Reset();
            } else {
                table_[slot] = (key << 12) | static_cast<std::uint32_t>(nextCode_);
                ++nextCode_;
            }
            prefix_ = static_cast<int>(k);
        }
    }

    void Finish() {
        if (prefix_ >= 0) Emit(prefix_);
        writer_.Put(endCode_, codeWidth_);
        writer_.Finish();
    }

private:
    // Entries hold (prefix << 8 | pixel) << 12 | code; a key is at most 20 bits.
    static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;
    static constexpr std::size_t kTableSize = 8192;  // a power of two, twice the code count

    static std::size_t Hash(std::uint32_t key) { return (key * 2654435761u) >> (32 - 13); }

    void Emit(int code) {
        writer_.Put(code, codeWidth_);
        // The decoder's table lags one entry behind ours, so the width grows once the next
        // code to be assigned no longer fits.
        if (nextCode_ > (1 << codeWidth_) - 1 && codeWidth_ < 12) ++codeWidth_;
    }

    void Reset() {
        table_.fill(kEmpty);
        nextCode_ = endCode_ + 1;
        codeWidth_ = minCodeSize_ + 1;
    }

    CodeWriter writer_;
    std::array<std::uint32_t, kTableSize> table_{};
    int clearCode_, endCode_, minCodeSize_;
    int nextCode_ = 0;
    int codeWidth_ = 0;
    int prefix_ = -1;
};

void PutU16(std::vector<std::uint8_t>& out, int v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

// Channel value to its level in the 216-colour cube: (c + 3) / 51.
constexpr std::array<std::uint8_t, 256> MakeLevelTable() {
    std::array<std::uint8_t, 256> t{};
    for (int c = 0; c < 256; ++c) t[c] = static_cast<std::uint8_t>((c + 3) / 51);
    return t;
}
constexpr std::array<std::uint8_t, 256> kLevel = MakeLevelTable();

void CheckGifSize(const Raster& image) {
    if (image.width() > 65535 || image.height() > 65535)
        throw Error("GIF: image is too large for the format (at most 65535 pixels a side)");
}

int TableBits(const Raster& image) { return image.bitsPerPixel() <= 8 ? image.bitsPerPixel() : 8; }

// The header and the logical screen: no global table; colour resolution and table size both
// bits - 1.
void PutScreen(std::vector<std::uint8_t>& out, const char* version, int width, int height, int tableBits) {
    out.insert(out.end(), version, version + 6);
    PutU16(out, width);
    PutU16(out, height);
    out.push_back(static_cast<std::uint8_t>(((tableBits - 1) << 4) | (tableBits - 1)));
    out.push_back(0);  // background colour index
    out.push_back(0);  // aspect ratio
}

// A palette raster with its own palette, anything else in the fixed 216-colour cube: the image
// descriptor at the screen's corner, its local colour table and the LZW data.
void PutImage(std::vector<std::uint8_t>& out, const Raster& image) {
    const int width = image.width();
    const int height = image.height();
    const int bpp = image.bitsPerPixel();
    const bool keepPalette = bpp <= 8;
    const int tableBits = TableBits(image);

    // Image descriptor with a local colour table, not interlaced, not sorted.
    out.push_back(0x2C);
    PutU16(out, 0);
    PutU16(out, 0);
    PutU16(out, width);
    PutU16(out, height);
    out.push_back(static_cast<std::uint8_t>(0x80 | (tableBits - 1)));

    const std::size_t tableSize = std::size_t{1} << tableBits;
    if (keepPalette) {
        for (const PaletteEntry& e : image.palette()) {
            out.push_back(e.red);
            out.push_back(e.green);
            out.push_back(e.blue);
        }
        // A palette raster has 2^bits entries already; pad in case it has fewer.
        out.resize(out.size() + 3 * (tableSize - std::min(tableSize, image.palette().size())), 0);
    } else {
        for (int r = 0; r < 6; ++r)
            for (int g = 0; g < 6; ++g)
                for (int b = 0; b < 6; ++b) {
                    out.push_back(static_cast<std::uint8_t>(51 * r));
                    out.push_back(static_cast<std::uint8_t>(51 * g));
                    out.push_back(static_cast<std::uint8_t>(51 * b));
                }
        out.resize(out.size() + 3 * (tableSize - 216), 0);
    }

    const int minCodeSize = tableBits < 2 ? 2 : tableBits;
    out.push_back(static_cast<std::uint8_t>(minCodeSize));
    LzwEncoder lzw(out, minCodeSize);
    std::vector<std::uint8_t> indices(static_cast<std::size_t>(width));
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* src = image.row(y);
        std::uint8_t* dst = indices.data();
        switch (bpp) {
            case 1:
                for (int x = 0; x < width; ++x) dst[x] = (src[x >> 3] >> (7 - (x & 7))) & 1;
                break;
            case 4:
                for (int x = 0; x < width; ++x) dst[x] = (src[x >> 1] >> ((x & 1) ? 0 : 4)) & 0x0F;
                break;
            case 8:
                std::memcpy(dst, src, static_cast<std::size_t>(width));
                break;
            default: {
                const int step = bpp / 8;
                for (int x = 0; x < width; ++x, src += step)
                    dst[x] = static_cast<std::uint8_t>(36 * kLevel[src[2]] + 6 * kLevel[src[1]] + kLevel[src[0]]);
                break;
            }
        }
        lzw.Add(indices.data(), indices.size());
    }
    lzw.Finish();
}

std::vector<std::uint8_t> EncodeInPalette(const Raster& image) {
    CheckGifSize(image);
    std::vector<std::uint8_t> out;
    out.reserve(1024 + static_cast<std::size_t>(image.width()) * image.height() / 2);
    PutScreen(out, "GIF87a", image.width(), image.height(), TableBits(image));
    PutImage(out, image);
    out.push_back(0x3B);  // trailer
    return out;
}

// The NETSCAPE2.0 application block: how many times the animation repeats after its first play,
// 0 for ever.
void PutLoopCount(std::vector<std::uint8_t>& out, int loopCount) {
    static constexpr std::uint8_t kBlock[] = {0x21, 0xFF, 11, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 3, 1};
    out.insert(out.end(), std::begin(kBlock), std::end(kBlock));
    PutU16(out, loopCount <= 0 ? 0 : std::min(loopCount - 1, 65535));
    out.push_back(0);
}

// The graphic control block before a frame: left in place (the next frame covers it whole), no
// transparent index, the delay in hundredths of a second.
void PutFrameControl(std::vector<std::uint8_t>& out, int durationMs) {
    out.insert(out.end(), {0x21, 0xF9, 4, 1 << 2});
    PutU16(out, std::clamp((durationMs + 5) / 10, 0, 65535));
    out.push_back(0);  // transparent colour index, unused
    out.push_back(0);
}

}  // namespace

std::vector<std::uint8_t> EncodeGif(const Raster& image, bool adaptivePalette) {
    if (image.empty()) throw Error("GIF: there is no image to write");
    if (adaptivePalette && image.bitsPerPixel() > 8) return EncodeInPalette(ToAdaptivePalette(image).image);
    return EncodeInPalette(image);
}

std::vector<std::uint8_t> EncodeGifAnimation(std::span<const FrameToWrite> frames, int loopCount,
                                             bool adaptivePalette) {
    if (frames.empty() || !frames.front().image || frames.front().image->empty())
        throw Error("GIF: there is no image to write");
    const int width = frames.front().image->width();
    const int height = frames.front().image->height();
    for (const FrameToWrite& frame : frames)
        if (!frame.image || frame.image->width() != width || frame.image->height() != height)
            throw Error("GIF: the animation's frames differ in size");
    CheckGifSize(*frames.front().image);
    std::vector<std::uint8_t> out;
    // Every frame brings its own table: the screen declares the largest.
    PutScreen(out, "GIF89a", width, height, 8);
    if (loopCount != 1) PutLoopCount(out, loopCount);
    for (const FrameToWrite& frame : frames) {
        PutFrameControl(out, frame.durationMs);
        if (adaptivePalette && frame.image->bitsPerPixel() > 8) PutImage(out, ToAdaptivePalette(*frame.image).image);
        else PutImage(out, *frame.image);
    }
    out.push_back(0x3B);  // trailer
    return out;
}

}  // namespace zelvan
