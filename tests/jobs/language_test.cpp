#include "jobs/language.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

#include "support/test_support.h"

namespace zelvan {
namespace {

TEST(LanguageFile, LookupTextAndWindowTexts) {
    LanguageFile lang(IniFile::Parse(
        "Error=before any section\n"
        "[Russian]\n"
        "; Error=commented out\n"
        "   error   =   Ошибка  \n"
        "Save=Сохранить\n"
        "[English]\n"
        "Error=Error\n"
        "[russian]\n"
        "Save=from the second section\n"
        "Cancel=from the second section\n"));
    EXPECT_EQ(lang.CurrentLanguage(), "English");
    EXPECT_EQ(lang.Languages(), (std::vector<std::string>{"Russian", "English"}));
    EXPECT_EQ(lang.LookupText("Error"), "Error");
    EXPECT_EQ(lang.LookupText("Save"), kTextNotFound);

    lang.SetCurrentLanguage("RUSSIAN");
    EXPECT_EQ(lang.LookupText("ERROR"), "Ошибка");
    EXPECT_EQ(lang.LookupText("Save"), "Сохранить");
    EXPECT_EQ(lang.LookupText("Cancel"), kTextNotFound) << "only the first section of a name counts";

    lang.SetCurrentLanguage("German");
    EXPECT_EQ(lang.LookupText("Error"), "!Строка не найдена!");
    EXPECT_FALSE(lang.HasLanguage("German"));

    EXPECT_EQ(lang.WindowText("Russian", "save", "Keep"), "Сохранить");
    EXPECT_EQ(lang.WindowText("Russian", "Missing", "Keep"), "Keep");
    EXPECT_EQ(lang.WindowText("German", "Save", "Keep"), "Keep");

    LanguageFile none;
    EXPECT_EQ(none.LookupText("Error"), kTextNotFound);
    EXPECT_EQ(none.WindowText("English", "Error", "Ошибка"), "Ошибка");
}

TEST(LanguageFile, FoundBesideTheProgramFirst) {
    test::TempDir dir;
    std::filesystem::create_directories(dir / "bin");
    std::filesystem::create_directories(dir / "share/zelvan");
    EXPECT_EQ(FindLanguageFile(dir / "bin/", dir / "share/zelvan"), "");
    test::WriteBytes(dir / "share/zelvan/lang.ini", std::vector<std::uint8_t>{'\n'});
    EXPECT_EQ(FindLanguageFile(dir / "bin/", dir / "share/zelvan"), dir / "share/zelvan/lang.ini");
    test::WriteBytes(dir / "bin/lang.ini", std::vector<std::uint8_t>{'\n'});
    EXPECT_EQ(FindLanguageFile(dir / "bin", dir / "share/zelvan"), dir / "bin/lang.ini");
    EXPECT_EQ(FindLanguageFile("", dir / "share/zelvan/"), dir / "share/zelvan/lang.ini");
}

// lang.ini as shipped: both languages hold exactly the keys the program uses, each once, none
// empty.
TEST(LanguageFile, ShippedFileCoversEveryKeyInBothLanguages) {
    const std::string path = std::string(ZELVAN_SOURCE_DIR) + "/lang.ini";
    const IniFile ini = IniFile::Load(path);
    ASSERT_EQ(ini.Sections(), (std::vector<std::string>{"English", "Russian"}));

    std::set<std::string> used;
    for (const char* key : FixedTextKeys()) used.insert(key);
    for (const char* key : WindowTextKeys()) used.insert(key);

    // Keys per section as they stand in the raw text: a key given twice would otherwise hide
    // behind "the first one wins".
    std::map<std::string, std::multiset<std::string>> rawKeys;
    {
        std::vector<std::uint8_t> bytes = test::ReadBytes(path);
        std::string text(bytes.begin(), bytes.end()), section;
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            std::string line = text.substr(start, end - start);
            start = end + 1;
            if (line.empty() || line[0] == ';') continue;
            if (line[0] == '[') section = line.substr(1, line.size() - 2);
            else if (std::size_t eq = line.find('='); eq != std::string::npos) rawKeys[section].insert(line.substr(0, eq));
        }
    }

    for (const std::string& language : ini.Sections()) {
        std::vector<std::string> keys = ini.Keys(language);
        for (const std::string& key : std::set<std::string>(rawKeys[language].begin(), rawKeys[language].end()))
            EXPECT_EQ(rawKeys[language].count(key), 1u) << language << ": " << key << " is given twice";
        std::set<std::string> present(keys.begin(), keys.end());
        for (const std::string& key : used) EXPECT_TRUE(present.count(key)) << language << " lacks " << key;
        for (const std::string& key : present) EXPECT_TRUE(used.count(key)) << language << ": unknown key " << key;
        for (const std::string& key : keys) EXPECT_FALSE(ini.Value(language, key)->empty()) << language << "/" << key;

        LanguageFile lang(ini);
        lang.SetCurrentLanguage(language);
        for (const char* listKey : {"FilterList", "PositionList"}) {
            std::string list = lang.LookupText(listKey);
            int items = 1;
            for (char c : list) items += c == ';';
            EXPECT_EQ(items, 7) << language << "/" << listKey << ": one item per filter or position";
            EXPECT_EQ(list.find(";;"), std::string::npos) << list;
        }
    }
    EXPECT_EQ(ini.Value("English", "AllProcessed"), "Files processed:");
    EXPECT_EQ(ini.Value("Russian", "AllProcessed"), "Обработано файлов:");
    // The build folder's copy, beside the programs, is the same file.
    EXPECT_EQ(test::ReadBytes(test::BuildDir() + "/lang.ini"), test::ReadBytes(path));
}

}  // namespace
}  // namespace zelvan
