#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace zelvan {

class IniFile;

// The output formats in list order; a job sees the chosen one as its output extension.
enum class OutputFormat { Jpeg = 0, Png = 1, Bmp = 2, Gif = 3, Jpeg2000 = 4, Tga = 5 };

// "JPG", "PNG", "BMP", "GIF", "JP2" or "TGA" for Output_format 0 to 5; empty otherwise.
std::string OutputExtensionFor(int outputFormat);

struct TextFont {
    std::string face = "Times New Roman";
    int charset = 204;
    std::int32_t colour = 0xFFFFFF;  // red in the low byte
    int sizePoints = 26;
    int style = 0;  // 1 bold, 2 italic, 4 underline, 8 strike-out
};

// Every conversion setting, one field per settings key. Constant while a run is in progress:
// a run works on its own copy.
struct ConversionOptions {
    int Threads = 1;
    int Output_format = 0;
    std::string Output_path;
    bool Overwrite = false;
    bool Auto_format = false;
    int JPG_quality = 85;
    bool JPG_progressive = false;
    int PNG_compression = 9;
    bool Png_interlace = false;
    bool Png_filter = true;
    int J2K_quality = 75;
    bool J2K_Lossless = false;
    int Selected_mode = 0;
    int Resize_width = 1920;
    int Resize_height = 1080;
    bool Resize_proportional = true;
    bool EnlargeIfSmall = false;
    bool SmartCrop_enable = false;
    int Resize_percent = 50;
    int Resampling_filter = 5;
    bool Rename_enabled = true;
    std::string Rename_mask = "[N]_[C]_[W]x[H][E]";
    int Counter_length = 3;
    bool Watermark_enable = false;
    std::string Watermark_text_mask = "[D] - [T]";
    int Text_position = 6;
    TextFont Text_Font;
    bool Text_Shadow = true;
    int Text_opacity = 100;
    bool Exif = true;
};

// The defaults of a fresh start: the processor count, the user's output folder and the screen
// size (1920 x 1080 where there is no screen).
ConversionOptions DefaultConversionOptions(int screenWidth = 1920, int screenHeight = 1080);

// One row per settings key: its name, kind, range and where it lives. The settings file, the
// option pages and the command line's --set all go through this table.
struct OptionInfo {
    enum class Kind { Integer, Boolean, Text };
    const char* key;
    Kind kind;
    int minimum;  // integers only; a minimum of 1 and maximum of 0 for Threads means "processors"
    int maximum;
    int ConversionOptions::*integer = nullptr;
    bool ConversionOptions::*boolean = nullptr;
    std::string ConversionOptions::*text = nullptr;
    // The index of an item in a list. A settings file's value outside the list keeps the
    // default; other integers out of range are brought to the nearer end, as their sliders and
    // spin boxes would show them.
    bool listIndex = false;
};

std::span<const OptionInfo> ConversionOptionTable();
const OptionInfo* FindOption(std::string_view key);  // letter case ignored

// The range an integer option accepts (Threads: 1 to the processor count).
std::pair<int, int> OptionRange(const OptionInfo& info);

// The keys of the "Settings" section that hold the main window's own state rather than
// conversion options: "Language", "LastUpdateDate", the lifetime totals, "Mainform_height".
std::span<const char* const> WindowSettingKeys();

// Sets one option from its settings-file text. Throws Error with a message for the user when
// the key is unknown, the text is not a value of the option's kind or it is out of range.
void SetOption(ConversionOptions& options, std::string_view key, std::string_view value);

// The option's value as the settings file writes it: decimal, "1"/"0", or the text unchanged.
std::string OptionText(const ConversionOptions& options, const OptionInfo& info);

// Reads the "Settings" and "Text_Font" sections by the settings file's own rules: an absent key
// or a value that is not a number keeps the value already in `options` (the defaults), a number
// out of range is brought into range (see OptionInfo::listIndex), "Threads" above the processor
// count is reduced to it, and "Text_opacity" is not read: it is always 100.
void ReadSettingsOptions(ConversionOptions& options, const IniFile& ini);

// The command line's --settings: the same sections, strictly. Throws Error for a key of the
// "Settings" section that is neither an option nor one of WindowSettingKeys(), and for a value
// SetOption refuses; only a "Threads" above the processor count is reduced, as the file's rules
// say. The font follows ReadFontSetting.
void ApplySettingsFile(ConversionOptions& options, const IniFile& ini);

// "Face,charset,colour,points,style", parsed from the left: a field counts only when a comma
// follows it (the style, last, when text follows the fourth comma); an empty field changes
// nothing; parsing stops at the first field that is not a number. A value without a comma
// changes nothing at all.
void ApplyFontSetting(TextFont& font, std::string_view value);
// Key "Font" of `section`; an absent key changes nothing.
void ReadFontSetting(const IniFile& ini, std::string_view section, TextFont& font);
std::string FontSettingText(const TextFont& font);
void WriteFontSetting(IniFile& ini, std::string_view section, const TextFont& font);

int ProcessorCount();

}  // namespace zelvan
