#pragma once

// Colour given by code points (ITU-T H.273: primaries, transfer characteristics, matrix) rather
// than by an ICC profile, as AVIF's and HEIF's nclx colour boxes and PNG's cICP chunk give it. The
// readers turn such codes into an ICC profile of the same colours, which then follows the
// colour-profile rules like any embedded profile (imaging/colour_profile.h).

#include <cstdint>
#include <vector>

#include "imaging/raster.h"

namespace zelvan {

// The code points of H.273 the program knows by name.
namespace colour_code {
inline constexpr int kPrimariesBt709 = 1;
inline constexpr int kUnspecified = 2;
inline constexpr int kPrimariesBt2020 = 9;
inline constexpr int kPrimariesDciP3 = 11;
inline constexpr int kPrimariesDisplayP3 = 12;
inline constexpr int kTransferBt709 = 1;
inline constexpr int kTransferLinear = 8;
inline constexpr int kTransferSrgb = 13;
inline constexpr int kTransferPq = 16;   // SMPTE ST 2084, absolute, up to 10000 cd/m2
inline constexpr int kTransferHlg = 18;  // ARIB STD-B67 (BT.2100 HLG)
}  // namespace colour_code

struct ColourCodes {
    int primaries = colour_code::kUnspecified;
    int transfer = colour_code::kUnspecified;
};

// True for PQ and HLG: samples of high dynamic range, which the reader tone maps (HdrToneMap)
// before the picture is held at 8 bits.
bool IsHdrTransfer(int transfer);

// The ICC profile (version 4, matrix and curves) of the colours the codes describe; empty for
// plain sRGB (BT.709 or unspecified primaries with the sRGB or unspecified transfer), which needs
// none, and for primaries the program does not know (the picture is then taken as sRGB, as
// before). For PQ and HLG the profile has the sRGB curve: it describes the pixels after
// HdrToneMap. The bytes are the same for the same codes on every call (no creation date), so
// outputs of one source stay identical from run to run. Thread-safe; throws std::bad_alloc.
std::vector<std::uint8_t> ProfileForColourCodes(const ColourCodes& codes);

// Tone mapping for HDR samples, so that a picture shows on an 8-bit output without its highlights
// clipped. Each channel is taken to linear light in cd/m2 (PQ as coded; HLG through its inverse
// OETF and the BT.2100 system gamma of 1.2 for a 1000 cd/m2 display, applied per channel), then
// measured in units of the reference white of BT.2408 (203 cd/m2). Up to half that white the
// light stays as it is; above it a logarithmic shoulder, as steep as the line at the knee, rolls
// the rest off so that the transfer's peak (10000 cd/m2 for PQ, 1000 for HLG) lands exactly on
// the output's white: the reference white comes out at about 83 % of the sRGB scale (PQ), and
// every brighter level keeps a level of its own as far as 8 bits allow. The result is coded with
// the sRGB curve, in the source's own primaries.
class HdrToneMap {
public:
    explicit HdrToneMap(int transfer);
    // A sample as a fraction of its full scale, in 1/65535 steps, to an 8-bit sample.
    std::uint8_t operator()(std::uint16_t sample) const { return table_[sample]; }

private:
    const std::uint8_t* table_;
};

// Tone maps a picture already held at 8 bits (each sample taken as v * 257 of 65535): its palette's
// entries for palette rasters, else its pixels; a fourth byte (opacity) is kept. For readers
// whose deeper samples were already brought to 8 bits.
void ToneMapRaster(Raster& image, int transfer);

}  // namespace zelvan
