#include "imaging/writers/adaptive_palette.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "base/error.h"

namespace zelvan {
namespace {

constexpr int kMaxColours = 256;
// Marks an empty slot of the colour set; opaque white, which packs to the same value, is kept
// apart from the slots.
constexpr std::uint32_t kNoColour = 0xFFFFFFFFu;

// Colours are packed as alpha << 24 | red << 16 | green << 8 | blue.
inline std::uint32_t Pack(int r, int g, int b, int a) {
    return static_cast<std::uint32_t>(a) << 24 | static_cast<std::uint32_t>(r) << 16 |
           static_cast<std::uint32_t>(g) << 8 | static_cast<std::uint32_t>(b);
}

// Reads the picture a row at a time as red, green, blue, alpha whatever its depth.
class PixelRows {
public:
    PixelRows(const Raster& image, const Raster* mask) : image_(image), mask_(mask) {
        if (mask_ && (mask_->width() != image.width() || mask_->height() != image.height() || mask_->bitsPerPixel() < 24))
            throw Error("palette: the opacity mask does not match the image");
        bgr_.resize(static_cast<std::size_t>(image.width()) * 3);
    }
    // Four bytes per pixel: red, green, blue, alpha.
    void Read(int y, std::uint8_t* rgba) {
        image_.ExpandRowToBgr(y, bgr_.data());
        const int width = image_.width();
        const std::uint8_t* m = mask_ ? mask_->row(y) + 2 : nullptr;
        const int step = mask_ ? mask_->bitsPerPixel() / 8 : 0;
        for (int x = 0; x < width; ++x) {
            rgba[4 * x] = bgr_[3 * x + 2];
            rgba[4 * x + 1] = bgr_[3 * x + 1];
            rgba[4 * x + 2] = bgr_[3 * x];
            rgba[4 * x + 3] = m ? m[static_cast<std::size_t>(x) * step] : 255;
        }
    }

private:
    const Raster& image_;
    const Raster* mask_;
    std::vector<std::uint8_t> bgr_;
};

// The distinct colours of a picture, up to 256, each with its palette index.
class ColourSet {
public:
    ColourSet() { keys_.fill(kNoColour); }
    // The colour's index; -1 once a 257th colour turns up.
    int Add(std::uint32_t colour) {
        if (colour == kNoColour) {  // opaque white has a slot of its own
            if (whiteIndex_ < 0) {
                if (count_ == kMaxColours) return -1;
                whiteIndex_ = count_;
                colours_[count_++] = colour;
            }
            return whiteIndex_;
        }
        std::size_t slot = (colour * 2654435761u) >> (32 - kBits);
        for (;; slot = (slot + 1) & (kSlots - 1)) {
            if (keys_[slot] == colour) return indices_[slot];
            if (keys_[slot] == kNoColour) break;
        }
        if (count_ == kMaxColours) return -1;
        keys_[slot] = colour;
        indices_[slot] = static_cast<std::uint8_t>(count_);
        colours_[count_] = colour;
        return count_++;
    }
    int count() const { return count_; }
    std::uint32_t colour(int i) const { return colours_[i]; }

private:
    static constexpr int kBits = 10;
    static constexpr std::size_t kSlots = std::size_t{1} << kBits;  // four times the colours
    std::array<std::uint32_t, kSlots> keys_{};
    std::array<std::uint8_t, kSlots> indices_{};
    std::array<std::uint32_t, kMaxColours> colours_{};
    int count_ = 0;
    int whiteIndex_ = -1;
};

// Puts the entries that are not opaque first, so that the PNG tRNS chunk, which ends at the
// last of them, stays short.
void TransparentFirst(PalettePicture& p) {
    if (p.opacity.empty()) return;
    std::array<std::uint8_t, 256> newIndex{};
    std::vector<PaletteEntry> entries(256);
    std::vector<std::uint8_t> opacity(256, 255);
    int next = 0;
    for (int pass = 0; pass < 2; ++pass)
        for (int i = 0; i < p.colourCount; ++i)
            if ((p.opacity[static_cast<std::size_t>(i)] != 255) == (pass == 0)) {
                newIndex[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(next);
                entries[static_cast<std::size_t>(next)] = p.image.palette()[static_cast<std::size_t>(i)];
                opacity[static_cast<std::size_t>(next)] = p.opacity[static_cast<std::size_t>(i)];
                ++next;
            }
    for (int y = 0; y < p.image.height(); ++y) {
        std::uint8_t* row = p.image.row(y);
        for (int x = 0; x < p.image.width(); ++x) row[x] = newIndex[row[x]];
    }
    p.image.palette() = std::move(entries);
    p.opacity = std::move(opacity);
}

PalettePicture MakePalettePicture(const Raster& source, int count) {
    PalettePicture out;
    out.image = Raster(source.width(), source.height(), 8);
    out.colourCount = count;
    return out;
}

void SetEntry(PalettePicture& out, int i, std::uint32_t colour, bool& anyTransparent) {
    out.image.palette()[static_cast<std::size_t>(i)] = {static_cast<std::uint8_t>(colour),
                                                        static_cast<std::uint8_t>(colour >> 8),
                                                        static_cast<std::uint8_t>(colour >> 16), 0};
    out.opacity[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(colour >> 24);
    anyTransparent = anyTransparent || (colour >> 24) != 255;
}

// Every pixel's colour as it is, when there are at most 256; nothing otherwise.
bool TryExactPalette(const Raster& image, const Raster* mask, PalettePicture& out) {
    PixelRows rows(image, mask);
    ColourSet colours;
    std::vector<std::uint8_t> rgba(static_cast<std::size_t>(image.width()) * 4);
    Raster indices(image.width(), image.height(), 8);
    for (int y = 0; y < image.height(); ++y) {
        rows.Read(y, rgba.data());
        std::uint8_t* dst = indices.row(y);
        for (int x = 0; x < image.width(); ++x) {
            const std::uint8_t* p = &rgba[4 * static_cast<std::size_t>(x)];
            const int index = colours.Add(Pack(p[0], p[1], p[2], p[3]));
            if (index < 0) return false;
            dst[x] = static_cast<std::uint8_t>(index);
        }
    }
    out = MakePalettePicture(image, colours.count());
    out.image = std::move(indices);
    out.image.palette().assign(256, PaletteEntry{});
    out.opacity.assign(256, 255);
    bool anyTransparent = false;
    for (int i = 0; i < colours.count(); ++i) SetEntry(out, i, colours.colour(i), anyTransparent);
    if (!anyTransparent) out.opacity.clear();
    TransparentFirst(out);
    return true;
}

// The histogram's cells: 5 bits of red, green and blue, 3 of alpha.
constexpr int kCellCount = 8 * 32 * 32 * 32;
inline int CellOf(int r, int g, int b, int a) { return (a >> 5) << 15 | (r >> 3) << 10 | (g >> 3) << 5 | (b >> 3); }

struct Cell {
    std::uint64_t count = 0;
    std::array<std::uint64_t, 4> sum{};  // red, green, blue, alpha
    std::array<float, 4> Mean() const {
        std::array<float, 4> m{};
        for (int c = 0; c < 4; ++c) m[c] = static_cast<float>(sum[c]) / static_cast<float>(count);
        return m;
    }
};

struct Box {
    std::size_t begin = 0, end = 0;  // cells of the box in the working list
    std::uint64_t count = 0;
    int widest = 0;                  // the channel of the largest range
    float range = 0;
    double Priority() const { return end - begin < 2 ? -1.0 : static_cast<double>(count) * range * range; }
};

// Median cut over the used cells: the box with the largest count x range^2 is split along its
// widest channel at the weighted median, until there are `wanted` boxes or none can be split.
std::vector<std::array<float, 4>> MedianCut(std::vector<Cell>& cells, int wanted) {
    auto measure = [&cells](Box& box) {
        std::array<float, 4> lo, hi;
        lo.fill(std::numeric_limits<float>::max());
        hi.fill(std::numeric_limits<float>::lowest());
        box.count = 0;
        for (std::size_t i = box.begin; i < box.end; ++i) {
            const auto m = cells[i].Mean();
            for (int c = 0; c < 4; ++c) {
                lo[c] = std::min(lo[c], m[c]);
                hi[c] = std::max(hi[c], m[c]);
            }
            box.count += cells[i].count;
        }
        box.range = -1;
        for (int c = 0; c < 4; ++c)
            if (hi[c] - lo[c] > box.range) {
                box.range = hi[c] - lo[c];
                box.widest = c;
            }
    };
    std::vector<Box> boxes(1);
    boxes[0].end = cells.size();
    measure(boxes[0]);
    while (static_cast<int>(boxes.size()) < wanted) {
        auto best = std::max_element(boxes.begin(), boxes.end(),
                                     [](const Box& a, const Box& b) { return a.Priority() < b.Priority(); });
        if (best->Priority() <= 0) break;
        Box box = *best;
        const int c = box.widest;
        std::sort(cells.begin() + static_cast<std::ptrdiff_t>(box.begin), cells.begin() + static_cast<std::ptrdiff_t>(box.end),
                  [c](const Cell& a, const Cell& b) { return a.Mean()[c] < b.Mean()[c]; });
        // The first cell past half the box's pixels starts the second half; both halves keep at
        // least one cell.
        std::uint64_t seen = 0;
        std::size_t split = box.begin + 1;
        for (std::size_t i = box.begin; i < box.end - 1; ++i) {
            seen += cells[i].count;
            split = i + 1;
            if (2 * seen >= box.count) break;
        }
        Box first{box.begin, split}, second{split, box.end};
        measure(first);
        measure(second);
        *best = first;
        boxes.push_back(second);
    }
    std::vector<std::array<float, 4>> palette;
    for (const Box& box : boxes) {
        std::array<std::uint64_t, 4> sum{};
        std::uint64_t count = 0;
        for (std::size_t i = box.begin; i < box.end; ++i) {
            for (int c = 0; c < 4; ++c) sum[c] += cells[i].sum[c];
            count += cells[i].count;
        }
        std::array<float, 4> colour{};
        for (int c = 0; c < 4; ++c) colour[c] = static_cast<float>(sum[c]) / static_cast<float>(count);
        palette.push_back(colour);
    }
    return palette;
}

// Nearest palette entries, remembered per histogram cell: a diffused colour is looked up by the
// cell it falls in, each cell searched once, against its own first colour.
class NearestEntry {
public:
    explicit NearestEntry(const std::vector<std::array<std::uint8_t, 4>>& palette)
        : palette_(palette), cache_(kCellCount, -1) {}

    int operator()(int r, int g, int b, int a) {
        std::int16_t& cached = cache_[static_cast<std::size_t>(CellOf(r, g, b, a))];
        if (cached < 0) cached = static_cast<std::int16_t>(Search(r, g, b, a));
        return cached;
    }

private:
    int Search(int r, int g, int b, int a) const {
        int best = 0;
        int bestDistance = std::numeric_limits<int>::max();
        for (std::size_t i = 0; i < palette_.size(); ++i) {
            const auto& p = palette_[i];
            const int dr = r - p[0], dg = g - p[1], db = b - p[2], da = a - p[3];
            const int d = dr * dr + dg * dg + db * db + da * da;
            if (d < bestDistance) {
                bestDistance = d;
                best = static_cast<int>(i);
            }
        }
        return best;
    }

    const std::vector<std::array<std::uint8_t, 4>>& palette_;
    std::vector<std::int16_t> cache_;
};

inline int ClampByte(float v) { return v <= 0.0f ? 0 : v >= 255.0f ? 255 : static_cast<int>(v + 0.5f); }

PalettePicture ReducedPalette(const Raster& image, const Raster* mask) {
    const int width = image.width();
    const int height = image.height();
    PixelRows rows(image, mask);
    std::vector<std::uint8_t> rgba(static_cast<std::size_t>(width) * 4);

    std::vector<Cell> histogram(kCellCount);
    for (int y = 0; y < height; ++y) {
        rows.Read(y, rgba.data());
        for (int x = 0; x < width; ++x) {
            const std::uint8_t* p = &rgba[4 * static_cast<std::size_t>(x)];
            Cell& cell = histogram[static_cast<std::size_t>(CellOf(p[0], p[1], p[2], p[3]))];
            ++cell.count;
            for (int c = 0; c < 4; ++c) cell.sum[c] += p[c];
        }
    }
    std::vector<Cell> used;
    for (const Cell& cell : histogram)
        if (cell.count) used.push_back(cell);
    histogram = {};
    const std::vector<std::array<float, 4>> means = MedianCut(used, kMaxColours);

    PalettePicture out = MakePalettePicture(image, static_cast<int>(means.size()));
    out.image.palette().assign(256, PaletteEntry{});
    out.opacity.assign(256, 255);
    std::vector<std::array<std::uint8_t, 4>> palette;
    bool anyTransparent = false;
    for (std::size_t i = 0; i < means.size(); ++i) {
        std::array<std::uint8_t, 4> e{};
        for (int c = 0; c < 4; ++c) e[c] = static_cast<std::uint8_t>(ClampByte(means[i][c]));
        palette.push_back(e);
        SetEntry(out, static_cast<int>(i), Pack(e[0], e[1], e[2], e[3]), anyTransparent);
    }
    if (!anyTransparent) out.opacity.clear();

    // Floyd-Steinberg: each pixel's error goes 7/16 to the right, 3/16 below left, 5/16 below and
    // 1/16 below right. Rows of errors carry a pixel of margin on either side.
    NearestEntry nearest(palette);
    const std::size_t errorWidth = (static_cast<std::size_t>(width) + 2) * 4;
    std::vector<float> errorHere(errorWidth, 0.0f), errorBelow(errorWidth, 0.0f);
    for (int y = 0; y < height; ++y) {
        rows.Read(y, rgba.data());
        std::fill(errorBelow.begin(), errorBelow.end(), 0.0f);
        std::uint8_t* dst = out.image.row(y);
        for (int x = 0; x < width; ++x) {
            const std::uint8_t* p = &rgba[4 * static_cast<std::size_t>(x)];
            float* e = &errorHere[4 * static_cast<std::size_t>(x + 1)];
            int wanted[4];
            for (int c = 0; c < 4; ++c) wanted[c] = ClampByte(p[c] + e[c]);
            const int index = nearest(wanted[0], wanted[1], wanted[2], wanted[3]);
            dst[x] = static_cast<std::uint8_t>(index);
            const auto& chosen = palette[static_cast<std::size_t>(index)];
            float* below = &errorBelow[4 * static_cast<std::size_t>(x + 1)];
            for (int c = 0; c < 4; ++c) {
                // From the clamped colour, so that errors cannot pile up where the picture is
                // already at black or white.
                const float error = static_cast<float>(wanted[c] - chosen[c]);
                e[4 + c] += error * (7.0f / 16.0f);
                below[c - 4] += error * (3.0f / 16.0f);
                below[c] += error * (5.0f / 16.0f);
                below[c + 4] += error * (1.0f / 16.0f);
            }
        }
        errorHere.swap(errorBelow);
    }
    TransparentFirst(out);
    return out;
}

}  // namespace

std::optional<PalettePicture> ExactPalette(const Raster& image, const Raster* mask) {
    if (image.empty()) throw Error("palette: there is no image");
    PalettePicture exact;
    if (TryExactPalette(image, mask, exact)) return exact;
    return std::nullopt;
}

PalettePicture ToAdaptivePalette(const Raster& image, const Raster* mask) {
    if (image.empty()) throw Error("palette: there is no image");
    PalettePicture exact;
    if (TryExactPalette(image, mask, exact)) return exact;
    return ReducedPalette(image, mask);
}

}  // namespace zelvan
