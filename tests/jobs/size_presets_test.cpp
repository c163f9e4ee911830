#include <gtest/gtest.h>

#include <QLocale>

#include "jobs/size_presets.h"

namespace zelvan {
namespace {

TEST(SizePresets, GreatestCommonDivisor) {
    struct Case {
        std::uint64_t a, b, expected;
    };
    for (const Case& c : {Case{1920, 1080, 120}, Case{1080, 1920, 120}, Case{800, 600, 200}, Case{7, 13, 1},
                          Case{0, 5, 0}, Case{5, 0, 0}, Case{99999, 99999, 99999}}) {
        EXPECT_EQ(GreatestCommonDivisor(c.a, c.b), c.expected) << c.a << ", " << c.b;
    }
}

TEST(SizePresets, AspectRatioText) {
    EXPECT_EQ(AspectRatioText(1920, 1080), "16:9");
    EXPECT_EQ(AspectRatioText(800, 600), "4:3");
    EXPECT_EQ(AspectRatioText(1360, 768), "85:48");
    EXPECT_EQ(AspectRatioText(1921, 1080), "1921:1080");
    EXPECT_EQ(AspectRatioText(99999, 1), "99999:1");
    // Nothing to divide by: the sides as they are, never a division by zero.
    EXPECT_EQ(AspectRatioText(0, 5), "0:5");
}

TEST(SizePresets, MegapixelTextRoundsToTwoDecimalsHalfToEven) {
    const QLocale c(QLocale::C);
    EXPECT_EQ(MegapixelText(480000, c), "0.48 M");
    EXPECT_EQ(MegapixelText(1296000, c), "1.3 M");
    EXPECT_EQ(MegapixelText(8847360, c), "8.85 M");
    EXPECT_EQ(MegapixelText(10800, c), "0.01 M");
    EXPECT_EQ(MegapixelText(2000000, c), "2 M");
    EXPECT_EQ(MegapixelText(5000, c), "0 M");      // 0.005: the tie goes to the even 0.00
    EXPECT_EQ(MegapixelText(15000, c), "0.02 M");  // 0.015: to the even 0.02
    EXPECT_EQ(MegapixelText(9999800001ull, c), "9999.8 M");  // no group separator
    EXPECT_EQ(MegapixelText(480000, QLocale(QLocale::Russian)), "0,48 M");
}

TEST(SizePresets, CaptionsAndDesignList) {
    const QLocale c(QLocale::C);
    EXPECT_EQ(SizePresetCaption("800x600", 800, 600, c), "800x600 ( 4:3 ) 0.48 M");
    EXPECT_EQ(SizePresetCaption("1360x768", 1360, 768, c), "1360x768 ( 85:48 ) 1.04 M");
    EXPECT_EQ(SizePresetCaption("1440x900", 1440, 900, c), "1440x900 ( 8:5 ) 1.3 M");
    EXPECT_EQ(SizePresetCaption("4096x2160", 4096, 2160, c), "4096x2160 ( 256:135 ) 8.85 M");
    EXPECT_EQ(SizePresetCaption("120x90", 120, 90, c), "120x90 ( 4:3 ) 0.01 M");
    // Items that carry their ratio already, and texts that did not parse, keep their design text.
    EXPECT_EQ(SizePresetCaption("1366x768 ( ~16:9 ) 1,04 M", 1366, 768, c), "1366x768 ( ~16:9 ) 1,04 M");
    EXPECT_EQ(SizePresetCaption("--", -1, -1, c), "--");

    const auto& design = SizePresetDesignTexts();
    ASSERT_EQ(design.size(), 38u);
    EXPECT_EQ(design.front(), "--");
    EXPECT_EQ(design[8], "1024x600 ( ~15:9 )  0,61 M");
    EXPECT_EQ(design.back(), "7680x4800");
}

}  // namespace
}  // namespace zelvan
