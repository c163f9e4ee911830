// Netpbm bitmaps, grey maps and pixmaps (P1 to P6), plain and raw; the first image of a file.
#include <cstring>
#include <string>
#include <vector>

#include "imaging/raster.h"
#include "imaging/readers/byte_reader.h"
#include "imaging/readers/readers.h"

namespace zelvan {
namespace {

constexpr const char* kFormat = "PNM";

inline bool IsSpace(std::uint8_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}
inline bool IsDigit(std::uint8_t c) {
    return c >= '0' && c <= '9';
}

// Text parsing over the file image; every read stays inside it through ByteReader.
class PnmText {
public:
    explicit PnmText(ByteReader& in) : in_(in) {}

    bool AtEnd() const { return in_.remaining() == 0; }
    std::uint8_t Peek() const { return in_.bytes()[in_.position()]; }

    // Whitespace and comments: a comment runs from "#" to the end of its line.
    void SkipSeparators() {
        while (!AtEnd()) {
            std::uint8_t c = Peek();
            if (IsSpace(c)) {
                in_.Skip(1);
            } else if (c == '#') {
                while (!AtEnd() && Peek() != '\n' && Peek() != '\r') in_.Skip(1);
            } else {
                return;
            }
        }
    }

    // A decimal number after separators, at most `limit`; `what` names it in messages.
    unsigned Number(unsigned limit, const char* what) {
        SkipSeparators();
        if (AtEnd()) in_.Truncated();
        if (!IsDigit(Peek())) in_.Fail(std::string("invalid ") + what);
        std::uint64_t value = 0;
        while (!AtEnd() && IsDigit(Peek())) {
            value = value * 10 + (in_.U8() - '0');
            if (value > limit) in_.Fail(std::string(what) + " is out of range");
        }
        return static_cast<unsigned>(value);
    }

