#include "base/ini.h"

#include <gtest/gtest.h>

namespace zelvan {
namespace {

TEST(IniFile, ReadsByTheLanguageFileRules) {
    IniFile ini = IniFile::Parse(
        "\xEF\xBB\xBF" "before=ignored\n"
        "; a comment\n"
        "  [ English ]  \n"
        "   Greeting   =   Hello there  \r\n"
        "greeting=second wins not\n"
        "Empty=\n"
        "no equals sign\n"
        "Url=a=b\n"
        "[Russian]\n"
        "Greeting=Привет\n"
        "[english]\n"
        "Other=from the second section\n");
    EXPECT_EQ(ini.Value("ENGLISH", "GREETING"), "Hello there");
    EXPECT_EQ(ini.Value("English", "Empty"), "");
    EXPECT_EQ(ini.Value("English", "Url"), "a=b");
    EXPECT_EQ(ini.Value("Russian", "greeting"), "Привет");
    EXPECT_EQ(ini.Value("English", "Other"), std::nullopt) << "only the first section of a name counts";
    EXPECT_EQ(ini.Value("English", "before"), std::nullopt);
    EXPECT_EQ(ini.Value("German", "Greeting"), std::nullopt);
    EXPECT_EQ(ini.Sections(), (std::vector<std::string>{"English", "Russian"}));
    EXPECT_EQ(ini.Keys("english"), (std::vector<std::string>{"Greeting", "Empty", "Url"}));
}

TEST(IniFile, ParsesIntegersInDecimalAndHexadecimal) {
    struct Case {
        const char* text;
        std::optional<long long> value;
    };
    for (Case c : {Case{"85", 85}, Case{"-7", -7}, Case{" 12 ", 12}, Case{"0x1F", 31}, Case{"0XfF", 255},
                   Case{"$10", 16}, Case{"", std::nullopt}, Case{"12a", std::nullopt}, Case{"0x", std::nullopt},
                   Case{"1.5", std::nullopt}, Case{"99999999999999999999", std::nullopt}})
        EXPECT_EQ(ParseIniInteger(c.text), c.value) << c.text;
}

}  // namespace
}  // namespace zelvan
