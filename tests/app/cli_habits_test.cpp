// zelvan-cli as scripts use it: failures a script can see, names as command-line converters give
// them, and the forms of -o, -j and the path list that users of those converters type.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/fixtures.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

namespace fs = std::filesystem;
using test::RunCommand;
using test::ShellQuote;

test::Rgba Stripes(int x, int) { return {static_cast<std::uint8_t>(x % 2 ? 250 : 20), 128, 40}; }

std::string Cli() { return test::CliCommand(); }

std::string StartOf(const std::string& path, std::size_t n) {
    const std::vector<std::uint8_t> bytes = test::ReadBytes(path);
    return std::string(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(n, bytes.size())));
}

std::vector<std::string> NamesIn(const std::string& folder) {
    std::vector<std::string> names;
    if (!fs::exists(folder)) return names;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file()) names.push_back(fs::relative(entry.path(), folder).string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(CommandLineHabits, AMissingOrUnreadableFileIsAFailedFile) {
    test::TempDir dir;
    test::WriteBytes(dir / "good.bmp", test::MakeBmp24(6, 4, Stripes));
    test::WriteBytes(dir / "notes.txt", std::vector<std::uint8_t>{'h', 'i', '\n'});
    const std::string files =
        " " + ShellQuote(dir / "good.bmp") + " " + ShellQuote(dir / "missing.jpg") + " " + ShellQuote(dir / "notes.txt");

    test::CommandResult text = RunCommand(Cli() + " -o " + ShellQuote(dir / "out") + files + " 2>/dev/null");
    EXPECT_EQ(text.exitStatus, 1);
    EXPECT_NE(text.output.find("AFO:" + dir / "missing.jpg" + ": "), std::string::npos) << text.output;
    EXPECT_NE(text.output.find("AFO:" + dir / "notes.txt" + ": "), std::string::npos) << text.output;
    EXPECT_NE(text.output.find("\nFiles processed: 3, failed: 2, skipped: 0\n"), std::string::npos) << text.output;

    test::CommandResult json =
        RunCommand(Cli() + " --json --overwrite -o " + ShellQuote(dir / "out") + files + " 2>/dev/null");
    EXPECT_EQ(json.exitStatus, 1);
    for (const char* name : {"missing.jpg", "notes.txt"}) {
        const std::size_t at = json.output.find("{\"source\":\"" + dir / name + "\"");
        ASSERT_NE(at, std::string::npos) << name << "\n" << json.output;
        const std::string record = json.output.substr(at, json.output.find('\n', at) - at);
        EXPECT_NE(record.find("\"status\":\"failed\""), std::string::npos) << record;
        EXPECT_EQ(record.find("\"message\":null"), std::string::npos) << "a failure says why: " << record;
    }
    EXPECT_NE(json.output.find("\"failed\":2,\"skipped\":0"), std::string::npos) << json.output;
    EXPECT_NE(json.output.find("\"cancelled\":false"), std::string::npos) << json.output;

    // The dry run foresees the missing file's failure.
    test::CommandResult dry = RunCommand(Cli() + " --dry-run -o " + ShellQuote(dir / "out2") + files);
    EXPECT_EQ(dry.exitStatus, 1);
    EXPECT_NE(dry.output.find("fail\t" + dir / "missing.jpg"), std::string::npos) << dry.output;
}

TEST(CommandLineHabits, OutputsKeepTheSourcesNameUnlessTheWindowsNamingIsAsked) {
    test::TempDir dir;
    test::WriteBytes(dir / "photo.bmp", test::MakeBmp24(30, 20, Stripes));
    std::ofstream(dir / "window.ini") << "[Settings]\nOutput_format=1\n";
    struct Case {
        std::string flags;
        std::string output;
        bool warnsOfNoExtension;
    };
    const Case cases[] = {
        {"-f png", "photo.png", false},
        {"-f jpeg", "photo.jpg", false},
        {"-f auto --set Threads=1", "photo.png", false},  // stripes: the lossless candidate wins
        {"-f png --set Lower_case_extension=0", "photo.PNG", false},
        {"-f png --set Rename_enabled=1", "photo_001_30x20.PNG", false},
        {"--settings " + ShellQuote(dir / "window.ini"), "photo_001_30x20.PNG", false},
        {"-f png --rename '[N]-small[E]'", "photo-small.PNG", false},
        {"-f png --rename '[N]'", "photo", true},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string out = dir / ("out" + std::to_string(n++));
        test::CommandResult r = RunCommand(Cli() + " " + c.flags + " -o " + ShellQuote(out) + " " +
                                           ShellQuote(dir / "photo.bmp") + " 2>" + ShellQuote(dir / "err.txt"));
        EXPECT_EQ(r.exitStatus, 0) << c.flags << "\n" << r.output;
        EXPECT_EQ(NamesIn(out), std::vector<std::string>{c.output}) << c.flags;
        const std::string err = StartOf(dir / "err.txt", 4096);
        EXPECT_EQ(err.find("has no [E]") != std::string::npos, c.warnsOfNoExtension) << c.flags << ": " << err;
    }
}

TEST(CommandLineHabits, OutputNamedAsAFileWritesThatFile) {
    test::TempDir dir;
    test::WriteBytes(dir / "a.bmp", test::MakeBmp24(8, 6, Stripes));
    struct Case {
        std::string flags;
        std::string output;  // below the folder
        std::string starts;  // the first bytes of the format written
    };
    const Case cases[] = {
        {"-o " + ShellQuote(dir / "o1/picture.webp"), "o1/picture.webp", "RIFF"},
        {"-o " + ShellQuote(dir / "o2/Picture.PNG"), "o2/Picture.PNG", "\x89PNG"},
        {"-o " + ShellQuote(dir / "o3/photo.jpeg"), "o3/photo.jpeg", "\xFF\xD8\xFF"},
        {"-f png -o " + ShellQuote(dir / "o4/named.jpg"), "o4/named.jpg", "\x89PNG"},  // -f decides
        {"-o " + ShellQuote(dir / "o5.d"), "o5.d/a.jpg", "\xFF\xD8\xFF"},  // no format's extension: a folder
    };
    for (const Case& c : cases) {
        test::CommandResult r = RunCommand(Cli() + " " + c.flags + " " + ShellQuote(dir / "a.bmp"));
        EXPECT_EQ(r.exitStatus, 0) << c.flags << "\n" << r.output;
        ASSERT_TRUE(fs::is_regular_file(dir / c.output)) << c.flags;
        EXPECT_EQ(StartOf(dir / c.output, c.starts.size()), c.starts) << c.flags;
    }
    // The named file is not replaced unless asked, as any output.
    test::CommandResult again = RunCommand(Cli() + " -o " + ShellQuote(dir / "o1/picture.webp") + " " + ShellQuote(dir / "a.bmp"));
    EXPECT_EQ(again.exitStatus, 1);
    EXPECT_NE(again.output.find("File already exists (--overwrite"), std::string::npos) << again.output;
    EXPECT_EQ(RunCommand(Cli() + " -f auto -o " + ShellQuote(dir / "o6/x.png") + " " + ShellQuote(dir / "a.bmp") +
                         " 2>/dev/null").exitStatus,
              2)
        << "-f auto cannot keep a name's extension";
}

TEST(CommandLineHabits, AFileGivenSeveralTimesIsConvertedOnce) {
    test::TempDir dir;
    fs::create_directories(dir / "sub");
    test::WriteBytes(dir / "a.bmp", test::MakeBmp24(5, 5, Stripes));
    const std::string a = dir / "a.bmp";
    test::CommandResult r =
        RunCommand("cd " + ShellQuote(dir.path().string()) + " && printf 'a.bmp\\n./a.bmp\\n' | " + Cli() + " -f png -o out " +
                   ShellQuote(a) + " a.bmp sub/../a.bmp -");
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    EXPECT_EQ(r.output, "-----------------------\nFiles processed: 1, failed: 0, skipped: 0\n");
    EXPECT_EQ(NamesIn(dir / "out"), std::vector<std::string>{"a.png"});
}

TEST(CommandLineHabits, KeepTreeMirrorsPathsReadFromStandardInput) {
    test::TempDir dir;
    for (const char* name : {"in/x/a.bmp", "in/y/a.bmp", "in/y/deep/b.bmp"}) {
        fs::create_directories(fs::path(dir / name).parent_path());
        test::WriteBytes(dir / name, test::MakeBmp24(4, 4, Stripes));
    }
    const std::string list = "printf '%s\\n' " + ShellQuote(dir / "in/x/a.bmp") + " " + ShellQuote(dir / "in/y/a.bmp") +
                             " " + ShellQuote(dir / "in/y/deep/b.bmp") + " | ";
    struct Case {
        std::string flags;
        std::vector<std::string> outputs;
    };
    const Case cases[] = {
        {"", {"x/a.png", "y/a.png", "y/deep/b.png"}},  // relative to the folder they share
        {"--base " + ShellQuote(dir.path().string()), {"in/x/a.png", "in/y/a.png", "in/y/deep/b.png"}},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string out = dir / ("out" + std::to_string(n++));
        test::CommandResult r = RunCommand(list + Cli() + " --keep-tree -f png " + c.flags + " -o " + ShellQuote(out) + " -");
        EXPECT_EQ(r.exitStatus, 0) << c.flags << "\n" << r.output;
        EXPECT_EQ(NamesIn(out), c.outputs) << c.flags;
    }
    // A path outside --base cannot be mirrored: the run is refused before anything is written.
    test::CommandResult outside = RunCommand(list + Cli() + " --keep-tree -f png --base " + ShellQuote(dir / "in/y") +
                                             " -o " + ShellQuote(dir / "refused") + " - 2>&1");
    EXPECT_EQ(outside.exitStatus, 2);
    EXPECT_NE(outside.output.find("is not inside --base"), std::string::npos) << outside.output;
    EXPECT_FALSE(fs::exists(dir / "refused"));
}

TEST(CommandLineHabits, ThreadsAreClampedAndUsageNamesEveryFormat) {
    test::TempDir dir;
    test::WriteBytes(dir / "a.bmp", test::MakeBmp24(4, 4, Stripes));
    struct Case {
        std::string threads;
        int exitStatus;
        bool notes;
    };
    int n = 0;
    for (const Case& c : {Case{"1", 0, false}, Case{"3", 0, false}, Case{"1024", 0, false}, Case{"5000", 0, true},
                          Case{"0", 2, false}, Case{"two", 2, false}}) {
        const std::string out = dir / ("out" + std::to_string(n++));
        test::CommandResult r = RunCommand(Cli() + " -j " + c.threads + " -o " + ShellQuote(out) + " " +
                                           ShellQuote(dir / "a.bmp") + " 2>" + ShellQuote(dir / "err.txt"));
        EXPECT_EQ(r.exitStatus, c.exitStatus) << "-j " << c.threads << "\n" << r.output;
        EXPECT_EQ(StartOf(dir / "err.txt", 4096).find("is more than") != std::string::npos, c.notes) << c.threads;
    }

    test::CommandResult help = RunCommand(Cli() + " --help");
    EXPECT_EQ(help.exitStatus, 0);
    for (const char* text : {"jpg, png, bmp, gif, jp2, tga, webp, avif, jxl", "~/zelvan-output/", "-o FILE", "--base DIR"})
        EXPECT_NE(help.output.find(text), std::string::npos) << text;
}

TEST(CommandLineHabits, PicturesAreReadByTheirContentWhenTheExtensionMisleads) {
    test::TempDir dir;
    test::WriteBytes(dir / "a.bmp", test::MakeBmp24(12, 8, Stripes));
    ASSERT_EQ(RunCommand(Cli() + " -f jpeg -o " + ShellQuote(dir / "made") + " " + ShellQuote(dir / "a.bmp")).exitStatus, 0);
    const std::vector<std::uint8_t> jpeg = test::ReadBytes(dir / "made/a.jpg");
    test::WriteBytes(dir / "noext", jpeg);
    test::WriteBytes(dir / "photo.png", jpeg);
    test::WriteBytes(dir / "picture.gif", test::MakeBmp24(3, 3, Stripes));  // a BMP under a GIF's name
    test::WriteBytes(dir / "broken.png", std::vector<std::uint8_t>{0xFF, 0xD8, 0xFF, 0xE0, 0, 0});

    test::CommandResult r = RunCommand(Cli() + " -f png -o " + ShellQuote(dir / "out") + " " + ShellQuote(dir / "noext") +
                                       " " + ShellQuote(dir / "photo.png") + " " + ShellQuote(dir / "picture.gif") + " " +
                                       ShellQuote(dir / "broken.png"));
    EXPECT_EQ(r.exitStatus, 1) << r.output;
    EXPECT_EQ(test::ReadPngFile(dir / "out/noext.png").width, 12);
    EXPECT_EQ(test::ReadPngFile(dir / "out/photo.png").width, 12);
    EXPECT_EQ(test::ReadPngFile(dir / "out/picture.png").width, 3);
    // Where neither reader can read it, the line says what the extension's reader found.
    EXPECT_NE(r.output.find("AFO:" + dir / "broken.png" + ": PNG: "), std::string::npos) << r.output;
}

}  // namespace
}  // namespace zelvan
