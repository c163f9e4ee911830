#include "engine/text_stamp.h"

#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QString>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "base/error.h"

namespace zelvan {
namespace {

// Qt's font engines measure wrongly beyond about 16000 pixels (heights wrap around, and from
// 65536 on there are no glyphs at all), so larger sizes are drawn at this one.
constexpr int kLargestPixelSize = 16384;
constexpr int kLargestPoints = kLargestPixelSize * 72 / 96;

int ClampToInt(std::int64_t v) {
    return static_cast<int>(std::clamp<std::int64_t>(v, INT32_MIN, INT32_MAX));
}

QFont FontOf(const TextFont& textFont, int points) {
    QFont font(QString::fromStdString(textFont.face));
    font.setPixelSize(TextStampPixelSize(points));
    font.setBold((textFont.style & 1) != 0);
    font.setItalic((textFont.style & 2) != 0);
    font.setUnderline((textFont.style & 4) != 0);
    font.setStrikeOut((textFont.style & 8) != 0);
    // The character set has no meaning here: Qt picks glyphs by the text's own characters.
    return font;
}

// The largest size from the font's own size down to 8 points at which the text fits the
// limit; 8 when none does; a font below 8 points stays as it is. Sizes whose text would be far
// too wide are skipped in proportion to the measured width, so that a huge size from a
// hand-edited settings file does not mean thousands of font loads; within 25 % of the limit
// the sizes go one point at a time, so hinting's small departures from proportion cannot make
// the search miss a size that fits.
int FitPoints(const TextFont& textFont, const QString& text, int limit, QPaintDevice* device) {
    int points = textFont.sizePoints;
    if (points < kTextStampSmallestFittedPoints) return points;
    points = std::min(points, kLargestPoints);
    for (;;) {
        const int width = QFontMetrics(FontOf(textFont, points), device).horizontalAdvance(text);
        if (width <= limit || points == kTextStampSmallestFittedPoints) return points;
        int next = points - 1;
        if (std::int64_t{width} * 4 > std::int64_t{limit} * 5) {
            const std::int64_t proportional = std::int64_t{points} * limit * 5 / (std::int64_t{width} * 4) + 1;
            next = static_cast<int>(std::min<std::int64_t>(next, proportional));
        }
        points = std::max(next, kTextStampSmallestFittedPoints);
    }
}

void SetPaletteIndex(std::uint8_t* row, int x, int bitsPerPixel, unsigned index) {
    switch (bitsPerPixel) {
        case 8: row[x] = static_cast<std::uint8_t>(index); break;
        case 4: {
            std::uint8_t& byte = row[x >> 1];
            byte = (x & 1) ? static_cast<std::uint8_t>((byte & 0xF0) | index) : static_cast<std::uint8_t>((byte & 0x0F) | (index << 4));
            break;
        }
        default: {
            const auto bit = static_cast<std::uint8_t>(0x80 >> (x & 7));
            row[x >> 3] = index ? static_cast<std::uint8_t>(row[x >> 3] | bit) : static_cast<std::uint8_t>(row[x >> 3] & ~bit);
            break;
        }
    }
}

// Puts the pixels the stamp changed in `drawn` (a 24-bit copy of the palette image) back into the
// palette image as the nearest of its palette's colours, so that a palette or grey picture keeps
// its palette and every pixel the stamp left alone keeps its index.
void ReturnToPalette(Raster& image, const Raster& drawn) {
    const std::vector<PaletteEntry>& palette = image.palette();
    auto nearest = [&palette](const std::uint8_t* bgr) {
        unsigned best = 0;
        int bestDistance = INT32_MAX;
        for (unsigned i = 0; i < palette.size(); ++i) {
            const int db = bgr[0] - palette[i].blue, dg = bgr[1] - palette[i].green, dr = bgr[2] - palette[i].red;
            const int distance = dr * dr * 3 + dg * dg * 4 + db * db * 2;
            if (distance < bestDistance) {
                bestDistance = distance;
                best = i;
            }
        }
        return best;
    };
    std::uint8_t lastColour[3] = {};
    unsigned lastIndex = nearest(lastColour);
    for (int y = 0; y < image.height(); ++y) {
        std::uint8_t* row = image.row(y);
        const std::uint8_t* bgr = drawn.row(y);
        std::vector<std::pair<int, unsigned>> changed;
        ForEachPaletteIndex(row, image.width(), image.bitsPerPixel(), [&](int x, unsigned index) {
            const std::uint8_t* p = bgr + 3 * static_cast<std::size_t>(x);
            const PaletteEntry& e = palette[index];
            if (p[0] == e.blue && p[1] == e.green && p[2] == e.red) return;
            if (std::memcmp(p, lastColour, 3) != 0) {
                std::memcpy(lastColour, p, 3);
                lastIndex = nearest(p);
            }
            changed.emplace_back(x, lastIndex);
        });
        for (const auto& [x, index] : changed) SetPaletteIndex(row, x, image.bitsPerPixel(), index);
    }
}

void QuietStartupMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtCriticalMsg || type == QtFatalMsg) std::fprintf(stderr, "%s\n", qPrintable(message));
}

}  // namespace