    // The header ends with exactly one whitespace byte; the raster follows it.
    void EndOfHeader() {
        if (!IsSpace(in_.U8())) in_.Fail("header does not end with whitespace");
    }

private:
    ByteReader& in_;
};

// Samples of 0..maxval to 0..255, rounded to nearest; one entry per possible sample.
std::vector<std::uint8_t> ScaleTable(unsigned maxval) {
    std::vector<std::uint8_t> table(maxval + 1);
    for (unsigned v = 0; v <= maxval; ++v)
        table[v] = static_cast<std::uint8_t>((v * 255u + maxval / 2) / maxval);
    return table;
}

// Raw samples above maxval have no meaning; they are taken as maxval.
template <int kBytes>
inline std::uint8_t RawSample(const std::uint8_t* p, const std::vector<std::uint8_t>& table) {
    unsigned v = kBytes == 1 ? p[0] : (static_cast<unsigned>(p[0]) << 8) | p[1];
    return table[v < table.size() ? v : table.size() - 1];
}

template <int kBytes>
void ReadRawRows(ByteReader& in, Raster& raster, int channels,
                 const std::vector<std::uint8_t>& table) {
    const int width = raster.width();
    const std::size_t rowBytes = static_cast<std::size_t>(width) * channels * kBytes;
    for (int y = 0; y < raster.height(); ++y) {
        const std::uint8_t* s = in.Take(rowBytes);
        std::uint8_t* d = raster.row(y);
        if (channels == 1) {
            for (int x = 0; x < width; ++x) d[x] = RawSample<kBytes>(s + x * kBytes, table);
        } else {
            for (int x = 0; x < width; ++x, s += 3 * kBytes, d += 3) {
                d[2] = RawSample<kBytes>(s, table);
                d[1] = RawSample<kBytes>(s + kBytes, table);
                d[0] = RawSample<kBytes>(s + 2 * kBytes, table);
            }
        }
    }
}

// Clears the bits past the last pixel of a 1-bit row's last byte.
void ClearTailBits(std::uint8_t* row, int width) {
    if (width % 8) row[width / 8] &= static_cast<std::uint8_t>(0xFF00 >> (width % 8));
}

}  // namespace

DecodedPicture ReadPnm(std::span<const std::uint8_t> bytes) {
    ByteReader in(bytes, kFormat);
    if (bytes.size() < 2) in.Fail("not a PBM, PGM or PPM file");
    const std::uint8_t magic = in.U8();
    const std::uint8_t digit = in.U8();
    if (magic != 'P' || digit < '1' || digit > '6') in.Fail("not a PBM, PGM or PPM file");
    const int type = digit - '0';
    PnmText text(in);
    const unsigned width = text.Number(INT32_MAX, "width");
    const unsigned height = text.Number(INT32_MAX, "height");
    const bool bitmap = type == 1 || type == 4;
    const unsigned maxval = bitmap ? 1 : text.Number(65535, "maxval");
    if (maxval == 0) in.Fail("maxval is 0");
    text.EndOfHeader();
    CheckImageSize(width, height, kFormat);

    const bool plain = type <= 3;
    const int channels = type == 3 || type == 6 ? 3 : 1;
    const int sampleBytes = maxval > 255 ? 2 : 1;
    const std::uint64_t samples = static_cast<std::uint64_t>(width) * height * channels;
    // The data must be long enough for the declared size before the raster is allocated: raw
    // samples need their bytes, plain bits at least a byte each, plain numbers a digit and a
    // separator.
    std::uint64_t needed;
    if (type == 4)
        needed = (static_cast<std::uint64_t>(width) + 7) / 8 * height;
    else if (type == 1)
        needed = samples;
    else if (plain)
        needed = samples * 2 - 1;
    else
        needed = samples * sampleBytes;
    if (needed > in.remaining()) in.Truncated();

    DecodedPicture picture;
    picture.kind = PictureKind::Other;
    Raster& raster = picture.raster;
    const int w = static_cast<int>(width);
    const int h = static_cast<int>(height);

    if (bitmap) {
        // 1 is black: index 1 of the palette is black, so raw rows are taken as they are.
        raster = Raster::Uninitialised(w, h, 1);
        raster.palette()[0] = {255, 255, 255, 0};
        raster.palette()[1] = {0, 0, 0, 0};
        const std::size_t rowBytes = (width + 7) / 8;
        for (int y = 0; y < h; ++y) {
            std::uint8_t* d = raster.row(y);
            if (type == 4) {
                std::memcpy(d, in.Take(rowBytes), rowBytes);
            } else {
                std::memset(d, 0, rowBytes);
                for (int x = 0; x < w; ++x) {
                    text.SkipSeparators();
                    std::uint8_t c = in.U8();
                    if (c == '1')
                        d[x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
                    else if (c != '0')
                        in.Fail("invalid bit value in a plain bitmap");
                }
            }
            ClearTailBits(d, w);
        }
        return picture;
    }

    raster = Raster::Uninitialised(w, h, channels == 1 ? 8 : 24);
    if (channels == 1) raster.SetGreyPalette();
    const std::vector<std::uint8_t> table = ScaleTable(maxval);
    if (!plain) {
        if (sampleBytes == 1)
            ReadRawRows<1>(in, raster, channels, table);
        else
            ReadRawRows<2>(in, raster, channels, table);
        return picture;
    }
    for (int y = 0; y < h; ++y) {
        std::uint8_t* d = raster.row(y);
        if (channels == 1) {
            for (int x = 0; x < w; ++x) d[x] = table[text.Number(maxval, "sample value")];
        } else {
            for (int x = 0; x < w; ++x, d += 3) {
                d[2] = table[text.Number(maxval, "sample value")];
                d[1] = table[text.Number(maxval, "sample value")];
                d[0] = table[text.Number(maxval, "sample value")];
            }
        }
    }
    return picture;
}

}  // namespace zelvan
