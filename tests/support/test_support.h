#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace zelvan::test {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

std::vector<std::uint8_t> ReadBytes(const std::string& path);

// Little-endian numbers appended to a file being built in code.
void Put16(std::vector<std::uint8_t>& b, std::uint32_t v);
void Put32(std::vector<std::uint8_t>& b, std::uint32_t v);
void WriteBytes(const std::string& path, std::span<const std::uint8_t> bytes);

struct CommandResult {
    int exitStatus = -1;
    std::string output;  // standard output (and standard error when asked)
};
// Runs a shell command and captures its standard output.
CommandResult RunCommand(const std::string& command);
// True when a program is on the PATH.
bool HaveProgram(const std::string& name);

// The build folder (programs, lang.ini, rawdll.so) and the unpacked test corpora.
std::string BuildDir();
std::string CorporaDir();
// The built zelvan-cli, quoted for the shell.
std::string CliCommand();
// exiftool's JSON for one file as "Group:Tag" -> value text (EXIF and XMP groups).
std::map<std::string, std::string> ExifToolTags(const std::string& path);
// The version the CMake project declares, read from its CMakeLists.txt ("?" when not found).
std::string ProjectVersion();
// Quotes a path for the shell.
std::string ShellQuote(const std::string& s);

}  // namespace zelvan::test
