#pragma once

#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/ini.h"

namespace zelvan {

// The user-facing texts of lang.ini: one section per language, named as the language menu shows
// it ("English", "Russian"). Windows take their captions and hints by the naming rule (window
// name, then control name, then "Hint" for a hint); everything else is looked up by a fixed key.

// What a looked-up text reads when the current language or the key is missing from the file.
inline constexpr std::string_view kTextNotFound = "!Строка не найдена!";

// lang.ini beside the program, else in the installed data folder (<prefix>/share/zelvan);
// empty when neither exists. Both folders are given with or without a trailing "/".
std::string FindLanguageFile(const std::string& programFolder, const std::string& dataFolder);

class LanguageFile {
public:
    // Without a file every looked-up text is kTextNotFound and every window text its default.
    LanguageFile() = default;
    explicit LanguageFile(IniFile ini) : ini_(std::move(ini)) {}
    // Throws Error when the file cannot be read.
    static LanguageFile Load(const std::string& path) { return LanguageFile(IniFile::Load(path)); }

    // The language last applied to the main window; "English" until the settings say otherwise.
    const std::string& CurrentLanguage() const { return current_; }
    void SetCurrentLanguage(std::string language) { current_ = std::move(language); }

    // The file's sections in file order: the entries of the language menu.
    std::vector<std::string> Languages() const { return ini_.Sections(); }
    bool HasLanguage(std::string_view language) const { return ini_.HasSection(language); }

    // The text of `key` in the current language, or kTextNotFound.
    std::string LookupText(std::string_view key) const;
    // A window text: the text of `key` in `language`, or `fallback` (the control's current
    // text) when the language or the key is missing.
    std::string WindowText(std::string_view language, std::string_view key, std::string_view fallback) const;

private:
    IniFile ini_;
    std::string current_ = "English";
};

// Every key the program looks up with LookupText.
std::span<const char* const> FixedTextKeys();
// Every window text lang.ini gives, by the naming rule: "ZelvanMainform...", "Progressform...",
// "Statisticsform...", "AboutForm...". Left out on purpose: the labels the program fills with
// values, the main window's caption (it carries the version), the edit boxes (they hold the
// user's folder and masks) and the menu separators (a caption would turn them into items).
std::span<const char* const> WindowTextKeys();

}  // namespace zelvan
