#include "base/ini.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "base/error.h"
#include "support/test_support.h"

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


TEST(IniFile, WritingKeepsTheFileAndChangesOnlyWhatIsSet) {
    IniFile ini = IniFile::Parse(
        "; kept comment\n"
        "[Settings]\n"
        "Threads=4\n"
        "; about the mask\n"
        "rename_MASK = [N]\n"
        "\n"
        "[Other]\n"
        "A=1\n"
        "[settings]\n"
        "Threads=99\n");
    ini.SetInteger("SETTINGS", "Threads", 8);
    ini.SetValue("Settings", "Rename_mask", "[N]_[C] = копия");
    ini.SetBool("Settings", "Exif", false);
    ini.SetValue("Text_Font", "Font", "Arial,0,255,12,3");
    EXPECT_EQ(ini.Text(),
              "; kept comment\n"
              "[Settings]\n"
              "Threads=8\n"
              "; about the mask\n"
              "rename_MASK=[N]_[C] = копия\n"
              "Exif=0\n"
              "\n"
              "[Other]\n"
              "A=1\n"
              "[settings]\n"
              "Threads=99\n"
              "\n"
              "[Text_Font]\n"
              "Font=Arial,0,255,12,3\n")
        << "the first section and key of a name are changed in place; new keys go to the end of their section";

    IniFile again = IniFile::Parse(ini.Text());
    EXPECT_EQ(again.Integer("Settings", "Threads"), 8);
    EXPECT_EQ(again.Value("Settings", "Rename_mask"), "[N]_[C] = копия");
    EXPECT_EQ(again.Value("Settings", "Exif"), "0");
    EXPECT_EQ(again.Sections(), (std::vector<std::string>{"Settings", "Other", "Text_Font"}));
}

TEST(IniFile, AFreshFileListsKeysInTheOrderSet) {
    IniFile ini;
    for (const char* key : {"Zeta", "Alpha", "Mid"}) ini.SetValue("S", key, key);
    ini.SetValue("T", "K", "");
    ini.SetValue("S", "Last", "x");
    EXPECT_EQ(ini.Text(), "[S]\nZeta=Zeta\nAlpha=Alpha\nMid=Mid\nLast=x\n\n[T]\nK=\n");
    EXPECT_EQ(IniFile::Parse(ini.Text()).Value("T", "K"), "");
}

TEST(IniFile, RefusesWhatCouldNotBeReadBack) {
    IniFile ini;
    struct Bad {
        const char* section;
        const char* key;
        const char* value;
    };
    for (Bad b : {Bad{"S", "K", "two\nlines"}, Bad{"S", "K", "cr\r"}, Bad{"S", "a=b", "v"}, Bad{"S", "", "v"},
                  Bad{"S", " K", "v"}, Bad{"S", ";K", "v"}, Bad{"S", "[K]", "v"}, Bad{"", "K", "v"},
                  Bad{"S\n[T]", "K", "v"}})
        EXPECT_THROW(ini.SetValue(b.section, b.key, b.value), Error) << b.section << "/" << b.key;
    EXPECT_EQ(ini.Text(), "") << "a refused write changes nothing";
}

TEST(IniFile, SavesAtomicallyAndReportsFailure) {
    test::TempDir dir;
    IniFile ini;
    ini.SetValue("Settings", "Output_path", "/home/user/выход/");
    ini.Save(dir / "Settings.ini");
    EXPECT_EQ(IniFile::Load(dir / "Settings.ini").Value("settings", "output_path"), "/home/user/выход/");

    // A folder where the file should be: the rename fails, and no temporary file stays behind.
    std::filesystem::create_directory(dir / "Blocked.ini");
    EXPECT_THROW(ini.Save(dir / "Blocked.ini"), Error);
    EXPECT_THROW(ini.Save(dir / "missing/Settings.ini"), Error);
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Blocked.ini", "Settings.ini"}));
}

}  // namespace
}  // namespace zelvan
