#include "engine/conversion_options.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "base/error.h"
#include "base/ini.h"
#include "base/path_util.h"

namespace zelvan {

std::string OutputExtensionFor(int outputFormat) {
    static constexpr std::array<const char*, 6> kExtensions{"JPG", "PNG", "BMP", "GIF", "JP2", "TGA"};
    if (outputFormat < 0 || outputFormat >= static_cast<int>(kExtensions.size())) return {};
    return kExtensions[static_cast<std::size_t>(outputFormat)];
}

int ProcessorCount() {
    unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : static_cast<int>(n);
}

ConversionOptions DefaultConversionOptions(int screenWidth, int screenHeight) {
    ConversionOptions o;
    o.Threads = ProcessorCount();
    const char* home = std::getenv("HOME");
    o.Output_path = std::string(home && *home ? home : "") + "/zelvan-output/";
    o.Resize_width = screenWidth;
    o.Resize_height = screenHeight;
    return o;
}

namespace {

using K = OptionInfo::Kind;
using O = ConversionOptions;

OptionInfo Int(const char* key, int lo, int hi, int O::*field) { return {key, K::Integer, lo, hi, field}; }
OptionInfo Choice(const char* key, int lo, int hi, int O::*field) {
    return {key, K::Integer, lo, hi, field, nullptr, nullptr, true};
}
OptionInfo Bool(const char* key, bool O::*field) { return {key, K::Boolean, 0, 1, nullptr, field}; }
OptionInfo Text(const char* key, std::string O::*field) { return {key, K::Text, 0, 0, nullptr, nullptr, field}; }

// In the order the settings file lists them.
const std::array kOptions{
    Int("Threads", 1, 0, &O::Threads),
    Int("JPG_quality", 1, 100, &O::JPG_quality),
    Int("J2K_quality", 1, 100, &O::J2K_quality),
    Bool("JPG_progressive", &O::JPG_progressive),
    Bool("Auto_format", &O::Auto_format),
    Choice("Selected_mode", 0, 2, &O::Selected_mode),
    Int("PNG_compression", 0, 9, &O::PNG_compression),
    Text("Output_path", &O::Output_path),
    Text("Rename_mask", &O::Rename_mask),
    Text("Watermark_text_mask", &O::Watermark_text_mask),
    Choice("Output_format", 0, 5, &O::Output_format),
    Choice("Text_position", 0, 6, &O::Text_position),
    Int("Resize_width", 1, 99999, &O::Resize_width),
    Int("Resize_height", 1, 99999, &O::Resize_height),
    Int("Resize_percent", 1, 200, &O::Resize_percent),
    Int("Counter_length", 1, 10, &O::Counter_length),
    Bool("Resize_proportional", &O::Resize_proportional),
    Bool("Rename_enabled", &O::Rename_enabled),
    Bool("Overwrite", &O::Overwrite),
    Bool("Exif", &O::Exif),
    Bool("SmartCrop_enable", &O::SmartCrop_enable),
    Bool("J2K_Lossless", &O::J2K_Lossless),
    Bool("Watermark_enable", &O::Watermark_enable),
    Bool("Text_Shadow", &O::Text_Shadow),
    Bool("Png_interlace", &O::Png_interlace),
    Bool("Png_filter", &O::Png_filter),
    Bool("EnlargeIfSmall", &O::EnlargeIfSmall),
    Choice("Resampling_filter", 0, 6, &O::Resampling_filter),
    Int("Text_opacity", 1, 100, &O::Text_opacity),
};

constexpr std::array<const char*, 5> kWindowSettingKeys{"Language", "LastUpdateDate", "AllProcessedBytes",
                                                        "AllProcessedFiles", "Mainform_height"};

constexpr const char* kSettingsSection = "Settings";
constexpr const char* kFontSection = "Text_Font";

}  // namespace

std::span<const OptionInfo> ConversionOptionTable() { return kOptions; }

const OptionInfo* FindOption(std::string_view key) {
    for (const OptionInfo& info : kOptions)
        if (EqualsIgnoreCase(info.key, key)) return &info;
    return nullptr;
}

std::pair<int, int> OptionRange(const OptionInfo& info) {
    if (info.integer == &O::Threads) return {1, ProcessorCount()};
    return {info.minimum, info.maximum};
}

std::span<const char* const> WindowSettingKeys() { return kWindowSettingKeys; }

void SetOption(ConversionOptions& options, std::string_view key, std::string_view value) {
    const OptionInfo* info = FindOption(key);
    if (!info) throw Error("unknown setting \"" + std::string(key) + "\"");
    if (info->kind == K::Text) {
        options.*(info->text) = std::string(value);
        return;
    }
    std::optional<long long> number = ParseIniInteger(value);
    if (!number)
        throw Error("setting " + std::string(info->key) + ": \"" + std::string(value) + "\" is not a number");
    if (info->kind == K::Boolean) {
        options.*(info->boolean) = *number != 0;
        return;
    }
    auto [lo, hi] = OptionRange(*info);
    if (*number < lo || *number > hi)
        throw Error("setting " + std::string(info->key) + ": " + std::string(value) + " is outside " +
                    std::to_string(lo) + " to " + std::to_string(hi));
    options.*(info->integer) = static_cast<int>(*number);
}

std::string OptionText(const ConversionOptions& options, const OptionInfo& info) {
    switch (info.kind) {
        case K::Integer: return std::to_string(options.*(info.integer));
        case K::Boolean: return options.*(info.boolean) ? "1" : "0";
        case K::Text: break;
    }
    return options.*(info.text);
}

void ReadSettingsOptions(ConversionOptions& options, const IniFile& ini) {
    for (const OptionInfo& info : kOptions) {
        if (info.integer == &O::Text_opacity) continue;
        std::optional<std::string> value = ini.Value(kSettingsSection, info.key);
        if (!value) continue;
        if (info.kind == K::Text) {
            options.*(info.text) = *value;
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
    options.Text_opacity = 100;
    ReadFontSetting(ini, kFontSection, options.Text_Font);
}

void ApplySettingsFile(ConversionOptions& options, const IniFile& ini) {
    for (const std::string& key : ini.Keys(kSettingsSection)) {
        std::string value = *ini.Value(kSettingsSection, key);
        const OptionInfo* info = FindOption(key);
        if (!info) {
            bool windowKey = false;
            for (const char* k : kWindowSettingKeys) windowKey = windowKey || EqualsIgnoreCase(k, key);
            if (!windowKey) throw Error("unknown setting \"" + key + "\"");
            continue;
        }
        if (info->integer == &O::Threads) {
            // A file from a machine with more processors: the file's rules reduce the count.
            std::optional<long long> n = ParseIniInteger(value);
            if (n && *n > ProcessorCount()) value = std::to_string(ProcessorCount());
        }
        SetOption(options, key, value);
    }
    ReadFontSetting(ini, kFontSection, options.Text_Font);
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
