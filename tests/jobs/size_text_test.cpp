#include "jobs/size_text.h"

#include <gtest/gtest.h>

#include <QLocale>

namespace zelvan {
namespace {

TEST(SizeText, KiBUpTo1001ThenMiBToTwoDecimals) {
    struct Case {
        std::int64_t kib;
        const char* text;
    };
    for (Case c : {Case{0, "0 KiB"}, Case{1, "1 KiB"}, Case{1001, "1001 KiB"}, Case{1002, "0.98 MiB"},
                   Case{1024, "1 MiB"}, Case{1536, "1.5 MiB"}, Case{2048, "2 MiB"}, Case{1126, "1.1 MiB"},
                   Case{10 * 1024 * 1024 + 5, "10240 MiB"}, Case{3'000'000'000LL, "2929687.5 MiB"}}) {
        EXPECT_EQ(SizeText(c.kib, "."), c.text) << c.kib;
    }
}

TEST(SizeText, HundredthsRoundTiesToEven) {
    // 0.125 and 0.375 are exact in binary, so they are true ties on the hundredths.
    EXPECT_EQ(TwoDecimalsText(0.125, "."), "0.12");
    EXPECT_EQ(TwoDecimalsText(0.375, "."), "0.38");
    EXPECT_EQ(TwoDecimalsText(2.5, "."), "2.5");
    EXPECT_EQ(TwoDecimalsText(0.004, "."), "0");
    EXPECT_EQ(TwoDecimalsText(-0.004, "."), "0");
    EXPECT_EQ(TwoDecimalsText(99.999, "."), "100");
    // 1127 KiB = 1.1005859375 MiB: rounds to 1.1, written without a trailing zero.
    EXPECT_EQ(SizeText(1127, "."), "1.1 MiB");
}

TEST(SizeText, UsesTheUsersDecimalSeparatorAndUnitWords) {
    const std::string comma = DecimalSeparatorOf(QLocale(QLocale::Russian, QLocale::Russia));
    EXPECT_EQ(comma, ",");
    EXPECT_EQ(DecimalSeparatorOf(QLocale(QLocale::English, QLocale::UnitedStates)), ".");
    EXPECT_EQ(SizeText(1536, comma), "1,5 MiB");
    EXPECT_EQ(SizeText(1536, comma, SizeUnits{"КиБ", "МиБ"}), "1,5 МиБ");
    EXPECT_EQ(SizeText(700, comma, SizeUnits{"КиБ", "МиБ"}), "700 КиБ");
    EXPECT_EQ(ElapsedText(7500, comma, "с"), "7,5 с");
}

TEST(SizeText, OutputShareAndLabel) {
    EXPECT_EQ(OutputShareText(500, 2000, "."), "25");
    EXPECT_EQ(OutputSizeText(500, 2000, "."), "500 KiB (25%)");
    EXPECT_EQ(OutputShareText(1, 3, "."), "33.33");
    EXPECT_EQ(OutputShareText(2, 3, "."), "66.67");
    // The output may be larger than the input.
    EXPECT_EQ(OutputSizeText(3072, 1000, "."), "3 MiB (307.2%)");
    EXPECT_EQ(OutputSizeText(1536, 2048, ",", SizeUnits{"KiB", "MiB"}), "1,5 MiB (75%)");
}

TEST(SizeText, ElapsedSeconds) {
    EXPECT_EQ(ElapsedText(7500, "."), "7.5 s");
    EXPECT_EQ(ElapsedText(0, "."), "0 s");
    EXPECT_EQ(ElapsedText(1234, "."), "1.23 s");
    EXPECT_EQ(ElapsedText(61000, ".", "second"), "61 second");
}

TEST(SizeText, StatisticsWholeMiB) {
    struct Case {
        std::int64_t kib;
        const char* text;
    };
    for (Case c : {Case{0, "0 KiB"}, Case{1001, "1001 KiB"}, Case{1002, "0 MiB"}, Case{2047, "1 MiB"},
                   Case{2048, "2 MiB"}, Case{3'000'000'000LL, "2929687 MiB"}}) {
        EXPECT_EQ(StatisticsSizeText(c.kib), c.text) << c.kib;
    }
}

}  // namespace
}  // namespace zelvan
