#include "support/test_support.h"

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>

namespace zelvan::test {

TempDir::TempDir() {
    std::random_device rd;
    auto base = std::filesystem::temp_directory_path();
    for (int i = 0; i < 100; ++i) {
        auto candidate = base / ("zelvan-test-" + std::to_string(rd()));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::vector<std::uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::string& path, std::span<const std::uint8_t> bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

CommandResult RunCommand(const std::string& command) {
    CommandResult result;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return result;
    std::array<char, 4096> buffer{};
    std::size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) result.output.append(buffer.data(), n);
    int status = ::pclose(pipe);
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

bool HaveProgram(const std::string& name) {
    return RunCommand("command -v " + name + " >/dev/null 2>&1").exitStatus == 0;
}

std::string BuildDir() { return ZELVAN_BUILD_DIR; }
std::string CorporaDir() { return ZELVAN_CORPORA_DIR; }
std::string CliCommand() { return ShellQuote(BuildDir() + "/zelvan-cli"); }

std::string ShellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    return out + "'";
}

void Put16(std::vector<std::uint8_t>& b, std::uint32_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}

void Put32(std::vector<std::uint8_t>& b, std::uint32_t v) {
    Put16(b, v & 0xffff);
    Put16(b, v >> 16);
}

std::string ProjectVersion() {
    std::ifstream in(std::string(ZELVAN_SOURCE_DIR) + "/CMakeLists.txt");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::smatch match;
    if (!std::regex_search(text, match, std::regex(R"(project\(Zelvan\s+VERSION\s+([0-9.]+))"))) return "?";
    return match[1];
}

std::map<std::string, std::string> ExifToolTags(const std::string& path) {
    const CommandResult r = RunCommand("exiftool -j -G1 -EXIF:all -XMP:all " + ShellQuote(path) + " 2>/dev/null");
    std::map<std::string, std::string> tags;
    std::istringstream lines(r.output);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t open = line.find('"');
        const std::size_t close = line.find("\": ", open + 1);
        if (open == std::string::npos || close == std::string::npos) continue;
        std::string value = line.substr(close + 3);
        if (!value.empty() && value.back() == ',') value.pop_back();
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        tags[line.substr(open + 1, close - open - 1)] = value;
    }
    tags.erase("SourceFile");
    return tags;
}

}  // namespace zelvan::test
