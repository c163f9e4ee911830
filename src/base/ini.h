#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelvan {

// An INI file in memory, read by the rules of the language and settings files: lines trimmed,
// empty lines and lines beginning with ";" ignored, "[name]" starts a section, "key=value"
// entries with both sides trimmed, lines before the first section ignored, section names and
// keys matched ignoring letter case, the first occurrence of a section or key winning.
// Texts are UTF-8 and taken as they stand.
class IniFile {
public:
    // Throws Error when the file cannot be read.
    static IniFile Load(const std::string& path);
    static IniFile Parse(std::string_view text);

    std::optional<std::string> Value(std::string_view section, std::string_view key) const;
    bool HasSection(std::string_view section) const;
    // Section names in file order (duplicates left out).
    std::vector<std::string> Sections() const;
    // The keys of a section in file order (duplicates left out).
    std::vector<std::string> Keys(std::string_view section) const;

private:
    struct Entry {
        std::string key;
        std::string value;
    };
    struct Section {
        std::string name;
        std::vector<Entry> entries;
    };
    const Section* FindSection(std::string_view name) const;

    std::vector<Section> sections_;
};

// An integer as the settings file writes it: decimal, or hexadecimal after "0x", "0X" or "$".
// Nothing (std::nullopt) when the text is not a whole number in range of a 64-bit integer.
std::optional<long long> ParseIniInteger(std::string_view text);

std::string_view TrimBlanks(std::string_view s);

}  // namespace zelvan
