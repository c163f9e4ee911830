#include "engine/conversion_options.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "base/error.h"
#include "base/ini.h"
#include "base/path_util.h"
#include "engine/output_formats.h"

namespace zelvan {

int ProcessorCount() {
    unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : static_cast<int>(n);
}

namespace {

using K = OptionInfo::Kind;
using C = OptionInfo::Computed;
using O = ConversionOptions;

constexpr OptionInfo Int(const char* key, int value, int lo, int hi, int O::*field, const char* control,
                         C computed = C::None) {
    OptionInfo row{key, K::Integer, value, lo, hi};
    row.integer = field;
    row.control = control;
    row.computed = computed;
    return row;
}
constexpr OptionInfo Choice(const char* key, int value, int lo, int hi, int O::*field, const char* control,
                            C computed = C::None) {
    OptionInfo row = Int(key, value, lo, hi, field, control, computed);
    row.listIndex = true;
    return row;
}
constexpr OptionInfo Bool(const char* key, bool value, bool O::*field, const char* control) {
    OptionInfo row{key, K::Boolean, value ? 1 : 0, 0, 1};
    row.boolean = field;
    row.control = control;
    return row;
}
constexpr OptionInfo Text(const char* key, const char* value, std::string O::*field, const char* control,
                          C computed = C::None) {
    OptionInfo row{key, K::Text};
    row.defaultText = value;
    row.text = field;
    row.control = control;
    row.computed = computed;
    return row;
}
constexpr OptionInfo Colour(const char* key, int rgb, int O::*field, const char* control) {
    OptionInfo row{key, K::Colour, rgb, 0, 0xFFFFFF};
    row.integer = field;
    row.control = control;
    return row;
}
constexpr OptionInfo Window(const char* key) { return {key, K::Window}; }

// Every key of the "Settings" section in the order the file is written, the font of "Text_Font"
// at its place in that order. Controls are named as lang.ini keys them ("ZelvanMainform" + name).
constexpr std::array kTable{
    Int("Threads", 1, 1, 1, &O::threads, "SpinEdit1", C::Processors),
    Int("JPG_quality", 85, 1, 100, &O::jpegQuality, "TrackBar1"),
    Int("J2K_quality", 75, 1, 100, &O::jpeg2000Quality, "TrackBar3"),
    Bool("JPG_progressive", false, &O::jpegProgressive, "CheckBox1"),
    Bool("Auto_format", false, &O::autoFormat, "CheckBox3"),
    Bool("Overwrite", false, &O::overwrite, "CheckBox2"),
    Bool("SmartCrop_enable", false, &O::smartCrop, "CheckBox7"),
    Bool("Text_Shadow", true, &O::textShadow, "CheckBox14"),
    Int("PNG_compression", 9, 0, 9, &O::pngCompression, "TrackBar2"),
    Text("Output_path", "", &O::outputFolder, "Edit1", C::OutputFolder),
    Text("Rename_mask", "[N]_[C]_[W]x[H][E]", &O::renameMask, "Edit2"),
    Text("Watermark_text_mask", "[D] - [T]", &O::textStampMask, "Edit3"),
    Window("Language"),
    Choice("Output_format", 0, 0, 0, &O::outputFormat, "ComboBox1", C::OutputFormats),
    Choice("Text_position", 6, 0, 6, &O::textPosition, "ComboBox5"),
    // Hidden and always 100: the file keeps the key, but reading it changes nothing.
    Int("Text_opacity", 100, 1, 100, &O::textOpacity, "SpinEdit6"),
    Choice("Resampling_filter", 5, 0, 6, &O::resamplingFilter, "ComboBox3"),
    Window("Mainform_height"),
    // The three radio buttons of the group, in order.
    Choice("Selected_mode", 0, 0, 2, &O::resizeMode, "GroupBox3"),
    OptionInfo{"Font", K::Font, 0, 0, 0, "", nullptr, nullptr, nullptr, &O::textFont},
    Int("Resize_width", 1920, 1, 99999, &O::resizeWidth, "SpinEdit2", C::ScreenWidth),
    Int("Resize_height", 1080, 1, 99999, &O::resizeHeight, "SpinEdit3", C::ScreenHeight),
    Int("Resize_percent", 50, 1, 200, &O::resizePercent, "SpinEdit4"),
    Int("Counter_length", 3, 1, 10, &O::counterDigits, "SpinEdit5"),
    Window("LastUpdateDate"),
    Bool("Resize_proportional", true, &O::keepProportions, "CheckBox4"),
    Bool("Rename_enabled", true, &O::renameEnabled, "CheckBox5"),
    Bool("Exif", true, &O::keepExif, "CheckBox8"),
    Bool("EnlargeIfSmall", false, &O::enlargeSmaller, "CheckBox6"),
    Bool("Png_interlace", false, &O::pngInterlace, "CheckBox9"),
    Bool("Png_filter", true, &O::pngAllFilters, "CheckBox10"),
    Bool("J2K_Lossless", false, &O::jpeg2000Lossless, "CheckBox11"),
    Bool("Watermark_enable", false, &O::textStampEnabled, "CheckBox12"),
    Window("AllProcessedBytes"),
    Window("AllProcessedFiles"),
    // Options added since: after every older key, so older files keep their layout.
    Bool("Auto_rotate", true, &O::autoRotate, "CheckBox15"),
    Choice("Colour_profile", kKeepColourProfile, 0, 2, &O::colourProfile, "ComboBox6"),
    Colour("Background_colour", 0xFFFFFF, &O::backgroundColour, "PngBitBtn8"),
    // Where the add-files and add-folder dialogs open next time.
    Window("Last_add_files_folder"),
    Window("Last_add_folder_folder"),
    Int("WEBP_quality", 80, 1, 100, &O::webpQuality, "TrackBar4"),
    Bool("WEBP_lossless", false, &O::webpLossless, "CheckBox16"),
    Int("WEBP_effort", 4, 0, 6, &O::webpEffort, "SpinEdit7"),
    Int("AVIF_quality", 60, 1, 100, &O::avifQuality, "TrackBar5"),
    Int("AVIF_speed", 6, 0, 10, &O::avifSpeed, "SpinEdit8"),
    Int("JXL_quality", 90, 1, 100, &O::jxlQuality, "TrackBar6"),
    Bool("JXL_lossless", false, &O::jxlLossless, "CheckBox17"),
    Int("JXL_effort", 7, 1, 9, &O::jxlEffort, "SpinEdit9"),
    Bool("JXL_recompress_jpeg", true, &O::jxlRecompressJpeg, "CheckBox18"),
    Choice("Metadata", kAllMetadata, 0, 3, &O::metadata, "ComboBox7"),
    Bool("Fast_jpeg_downscale", false, &O::fastJpegDownscale, "CheckBox19"),
    Bool("JPG_optimize_coding", true, &O::jpegOptimizedTables, "CheckBox20"),
    Bool("GIF_adaptive_palette", true, &O::gifAdaptivePalette, "CheckBox21"),
    Bool("PNG_palette", false, &O::pngPalette, "CheckBox22"),
    Bool("PNG_reduce", true, &O::pngReduceLayout, "CheckBox23"),
    Choice("Target_mode", 0, 0, 2, &O::targetMode, "ComboBox18"),
    Int("Target_size", 200, 1, 2097151, &O::targetSizeKiB, "SpinEdit18"),
    Int("Target_quality", 80, 1, 100, &O::targetScore, "SpinEdit19"),
    Bool("Lower_case_extension", false, &O::lowerCaseExtension, nullptr),
    Int("Memory_budget", 0, 0, 2097151, &O::memoryBudgetMiB, nullptr),
};

constexpr const char* kSettingsSection = "Settings";
constexpr const char* kFontSection = "Text_Font";

std::string HomeOutputFolder() {
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "") + "/zelvan-output/";
}

}  // namespace

