#include "engine/conversion_options.h"

#include <array>
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
OptionInfo Bool(const char* key, bool O::*field) { return {key, K::Boolean, 0, 1, nullptr, field}; }
OptionInfo Text(const char* key, std::string O::*field) { return {key, K::Text, 0, 0, nullptr, nullptr, field}; }

// In the order the settings file lists them.
const std::array kOptions{
    Int("Threads", 1, 0, &O::Threads),
    Int("JPG_quality", 1, 100, &O::JPG_quality),
    Int("J2K_quality", 1, 100, &O::J2K_quality),
    Bool("JPG_progressive", &O::JPG_progressive),
    Bool("Auto_format", &O::Auto_format),
    Int("Selected_mode", 0, 2, &O::Selected_mode),
    Int("PNG_compression", 0, 9, &O::PNG_compression),
    Text("Output_path", &O::Output_path),
    Text("Rename_mask", &O::Rename_mask),
    Text("Watermark_text_mask", &O::Watermark_text_mask),
    Int("Output_format", 0, 5, &O::Output_format),
    Int("Text_position", 0, 6, &O::Text_position),
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
    Int("Resampling_filter", 0, 6, &O::Resampling_filter),
    Int("Text_opacity", 1, 100, &O::Text_opacity),
};

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

void ApplySettingsFile(ConversionOptions& options, const IniFile& ini) {
    for (const OptionInfo& info : kOptions)
        if (std::optional<std::string> value = ini.Value("Settings", info.key))
            SetOption(options, info.key, *value);
    if (std::optional<std::string> font = ini.Value("Text_Font", "Font")) ApplyFontSetting(options.Text_Font, *font);
}

void ApplyFontSetting(TextFont& font, std::string_view value) {
    std::size_t field = 0;
    while (true) {
        std::size_t comma = value.find(',');
        std::string_view part = value.substr(0, comma);
        if (field == 0) {
            font.face = std::string(part);
        } else {
            std::optional<long long> n = ParseIniInteger(part);
            if (!n) return;
            switch (field) {
                case 1: font.charset = static_cast<int>(*n); break;
                case 2: font.colour = static_cast<std::int32_t>(*n); break;
                case 3: font.sizePoints = static_cast<int>(*n); break;
                case 4: font.style = static_cast<int>(*n); break;
                default: return;
            }
        }
        if (comma == std::string_view::npos) return;
        value.remove_prefix(comma + 1);
        ++field;
    }
}

}  // namespace zelvan
