#include "base/line_escape.h"

#include <gtest/gtest.h>

#include <string>

namespace zelvan {
namespace {

TEST(EscapeControlCharacters, TableOfCases) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"", ""},
        {"plain name.png", "plain name.png"},
        {"a\nb", "a\\nb"},
        {"a\rb", "a\\rb"},
        {"a\tb", "a\\tb"},
        {std::string("a\0b", 3), "a\\x00b"},
        {"\x01\x1B[31m\x1F", "\\x01\\x1B[31m\\x1F"},
        {"del\x7F", "del\\x7F"},
        // A literal backslash is doubled, so a name holding "\n" as two characters stays
        // distinguishable from one holding a newline.
        {"a\\nb", "a\\\\nb"},
        {"\\", "\\\\"},
        // Space, printable ASCII, UTF-8 and bytes that are not UTF-8 pass unchanged.
        {" ~", " ~"},
        {"фото.jpg", "фото.jpg"},
        {"\x80\xFF\xC3", "\x80\xFF\xC3"},
    };
    for (const Case& c : cases) EXPECT_EQ(EscapeControlCharacters(c.in), c.out) << c.in;

    // Every control byte has an escape, and none of the escapes holds a control byte.
    for (int byte = 0; byte < 0x80; ++byte) {
        const std::string escaped = EscapeControlCharacters(std::string(1, static_cast<char>(byte)));
        const bool control = byte < 0x20 || byte == 0x7F;
        EXPECT_EQ(escaped.size() > 1, control || byte == '\\') << byte;
        for (const char c : escaped) EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7F) << byte;
    }
}

}  // namespace
}  // namespace zelvan