ConversionOptions::ConversionOptions() {
    for (const OptionInfo& info : kTable) {
        switch (info.kind) {
            case K::Integer:
            case K::Colour: this->*info.integer = info.defaultValue; break;
            case K::Boolean: this->*info.boolean = info.defaultValue != 0; break;
            case K::Text: this->*info.text = info.defaultText; break;
            case K::Font: this->*info.font = TextFont{}; break;
            case K::Window: break;
        }
    }
}

ConversionOptions DefaultConversionOptions(int screenWidth, int screenHeight) {
    ConversionOptions o;
    o.threads = ProcessorCount();
    o.outputFolder = HomeOutputFolder();
    o.resizeWidth = screenWidth;
    o.resizeHeight = screenHeight;
    return o;
}

std::span<const OptionInfo> OptionTable() { return kTable; }

const OptionInfo* FindSettingsKey(std::string_view key) {
    for (const OptionInfo& info : kTable)
        if (EqualsIgnoreCase(info.key, key)) return &info;
    return nullptr;
}

const OptionInfo* FindOption(std::string_view key) {
    const OptionInfo* info = FindSettingsKey(key);
    return info && info->IsOption() ? info : nullptr;
}

std::pair<int, int> OptionRange(const OptionInfo& info) {
    switch (info.computed) {
        case C::Processors: return {info.minimum, ProcessorCount()};
        case C::OutputFormats: return {info.minimum, OutputFormats().back().number};
        default: return {info.minimum, info.maximum};
    }
}

