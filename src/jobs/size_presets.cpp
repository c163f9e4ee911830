#include "jobs/size_presets.h"

#include <algorithm>
#include <cmath>

namespace zelvan {

std::uint64_t GreatestCommonDivisor(std::uint64_t a, std::uint64_t b) {
    if (a == 0 || b == 0) return 0;
    if (a < b) std::swap(a, b);
    while (b != 0) {
        const std::uint64_t rest = a % b;
        a = b;
        b = rest;
    }
    return a;
}

QString AspectRatioText(std::uint64_t width, std::uint64_t height) {
    const std::uint64_t divisor = GreatestCommonDivisor(width, height);
    if (divisor == 0) return QString::number(width) + ":" + QString::number(height);
    // The quotients are whole numbers, so they are written without decimals.
    return QString::number(width / divisor) + ":" + QString::number(height / divisor);
}

QString MegapixelText(std::uint64_t pixels, const QLocale& locale) {
    // Hundredths of a megapixel, rounded half to even (the default floating-point rounding).
    const double hundredths = std::nearbyint(static_cast<double>(pixels) / 10000.0);
    QLocale plain = locale;
    plain.setNumberOptions(QLocale::OmitGroupSeparator);
    return plain.toString(hundredths / 100.0, 'g', QLocale::FloatingPointShortest) + " M";
}

const std::vector<std::string>& SizePresetDesignTexts() {
    static const std::vector<std::string> texts{
        "--",        "120x90",    "160x120",   "200x150",   "320x240",   "400x300",
        "640x480",   "800x600",   "1024x600 ( ~15:9 )  0,61 M",          "1024x768",
        "1280x720",  "1280x768",  "1280x800",  "1200x900",  "1280x800",  "1280x1024",
        "1360x768",  "1366x768 ( ~16:9 ) 1,04 M",           "1440x900",  "1680x1050",
        "1600x1200", "1920x1080", "1920x1200", "2048x1152", "2048x1536", "2272x1704",
        "2560x1440", "2560x1600", "2560x2048", "3200x2048", "3200x2400", "3840x2400",
        "4096x2160", "5120x4096", "6400x4096", "6400x4800", "7680x4320", "7680x4800"};
    return texts;
}

QString SizePresetCaption(const QString& designText, int width, int height, const QLocale& locale) {
    if (width == -1 || height == -1 || designText.contains(':')) return designText;
    const auto w = static_cast<std::uint64_t>(std::max(width, 0));
    const auto h = static_cast<std::uint64_t>(std::max(height, 0));
    return QString::number(width) + "x" + QString::number(height) + " ( " + AspectRatioText(w, h) + " ) " +
           MegapixelText(w * h, locale);
}

}  // namespace zelvan
