#include "base/ini.h"

#include <charconv>
#include <cstdint>
#include <span>

#include "base/error.h"
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
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            ini.sections_.push_back({std::string(TrimBlanks(line.substr(1, line.size() - 2))), {}});
            current = &ini.sections_.back();
            continue;
        }
        if (!current) {
            ini.preamble_.emplace_back(line);
            continue;
        }
        std::size_t eq = line.find('=');
        if (line.empty() || line.front() == ';' || eq == std::string_view::npos) {
            current->lines.push_back({false, {}, std::string(line)});
            continue;
        }
        current->lines.push_back(
            {true, std::string(TrimBlanks(line.substr(0, eq))), std::string(TrimBlanks(line.substr(eq + 1)))});
    }
    return ini;
}

const IniFile::Section* IniFile::FindSection(std::string_view name) const {
    for (const Section& s : sections_)
        if (EqualsIgnoreCase(s.name, name)) return &s;
    return nullptr;
}

IniFile::Section* IniFile::FindSection(std::string_view name) {
    return const_cast<Section*>(static_cast<const IniFile*>(this)->FindSection(name));
}

std::optional<std::string> IniFile::Value(std::string_view section, std::string_view key) const {
    // Only the first section of a name counts, as with keys.
    const Section* s = FindSection(section);
    if (!s) return std::nullopt;
    for (const Line& l : s->lines)
        if (l.entry && EqualsIgnoreCase(l.key, key)) return l.value;
    return std::nullopt;
}

std::optional<long long> IniFile::Integer(std::string_view section, std::string_view key) const {
    std::optional<std::string> text = Value(section, key);
    if (!text) return std::nullopt;
    return ParseIniInteger(*text);
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
    for (const Line& l : s->lines) {
        if (!l.entry) continue;
        bool seen = false;
        for (const std::string& k : keys) seen = seen || EqualsIgnoreCase(k, l.key);
        if (!seen) keys.push_back(l.key);
    }
    return keys;
}

namespace {

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

}  // namespace

void IniFile::SetValue(std::string_view section, std::string_view key, std::string_view value) {
    // Whatever is written must read back as the same section, key and value.
    if (section.empty() || TrimBlanks(section) != section || HasLineBreak(section))
        throw Error("INI: \"" + std::string(section) + "\" cannot be a section name");
    if (key.empty() || TrimBlanks(key) != key || HasLineBreak(key) || key.find('=') != std::string_view::npos ||
        key.front() == ';' || key.front() == '[')
        throw Error("INI: \"" + std::string(key) + "\" cannot be a key");
    if (HasLineBreak(value)) throw Error("INI: the value of " + std::string(key) + " cannot hold a line break");

    Section* s = FindSection(section);
    if (!s) {
        sections_.push_back({std::string(section), {}, true});
        s = &sections_.back();
    }
    for (Line& l : s->lines) {
        if (l.entry && EqualsIgnoreCase(l.key, key)) {
            l.value = std::string(value);
            return;
        }
    }
    // After the section's last non-blank line, so that the blank line parting it from the next
    // section stays where it is.
    auto at = s->lines.end();
    while (at != s->lines.begin() && !(at - 1)->entry && (at - 1)->value.empty()) --at;
    s->lines.insert(at, {true, std::string(key), std::string(value)});
}

void IniFile::SetInteger(std::string_view section, std::string_view key, long long value) {
    SetValue(section, key, std::to_string(value));
}

void IniFile::SetBool(std::string_view section, std::string_view key, bool value) {
    SetValue(section, key, value ? "1" : "0");
}

std::string IniFile::Text() const {
    std::string text;
    for (const std::string& line : preamble_) text += line + '\n';
    for (const Section& s : sections_) {
        // A section this writer appended gets a blank line before it, as a person would write it;
        // the file's own sections stay as they were.
        if (s.appended && text.size() >= 2 && text[text.size() - 2] != '\n') text += '\n';
        text += '[' + s.name + "]\n";
        for (const Line& l : s.lines) text += (l.entry ? l.key + '=' + l.value : l.value) + '\n';
    }
    return text;
}

void IniFile::Save(const std::string& path) const {
    std::string text = Text();
    WriteFileAtomically(path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), {.durable = true});
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
