#include "engine/settings_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "base/error.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

const ScreenSize kScreen{1280, 1024};
const QDateTime kNow(QDate(2024, 3, 20), QTime(15, 30));
ShortDateFormat Dotted() { return {QLocale::c(), "dd.MM.yyyy"}; }

// Every option's value as the file would hold it, so that two option sets compare in full.
std::vector<std::string> AllOptionTexts(const ConversionOptions& o) {
    std::vector<std::string> texts;
    for (const OptionInfo& info : OptionTable())
        if (info.IsOption()) texts.push_back(std::string(info.key) + "=" + OptionText(o, info));
    return texts;
}

// A settings set in which every value differs from its default.
AppSettings Changed() {
    AppSettings s;
    ConversionOptions& o = s.options;
    o = DefaultConversionOptions(kScreen.width, kScreen.height);
    o.threads = 1;
    o.outputFormat = 4;
    o.outputFolder = "/srv/фото/out=1/";
    o.overwrite = true;
    o.autoFormat = true;
    o.jpegQuality = 42;
    o.jpegProgressive = true;
    o.pngCompression = 0;
    o.pngInterlace = true;
    o.pngAllFilters = false;
    o.jpeg2000Quality = 1;
    o.jpeg2000Lossless = true;
    o.resizeMode = 2;
    o.resizeWidth = 99999;
    o.resizeHeight = 1;
    o.keepProportions = false;
    o.enlargeSmaller = true;
    o.smartCrop = true;
    o.resizePercent = 200;
    o.resamplingFilter = 0;
    o.renameEnabled = false;
    o.renameMask = "[C]_[N];[E]";
    o.counterDigits = 10;
    o.textStampEnabled = true;
    o.textStampMask = "© [D] [T]";
    o.textPosition = 0;
    o.textFont = {"DejaVu Sans", 0, -16777216, 12, 15};
    o.textShadow = false;
    o.keepExif = false;
    o.autoRotate = false;
    o.colourProfile = kStripColourProfile;
    o.backgroundColour = 0x102030;
    o.webpQuality = 55;
    o.webpLossless = true;
    o.webpEffort = 2;
    o.avifQuality = 33;
    o.avifSpeed = 9;
    o.jxlQuality = 70;
    o.jxlLossless = true;
    o.jxlEffort = 3;
    o.jxlRecompressJpeg = false;
    o.metadata = kMinimalMetadata;
    o.fastJpegDownscale = true;
    o.jpegOptimizedTables = false;
    o.gifAdaptivePalette = false;
    o.pngPalette = true;
    o.pngReduceLayout = false;
    o.targetMode = 2;
    o.targetSizeKiB = 150;
    o.targetScore = 70;
    o.lowerCaseExtension = true;
    o.memoryBudgetMiB = 4096;
    s.language = "Russian";
    s.lastUpdateDate = QDateTime(QDate(2023, 12, 31), QTime(0, 0));
    s.allProcessedFiles = 3000000000;
    s.allProcessedBytes = 12345;
    s.placement = {-20, 15, 800, 600, false};
    s.windowHeight = 600;
    return s;
}