int OptionDefault(const OptionInfo& info) {
    switch (info.computed) {
        case C::Processors: return ProcessorCount();
        default: return info.defaultValue;
    }
}

void SetOption(ConversionOptions& options, std::string_view key, std::string_view value) {
    const OptionInfo* info = FindOption(key);
    if (!info) throw Error("unknown setting \"" + std::string(key) + "\"");
    if (info->kind == K::Text) {
        options.*(info->text) = std::string(value);
        return;
    }
    if (info->kind == K::Font) {
        ApplyFontSetting(options.*(info->font), value);
        return;
    }
    if (info->kind == K::Colour) {
        std::optional<int> rgb = ParseColourText(value);
        if (!rgb)
            throw Error("setting " + std::string(info->key) + ": \"" + std::string(value) +
                        "\" is not a colour written #RRGGBB");
        options.*(info->integer) = *rgb;
        return;
    }
    std::optional<long long> number = ParseIniInteger(value);
    if (!number)
        throw Error("setting " + std::string(info->key) + ": \"" + std::string(value) + "\" is not a number");
    if (info->kind == K::Boolean) {
        options.*(info->boolean) = *number != 0;
        if (info->boolean == &O::jxlRecompressJpeg) options.jxlRecompressGiven = true;
        return;
    }
    auto [lo, hi] = OptionRange(*info);
    if (*number < lo || *number > hi)
        throw Error("setting " + std::string(info->key) + ": " + std::string(value) + " is outside " +
                    std::to_string(lo) + " to " + std::to_string(hi));
    options.*(info->integer) = static_cast<int>(*number);
    if (info->integer == &O::jxlQuality) options.jxlQualityGiven = true;
}

bool JxlQualityAsked(const ConversionOptions& options) {
    return (options.jxlQualityGiven || options.jxlQuality != ConversionOptions().jxlQuality) && options.jxlQuality < 100;
}

std::string OptionText(const ConversionOptions& options, const OptionInfo& info) {
    switch (info.kind) {
        case K::Integer: return std::to_string(options.*(info.integer));
        case K::Boolean: return options.*(info.boolean) ? "1" : "0";
        case K::Text: return options.*(info.text);
        case K::Font: return FontSettingText(options.*(info.font));
        case K::Colour: return ColourText(options.*(info.integer));
        case K::Window: break;
    }
    return {};
}

