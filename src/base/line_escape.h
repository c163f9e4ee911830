#pragma once

#include <string>
#include <string_view>

namespace zelvan {

// A line of text made safe to print as one line: control bytes (0x00-0x1F and 0x7F) become
// \n, \r, \t or \xNN (two upper-case hex digits), and a backslash becomes \\ so that the escaped
// form reads back unambiguously. Every other byte, UTF-8 or not, is kept as it is. File names
// can hold any of these bytes; escaped, a name cannot end its line early or fake the lines that
// follow it.
std::string EscapeControlCharacters(std::string_view text);

}  // namespace zelvan
