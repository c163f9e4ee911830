#pragma once

#include <QLocale>
#include <QString>

#include <cstdint>
#include <string>
#include <vector>

namespace zelvan {

// The size presets of the Resize page and the arithmetic behind their captions. Plain functions
// on sizes, kept apart from the widgets so that they can be tested as tables.

// Euclid's algorithm; 0 when either number is 0.
std::uint64_t GreatestCommonDivisor(std::uint64_t a, std::uint64_t b);

// "16:9" for 1920 and 1080: both sides divided by their greatest common divisor. When a side is
// 0 there is nothing to divide by, and the sides are written as they are.
QString AspectRatioText(std::uint64_t width, std::uint64_t height);

// "0.48 M" for 480000 pixels: the count in millions rounded to two decimals (ties to even),
// written in the shortest form with the locale's decimal separator.
QString MegapixelText(std::uint64_t pixels, const QLocale& locale = QLocale());

// The preset list as designed: "--" (no preset) and then the sizes, smallest first.
const std::vector<std::string>& SizePresetDesignTexts();

// The caption a preset shows: "800x600 ( 4:3 ) 0.48 M", from its design text and the size read
// from that text (ParseSizeText). Texts that did not parse (a side of -1) and texts that already
// carry a ratio (a ":") are shown as designed.
QString SizePresetCaption(const QString& designText, int width, int height, const QLocale& locale = QLocale());

}  // namespace zelvan
