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
//
// Writing changes the first occurrence of a key in the first section of its name, or appends
// the key at the end of that section (a missing section is appended to the file), so a file
// written for the first time lists its keys in the order they were set. Comments, blank lines
// and anything else already in the file are kept as they were.
class IniFile {
public:
    // Throws Error when the file cannot be read.
    static IniFile Load(const std::string& path);
    static IniFile Parse(std::string_view text);

    std::optional<std::string> Value(std::string_view section, std::string_view key) const;
    // The value read as ParseIniInteger reads it; nothing when absent or not a whole number.
    std::optional<long long> Integer(std::string_view section, std::string_view key) const;
    bool HasSection(std::string_view section) const;
    // Section names in file order (duplicates left out).
    std::vector<std::string> Sections() const;
    // The keys of a section in file order (duplicates left out).
    std::vector<std::string> Keys(std::string_view section) const;

    // Throws Error for a section or key that the reading rules could not give back (empty, with
    // a line break, a key holding "=" or beginning with ";" or "[") and for a value with a line
    // break. Blanks around a value are not kept by the reading rules.
    void SetValue(std::string_view section, std::string_view key, std::string_view value);
    void SetInteger(std::string_view section, std::string_view key, long long value);
    void SetBool(std::string_view section, std::string_view key, bool value);  // "1" or "0"

    // The file's text, one "\n" after every line.
    std::string Text() const;
    // Writes Text() through a temporary file renamed into place; throws Error on failure, and the
    // earlier file is then left untouched.
    void Save(const std::string& path) const;

private:
    // A line inside a section: an entry, or kept verbatim (comments, blank lines, lines without
    // "=").
    struct Line {
        bool entry = false;
        std::string key;
        std::string value;  // for a verbatim line, its text
    };
    struct Section {
        std::string name;
        std::vector<Line> lines;
        bool appended = false;  // made by SetValue, not read from the file
    };
    const Section* FindSection(std::string_view name) const;
    Section* FindSection(std::string_view name);

    std::vector<std::string> preamble_;  // lines before the first section
    std::vector<Section> sections_;
};

// An integer as the settings file writes it: decimal, or hexadecimal after "0x", "0X" or "$".
// Nothing (std::nullopt) when the text is not a whole number in range of a 64-bit integer.
std::optional<long long> ParseIniInteger(std::string_view text);

std::string_view TrimBlanks(std::string_view s);

}  // namespace zelvan
