#include "engine/conversion_options.h"

#include <gtest/gtest.h>

#include "base/error.h"
#include "base/ini.h"
#include "base/path_util.h"
#include "engine/output_formats.h"

namespace zelvan {
namespace {

TEST(ConversionOptions, SetOptionByKeyWithRanges) {
    ConversionOptions o = DefaultConversionOptions();
    SetOption(o, "jpg_QUALITY", "0x10");
    EXPECT_EQ(o.jpegQuality, 16);
    SetOption(o, "Png_filter", "0");
    EXPECT_FALSE(o.pngAllFilters);
    SetOption(o, "Overwrite", "7");
    EXPECT_TRUE(o.overwrite) << "any non-zero number is true";
    SetOption(o, "Output_path", " /tmp/x y ");
    EXPECT_EQ(o.outputFolder, " /tmp/x y ") << "texts stay as given";
    SetOption(o, "Output_format", "5");
    EXPECT_EQ(o.outputFormat, 5);

    struct Bad {
        const char* key;
        const char* value;
    };
    for (Bad b : {Bad{"Nonsense", "1"}, Bad{"JPG_quality", "101"}, Bad{"JPG_quality", "0"}, Bad{"PNG_compression", "10"},
                  Bad{"Output_format", "9"}, Bad{"Resize_width", "100000"}, Bad{"Threads", "0"}, Bad{"Exif", "yes"},
                  Bad{"Resampling_filter", "-1"}})
        EXPECT_THROW(SetOption(o, b.key, b.value), Error) << b.key << "=" << b.value;
    EXPECT_EQ(o.jpegQuality, 16) << "a refused value changes nothing";
    EXPECT_THROW(SetOption(o, "Threads", std::to_string(ProcessorCount() + 1)), Error);
}

TEST(ConversionOptions, SettingsFileAndFontFields) {
    ConversionOptions o = DefaultConversionOptions();
    ApplySettingsFile(o, IniFile::Parse("[Settings]\nPNG_compression=3\nLanguage=Russian\nLastUpdateDate=1.1.2020\n"
                                        "[Text_Font]\nFont=Arial,0,255,12,3\n"));
    EXPECT_EQ(o.pngCompression, 3);
    EXPECT_EQ(o.textFont.face, "Arial");
    EXPECT_EQ(o.textFont.colour, 255);
    EXPECT_EQ(o.textFont.style, 3);

    TextFont font;
    ApplyFontSetting(font, "Liberation Serif,204,x,40,1");
    EXPECT_EQ(font.face, "Liberation Serif");
    EXPECT_EQ(font.charset, 204);
    EXPECT_EQ(font.colour, 0xFFFFFF) << "fields from the first bad one on are left alone";
    EXPECT_EQ(font.sizePoints, 26);
}

TEST(ConversionOptions, FontValuesParseFieldByField) {
    struct Case {
        const char* value;
        const char* expected;  // as written back
    };
    for (Case c : {
             Case{"Arial", "Times New Roman,204,16777215,26,0"},  // no comma: nothing changes
             Case{"Arial,,,,", "Arial,204,16777215,26,0"},
             Case{"Arial,0,255,12,3", "Arial,0,255,12,3"},  // red, 12 points, bold and italic
             Case{"  Courier New , 0 , $FF00 , 9 , 4 ", "Courier New,0,65280,9,4"},
             Case{"Arial,0,255,12", "Arial,0,255,26,0"},  // the size needs a comma after it
             Case{"Arial,0,255", "Arial,0,16777215,26,0"},
             Case{",161,,,", "Times New Roman,161,16777215,26,0"},
             Case{"Arial,0,red,12,3", "Arial,0,16777215,26,0"},  // stops at the first non-number
             Case{"Arial,1,2,3,bold", "Arial,1,2,3,0"},
             Case{"Arial,0,4294967296,12,3", "Arial,0,16777215,26,0"},
             Case{"Arial,0,-16777216,12,3,extra", "Arial,0,-16777216,12,0"},
         }) {
        TextFont font;
        ApplyFontSetting(font, c.value);
        EXPECT_EQ(FontSettingText(font), c.expected) << c.value;
    }

    IniFile ini;
    WriteFontSetting(ini, "Text_Font", TextFont{});
    EXPECT_EQ(ini.Value("Text_Font", "Font"), "Times New Roman,204,16777215,26,0");
    TextFont font{"Liberation Sans", 0, 0, 10, 8};
    ReadFontSetting(ini, "Text_Font", font);
    EXPECT_EQ(FontSettingText(font), "Times New Roman,204,16777215,26,0");
    ReadFontSetting(IniFile(), "Text_Font", font);
    EXPECT_EQ(font.face, "Times New Roman") << "an absent key changes nothing";
}

TEST(ConversionOptions, CommandLineSettingsFileIsStrict) {
    struct Bad {
        const char* text;
        const char* message;  // part of the error's text
    };
    for (Bad b : {Bad{"[Settings]\nJPG_quality=80\nJPGquality=80\n", "unknown setting \"JPGquality\""},
                  Bad{"[Settings]\nJPG_quality=101\n", "outside 1 to 100"},
                  Bad{"[Settings]\nOutput_format=9\n", "outside 0 to 8"},
                  Bad{"[Settings]\nThreads=0\n", "Threads"},
                  Bad{"[Settings]\nExif=yes\n", "not a number"}}) {
        ConversionOptions o = DefaultConversionOptions();
        try {
            ApplySettingsFile(o, IniFile::Parse(b.text));
            ADD_FAILURE() << "accepted: " << b.text;
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find(b.message), std::string::npos) << e.what();
        }
    }