void ReadSettingsOptions(ConversionOptions& options, const IniFile& ini) {
    for (const OptionInfo& info : kTable) {
        if (info.kind == K::Font) {
            ReadFontSetting(ini, kFontSection, options.*(info.font));
            continue;
        }
        if (!info.IsOption() || info.integer == &O::textOpacity) continue;
        std::optional<std::string> value = ini.Value(kSettingsSection, info.key);
        if (!value) continue;
        if (info.kind == K::Text) {
            options.*(info.text) = *value;
            continue;
        }
        if (info.kind == K::Colour) {
            if (std::optional<int> rgb = ParseColourText(*value)) options.*(info.integer) = *rgb;
            continue;
        }
        std::optional<long long> number = ParseIniInteger(*value);
        if (!number) continue;
        if (info.kind == K::Boolean) {
            options.*(info.boolean) = *number != 0;
            continue;
        }
        auto [lo, hi] = OptionRange(info);
        if (*number >= lo && *number <= hi) options.*(info.integer) = static_cast<int>(*number);
        else if (!info.listIndex) options.*(info.integer) = *number < lo ? lo : hi;
    }
    options.textOpacity = 100;
}

void ApplySettingsFile(ConversionOptions& options, const IniFile& ini) {
    for (const std::string& key : ini.Keys(kSettingsSection)) {
        std::string value = *ini.Value(kSettingsSection, key);
        const OptionInfo* info = FindSettingsKey(key);
        if (!info || info->kind == K::Font) throw Error("unknown setting \"" + key + "\"");
        if (!info->IsOption()) continue;
        if (info->computed == C::Processors) {
            // A file from a machine with more processors: the file's rules reduce the count.
            std::optional<long long> n = ParseIniInteger(value);
            if (n && *n > ProcessorCount()) value = std::to_string(ProcessorCount());
        }
        SetOption(options, key, value);
    }
    ReadFontSetting(ini, kFontSection, options.textFont);
}

std::optional<int> ParseColourText(std::string_view text) {
    text = TrimBlanks(text);
    if (!text.empty() && text.front() == '#') text.remove_prefix(1);
    if (text.size() != 6) return std::nullopt;
    int rgb = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return std::nullopt;
        rgb = rgb * 16 + digit;
    }
    return rgb;
}

std::string ColourText(int rgb) {
    char text[8];
    std::snprintf(text, sizeof text, "#%06X", static_cast<unsigned>(rgb) & 0xFFFFFFu);
    return text;
}

namespace {

// One numeric field of the font value: an empty field changes nothing; false when it is not a
// number, which ends the parsing.
template <typename Int>
bool ReadFontNumber(std::string_view field, Int& target) {
    field = TrimBlanks(field);
    if (field.empty()) return true;
    std::optional<long long> n = ParseIniInteger(field);
    if (!n || *n < INT32_MIN || *n > INT32_MAX) return false;
    target = static_cast<Int>(*n);
    return true;
}

}  // namespace

void ApplyFontSetting(TextFont& font, std::string_view value) {
    std::size_t comma = value.find(',');
    if (comma == std::string_view::npos) return;
    std::string_view face = TrimBlanks(value.substr(0, comma));
    if (!face.empty()) font.face = std::string(face);
    value.remove_prefix(comma + 1);

    // Character set, colour and size each count only with a comma after them.
    auto field = [&value](auto& target) {
        std::size_t end = value.find(',');
        if (end == std::string_view::npos || !ReadFontNumber(value.substr(0, end), target)) return false;
        value.remove_prefix(end + 1);
        return true;
    };
    if (!field(font.charset) || !field(font.colour) || !field(font.sizePoints)) return;
    ReadFontNumber(value, font.style);
}

void ReadFontSetting(const IniFile& ini, std::string_view section, TextFont& font) {
    if (std::optional<std::string> value = ini.Value(section, "Font")) ApplyFontSetting(font, *value);
}

std::string FontSettingText(const TextFont& font) {
    return font.face + "," + std::to_string(font.charset) + "," + std::to_string(font.colour) + "," +
           std::to_string(font.sizePoints) + "," + std::to_string(font.style);
}

void WriteFontSetting(IniFile& ini, std::string_view section, const TextFont& font) {
    ini.SetValue(section, "Font", FontSettingText(font));
}

}  // namespace zelvan