TEST(SettingsFile, WhatIsWrittenReadsBackTheSame) {
    const AppSettings written = Changed();
    const ConversionOptions defaults = DefaultConversionOptions(kScreen.width, kScreen.height);
    std::vector<std::string> changed = AllOptionTexts(written.options), plain = AllOptionTexts(defaults);
    for (std::size_t i = 0; i < changed.size(); ++i) {
        if (changed[i].rfind("Text_opacity=", 0) != 0 && (i > 0 || ProcessorCount() > 1)) {
            EXPECT_NE(changed[i], plain[i]) << "the fixture must change every value";
        }
    }

    test::TempDir dir;
    IniFile ini;
    WriteSettings(ini, written, kScreen, Dotted());
    ini.Save(dir / "Settings.ini");
    const IniFile file = LoadSettingsFile(dir / "Settings.ini");
    AppSettings read = ReadSettings(file, kScreen, Dotted(), kNow);

    EXPECT_EQ(AllOptionTexts(read.options), AllOptionTexts(written.options));
    EXPECT_EQ(read.language, "Russian");
    EXPECT_EQ(read.lastUpdateDate, written.lastUpdateDate);
    EXPECT_EQ(read.allProcessedFiles, 3000000000);
    EXPECT_EQ(read.allProcessedBytes, 12345);
    EXPECT_EQ(read.placement.x, -20);
    EXPECT_EQ(read.placement.y, 15);
    EXPECT_EQ(read.placement.width, 800);
    EXPECT_EQ(read.placement.height, 600);
    EXPECT_FALSE(read.placement.maximized);

    // The command line's strict reading takes the very same file.
    ConversionOptions strict = DefaultConversionOptions(kScreen.width, kScreen.height);
    ApplySettingsFile(strict, file);
    EXPECT_EQ(AllOptionTexts(strict), AllOptionTexts(written.options));
}

TEST(SettingsFile, AFreshFileListsItsKeysInTheOrderOfWriting) {
    IniFile ini;
    WriteSettings(ini, Changed(), kScreen, Dotted());
    EXPECT_EQ(ini.Sections(), (std::vector<std::string>{"Settings", "Text_Font", "Form_pos_1280x1024"}));
    EXPECT_EQ(ini.Keys("Settings"),
              (std::vector<std::string>{
                  "Threads", "JPG_quality", "J2K_quality", "JPG_progressive", "Auto_format", "Overwrite",
                  "SmartCrop_enable", "Text_Shadow", "PNG_compression", "Output_path", "Rename_mask",
                  "Watermark_text_mask", "Language", "Output_format", "Text_position", "Text_opacity",
                  "Resampling_filter", "Mainform_height", "Selected_mode", "Resize_width", "Resize_height",
                  "Resize_percent", "Counter_length", "LastUpdateDate", "Resize_proportional", "Rename_enabled", "Exif",
                  "EnlargeIfSmall", "Png_interlace", "Png_filter", "J2K_Lossless", "Watermark_enable",
                  "AllProcessedBytes", "AllProcessedFiles", "Auto_rotate", "Colour_profile", "Background_colour",
                  "Last_add_files_folder", "Last_add_folder_folder", "WEBP_quality", "WEBP_lossless",
                  "WEBP_effort", "AVIF_quality", "AVIF_speed", "JXL_quality", "JXL_lossless", "JXL_effort",
                  "JXL_recompress_jpeg", "Metadata", "Fast_jpeg_downscale", "JPG_optimize_coding", "GIF_adaptive_palette",
                                        "PNG_palette", "PNG_reduce", "Target_mode", "Target_size", "Target_quality",
                                        "Lower_case_extension", "Memory_budget"}));
    EXPECT_EQ(ini.Keys("Form_pos_1280x1024"), (std::vector<std::string>{"X", "Y", "Width", "Height", "Maximized"}));
    EXPECT_EQ(ini.Value("Text_Font", "Font"), "DejaVu Sans,0,-16777216,12,15");
    EXPECT_EQ(ini.Value("Settings", "LastUpdateDate"), "31.12.2023");
    EXPECT_EQ(ini.Value("Settings", "Text_opacity"), "100");
    EXPECT_EQ(ini.Value("Settings", "Mainform_height"), "600");
    EXPECT_EQ(ini.Value("Settings", "JPG_progressive"), "1");
    EXPECT_EQ(ini.Value("Settings", "Exif"), "0");
    EXPECT_EQ(ini.Value("Settings", "Auto_rotate"), "0");
}