TextPoint TextStampPosition(int position, int imageWidth, int imageHeight, int textWidth, int textHeight) {
    const std::int64_t W = imageWidth, H = imageHeight, w = textWidth, h = textHeight, m = kTextStampMargin;
    const std::int64_t left = m, centreX = W / 2 - w / 2, right = W - (w + m);
    const std::int64_t top = m, centreY = H / 2 - h / 2, bottom = H - (h + m);
    std::int64_t x = left, y = top;
    switch (position) {
        case 0: x = left; y = top; break;
        case 1: x = centreX; y = top; break;
        case 2: x = right; y = top; break;
        case 3: x = centreX; y = centreY; break;
        case 4: x = left; y = bottom; break;
        case 5: x = centreX; y = bottom; break;
        case 6: x = right; y = bottom; break;
        default: break;
    }
    return {ClampToInt(x), ClampToInt(y)};
}

int TextStampWidthLimit(int imageWidth) {
    // 35 % in integers, so that halves are exact and go to the even neighbour.
    const std::int64_t hundredths = std::int64_t{imageWidth} * 35;
    std::int64_t whole = hundredths / 100;
    const std::int64_t rest = hundredths % 100;
    if (rest > 50 || (rest == 50 && whole % 2 != 0)) ++whole;
    return ClampToInt(whole);
}

int TextStampPixelSize(int points) {
    const std::int64_t pixels = (std::int64_t{points} * 96 + 36) / 72;
    return static_cast<int>(std::clamp<std::int64_t>(pixels, 1, kLargestPixelSize));
}

