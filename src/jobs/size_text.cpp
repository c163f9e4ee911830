#include "jobs/size_text.h"

#include <QLocale>
#include <cfenv>
#include <cmath>
#include <cstdio>

namespace zelvan {

namespace {

// The sizes switch to MiB above this many KiB.
constexpr std::int64_t kLargestKiBFigure = 1001;

double RoundToHundredths(double value) {
    // nearbyint rounds in the current mode, which is to nearest with ties to even unless a
    // library has changed it; make sure of it for this one call.
    const int savedMode = std::fegetround();
    if (savedMode != FE_TONEAREST) std::fesetround(FE_TONEAREST);
    const double hundredths = std::nearbyint(value / 0.01);
    if (savedMode != FE_TONEAREST) std::fesetround(savedMode);
    return hundredths * 0.01;
}

}  // namespace

std::string DecimalSeparatorOf(const QLocale& locale) { return locale.decimalPoint().toStdString(); }

std::string TwoDecimalsText(double value, std::string_view decimalSeparator) {
    const double rounded = RoundToHundredths(value);
    char buffer[64];
    // %.15g: at most 15 significant digits, trailing zeros dropped; an exponent appears only
    // for magnitudes no size or time here reaches.
    std::snprintf(buffer, sizeof buffer, "%.15g", rounded == 0.0 ? 0.0 : rounded);
    std::string text(buffer);
    const std::size_t point = text.find('.');
    if (point != std::string::npos) text.replace(point, 1, decimalSeparator);
    return text;
}

std::string SizeText(std::int64_t kib, std::string_view decimalSeparator, const SizeUnits& units) {
    if (kib <= kLargestKiBFigure) return std::to_string(kib) + " " + units.kib;
    return TwoDecimalsText(static_cast<double>(kib) / 1024.0, decimalSeparator) + " " + units.mib;
}

std::string OutputShareText(std::int64_t outputKiB, std::int64_t inputKiB, std::string_view decimalSeparator) {
    return TwoDecimalsText(static_cast<double>(outputKiB) / (static_cast<double>(inputKiB) / 100.0),
                           decimalSeparator);
}

std::string OutputSizeText(std::int64_t outputKiB, std::int64_t inputKiB, std::string_view decimalSeparator,
                           const SizeUnits& units) {
    return SizeText(outputKiB, decimalSeparator, units) + " (" +
           OutputShareText(outputKiB, inputKiB, decimalSeparator) + "%)";
}

std::string ElapsedText(std::int64_t milliseconds, std::string_view decimalSeparator, std::string_view unit) {
    return TwoDecimalsText(static_cast<double>(milliseconds) / 1000.0, decimalSeparator) + " " + std::string(unit);
}

std::string StatisticsSizeText(std::int64_t kib) {
    if (kib <= kLargestKiBFigure) return std::to_string(kib) + " KiB";
    return std::to_string(kib / 1024) + " MiB";
}

}  // namespace zelvan