TEST(SettingsFile, EachScreenSizeKeepsItsPlacementAndMaximisingKeepsTheNormalOne) {
    IniFile ini;
    AppSettings s = Changed();
    s.placement = {100, 50, 1000, 700, false};
    WriteSettings(ini, s, {1920, 1080}, Dotted());

    // At another screen size the first size's section stays untouched.
    s.placement = {10, 20, 900, 548, false};
    WriteSettings(ini, s, kScreen, Dotted());
    // Closing maximised: the normal placement of that size survives.
    s.placement = {0, 0, 1280, 1000, true};
    s.windowHeight = 1000;
    WriteSettings(ini, s, kScreen, Dotted());

    IniFile file = IniFile::Parse(ini.Text());
    EXPECT_EQ(file.Sections(), (std::vector<std::string>{"Settings", "Text_Font", "Form_pos_1920x1080", "Form_pos_1280x1024"}))
        << "every section once, whatever the number of writes";
    AppSettings wide = ReadSettings(file, {1920, 1080}, Dotted(), kNow);
    EXPECT_EQ(wide.placement.x, 100);
    EXPECT_EQ(wide.placement.width, 1000);
    EXPECT_FALSE(wide.placement.maximized);
    AppSettings small = ReadSettings(file, kScreen, Dotted(), kNow);
    EXPECT_EQ(small.placement.x, 10);
    EXPECT_EQ(small.placement.y, 20);
    EXPECT_EQ(small.placement.width, 900);
    EXPECT_EQ(small.placement.height, 548);
    EXPECT_TRUE(small.placement.maximized);
    EXPECT_EQ(file.Value("Settings", "Mainform_height"), "1000");
}

TEST(SettingsFile, AMissingFileGivesTheFirstStart) {
    test::TempDir dir;
    AppSettings s = ReadSettings(LoadSettingsFile(dir / "Settings.ini"), {1920, 1080}, Dotted(), kNow);
    const ConversionOptions& o = s.options;
    EXPECT_EQ(o.outputFolder, std::string(std::getenv("HOME")) + "/zelvan-output/");
    EXPECT_EQ(o.renameMask, "[N]_[C]_[W]x[H][E]");
    EXPECT_EQ(o.textStampMask, "[D] - [T]");
    EXPECT_EQ(o.jpegQuality, 85);
    EXPECT_EQ(o.jpeg2000Quality, 75);
    EXPECT_EQ(o.pngCompression, 9);
    EXPECT_EQ(o.resizeWidth, 1920);
    EXPECT_EQ(o.resizeHeight, 1080);
    EXPECT_EQ(o.resizePercent, 50);
    EXPECT_EQ(o.counterDigits, 3);
    EXPECT_EQ(o.resamplingFilter, 5);
    EXPECT_EQ(o.textPosition, 6);
    EXPECT_EQ(o.threads, ProcessorCount());
    EXPECT_EQ(FontSettingText(o.textFont), "Times New Roman,204,16777215,26,0");
    EXPECT_EQ(s.language, "English");
    EXPECT_EQ(s.lastUpdateDate, kNow);
    EXPECT_EQ(s.allProcessedFiles, 0);
    EXPECT_EQ(s.allProcessedBytes, 0);
    EXPECT_EQ(s.placement.x, 510);
    EXPECT_EQ(s.placement.y, 266);
    EXPECT_EQ(s.placement.width, 900);
    EXPECT_EQ(s.placement.height, 548);
    EXPECT_FALSE(s.placement.maximized);
}

