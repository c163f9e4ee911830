#include "engine/text_stamp.h"

#include <gtest/gtest.h>

#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace zelvan {
namespace {

// The font system for every test of this program, as the command line starts it.
class FontSystemEnvironment : public ::testing::Environment {
public:
    void SetUp() override { application_ = StartOffscreenFontSystem(); }
    void TearDown() override { application_.reset(); }

private:
    std::unique_ptr<QGuiApplication> application_;
};
[[maybe_unused]] ::testing::Environment* const kFontSystem =
    ::testing::AddGlobalTestEnvironment(new FontSystemEnvironment);

Raster Filled(int width, int height, int bitsPerPixel, std::uint8_t grey) {
    Raster r(width, height, bitsPerPixel);
    for (int y = 0; y < height; ++y) std::memset(r.row(y), grey, r.stride());
    return r;
}

struct Box {
    int left = INT_MAX, top = INT_MAX, right = INT_MIN, bottom = INT_MIN;  // inclusive
    int count = 0;
    void Add(int x, int y) {
        left = std::min(left, x);
        top = std::min(top, y);
        right = std::max(right, x);
        bottom = std::max(bottom, y);
        ++count;
    }
};

// The bounding box of the pixels whose colour passes `pred`.
template <typename Pred>
Box PixelsWhere(const Raster& r, Pred pred) {
    Box box;
    for (int y = 0; y < r.height(); ++y)
        for (int x = 0; x < r.width(); ++x)
            if (pred(r.PixelColour(x, y))) box.Add(x, y);
    return box;
}

ConversionOptions StampOptions(int position, bool shadow = true) {
    ConversionOptions o;
    o.textStampEnabled = true;
    o.textPosition = position;
    o.textShadow = shadow;
    return o;  // "Times New Roman", 26 points, white
}

int WidthAt(const TextFont& f, int points, const std::string& text) {
    QFont font(QString::fromStdString(f.face));
    font.setPixelSize(TextStampPixelSize(points));
    return QFontMetrics(font).horizontalAdvance(QString::fromStdString(text));
}

// ---------------------------------------------------------------------------------------------
// Arithmetic

TEST(TextStampPlacement, PositionTable) {
    struct Case {
        int position, W, H, w, h, x, y;
    };
    const Case cases[] = {
        {0, 800, 600, 120, 30, 10, 10},   {1, 800, 600, 120, 30, 340, 10},  {2, 800, 600, 120, 30, 670, 10},
        {3, 800, 600, 120, 30, 340, 285}, {4, 800, 600, 120, 30, 10, 560},  {5, 800, 600, 120, 30, 340, 560},
        {6, 800, 600, 120, 30, 670, 560}, {7, 800, 600, 120, 30, 10, 10},   {-1, 800, 600, 120, 30, 10, 10},
        {3, 801, 601, 120, 31, 340, 285},  // halves truncate: 400 - 60, 300 - 15
        {3, 800, 600, 121, 30, 340, 285},
        {2, 100, 50, 300, 30, 10 - 300 + 90 - 10, 10},  // wider than the image: cut off on the left
        {3, 100, 50, 301, 30, 50 - 150, 10},
    };
    for (const Case& c : cases) {
        TextPoint p = TextStampPosition(c.position, c.W, c.H, c.w, c.h);
        EXPECT_EQ(p.x, c.x) << "position " << c.position << " on " << c.W << "x" << c.H;
        EXPECT_EQ(p.y, c.y) << "position " << c.position << " on " << c.W << "x" << c.H;
    }
}

TEST(TextStampPlacement, WidthLimitAndPixelSize) {
    const std::pair<int, int> limits[] = {{1000, 350}, {200, 70}, {10, 4},  {30, 10},
                                          {50, 18},    {1, 0},    {3, 1},   {2147483647, 751619276}};
    for (auto [width, limit] : limits) EXPECT_EQ(TextStampWidthLimit(width), limit) << width;
    const std::pair<int, int> sizes[] = {{26, 35}, {8, 11}, {6, 8}, {72, 96}, {1, 1}, {0, 1}, {-5, 1},
                                         {12288, 16384}, {INT_MAX, 16384}};
    for (auto [points, pixels] : sizes) EXPECT_EQ(TextStampPixelSize(points), pixels) << points;
}

// ---------------------------------------------------------------------------------------------
// Drawing

TEST(TextStampDrawing, EveryPositionDrawsInsideItsBox) {
    const std::string stamp = "Zelvan 07";
    for (int position = 0; position <= 6; ++position) {
        Raster r = Filled(400, 300, 24, 100);
        TextStampLayout l = DrawTextStamp(r, stamp, StampOptions(position));
        SCOPED_TRACE("position " + std::to_string(position));
        ASSERT_GT(l.width, 0);
        ASSERT_GT(l.height, 0);
        TextPoint expected = TextStampPosition(position, 400, 300, l.width, l.height);
        EXPECT_EQ(l.x, expected.x);
        EXPECT_EQ(l.y, expected.y);

        // The text in white inside its box, the shadow in black one pixel right and down.
        Box text = PixelsWhere(r, [](Rgb c) { return c.red > 200; });
        ASSERT_GT(text.count, 20);
        EXPECT_GE(text.left, l.x - 1);
        EXPECT_LE(text.right, l.x + l.width);
        EXPECT_GE(text.top, l.y);
        EXPECT_LT(text.bottom, l.y + l.height);
        // It fills its box rather than sitting somewhere inside it.
        EXPECT_LE(text.left, l.x + l.height / 4);
        EXPECT_GE(text.right - text.left, l.width / 2);
        EXPECT_LE(text.top, l.y + l.height / 2);

        Box shadow = PixelsWhere(r, [](Rgb c) { return c.red < 40; });
        ASSERT_GT(shadow.count, 20);
        EXPECT_GE(shadow.left, l.x);
        EXPECT_LE(shadow.right, l.x + l.width + 1);
        EXPECT_GE(shadow.top, l.y + 1);
        EXPECT_LT(shadow.bottom, l.y + l.height + 1);
        EXPECT_EQ(shadow.right, text.right + 1);
        EXPECT_EQ(shadow.bottom, text.bottom + 1);
    }
}

TEST(TextStampDrawing, WithoutShadowOnlyTheFontColour) {
    Raster r = Filled(400, 300, 24, 100);
    DrawTextStamp(r, "Zelvan", StampOptions(3, false));
    EXPECT_GT(PixelsWhere(r, [](Rgb c) { return c.red > 200; }).count, 20);
    // Antialiased edges blend toward white only: nothing darker than the background.
    EXPECT_EQ(PixelsWhere(r, [](Rgb c) { return c.red < 100; }).count, 0);
}

TEST(TextStampDrawing, ColourHasRedInTheLowByte) {
    for (int bits : {24, 32}) {
        SCOPED_TRACE(bits);
        Raster r = Filled(1000, 200, bits, 0);
        if (bits == 32)
            for (int y = 0; y < r.height(); ++y)
                for (int x = 0; x < r.width(); ++x) r.row(y)[4 * x + 3] = static_cast<std::uint8_t>(x * 7 + y);
        ConversionOptions o = StampOptions(0, false);
        o.textFont.colour = 0x0000FF;
        o.textFont.sizePoints = 40;
        o.textFont.style = 1;  // bold: stems wide enough to be covered fully
        DrawTextStamp(r, "IIII", o);
        EXPECT_GT(PixelsWhere(r, [](Rgb c) { return c == Rgb{255, 0, 0}; }).count, 50);
        EXPECT_EQ(PixelsWhere(r, [](Rgb c) { return c.green != 0 || c.blue != 0; }).count, 0);
        if (bits == 32) {
            // The stamp changes colours, never the fourth byte.
            int changed = 0;
            for (int y = 0; y < r.height(); ++y)
                for (int x = 0; x < r.width(); ++x) changed += r.row(y)[4 * x + 3] != static_cast<std::uint8_t>(x * 7 + y);
            EXPECT_EQ(changed, 0);
        }
    }
}

TEST(TextStampDrawing, PaletteImageIsWidenedAndKeepsItsColours) {
    Raster r(300, 100, 8);
    r.palette()[5] = PaletteEntry{30, 60, 90, 0};
    for (int y = 0; y < r.height(); ++y) std::memset(r.row(y), 5, r.stride());
    DrawTextStamp(r, "Zelvan", StampOptions(6));
    ASSERT_EQ(r.bitsPerPixel(), 24);
    EXPECT_EQ(r.PixelColour(0, 0), (Rgb{90, 60, 30}));
    EXPECT_GT(PixelsWhere(r, [](Rgb c) { return c.red > 200; }).count, 10);
}

TEST(TextStampDrawing, EmptyTextChangesNothing) {
    Raster r(30, 20, 8);
    r.row(3)[4] = 9;
    const Raster before = r;
    TextStampLayout l = DrawTextStamp(r, "", StampOptions(0));
    EXPECT_EQ(l.width, 0);
    ASSERT_EQ(r.bitsPerPixel(), 8);
    EXPECT_EQ(std::memcmp(r.data(), before.data(), r.byteSize()), 0);
}

TEST(TextStampDrawing, TextLargerThanTheImageIsCutOff) {
    // A 1-pixel-wide image: the limit is 0, the size stops at 8 points, and the text runs off
    // every edge without harm.
    Raster tiny = Filled(1, 1, 24, 100);
    EXPECT_EQ(DrawTextStamp(tiny, "Zelvan converts pictures", StampOptions(2)).points, 8);
    Raster narrow = Filled(30, 40, 32, 0);
    TextStampLayout l = DrawTextStamp(narrow, "WWWWWWWWWWWWWW", StampOptions(2));
    EXPECT_LT(l.x, 0);
    EXPECT_GT(PixelsWhere(narrow, [](Rgb c) { return c.red > 200; }).count, 0);
}

TEST(TextStampDrawing, SameResultOnAWorkerThread) {
    Raster main = Filled(320, 240, 24, 100);
    Raster worker = Filled(320, 240, 24, 100);
    DrawTextStamp(main, "Zelvan 12:34", StampOptions(5));
    std::thread thread([&worker] { DrawTextStamp(worker, "Zelvan 12:34", StampOptions(5)); });
    thread.join();
    EXPECT_EQ(std::memcmp(main.data(), worker.data(), main.byteSize()), 0);
    EXPECT_GT(PixelsWhere(worker, [](Rgb c) { return c.red > 200; }).count, 20);
}

// ---------------------------------------------------------------------------------------------
// Fitting the size to 35 % of the width

TEST(TextStampFitting, SizeComesDownUntilTheTextFits) {
    const TextFont font;  // 26 points
    const std::string text = "09.12.2025 - 14:05";

    // Wide enough: the font's own size.
    Raster wide = Filled(1000, 100, 24, 0);
    ASSERT_LE(WidthAt(font, 26, text), 350);
    EXPECT_EQ(DrawTextStamp(wide, text, StampOptions(0)).points, 26);

    // 200 wide, limit 70: the largest size that fits.
    Raster narrow = Filled(200, 100, 24, 0);
    TextStampLayout l = DrawTextStamp(narrow, "Zelvan", StampOptions(0));
    ASSERT_LT(l.points, 26);
    ASSERT_GT(l.points, 8);
    EXPECT_LE(l.width, 70);
    EXPECT_GT(WidthAt(font, l.points + 1, "Zelvan"), 70);
    EXPECT_EQ(l.width, WidthAt(font, l.points, "Zelvan"));
    EXPECT_EQ(l.pixelSize, TextStampPixelSize(l.points));

    // Nothing fits 200 pixels: 8 points, wider than the limit.
    TextStampLayout t = DrawTextStamp(narrow, text, StampOptions(0));
    EXPECT_EQ(t.points, 8);
    EXPECT_GT(t.width, 70);
}

TEST(TextStampFitting, BelowEightPointsTheSizeStays) {
    ConversionOptions o = StampOptions(0);
    o.textFont.sizePoints = 6;
    Raster r = Filled(50, 50, 24, 0);
    TextStampLayout l = DrawTextStamp(r, "a text far wider than the limit", o);
    EXPECT_EQ(l.points, 6);
    EXPECT_EQ(l.pixelSize, 8);
    EXPECT_GT(l.width, TextStampWidthLimit(50));
}

TEST(TextStampFitting, HugeSizeFindsTheLargestThatFits) {
    // A hand-edited settings file may hold any size; the search must neither take ages nor
    // step past the largest size that fits.
    for (int points : {20000, INT_MAX}) {
        ConversionOptions o = StampOptions(0);
        o.textFont.sizePoints = points;
        const std::string text = "Zelvan";
        Raster r = Filled(1000, 200, 24, 0);
        TextStampLayout l = DrawTextStamp(r, text, o);
        ASSERT_LT(l.points, 1000) << points;
        EXPECT_LE(l.width, 350) << points;
        EXPECT_GT(WidthAt(o.textFont, l.points + 1, text), 350) << points;
    }
}

}  // namespace
}  // namespace zelvan
