#include "base/path_util.h"

namespace zelvan {

std::string ExtractFileExt(std::string_view path) {
    std::size_t slash = path.find_last_of('/');
    std::size_t dot = path.find_last_of('.');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return {};
    return std::string(path.substr(dot));
}

std::string ChangeFileExt(std::string_view path, std::string_view newExt) {
    std::size_t slash = path.find_last_of('/');
    std::size_t dot = path.find_last_of('.');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash))
        return std::string(path) + std::string(newExt);
    return std::string(path.substr(0, dot)) + std::string(newExt);
}

std::string ExtractFileName(std::string_view path) {
    std::size_t slash = path.find_last_of('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string ExtractFilePath(std::string_view path) {
    std::size_t slash = path.find_last_of('/');
    return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash + 1));
}

namespace {
char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
}  // namespace

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    return true;
}

std::string ToLowerAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = LowerAscii(c);
    return out;
}

std::string ToUpperAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = UpperAscii(c);
    return out;
}

}  // namespace zelvan