TEST(SettingsFile, HandEditedValuesFollowTheFileRules) {
    struct Case {
        const char* line;
        const char* key;
        std::string expected;  // as OptionText shows it
    };
    const std::string processors = std::to_string(ProcessorCount());
    for (const Case& c : {
             Case{"JPG_quality=0x20", "JPG_quality", "32"},
             Case{"JPG_quality=$64", "JPG_quality", "100"},
             Case{"JPG_quality=high", "JPG_quality", "85"},
             Case{"JPG_quality=150", "JPG_quality", "100"},
             Case{"PNG_compression=-3", "PNG_compression", "0"},
             Case{"Resize_width=123456", "Resize_width", "99999"},
             Case{"Threads=4096", "Threads", processors},
             Case{"Threads=0", "Threads", "1"},
             Case{"Selected_mode=7", "Selected_mode", "0"},
             Case{"Output_format=9", "Output_format", "0"},
             Case{"Resampling_filter=-1", "Resampling_filter", "5"},
             Case{"Text_position=2", "Text_position", "2"},
             Case{"Text_opacity=40", "Text_opacity", "100"},
             Case{"Overwrite=7", "Overwrite", "1"},
             Case{"Exif=", "Exif", "1"},
             Case{"Png_filter=0", "Png_filter", "0"},
             Case{"Rename_mask=", "Rename_mask", ""},
             Case{"watermark_TEXT_mask=  a = b  ", "Watermark_text_mask", "a = b"},
         }) {
        AppSettings s = ReadSettings(IniFile::Parse(std::string("[SETTINGS]\n") + c.line + "\n"), kScreen, Dotted(), kNow);
        EXPECT_EQ(OptionText(s.options, *FindOption(c.key)), c.expected) << c.line;
    }

    AppSettings s = ReadSettings(IniFile::Parse("[Settings]\nAllProcessedFiles=-5\nAllProcessedBytes=lots\n"
                                                "LastUpdateDate=2024-01-05\nLanguage=\n"
                                                "[Form_pos_1280x1024]\nX=99999999999\nWidth=500\nMaximized=2\n"),
                                 kScreen, Dotted(), kNow);
    EXPECT_EQ(s.allProcessedFiles, 0);
    EXPECT_EQ(s.allProcessedBytes, 0);
    EXPECT_EQ(s.lastUpdateDate, kNow) << "a date in another format reads as now";
    EXPECT_EQ(s.language, "") << "a present but empty text stays empty";
    EXPECT_EQ(s.placement.x, 190) << "a number beyond int is not a number";
    EXPECT_EQ(s.placement.width, 500);
    EXPECT_TRUE(s.placement.maximized);
}

TEST(SettingsFile, ShortDatesInTheGivenFormat) {
    const QDate today(2024, 3, 20);
    ShortDateFormat us{QLocale(QLocale::English, QLocale::UnitedStates), "M/d/yy"};
    EXPECT_EQ(FormatShortDate(QDate(2024, 1, 5), us), "1/5/24");
    EXPECT_EQ(ParseShortDate("1/5/24", us, today), QDate(2024, 1, 5)) << "two-digit years belong to this century";
    EXPECT_EQ(ParseShortDate("12/31/99", us, today), QDate(1999, 12, 31));
    EXPECT_EQ(ParseShortDate("6/1/44", us, today), QDate(2044, 6, 1));
    EXPECT_EQ(ParseShortDate("6/1/45", us, today), QDate(1945, 6, 1));
    EXPECT_EQ(ParseShortDate(" 05.01.2024 ", Dotted(), today), QDate(2024, 1, 5));
    ShortDateFormat russian{QLocale(QLocale::Russian, QLocale::Russia), "d MMM yyyy"};
    std::string text = FormatShortDate(QDate(2024, 5, 9), russian);
    EXPECT_NE(text.find("2024"), std::string::npos);
    EXPECT_EQ(ParseShortDate(text, russian, today), QDate(2024, 5, 9)) << "month names of the locale: " << text;
    for (const char* bad : {"", "32.01.2024", "1/5/24", "yesterday"})
        EXPECT_EQ(ParseShortDate(bad, Dotted(), today), std::nullopt) << bad;

    // Written under one format, read under another that cannot parse it: now.
    IniFile ini;
    AppSettings s = Changed();
    WriteSettings(ini, s, kScreen, us);
    EXPECT_EQ(ReadSettings(ini, kScreen, us, kNow).lastUpdateDate, s.lastUpdateDate);
    EXPECT_EQ(ReadSettings(ini, kScreen, Dotted(), kNow).lastUpdateDate, kNow);
    EXPECT_FALSE(ShortDateFormat::System().pattern.isEmpty());
}

