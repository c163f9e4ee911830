#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "support/fixtures.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

namespace fs = std::filesystem;
using test::RunCommand;
using test::ShellQuote;

// Outputs keep the source's name unless a test asks for the rename mask.
std::string Cli() { return test::CliCommand() + " --set Rename_enabled=0"; }

test::Rgba Stripes(int x, int) { return {static_cast<std::uint8_t>(x % 2 ? 250 : 20), 128, 40}; }

TEST(CommandLine, UsageErrorsExitWithTwoAndPrintNothingOnStandardOutput) {
    test::TempDir dir;
    test::WriteBytes(dir / "a.bmp", test::MakeBmp24(4, 4, Stripes));
    const std::string file = ShellQuote(dir / "a.bmp");
    for (const std::string& args :
         {std::string("--bogus ") + file, "--set Nonsense=1 " + file, "--set JPG_quality=101 " + file,
          "--set Output_format " + file, "--settings " + ShellQuote(dir / "missing.ini") + " " + file, std::string(""),
          "-o " + ShellQuote(dir / "a.bmp/sub") + " " + file, "--set Language=Klingon " + file}) {
        test::CommandResult r = RunCommand(Cli() + " " + args + " 2>/dev/null");
        EXPECT_EQ(r.exitStatus, 2) << args;
        EXPECT_EQ(r.output, "") << args;
    }
    test::CommandResult help = RunCommand(Cli() + " --help");
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_NE(help.output.find("--set KEY=VALUE"), std::string::npos);
}

TEST(CommandLine, StandardOutputIsTheErrorListAndStatusTellsFailures) {
    test::TempDir dir;
    test::WriteBytes(dir / "good.bmp", test::MakeBmp24(30, 20, Stripes));
    test::WriteBytes(dir / "bad.png", std::vector<std::uint8_t>{0x89, 'P', 'N', 'G'});
    const std::string out = dir / "out";

    test::CommandResult ok = RunCommand(Cli() + " -o " + ShellQuote(out) + " " + ShellQuote(dir / "good.bmp"));
    EXPECT_EQ(ok.exitStatus, 0);
    EXPECT_EQ(ok.output, "-----------------------\nFiles processed: 1, failed: 0, skipped: 0\n");
    EXPECT_TRUE(fs::exists(out + "/good.JPG"));

    // Paths from standard input; one file fails.
    test::CommandResult failed = RunCommand("printf '%s\\n%s\\n' " + ShellQuote(dir / "bad.png") + " " +
                                            ShellQuote(dir / "good.bmp") + " | " + Cli() + " --set output_FORMAT=1 -o " +
                                            ShellQuote(out) + " -");
    EXPECT_EQ(failed.exitStatus, 1);
    EXPECT_EQ(failed.output.rfind("AFO:" + dir / "bad.png" + ": ", 0), 0u) << failed.output;
    EXPECT_NE(failed.output.find("\n-----------------------\nFiles processed: 2, failed: 1, skipped: 0\n"), std::string::npos) << failed.output;
    EXPECT_EQ(test::ReadPngFile(out + "/good.PNG").width, 30);

    // The summary comes from lang.ini in the language of the settings file.
    std::ofstream(dir / "settings.ini") << "[Settings]\nLanguage=Russian\nOverwrite=1\nOutput_format=2\n";
    test::CommandResult russian = RunCommand(Cli() + " --settings " + ShellQuote(dir / "settings.ini") + " -o " +
                                             ShellQuote(out) + " " + ShellQuote(dir / "good.bmp"));
    EXPECT_EQ(russian.exitStatus, 0);
    EXPECT_EQ(russian.output, "-----------------------\nОбработано файлов: 1, failed: 0, skipped: 0\n");
    test::CommandResult russianSet = RunCommand(Cli() + " --set language=Russian --set Overwrite=1 -o " +
                                                ShellQuote(out) + " " + ShellQuote(dir / "good.bmp"));
    EXPECT_EQ(russianSet.exitStatus, 0);
    EXPECT_EQ(russianSet.output, russian.output) << "--set takes the language as the file does";

    // Without overwriting, the earlier output blocks the job.
    test::CommandResult exists = RunCommand(Cli() + " -o " + ShellQuote(out) + " " + ShellQuote(dir / "good.bmp"));
    EXPECT_EQ(exists.exitStatus, 1);
    EXPECT_EQ(exists.output.rfind("AFO:" + dir / "good.bmp" + ": File already exists (--overwrite replaces it, --skip-existing leaves it)\n", 0), 0u) << exists.output;
}

