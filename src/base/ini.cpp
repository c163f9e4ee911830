#include "base/ini.h"

#include <charconv>

#include "base/file_io.h"
#include "base/path_util.h"

namespace zelvan {

std::string_view TrimBlanks(std::string_view s) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

IniFile IniFile::Load(const std::string& path) {
    std::vector<std::uint8_t> bytes = ReadFileBytes(path, std::uint64_t{64} << 20);
    return Parse(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

IniFile IniFile::Parse(std::string_view text) {
    IniFile ini;
    // A UTF-8 byte-order mark is not part of the first line.
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    Section* current = nullptr;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = TrimBlanks(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.empty() || line.front() == ';') continue;
        if (line.front() == '[' && line.back() == ']' && line.size() >= 2) {
            ini.sections_.push_back({std::string(TrimBlanks(line.substr(1, line.size() - 2))), {}});
            current = &ini.sections_.back();
            continue;
        }
        if (!current) continue;
        std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        current->entries.push_back(
            {std::string(TrimBlanks(line.substr(0, eq))), std::string(TrimBlanks(line.substr(eq + 1)))});
    }
    return ini;
}

const IniFile::Section* IniFile::FindSection(std::string_view name) const {
    for (const Section& s : sections_)
        if (EqualsIgnoreCase(s.name, name)) return &s;
    return nullptr;
}

std::optional<std::string> IniFile::Value(std::string_view section, std::string_view key) const {
    // Only the first section of a name counts, as with keys.
    const Section* s = FindSection(section);
    if (!s) return std::nullopt;
    for (const Entry& e : s->entries)
        if (EqualsIgnoreCase(e.key, key)) return e.value;
    return std::nullopt;
}

bool IniFile::HasSection(std::string_view section) const { return FindSection(section) != nullptr; }

std::vector<std::string> IniFile::Sections() const {
    std::vector<std::string> names;
    for (const Section& s : sections_)
        if (FindSection(s.name) == &s) names.push_back(s.name);
    return names;
}

std::vector<std::string> IniFile::Keys(std::string_view section) const {
    std::vector<std::string> keys;
    const Section* s = FindSection(section);
    if (!s) return keys;
    for (const Entry& e : s->entries) {
        bool seen = false;
        for (const std::string& k : keys) seen = seen || EqualsIgnoreCase(k, e.key);
        if (!seen) keys.push_back(e.key);
    }
    return keys;
}

std::optional<long long> ParseIniInteger(std::string_view text) {
    text = TrimBlanks(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.substr(0, 2) == "0x" || text.substr(0, 2) == "0X") {
        base = 16;
        text.remove_prefix(2);
    } else if (!text.empty() && text.front() == '$') {
        base = 16;
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    unsigned long long magnitude = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
    if (ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
    if (magnitude > static_cast<unsigned long long>(INT64_MAX)) return std::nullopt;
    long long value = static_cast<long long>(magnitude);
    return negative ? -value : value;
}

}  // namespace zelvan