TextStampLayout DrawTextStamp(Raster& image, const std::string& text, const ConversionOptions& options,
                              bool keepPalette) {
    TextStampLayout layout;
    if (text.empty() || image.empty()) return layout;
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr)
        throw Error("text stamp: no font system in this process (no QGuiApplication)");

    if (image.bitsPerPixel() <= 8) {
        Raster drawn = image.ToBgr24();
        layout = DrawTextStamp(drawn, text, options, false);
        if (keepPalette) ReturnToPalette(image, drawn);
        else image = std::move(drawn);
        return layout;
    }
    const bool fourthByte = image.bitsPerPixel() == 32;
    const int W = image.width();
    const int H = image.height();
    // Pixel bytes are blue, green, red (and a fourth byte): BGR888, or 0xXXRRGGBB words.
    QImage surface(image.data(), W, H, static_cast<qsizetype>(image.stride()),
                   fourthByte ? QImage::Format_RGB32 : QImage::Format_BGR888);
    if (surface.isNull()) throw Error("text stamp: the image cannot be drawn on");

    const QString qtext = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    const TextFont& textFont = options.textFont;
    layout.points = FitPoints(textFont, qtext, TextStampWidthLimit(W), &surface);
    layout.pixelSize = TextStampPixelSize(layout.points);
    const QFont font = FontOf(textFont, layout.points);
    const QFontMetrics metrics(font, &surface);
    layout.width = metrics.horizontalAdvance(qtext);
    layout.height = metrics.height();
    const TextPoint at = TextStampPosition(options.textPosition, W, H, layout.width, layout.height);
    layout.x = at.x;
    layout.y = at.y;

    // Qt's RGB32 drawing writes the fourth byte as opacity; the stamp must leave it as it was.
    // Drawing is confined to a band of rows around the text (a line height above and below,
    // room for any glyph's overhang), and that band's fourth bytes are put back afterwards.
    const std::int64_t bandTop = std::clamp<std::int64_t>(std::int64_t{at.y} - layout.height, 0, H);
    const std::int64_t bandBottom = std::clamp<std::int64_t>(std::int64_t{at.y} + 2 * std::int64_t{layout.height} + 2, 0, H);
    std::vector<std::uint8_t> savedFourth;
    if (fourthByte) {
        savedFourth.reserve(static_cast<std::size_t>(bandBottom - bandTop) * static_cast<std::size_t>(W));
        for (std::int64_t y = bandTop; y < bandBottom; ++y) {
            const std::uint8_t* row = image.row(static_cast<int>(y));
            for (int x = 0; x < W; ++x) savedFourth.push_back(row[4 * x + 3]);
        }
    }

    {
        QPainter painter(&surface);
        if (!painter.isActive()) throw Error("text stamp: the image cannot be drawn on");
        if (fourthByte) painter.setClipRect(0, static_cast<int>(bandTop), W, static_cast<int>(bandBottom - bandTop));
        painter.setFont(font);
        painter.setBackgroundMode(Qt::TransparentMode);
        const int baseline = metrics.ascent();
        if (options.textShadow) {
            painter.setPen(QColor(0, 0, 0));
            painter.drawText(QPoint(at.x + 1, at.y + 1 + baseline), qtext);
        }
        const std::uint32_t colour = static_cast<std::uint32_t>(textFont.colour);  // red in the low byte
        painter.setPen(QColor(colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF));
        painter.drawText(QPoint(at.x, at.y + baseline), qtext);
    }

    if (fourthByte) {
        const std::uint8_t* saved = savedFourth.data();
        for (std::int64_t y = bandTop; y < bandBottom; ++y) {
            std::uint8_t* row = image.row(static_cast<int>(y));
            for (int x = 0; x < W; ++x) row[4 * x + 3] = *saved++;
        }
    }
    return layout;
}

std::unique_ptr<QGuiApplication> StartOffscreenFontSystem() {
    if (QCoreApplication::instance() != nullptr) return nullptr;
    // Qt keeps references to these for the application's lifetime and takes its own options
    // out of them, so they are static and set afresh for every start.
    static char program[] = "zelvan";
    static char platformOption[] = "-platform";
    static char platformName[] = "offscreen";
    static char* argv[4];
    static int argc;
    argv[0] = program;
    argv[1] = platformOption;
    argv[2] = platformName;
    argv[3] = nullptr;
    argc = 3;
    // Qt sets the C library's locale from the environment; what the program writes through the
    // C library (numbers among them) stays as it was.
    const char* current = std::setlocale(LC_ALL, nullptr);
    const std::string previous = current != nullptr ? current : "C";
    // Starting up, Qt notes things about the environment (such as an unset XDG_RUNTIME_DIR)
    // that do not concern a program without windows; they stay off its standard error.
    const QtMessageHandler earlier = qInstallMessageHandler(QuietStartupMessages);
    auto application = std::make_unique<QGuiApplication>(argc, argv);
    qInstallMessageHandler(earlier);
    std::setlocale(LC_ALL, previous.c_str());
    return application;
}

}  // namespace zelvan
