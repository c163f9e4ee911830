#pragma once

// How close a picture looks to another: the SSIMULACRA 2 score, computed by the program itself.
//
// 100 means no visible difference; about 90 is visually lossless at normal viewing, 70 a good
// web quality, 50 medium, 30 low; strongly distorted pictures score below zero. Both pictures
// are taken as sRGB.

#include "imaging/raster.h"

namespace zelvan {

// The score of `distorted` against `reference`, which must have the same size, at least 8 x 8
// pixels (throws Error otherwise). Any depth is accepted; a fourth byte is padding. An opacity
// mask (a 24-bit raster of the image's size with the opacity in the third byte, as the working
// image carries it) may come with either picture: the pictures are then seen over a dark and a
// light grey background (10 % and 90 % of full scale) and the worse of the two scores counts, so
// that a difference hidden by one background shows on the other. One thread, no shared state.
double VisualQualityScore(const Raster& reference, const Raster& distorted, const Raster* referenceMask = nullptr,
                          const Raster* distortedMask = nullptr);

}  // namespace zelvan
