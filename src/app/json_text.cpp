#include "app/json_text.h"

#include <cstdio>

namespace zelvan {
namespace {

// The length of the valid UTF-8 sequence that starts text[at], or 0 when none does: no
// overlong forms, no surrogates, nothing above U+10FFFF (the rules Python's decoder keeps, so
// that the escapes below match its surrogateescape byte for byte).
std::size_t Utf8SequenceLength(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) length = 2;
    else if (lead == 0xE0) length = 3, low = 0xA0;
    else if (lead == 0xED) length = 3, high = 0x9F;
    else if (lead >= 0xE1 && lead <= 0xEF) length = 3;
    else if (lead == 0xF0) length = 4, low = 0x90;
    else if (lead == 0xF4) length = 4, high = 0x8F;
    else if (lead >= 0xF1 && lead <= 0xF3) length = 4;
    else return 0;
    if (at + length > text.size()) return 0;
    if (byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
    return length;
}

void AppendEscape(std::string& out, const char* format, unsigned value) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, format, value);
    out += buffer;
}

}  // namespace

std::string JsonString(std::string_view bytes) {
    std::string out = "\"";
    out.reserve(bytes.size() + 2);
    for (std::size_t i = 0; i < bytes.size();) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        const std::size_t length = Utf8SequenceLength(bytes, i);
        if (length == 0) {
            AppendEscape(out, "\\udc%02x", c);
            ++i;
            continue;
        }
        if (length > 1) {
            out.append(bytes.substr(i, length));
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            AppendEscape(out, "\\u%04x", c);
        } else {
            out += static_cast<char>(c);
        }
        i += length;
    }
    out += '"';
    return out;
}

JsonLine& JsonLine::Name(std::string_view name) {
    if (text_.size() > 1) text_ += ',';
    text_ += JsonString(name);
    text_ += ':';
    return *this;
}

JsonLine& JsonLine::Text(std::string_view name, std::string_view value) {
    Name(name);
    text_ += JsonString(value);
    return *this;
}

JsonLine& JsonLine::OptionalText(std::string_view name, const std::optional<std::string>& value) {
    if (value) return Text(name, *value);
    Name(name);
    text_ += "null";
    return *this;
}

JsonLine& JsonLine::Number(std::string_view name, std::int64_t value) {
    Name(name);
    text_ += std::to_string(value);
    return *this;
}

JsonLine& JsonLine::Boolean(std::string_view name, bool value) {
    Name(name);
    text_ += value ? "true" : "false";
    return *this;
}

JsonLine& JsonLine::Raw(std::string_view name, std::string_view json) {
    Name(name);
    text_ += json;
    return *this;
}

}  // namespace zelvan
