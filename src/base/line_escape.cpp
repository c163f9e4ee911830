#include "base/line_escape.h"

namespace zelvan {

std::string EscapeControlCharacters(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (byte) {
            case '\n': escaped += "\\n"; continue;
            case '\r': escaped += "\\r"; continue;
            case '\t': escaped += "\\t"; continue;
            case '\\': escaped += "\\\\"; continue;
            default: break;
        }
        if (byte < 0x20 || byte == 0x7F) {
            escaped += "\\x";
            escaped += kHex[byte >> 4];
            escaped += kHex[byte & 0x0F];
        } else {
            escaped += c;
        }
    }
    return escaped;
}

}  // namespace zelvan