TEST(SettingsFile, PlacementOnTheScreen) {
    struct Case {
        WindowPlacement stored;
        WindowPlacement expected;
    };
    const ScreenSize screen{1920, 1080};
    for (const Case& c : {
             Case{DefaultPlacement(screen), {510, 266, 900, 548}},
             Case{{1500, 100, 900, 548}, {510, 266, 900, 548}},    // right edge beyond the screen
             Case{{100, 600, 1000, 600}, {460, 240, 1000, 600}},   // bottom edge beyond
             Case{{-50, -30, 900, 548}, {-50, -30, 900, 548}},     // beyond the left and top: stays
             Case{{10, 10, 300, 200}, {10, 10, 764, 423}},         // smaller than the window can be
             Case{{1200, 10, 300, 200}, {578, 329, 764, 423}},     // at its minimum, then centred
             Case{{2147483000, 0, 2000, 548}, {-40, 266, 2000, 548}},
         }) {
        WindowPlacement p = PlaceOnScreen(c.stored, screen);
        EXPECT_EQ((std::array{p.x, p.y, p.width, p.height}),
                  (std::array{c.expected.x, c.expected.y, c.expected.width, c.expected.height}))
            << c.stored.x << "," << c.stored.y << " " << c.stored.width << "x" << c.stored.height;
    }
    EXPECT_EQ(PlacementSection({1280, 1024}), "Form_pos_1280x1024");
}

TEST(SettingsFile, FolderFromTheEnvironment) {
    const char* savedXdg = std::getenv("XDG_CONFIG_HOME");
    std::optional<std::string> saved = savedXdg ? std::optional<std::string>(savedXdg) : std::nullopt;
    const std::string home = std::getenv("HOME");

    ::setenv("XDG_CONFIG_HOME", "/tmp/cfg", 1);
    EXPECT_EQ(SettingsFolder(), "/tmp/cfg/Zelvan/");
    EXPECT_EQ(SettingsFilePath(), "/tmp/cfg/Zelvan/Settings.ini");
    ::setenv("XDG_CONFIG_HOME", "relative/cfg", 1);
    EXPECT_EQ(SettingsFolder(), home + "/.config/Zelvan/") << "a relative path is ignored";
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(SettingsFolder(), home + "/.config/Zelvan/");
    if (saved) ::setenv("XDG_CONFIG_HOME", saved->c_str(), 1);

    test::TempDir dir;
    EnsureFolderExists(dir / "a/b/Zelvan/");
    EXPECT_TRUE(std::filesystem::is_directory(dir / "a/b/Zelvan"));
    test::WriteBytes(dir / "file", std::vector<std::uint8_t>{1});
    EXPECT_THROW(EnsureFolderExists(dir / "file/Zelvan/"), Error);
    EXPECT_THROW(LoadSettingsFile(dir / "a"), Error) << "a folder in the file's place cannot be read";
}

TEST(SettingsFile, SaveFailureMessageOnlyForTheTwoBuiltInLanguages) {
    std::optional<MessageText> english = SaveFailureMessage("English");
    ASSERT_TRUE(english);
    EXPECT_EQ(english->caption, "Error");
    EXPECT_EQ(english->text, "Unable to save settings.");
    std::optional<MessageText> russian = SaveFailureMessage("Russian");
    ASSERT_TRUE(russian);
    EXPECT_EQ(russian->caption, "Ошибка");
    EXPECT_EQ(russian->text, "Невозможно сохранить настройки.");
    EXPECT_FALSE(SaveFailureMessage("German"));
}

}  // namespace
}  // namespace zelvan
