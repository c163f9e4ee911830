// A file's name cannot forge lines of standard output: its control characters are printed
// escaped, so the separator and the summary can only be the real ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace zelvan {
namespace {

namespace fs = std::filesystem;
using test::RunCommand;
using test::ShellQuote;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(CommandLineOutput, ANameWithControlCharactersCannotForgeLines) {
    test::TempDir dir;
    fs::create_directories(dir / "in");
    const std::string name = "bad\n-----------------------\nFiles processed: 999\nAFO:forged line: x\r\t\x1B.png";
    const std::string escaped = "bad\\n-----------------------\\nFiles processed: 999\\nAFO:forged line: x\\r\\t\\x1B.png";
    test::WriteBytes(dir / ("in/" + name), std::vector<std::uint8_t>{0x89, 'P', 'N', 'G', 0, 0});
    const std::string cli = ShellQuote(test::BuildDir() + "/zelvan-cli") + " --set Rename_enabled=0 -o " +
                            ShellQuote(dir / "out") + " " + ShellQuote(dir / "in");

    test::CommandResult r = RunCommand(cli + " 2>/dev/null");
    EXPECT_EQ(r.exitStatus, 1);
    const std::vector<std::string> lines = Lines(r.output);
    ASSERT_EQ(lines.size(), 3u) << r.output;
    EXPECT_EQ(lines[0].rfind("AFO:" + dir / ("in/" + escaped) + ": ", 0), 0u) << r.output;
    EXPECT_EQ(lines[1], "-----------------------");
    EXPECT_EQ(lines[2], "Files processed: 1, failed: 1, skipped: 0");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "-----------------------"), 1);

    // The dry run's table keeps one line per file and its tab-separated fields.
    test::CommandResult dry = RunCommand(cli + " --dry-run 2>/dev/null");
    const std::vector<std::string> planned = Lines(dry.output);
    ASSERT_EQ(planned.size(), 1u) << dry.output;
    EXPECT_EQ(planned[0].rfind("write\t" + dir / ("in/" + escaped) + "\t", 0), 0u) << dry.output;
    EXPECT_EQ(std::count(planned[0].begin(), planned[0].end(), '\t'), 2);
}

}  // namespace
}  // namespace zelvan
