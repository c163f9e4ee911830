#pragma once

#include <memory>
#include <string>

#include "engine/conversion_options.h"
#include "imaging/raster.h"

class QGuiApplication;

namespace zelvan {

// The text stamp: one line of text drawn on the working image with the font of Text_Font, made
// smaller (down to 8 points) until it takes at most 35 % of the image width, placed at one of
// seven positions 10 pixels from the edges, with an optional black shadow one pixel right and
// down. Fonts and drawing are Qt's, on a QImage that wraps the raster's own pixels.

inline constexpr int kTextStampMargin = 10;
inline constexpr int kTextStampSmallestFittedPoints = 8;

struct TextPoint {
    int x = 0;
    int y = 0;
};

// The top-left corner of a textWidth x textHeight box for Text_position 0 to 6 (top-left,
// top-centre, top-right, centre, bottom-left, bottom-centre, bottom-right) on an image of
// imageWidth x imageHeight; any other position is top-left. Halves truncate toward zero, and a
// text wider than the image gets a negative x.
TextPoint TextStampPosition(int position, int imageWidth, int imageHeight, int textWidth, int textHeight);

// The widest the text may be: 35 % of the image width, to the nearest pixel, ties to even.
int TextStampWidthLimit(int imageWidth);

// Pixels of the font's em height for a size in points at 96 dots per inch, rounded to nearest
// (26 points are 35 pixels); at least 1 and at most 16384, the largest Qt measures correctly.
int TextStampPixelSize(int points);

// What was drawn: the size the fitting chose and the text's box at that size.
struct TextStampLayout {
    int points = 0;
    int pixelSize = 0;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// Draws `text` (UTF-8) on `image` in place with options.textFont, Text_position and
// Text_Shadow; the text is opaque, its background transparent. A palette image is drawn on as a
// 24-bit copy, which then replaces it, or with keepPalette (for outputs that keep palettes) goes
// back into its palette, the stamp's pixels as the nearest of the palette's colours; a 32-bit
// image keeps its fourth byte (the stamp changes colours, never transparency). An empty text
// changes nothing. The caller holds the job lock: the font
// machinery is shared by all jobs. Throws Error when the process has no QGuiApplication (see
// StartOffscreenFontSystem) or the image cannot be drawn on.
TextStampLayout DrawTextStamp(Raster& image, const std::string& text, const ConversionOptions& options,
                              bool keepPalette = false);

// The font system the stamp needs, for a process without windows (the command line, tests): a
// QGuiApplication on the "offscreen" platform, whatever QT_QPA_PLATFORM says, so that no display
// is needed. Nothing when the process already has an application object. Call it from the main
// thread before any job starts, and keep the result until the last job has ended.
std::unique_ptr<QGuiApplication> StartOffscreenFontSystem();

}  // namespace zelvan