TEST(CommandLine, FoldersAreScannedAndNonUtf8NamesConverted) {
    test::TempDir dir;
    fs::create_directories(dir / "in/sub");
    test::WriteBytes(dir / "in/sub/caf\xe9.bmp", test::MakeBmp24(5, 5, Stripes));
    test::WriteBytes(dir / "in/b.bmp", test::MakeBmp24(6, 6, Stripes));
    test::WriteBytes(dir / "in/skip.txt", std::vector<std::uint8_t>{1});
    test::CommandResult r = RunCommand(Cli() + " --set Output_format=2 -o " + ShellQuote(dir / "out") + " " +
                                       ShellQuote(dir / "in"));
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_EQ(r.output, "-----------------------\nFiles processed: 2, failed: 0, skipped: 0\n");
    EXPECT_TRUE(fs::exists(dir / "out/caf\xe9.BMP"));
    EXPECT_TRUE(fs::exists(dir / "out/b.BMP"));
}

TEST(CommandLine, DefaultRenameMaskNamesOutputsByCounterAndSize) {
    test::TempDir dir;
    test::WriteBytes(dir / "photo.bmp", test::MakeBmp24(30, 20, Stripes));
    test::WriteBytes(dir / "second.bmp", test::MakeBmp24(8, 9, Stripes));
    test::CommandResult r = RunCommand(ShellQuote(test::BuildDir() + "/zelvan-cli") + " --set Rename_enabled=1 --set Threads=1 -o " +
                                       ShellQuote(dir / "out") + " " + ShellQuote(dir / "photo.bmp") + " " +
                                       ShellQuote(dir / "second.bmp"));
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_TRUE(fs::exists(dir / "out/photo_001_30x20.JPG"));
    EXPECT_TRUE(fs::exists(dir / "out/second_002_8x9.JPG"));
}

TEST(CommandLine, ASecondRunWithoutOverwritingLeavesEveryRenamedOutputAlone) {
    test::TempDir dir;
    std::string sources;
    for (const char* name : {"a.bmp", "b.bmp", "c.bmp"}) {
        test::WriteBytes(dir / name, test::MakeBmp24(30, 20, Stripes));
        sources += " " + ShellQuote(dir / name);
    }
    const std::string cli = ShellQuote(test::BuildDir() + "/zelvan-cli") + " --set Rename_enabled=1 --set Threads=2 -o " + ShellQuote(dir / "out");
    ASSERT_EQ(RunCommand(cli + sources).exitStatus, 0);
    std::map<std::string, std::vector<std::uint8_t>> first;
    for (const auto& entry : fs::directory_iterator(dir / "out")) first[entry.path()] = test::ReadBytes(entry.path());
    ASSERT_EQ(first.size(), 3u);

    // Another quality would give other bytes: a replaced output shows.
    test::CommandResult again = RunCommand(cli + " --set JPG_quality=20" + sources);
    EXPECT_EQ(again.exitStatus, 1);
    for (const char* name : {"a.bmp", "b.bmp", "c.bmp"})
        EXPECT_NE(again.output.find("AFO:" + dir / name + ": File already exists (--overwrite replaces it, --skip-existing leaves it)\n"), std::string::npos) << again.output;
    for (const auto& [path, bytes] : first) EXPECT_EQ(test::ReadBytes(path), bytes) << path;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "out"), {}), 3) << "no temporary file left";
}

TEST(CommandLine, TwoSourcesOfOneOutputNameNeverLoseAFileWithoutALine) {
    test::TempDir dir;
    fs::create_directories(dir / "a");
    fs::create_directories(dir / "b");
    test::WriteBytes(dir / "a/x.bmp", test::MakeBmp24(30, 20, Stripes));
    test::WriteBytes(dir / "b/x.bmp", test::MakeBmp24(8, 9, Stripes));
    for (const char* overwrite : {"0", "1"}) {
        for (int round = 0; round < 5; ++round) {
            const std::string out = dir / ("out" + std::string(overwrite) + std::to_string(round));
            test::CommandResult r = RunCommand(Cli() + " --set Threads=2 --set Output_format=1 --set Overwrite=" +
                                               overwrite + " -o " + ShellQuote(out) + " " + ShellQuote(dir / "a/x.bmp") +
                                               " " + ShellQuote(dir / "b/x.bmp"));
            SCOPED_TRACE(std::string("Overwrite=") + overwrite);
            EXPECT_EQ(r.exitStatus, 1);
            // One line names the source that was not written, and the output, whole, is the other's.
            // Without overwriting the earlier output may already block the later job at its start.
            const std::string summary = "\n-----------------------\nFiles processed: 2, failed: 1, skipped: 0\n";
            auto lostLine = [&](const std::string& lost, const std::string& kept) {
                const std::string head = "AFO:" + lost + ": ";
                if (r.output == head + "Same output as " + kept + summary) return true;
                return overwrite[0] == '0' && r.output == head + "File already exists (--overwrite replaces it, --skip-existing leaves it)" + summary;
            };
            const bool bLost = lostLine(dir / "b/x.bmp", dir / "a/x.bmp");
            const bool aLost = lostLine(dir / "a/x.bmp", dir / "b/x.bmp");
            EXPECT_TRUE(aLost || bLost) << r.output;
            EXPECT_EQ(test::ReadPngFile(out + "/x.PNG").width, bLost ? 30 : 8);
        }
    }
}

}  // namespace
}  // namespace zelvan