    // The main window's own keys, other sections and a larger machine's thread count pass.
    ConversionOptions o = DefaultConversionOptions();
    ApplySettingsFile(o, IniFile::Parse("[Settings]\nThreads=100000\nlanguage=Russian\nLastUpdateDate=x\n"
                                        "AllProcessedBytes=1\nAllProcessedFiles=2\nMainform_height=3\n"
                                        "[Form_pos_1920x1080]\nX=1\n[Text_Font]\nFont=Arial,0,255,12,3\n"));
    EXPECT_EQ(o.threads, ProcessorCount());
    EXPECT_EQ(FontSettingText(o.textFont), "Arial,0,255,12,3");
}

// Every option of the table takes a value other than its default by its key, as --set gives
// it, and shows it back as the settings file writes it; the fields start at the table's defaults.
TEST(OptionTable, EveryOptionRoundTripsThroughItsKey) {
    const ConversionOptions defaults;
    int options = 0;
    for (const OptionInfo& info : OptionTable()) {
        if (!info.IsOption()) {
            EXPECT_EQ(FindOption(info.key), nullptr) << info.key << " is the window's, not an option";
            continue;
        }
        ++options;
        std::string value;
        switch (info.kind) {
            case OptionInfo::Kind::Integer: {
                auto [lo, hi] = OptionRange(info);
                EXPECT_EQ(OptionText(defaults, info), std::to_string(info.defaultValue)) << info.key;
                value = std::to_string(info.defaultValue == hi ? lo : hi);
                break;
            }
            case OptionInfo::Kind::Boolean:
                EXPECT_EQ(OptionText(defaults, info), info.defaultValue ? "1" : "0") << info.key;
                value = info.defaultValue ? "0" : "1";
                break;
            case OptionInfo::Kind::Text:
                EXPECT_EQ(OptionText(defaults, info), info.defaultText) << info.key;
                value = "/x/[N]";
                break;
            case OptionInfo::Kind::Font: value = "Arial,0,255,12,3"; break;
            case OptionInfo::Kind::Colour:
                EXPECT_EQ(OptionText(defaults, info), ColourText(info.defaultValue)) << info.key;
                value = "#12AB0F";
                break;
            case OptionInfo::Kind::Window: break;
        }
        ConversionOptions o;
        SetOption(o, ToUpperAscii(info.key), value);
        EXPECT_EQ(OptionText(o, info), value) << info.key;
        EXPECT_NE(OptionText(o, info), OptionText(defaults, info)) << info.key;
    }
    EXPECT_GT(options, 0);
}

// Colours are written #RRGGBB; the "#" may be left out, letter case does not matter, and
// anything else is refused by --set and ignored in a settings file.
TEST(OptionTable, ColoursReadAsRrggbb) {
    EXPECT_EQ(ParseColourText("#FFFFFF"), 0xFFFFFF);
    EXPECT_EQ(ParseColourText(" 0a1B2c "), 0x0A1B2C);
    for (const char* bad : {"", "#", "#FFF", "#FFFFFFF", "#GG0000", "white", "16777215"})
        EXPECT_EQ(ParseColourText(bad), std::nullopt) << bad;
    EXPECT_EQ(ColourText(0x0A1B2C), "#0A1B2C");

    ConversionOptions o;
    EXPECT_THROW(SetOption(o, "Background_colour", "white"), Error);
    IniFile ini = IniFile::Parse("[Settings]\nBackground_colour=nonsense\n");
    ReadSettingsOptions(o, ini);
    EXPECT_EQ(o.backgroundColour, 0xFFFFFF) << "a bad value keeps the default";
}

TEST(OutputFormats, NumbersExtensionsAndTheFormatRange) {
    const std::pair<int, const char*> expected[] = {{0, "JPG"}, {1, "PNG"}, {2, "BMP"},  {3, "GIF"},
                                                    {4, "JP2"}, {5, "TGA"}, {6, "WEBP"}, {8, "JXL"}};
    for (const auto& [number, extension] : expected) {
        ASSERT_NE(FindOutputFormat(number), nullptr) << number;
        EXPECT_EQ(FindOutputFormat(number)->extension, extension);
        EXPECT_EQ(FindOutputFormat(std::string(".") + extension), FindOutputFormat(number));
    }
    const auto formats = OutputFormats();
    for (std::size_t i = 1; i < formats.size(); ++i)
        EXPECT_LT(formats[i - 1].number, formats[i].number) << "rows in number order";
    EXPECT_EQ(FindOutputFormat(9), nullptr);
    EXPECT_EQ(FindOutputFormat("jp2"), FindOutputFormat(4)) << "letter case ignored";
    EXPECT_EQ(FindOutputFormat("webp"), FindOutputFormat(6));
    EXPECT_EQ(OptionRange(*FindOption("Output_format")), std::make_pair(0, 8)) << "the range follows the registry";
}

}  // namespace
}  // namespace zelvan
