// Standard error says only what the program says: a damaged JPEG XL, whose decoder prints its
// own diagnostics, leaves it empty while the JSON on standard output stays pure; usage errors
// and an output folder that cannot be made still reach it, the latter with its reason.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/fixtures.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using test::RunCommand;
using test::ShellQuote;

std::string Cli() { return test::CliCommand(); }

std::string TextOf(const std::string& path) {
    const std::vector<std::uint8_t> bytes = test::ReadBytes(path);
    return {bytes.begin(), bytes.end()};
}

TEST(CliStandardError, LibraryDiagnosticsStayOffIt) {
    ASSERT_TRUE(test::HaveProgram("cjxl")) << "install-deps.sh installs libjxl-tools";
    test::TempDir dir;
    const std::string png = dir / "p.png", jxl = dir / "p.jxl", bad = dir / "bad.jxl", err = dir / "err.txt";
    test::WritePngFile(png, 64, 64, test::PngKind::Rgb, [](int x, int y) {
        return test::Rgba{static_cast<std::uint8_t>(x * 4), static_cast<std::uint8_t>(y * 4), 60, 255};
    });
    ASSERT_EQ(RunCommand("cjxl -q 80 " + ShellQuote(png) + " " + ShellQuote(jxl) + " 2>&1").exitStatus, 0);
    // Bytes changed all through the coded picture: the decoder gives up, saying why on its way.
    std::vector<std::uint8_t> bytes = test::ReadBytes(jxl);
    for (std::size_t i = 10; i < bytes.size(); i += 7) bytes[i] ^= 0x55;
    test::WriteBytes(bad, bytes);

    const std::string run = Cli() + " --json -f png -o " + ShellQuote(dir / "out") + " " + ShellQuote(bad) + " 2>" + ShellQuote(err);
    // The fixture makes the library talk: with its messages let through, they are there.
    RunCommand("ZELVAN_LIBRARY_MESSAGES=1 " + run);
    ASSERT_NE(TextOf(err).find("JXL_"), std::string::npos) << "libjxl printed nothing for this file";

    const test::CommandResult r = RunCommand(run);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(TextOf(err), "");
    ASSERT_FALSE(r.output.empty());
    std::size_t lines = 0;
    for (std::size_t at = 0; at < r.output.size(); at = r.output.find('\n', at) + 1, ++lines)
        EXPECT_EQ(r.output[at], '{') << r.output;
    EXPECT_EQ(lines, 2u) << r.output;  // the file's record and the summary
}

TEST(CliStandardError, TheProgramsOwnMessagesStillReachIt) {
    test::TempDir dir;
    const std::string png = dir / "p.png";
    test::WritePngFile(png, 4, 4, test::PngKind::Rgb, [](int, int) { return test::Rgba{1, 2, 3, 255}; });
    test::WriteBytes(dir / "file", std::vector<std::uint8_t>{1});
    ASSERT_EQ(::symlink((dir / "nowhere").c_str(), (dir / "dangling").c_str()), 0);
    struct Case {
        const char* name;
        std::string arguments;
        std::string message;
    };
    const Case cases[] = {
        {"unknown option", "--bogus " + ShellQuote(png), "zelvan-cli: unknown option --bogus"},
        {"a file in the way", "-o " + ShellQuote(dir / "file/sub") + " " + ShellQuote(png),
         "cannot be created: \"" + (dir / "file") + "\" is not a folder"},
        {"a dangling link", "-o " + ShellQuote(dir / "dangling") + " " + ShellQuote(png),
         "cannot be created: \"" + (dir / "dangling") + "\" is a link to nothing"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const test::CommandResult r = RunCommand(Cli() + " " + c.arguments + " 2>&1 >/dev/null");
        EXPECT_EQ(r.exitStatus, 2);
        EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
    }
}

}  // namespace
}  // namespace zelvan
