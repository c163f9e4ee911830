#pragma once

#include <string>

namespace zelvan::test {

// The chromaticities (x, y) of an RGB colour space's primaries.
struct Primaries {
    double red[2], green[2], blue[2];
};
inline constexpr Primaries kSrgbPrimaries{{0.64, 0.33}, {0.30, 0.60}, {0.15, 0.06}};
inline constexpr Primaries kDisplayP3Primaries{{0.680, 0.320}, {0.265, 0.690}, {0.150, 0.060}};
inline constexpr Primaries kBt2020Primaries{{0.708, 0.292}, {0.170, 0.797}, {0.131, 0.046}};

// Writes an ICC profile of these primaries, D65 and the sRGB curve, built with Little CMS apart
// from the program, for ImageMagick to convert through; returns the path.
std::string WriteRgbProfile(const std::string& path, const Primaries& primaries);

}  // namespace zelvan::test
