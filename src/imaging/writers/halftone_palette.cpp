#include "imaging/writers/halftone_palette.h"

namespace zelvan {
namespace {

constexpr int kGreyCount = 46;  // the cube's 6 greys and the 40 extra ones

struct Tables {
    std::array<Rgb, 256> palette{};
    // For a channel sum s (0 to 765): the grey value nearest to the colour and its index.
    std::array<std::uint8_t, 766> greyValue{};
    std::array<std::uint8_t, 766> greyIndex{};
};

// Everything is computed at compile time, so the tables need no run-time initialisation and
// are safe to read from any number of threads.
constexpr Tables BuildTables() {
    Tables t;
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 6; ++g)
            for (int b = 0; b < 6; ++b)
                t.palette[36 * r + 6 * g + b] = {static_cast<std::uint8_t>(51 * r),
                                                 static_cast<std::uint8_t>(51 * g),
                                                 static_cast<std::uint8_t>(51 * b)};
    std::array<std::uint8_t, kGreyCount> greyValues{};
    std::array<std::uint8_t, kGreyCount> greyIndices{};
    int next = kHalftoneCubeSize;
    for (int k = 0; k <= 45; ++k) {
        // round(255 k / 45) in integers; k a multiple of 9 is one of the cube's greys.
        auto v = static_cast<std::uint8_t>((510 * k + 45) / 90);
        greyValues[k] = v;
        if (k % 9 == 0) {
            greyIndices[k] = static_cast<std::uint8_t>(43 * (k / 9));  // 36 + 6 + 1 per level
        } else {
            greyIndices[k] = static_cast<std::uint8_t>(next);
            t.palette[next++] = {v, v, v};
        }
    }
    // The distance from (r, g, b) to grey v differs between greys by (3v - s)^2 / 3, where s
    // is the channel sum, so the nearest grey depends on s alone.
    for (int s = 0; s <= 765; ++s) {
        int best = 0;
        int bestDiff = 1 << 30;
        for (int k = 0; k < kGreyCount; ++k) {
            int d = 3 * greyValues[k] - s;
            d = d < 0 ? -d : d;
            if (d < bestDiff || (d == bestDiff && greyIndices[k] < greyIndices[best])) {
                best = k;
                bestDiff = d;
            }
        }
        t.greyValue[s] = greyValues[best];
        t.greyIndex[s] = greyIndices[best];
    }
    return t;
}

constexpr Tables kTables = BuildTables();

constexpr int Square(int v) { return v * v; }

}  // namespace

const std::array<Rgb, 256>& HalftonePalette() { return kTables.palette; }

std::uint8_t NearestHalftoneIndex(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
    // The cube is separable: its nearest colour rounds each channel to a multiple of 51
    // (never a tie, as 51 is odd).
    const int rl = (red + 25) / 51, gl = (green + 25) / 51, bl = (blue + 25) / 51;
    const int cubeIndex = 36 * rl + 6 * gl + bl;
    const int cubeDist = Square(red - 51 * rl) + Square(green - 51 * gl) + Square(blue - 51 * bl);
    const int s = red + green + blue;
    const int v = kTables.greyValue[s];
    const int greyIndex = kTables.greyIndex[s];
    const int greyDist = Square(red - v) + Square(green - v) + Square(blue - v);
    if (greyDist < cubeDist || (greyDist == cubeDist && greyIndex < cubeIndex))
        return static_cast<std::uint8_t>(greyIndex);
    return static_cast<std::uint8_t>(cubeIndex);
}

}  // namespace zelvan
