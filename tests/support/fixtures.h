#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zelvan::test {

struct Rgba {
    std::uint8_t r = 0, g = 0, b = 0, a = 255;
};
using PixelFn = std::function<Rgba(int x, int y)>;

// Source files made independently of the program's own writers.
// A 24-bit bottom-up bitmap file.
std::vector<std::uint8_t> MakeBmp24(int width, int height, const PixelFn& pixel);
// PNG files through libpng's simplified API: RGB (colour type 2), RGBA (6), or colour-mapped
// (3) from at most 256 distinct colours.
enum class PngKind { Rgb, Rgba, Indexed };
void WritePngFile(const std::string& path, int width, int height, PngKind kind, const PixelFn& pixel);

// Decodes any PNG with libpng's simplified API into RGBA; reports the IHDR colour type.
struct PngImage {
    int width = 0, height = 0, colourType = -1;
    std::vector<std::uint8_t> rgba;
};
PngImage ReadPngFile(const std::string& path);

}  // namespace zelvan::test
