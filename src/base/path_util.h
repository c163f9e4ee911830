#pragma once

#include <string>
#include <string_view>

namespace zelvan {

// The extension of a file name: from its last "." on, the dot included; empty when the name
// part has no dot.
std::string ExtractFileExt(std::string_view path);

// The path with its extension replaced by newExt (which carries its own dot, or is empty).
std::string ChangeFileExt(std::string_view path, std::string_view newExt);

// The name part after the last "/".
std::string ExtractFileName(std::string_view path);

// The folder part up to and including the last "/" (empty when there is none).
std::string ExtractFilePath(std::string_view path);

// ASCII case-insensitive comparison, as extensions and keys are matched.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
std::string ToLowerAscii(std::string_view s);
std::string ToUpperAscii(std::string_view s);

}  // namespace zelvan
