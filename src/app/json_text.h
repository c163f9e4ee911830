#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zelvan {

// A byte string as a JSON string literal, quotes included. Valid UTF-8 passes through; quotes,
// backslashes and control characters are escaped. File names are bytes, not always UTF-8: each
// byte that is not part of a valid UTF-8 sequence is written as the lone surrogate escape
// "\udcXX" (XX the byte), as Python's "surrogateescape" error handler decodes it, so that
// os.fsencode() of the parsed string gives the name's bytes back.
std::string JsonString(std::string_view bytes);

// One JSON object written field by field on one line, in the order the fields are added.
class JsonLine {
public:
    JsonLine& Text(std::string_view name, std::string_view value);
    JsonLine& OptionalText(std::string_view name, const std::optional<std::string>& value);
    JsonLine& Number(std::string_view name, std::int64_t value);
    JsonLine& Boolean(std::string_view name, bool value);
    // A value already written as JSON (an array).
    JsonLine& Raw(std::string_view name, std::string_view json);
    // The object with its closing brace.
    std::string Done() const { return text_ + "}"; }

private:
    JsonLine& Name(std::string_view name);
    std::string text_ = "{";
};

}  // namespace zelvan
