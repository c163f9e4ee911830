#include "engine/conversion_options.h"

#include <gtest/gtest.h>

#include "base/error.h"
#include "base/ini.h"

namespace zelvan {
namespace {

TEST(ConversionOptions, SetOptionByKeyWithRanges) {
    ConversionOptions o = DefaultConversionOptions();
    SetOption(o, "jpg_QUALITY", "0x10");
    EXPECT_EQ(o.JPG_quality, 16);
    SetOption(o, "Png_filter", "0");
    EXPECT_FALSE(o.Png_filter);
    SetOption(o, "Overwrite", "7");
    EXPECT_TRUE(o.Overwrite) << "any non-zero number is true";
    SetOption(o, "Output_path", " /tmp/x y ");
    EXPECT_EQ(o.Output_path, " /tmp/x y ") << "texts stay as given";
    SetOption(o, "Output_format", "5");
    EXPECT_EQ(o.Output_format, 5);

    struct Bad {
        const char* key;
        const char* value;
    };
    for (Bad b : {Bad{"Nonsense", "1"}, Bad{"JPG_quality", "101"}, Bad{"JPG_quality", "0"}, Bad{"PNG_compression", "10"},
                  Bad{"Output_format", "6"}, Bad{"Resize_width", "100000"}, Bad{"Threads", "0"}, Bad{"Exif", "yes"},
                  Bad{"Resampling_filter", "-1"}})
        EXPECT_THROW(SetOption(o, b.key, b.value), Error) << b.key << "=" << b.value;
    EXPECT_EQ(o.JPG_quality, 16) << "a refused value changes nothing";
    EXPECT_THROW(SetOption(o, "Threads", std::to_string(ProcessorCount() + 1)), Error);
}

TEST(ConversionOptions, SettingsFileAndFontFields) {
    ConversionOptions o = DefaultConversionOptions();
    ApplySettingsFile(o, IniFile::Parse("[Settings]\nPNG_compression=3\nLanguage=Russian\nLastUpdateDate=1.1.2020\n"
                                        "[Text_Font]\nFont=Arial,0,255,12,3\n"));
    EXPECT_EQ(o.PNG_compression, 3);
    EXPECT_EQ(o.Text_Font.face, "Arial");
    EXPECT_EQ(o.Text_Font.colour, 255);
    EXPECT_EQ(o.Text_Font.style, 3);

    TextFont font;
    ApplyFontSetting(font, "Liberation Serif,204,x,40,1");
    EXPECT_EQ(font.face, "Liberation Serif");
    EXPECT_EQ(font.charset, 204);
    EXPECT_EQ(font.colour, 0xFFFFFF) << "fields from the first bad one on are left alone";
    EXPECT_EQ(font.sizePoints, 26);
}

TEST(ConversionOptions, OutputExtensions) {
    const char* expected[] = {"JPG", "PNG", "BMP", "GIF", "JP2", "TGA"};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(OutputExtensionFor(i), expected[i]);
    EXPECT_EQ(OutputExtensionFor(6), "");
}

}  // namespace
}  // namespace zelvan
