// The command line's flags for scripts and clusters: short forms, the option listing, the dry
// run, JSON results, NUL-separated lists, mirrored trees, resuming and shards.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "app/json_text.h"
#include "engine/conversion_options.h"
#include "support/exif_fixtures.h"
#include "support/fixtures.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

namespace fs = std::filesystem;
using test::RunCommand;
using test::ShellQuote;

std::string Cli() { return test::CliCommand(); }

test::Rgba Pattern(int x, int y) {
    return {static_cast<std::uint8_t>(x * 37 % 256), static_cast<std::uint8_t>(y * 53 % 256), static_cast<std::uint8_t>((x + y) * 11)};
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) parts.push_back(part);
    return parts;
}

// Every file below a folder, by path relative to it, with its bytes.
std::map<std::string, std::vector<std::uint8_t>> FilesBelow(const std::string& folder) {
    std::map<std::string, std::vector<std::uint8_t>> files;
    if (!fs::exists(folder)) return files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file()) files[fs::relative(entry.path(), folder).string()] = test::ReadBytes(entry.path());
    return files;
}

// A JPEG of the given stored size whose EXIF says to turn it by `orientation`: made by the
// program from a bitmap, EXIF left out, then given its APP1 segment.
void WriteOrientedJpeg(const test::TempDir& dir, const std::string& name, int width, int height, int orientation) {
    const std::string scratch = dir / ("scratch-" + name);
    fs::create_directories(scratch);
    test::WriteBytes(scratch + "/p.bmp", test::MakeBmp24(width, height, Pattern));
    ASSERT_EQ(RunCommand(Cli() + " --set Rename_enabled=0 --set Exif=0 -o " + ShellQuote(scratch) + " " +
                         ShellQuote(scratch + "/p.bmp"))
                  .exitStatus,
              0);
    test::WriteBytes(dir / name, test::WithExifSegment(test::ReadBytes(scratch + "/p.JPG"),
                                                       test::ExifOrientationBlock(orientation)));
    fs::remove_all(scratch);
}

TEST(CommandLineFlags, ShortFormsWriteWhatTheirSetsWrite) {
    test::TempDir dir;
    test::WriteBytes(dir / "a.bmp", test::MakeBmp24(40, 30, Pattern));
    struct Case {
        std::string flags;
        std::string sets;
    };
    // JPEG outputs leave EXIF out: its Modify Date is the time of writing.
    const Case cases[] = {
        {"-f png", "--set Output_format=1"},
        {"--set Auto_format=1 --format=gif", "--set Output_format=3"},
        {"-f jpeg -q 30 --set Exif=0", "--set Output_format=0 --set JPG_quality=30 --set Exif=0"},
        {"-q 20 -f jp2", "--set Output_format=4 --set J2K_quality=20"},
        {"-f auto -q20 --set Exif=0", "--set Auto_format=1 --set JPG_quality=20 --set Exif=0"},
        {"-f bmp --resize 17x17 --filter bell",
         "--set Output_format=2 --set Selected_mode=1 --set Resize_width=17 --set Resize_height=17 "
         "--set Resampling_filter=3"},
        {"-f bmp --resize 30% --filter nearest",
         "--set Output_format=2 --set Selected_mode=2 --set Resize_percent=30 --set Resampling_filter=0"},
        {"-f tga --rename 'pic-[C][E]' -j 1", "--set Output_format=5 --set Rename_mask=pic-[C][E] --set Threads=1"},
    };
    for (const Case& c : cases) {
        const std::string a = dir / "flags", b = dir / "sets";
        fs::remove_all(a);
        fs::remove_all(b);
        const std::string source = " " + ShellQuote(dir / "a.bmp");
        test::CommandResult byFlags = RunCommand(Cli() + " " + c.flags + " -o " + ShellQuote(a) + source);
        test::CommandResult bySets = RunCommand(Cli() + " " + c.sets + " -o " + ShellQuote(b) + source);
        EXPECT_EQ(byFlags.exitStatus, 0) << c.flags << "\n" << byFlags.output;
        EXPECT_EQ(bySets.exitStatus, 0) << c.sets << "\n" << bySets.output;
        const auto flagged = FilesBelow(a);
        EXPECT_EQ(flagged.size(), 1u) << c.flags;
        EXPECT_EQ(flagged, FilesBelow(b)) << c.flags;
    }
    // --overwrite replaces what a run without it refuses.
    const std::string out = " -o " + ShellQuote(dir / "again") + " " + ShellQuote(dir / "a.bmp");
    ASSERT_EQ(RunCommand(Cli() + out).exitStatus, 0);
    EXPECT_EQ(RunCommand(Cli() + out).exitStatus, 1);
    EXPECT_EQ(RunCommand(Cli() + " --overwrite" + out).exitStatus, 0);
}

TEST(CommandLineFlags, BadValuesAreUsageErrors) {
    test::TempDir dir;
    test::WriteBytes(dir / "a.bmp", test::MakeBmp24(4, 4, Pattern));
    const std::string file = " -o " + ShellQuote(dir / "out") + " " + ShellQuote(dir / "a.bmp");
    for (const char* flags : {"-f webpp", "-f png -q 50", "--resize 100", "--resize 0x10", "--resize x%",
                              "--filter sharp", "--shard 3/3", "--shard 1", "--shard -1/2", "--shard 0/0", "-j 0",
                              "--dry-run=yes", "-q"}) {
        test::CommandResult r = RunCommand(Cli() + " " + flags + file + " 2>&1");
        EXPECT_EQ(r.exitStatus, 2) << flags << "\n" << r.output;
        EXPECT_NE(r.output.find("zelvan-cli: "), std::string::npos) << flags;
        EXPECT_FALSE(fs::exists(dir / "out")) << flags;
    }
}

// Every option of the table is listed, and each listed default is a value --set takes.
TEST(CommandLineFlags, ListOptionsShowsEveryKeyOfTheTable) {
    test::CommandResult r = RunCommand(Cli() + " --list-options");
    ASSERT_EQ(r.exitStatus, 0);
    std::map<std::string, std::vector<std::string>> listed;
    for (const std::string& line : Split(r.output, '\n')) {
        std::vector<std::string> fields = Split(line, '\t');
        ASSERT_EQ(fields.size(), 4u) << line;
        listed[fields[0]] = fields;
    }
    std::string sets;
    for (const OptionInfo& info : OptionTable()) {
        if (!info.IsOption()) continue;
        ASSERT_TRUE(listed.count(info.key)) << info.key;
        sets += " --set " + ShellQuote(std::string(info.key) + "=" + listed[info.key][2]);
    }
    EXPECT_EQ(listed["JPG_quality"][1], "integer");
    EXPECT_EQ(listed["JPG_quality"][3], "1-100");
    EXPECT_EQ(listed["Background_colour"][2], "#FFFFFF");
    EXPECT_NE(listed["Output_format"][3].find("1 PNG"), std::string::npos);
    EXPECT_TRUE(listed.count("Language"));

    test::TempDir dir;
    test::WriteBytes(dir / "a.bmp", test::MakeBmp24(4, 4, Pattern));
    test::CommandResult dry = RunCommand(Cli() + sets + " --dry-run -o " + ShellQuote(dir / "out") + " " +
                                         ShellQuote(dir / "a.bmp") + " 2>&1");
    EXPECT_EQ(dry.exitStatus, 0) << dry.output;

    test::CommandResult help = RunCommand(Cli() + " --help");
    EXPECT_NE(help.output.find("--list-options"), std::string::npos);
    EXPECT_GE(Split(help.output.substr(help.output.find("Examples:")), '\n').size(), 4u);
}

// The dry run writes nothing, and the paths it names are the ones the run then writes, for
// each way of sizing the picture that [W]x[H] shows; a turned JPEG and PNG included.
TEST(CommandLineDryRun, NamesWhatTheRunWritesAndWritesNothing) {
    test::TempDir dir;
    fs::create_directories(dir / "in/sub");
    test::WriteBytes(dir / "in/wide.bmp", test::MakeBmp24(90, 40, Pattern));
    test::WriteBytes(dir / "in/sub/wide.bmp", test::MakeBmp24(33, 61, Pattern));
    WriteOrientedJpeg(dir, "in/sub/turned.jpg", 48, 20, 6);
    test::WritePngFile(dir / "plain.png", 25, 70, test::PngKind::Rgb, Pattern);
    test::WriteBytes(dir / "in/turned.png", test::WithExifChunk(test::ReadBytes(dir / "plain.png"),
                                                                test::ExifOrientationBlock(8)));
    test::WriteBytes(dir / "in/gray.pgm", std::vector<std::uint8_t>{'P', '5', '\n', '3', ' ', '2', '\n', '2', '5',
                                                                     '5', '\n', 1, 2, 3, 4, 5, 6});
    for (const char* sizing : {"", "--resize 20x20", "--resize 20x20 --set SmartCrop_enable=1",
                               "--resize 20x20 --set EnlargeIfSmall=1", "--resize 20x20 --set Resize_proportional=0",
                               "--resize 35%", "--set Auto_rotate=0 --resize 30x25"}) {
        SCOPED_TRACE(sizing);
        const std::string out = dir / "out";
        fs::remove_all(out);
        const std::string command =
            Cli() + " " + sizing + " -f png --keep-tree -o " + ShellQuote(out) + " " + ShellQuote(dir / "in");
        test::CommandResult plan = RunCommand(command + " --dry-run");
        EXPECT_EQ(plan.exitStatus, 0) << plan.output;
        EXPECT_FALSE(fs::exists(out)) << "a dry run creates nothing";
        std::set<std::string> planned;
        for (const std::string& line : Split(plan.output, '\n')) {
            std::vector<std::string> fields = Split(line, '\t');
            ASSERT_EQ(fields.size(), 3u) << line;
            EXPECT_EQ(fields[0], "write");
            planned.insert(fields[2]);
        }
        ASSERT_EQ(RunCommand(command).exitStatus, 0);
        std::set<std::string> written;
        for (const auto& [path, bytes] : FilesBelow(out)) written.insert(out + "/" + path);
        EXPECT_EQ(planned, written);
        EXPECT_EQ(written.size(), 5u);
    }
}

// What the dry run says of outputs that exist, by the same rules the run follows.
TEST(CommandLineDryRun, TellsWhichFilesWouldBeSkippedRefusedOrReplaced) {
    test::TempDir dir;
    fs::create_directories(dir / "b");
    test::WriteBytes(dir / "x.bmp", test::MakeBmp24(8, 8, Pattern));
    test::WriteBytes(dir / "b/x.bmp", test::MakeBmp24(9, 9, Pattern));
    test::WriteBytes(dir / "y.bmp", test::MakeBmp24(7, 7, Pattern));
    test::WriteBytes(dir / "z.tga", std::vector<std::uint8_t>(30, 0));
    fs::create_directories(dir / "out");
    test::WriteBytes(dir / "out/y.PNG", std::vector<std::uint8_t>{1});
    const std::string files = " -f png -o " + ShellQuote(dir / "out") + " " + ShellQuote(dir / "x.bmp") + " " +
                              ShellQuote(dir / "b/x.bmp") + " " + ShellQuote(dir / "y.bmp");
    struct Case {
        std::string flags;
        std::vector<std::string> actions;  // for x.bmp, b/x.bmp, y.bmp
        int exitStatus;
    };
    for (const Case& c : {Case{"--set Rename_enabled=0", {"write", "clash", "refuse"}, 1},
                          Case{"--set Rename_enabled=0 --overwrite", {"write", "clash", "replace"}, 1},
                          Case{"--set Rename_enabled=0 --skip-existing", {"write", "clash", "skip"}, 1},
                          Case{"--rename '[N]-[C][E]' --skip-existing", {"write", "write", "write"}, 0}}) {
        test::CommandResult r = RunCommand(Cli() + " --dry-run " + c.flags + files);
        EXPECT_EQ(r.exitStatus, c.exitStatus) << c.flags << "\n" << r.output;
        std::vector<std::string> lines = Split(r.output, '\n');
        ASSERT_EQ(lines.size(), 3u) << r.output;
        for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(Split(lines[i], '\t')[0], c.actions[i]) << c.flags << " " << i;
    }
    EXPECT_EQ(FilesBelow(dir / "out").size(), 1u);

    // A name that needs the size of a picture whose header is not read keeps [W] and [H].
    test::CommandResult unknown = RunCommand(Cli() + " --set Rename_enabled=1 --dry-run --json -o " +
                                             ShellQuote(dir / "out") + " " + ShellQuote(dir / "z.tga"));
    EXPECT_NE(unknown.output.find("z_001_[W]x[H].JPG\"],\"size_known\":false"), std::string::npos) << unknown.output;
}

TEST(JsonText, EscapesTextAndKeepsEveryByteOfNamesThatAreNotUtf8) {
    struct Case {
        std::string bytes;
        std::string json;
    };
    for (const Case& c : {Case{"plain/a b.png", "\"plain/a b.png\""},
                          Case{"q\"\\\n\t\r\x01\x7f", "\"q\\\"\\\\\\n\\t\\r\\u0001\\u007f\""},
                          Case{"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
                          Case{"caf\xe9.bmp", "\"caf\\udce9.bmp\""},
                          Case{"\xc0\xaf", "\"\\udcc0\\udcaf\""},                  // overlong "/"
                          Case{"\xed\xa0\x80", "\"\\udced\\udca0\\udc80\""},       // a surrogate
                          Case{"\xf4\x90\x80\x80", "\"\\udcf4\\udc90\\udc80\\udc80\""},  // above U+10FFFF
                          Case{"\xe2\x82", "\"\\udce2\\udc82\""},                  // cut short
                          Case{"\x80x", "\"\\udc80x\""}}) {
        EXPECT_EQ(JsonString(c.bytes), c.json);
    }
}

// Each --json line is a JSON object that Python reads; its fields match the files on disk, and a
// name that is not UTF-8 comes back byte for byte through os.fsencode.
TEST(CommandLineJson, LinesParseAndMatchTheFiles) {
    ASSERT_TRUE(test::HaveProgram("python3")) << "python3 reads the lines";
    test::TempDir dir;
    fs::create_directories(dir / "out");
    const std::string odd = dir / "caf\xe9 \"q\"\n.bmp";
    test::WriteBytes(odd, test::MakeBmp24(12, 9, Pattern));
    test::WriteBytes(dir / "bad.png", std::vector<std::uint8_t>{0x89, 'P', 'N', 'G'});
    test::WriteBytes(dir / "taken.bmp", test::MakeBmp24(5, 5, Pattern));
    test::WriteBytes(dir / "out/taken.PNG", std::vector<std::uint8_t>{1, 2, 3});
    std::ofstream(dir / "list", std::ios::binary) << odd << '\0' << dir / "bad.png" << '\0' << dir / "taken.bmp" << '\0';

    test::CommandResult r = RunCommand(Cli() + " --json -0 -f png --set Rename_enabled=0 -o " + ShellQuote(dir / "out") +
                                       " - < " + ShellQuote(dir / "list") + " > " + ShellQuote(dir / "results"));
    EXPECT_EQ(r.exitStatus, 1) << "two files failed";
    // One line per object: the source's bytes in hex, status, code, the output's bytes in hex,
    // input and output bytes; then the summary's counts.
    std::ofstream(dir / "read.py") << R"(import json, os, sys
for line in open(sys.argv[1], encoding="utf-8", errors="surrogateescape"):
    o = json.loads(line)
    if o.get("summary"):
        print("summary", o["files"], o["converted"], o["failed"], o["skipped"])
        continue
    out = os.fsencode(o["output"]).hex() if o["output"] else "-"
    print(os.fsencode(o["source"]).hex(), o["status"], o["code"] or "-", out, o["input_bytes"], o["output_bytes"],
          type(o["ms"]).__name__, (o["message"] or "-").replace(" ", "_"))
)";
    test::CommandResult parsed =
        RunCommand("python3 " + ShellQuote(dir / "read.py") + " " + ShellQuote(dir / "results") + " 2>&1");
    ASSERT_EQ(parsed.exitStatus, 0) << parsed.output;
    auto hex = [](const std::string& s) {
        std::string h;
        char buffer[3];
        for (unsigned char c : s) {
            std::snprintf(buffer, sizeof buffer, "%02x", c);
            h += buffer;
        }
        return h;
    };
    std::map<std::string, std::vector<std::string>> bySource;
    std::vector<std::string> summary;
    for (const std::string& line : Split(parsed.output, '\n')) {
        std::vector<std::string> fields = Split(line, ' ');
        if (fields[0] == "summary") summary = fields;
        else bySource[fields[0]] = fields;
    }
    ASSERT_EQ(bySource.size(), 3u) << parsed.output;
    const std::string oddOutput = dir / "out/caf\xe9 \"q\"\n.PNG";
    const std::vector<std::string>& converted = bySource[hex(odd)];
    ASSERT_EQ(converted.size(), 8u) << parsed.output;
    EXPECT_EQ(converted[1], "ok");
    EXPECT_EQ(converted[3], hex(oddOutput));
    EXPECT_EQ(converted[4], std::to_string(fs::file_size(odd)));
    EXPECT_EQ(converted[5], std::to_string(fs::file_size(oddOutput)));
    EXPECT_EQ(converted[6], "int");
    const std::vector<std::string>& bad = bySource[hex(dir / "bad.png")];
    ASSERT_GE(bad.size(), 8u) << parsed.output;
    EXPECT_EQ(bad[1], "failed");
    EXPECT_EQ(bad[2], "AFO");
    EXPECT_EQ(bad[3], "-");
    const std::vector<std::string>& taken = bySource[hex(dir / "taken.bmp")];
    ASSERT_GE(taken.size(), 8u) << parsed.output;
    EXPECT_EQ(taken[1], "failed");
    EXPECT_EQ(taken[7], "File_already_exists_(--overwrite_replaces_it,_--skip-existing_leaves_it)");
    EXPECT_EQ(summary, (std::vector<std::string>{"summary", "3", "1", "2", "0"}));
}

// Lines end in CRLF or, with -0, names end in NUL and may hold a newline.
TEST(CommandLineLists, NulSeparatedNamesAndCrlfLines) {
    test::TempDir dir;
    const std::string newline = dir / "two\nlines.bmp";
    test::WriteBytes(newline, test::MakeBmp24(6, 6, Pattern));
    test::WriteBytes(dir / "plain.bmp", test::MakeBmp24(6, 6, Pattern));
    std::ofstream(dir / "nul", std::ios::binary) << newline << '\0' << dir / "plain.bmp" << '\0';
    std::ofstream(dir / "crlf", std::ios::binary) << dir / "plain.bmp" << "\r\n";
    const std::string cli = Cli() + " -f png --set Rename_enabled=0 -o ";
    test::CommandResult nul = RunCommand(cli + ShellQuote(dir / "a") + " -0 - < " + ShellQuote(dir / "nul"));
    EXPECT_EQ(nul.exitStatus, 0) << nul.output;
    EXPECT_TRUE(fs::exists(dir / "a/two\nlines.PNG"));
    EXPECT_TRUE(fs::exists(dir / "a/plain.PNG"));
    test::CommandResult crlf = RunCommand(cli + ShellQuote(dir / "b") + " - < " + ShellQuote(dir / "crlf"));
    EXPECT_EQ(crlf.exitStatus, 0) << crlf.output;
    EXPECT_TRUE(fs::exists(dir / "b/plain.PNG"));
}

TEST(CommandLineTrees, KeepTreeMirrorsATreeWithSameNamedFiles) {
    test::TempDir dir;
    for (const char* folder : {"in", "in/a", "in/a/deep", "in/b", "in/odd[W]"}) fs::create_directories(dir / folder);
    const std::map<std::string, int> sources{{"x.bmp", 3}, {"a/x.bmp", 4}, {"a/deep/x.bmp", 5}, {"b/x.bmp", 6}};
    for (const auto& [name, size] : sources) test::WriteBytes(dir / ("in/" + name), test::MakeBmp24(size, size, Pattern));
    test::WriteBytes(dir / "in/odd[W]/y.bmp", test::MakeBmp24(2, 2, Pattern));
    test::WriteBytes(dir / "single.bmp", test::MakeBmp24(7, 7, Pattern));

    test::CommandResult r = RunCommand(Cli() + " --keep-tree -f png --set Rename_enabled=0 -o " +
                                       ShellQuote(dir / "out") + " " + ShellQuote(dir / "in") + " " +
                                       ShellQuote(dir / "single.bmp"));
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    const auto out = FilesBelow(dir / "out");
    EXPECT_EQ(out.size(), 6u);
    for (const auto& [name, size] : sources) {
        const std::string output = dir / ("out/" + fs::path(name).replace_extension(".PNG").string());
        ASSERT_TRUE(fs::exists(output)) << output;
        EXPECT_EQ(test::ReadPngFile(output).width, size) << output;
    }
    EXPECT_TRUE(fs::exists(dir / "out/single.PNG")) << "a file given by name goes to the output folder itself";
    EXPECT_TRUE(fs::exists(dir / "out/odd[W]/y.PNG")) << "without renaming, tokens in folder names are names";

    // With renaming on, the mask would replace the folder's tokens: that file is named and left out.
    test::CommandResult renamed = RunCommand(Cli() + " --set Rename_enabled=1 --keep-tree -f png -o " + ShellQuote(dir / "renamed") + " " +
                                             ShellQuote(dir / "in") + " 2>&1");
    EXPECT_EQ(renamed.exitStatus, 0) << renamed.output;
    EXPECT_NE(renamed.output.find("odd[W]/y.bmp: its folder's name holds rename tokens, skipped"), std::string::npos);
    EXPECT_EQ(FilesBelow(dir / "renamed").size(), 4u);
    EXPECT_TRUE(fs::exists(dir / "renamed/a/deep/x_003_5x5.PNG"));
}

// A stopped run started again with --skip-existing converts only what is missing, whatever the
// final names: renamed ones, the automatic format's, and names that need a decoded size.
TEST(CommandLineResume, SkipExistingConvertsOnlyWhatIsMissing) {
    ASSERT_TRUE(test::HaveProgram("convert")) << "ImageMagick makes the TIFF source (install-deps.sh installs it)";
    test::TempDir dir;
    fs::create_directories(dir / "in");
    for (int i = 1; i <= 4; ++i)
        test::WriteBytes(dir / ("in/p" + std::to_string(i) + ".bmp"), test::MakeBmp24(10 + i, 8, Pattern));
    // Its header is not read: its name is known only once it is decoded.
    ASSERT_EQ(RunCommand("convert -size 9x5 gradient:red-blue " + ShellQuote(dir / "in/t.tif")).exitStatus, 0);

    for (const char* flags : {"", "-f auto", "--set Rename_enabled=0 -f png", "--overwrite"}) {
        SCOPED_TRACE(flags);
        const std::string out = dir / "out";
        fs::remove_all(out);
        const std::string command = Cli() + " " + flags + " -o " + ShellQuote(out) + " " + ShellQuote(dir / "in");
        ASSERT_EQ(RunCommand(command).exitStatus, 0);
        auto first = FilesBelow(out);
        ASSERT_EQ(first.size(), 5u);
        // The run "stopped" before its second and fourth files; other settings show any rewrite.
        const std::string lostA = std::next(first.begin(), 1)->first;
        const std::string lostB = std::next(first.begin(), 3)->first;
        fs::remove(out + "/" + lostA);
        fs::remove(out + "/" + lostB);
        const auto kept = FilesBelow(out);

        test::CommandResult again =
            RunCommand(command + " --set JPG_quality=10 --set PNG_compression=1 --skip-existing --json");
        EXPECT_EQ(again.exitStatus, 0) << again.output;
        int skipped = 0, converted = 0;
        for (const std::string& line : Split(again.output, '\n')) {
            skipped += line.find("\"status\":\"skipped\"") != std::string::npos;
            converted += line.find("\"status\":\"ok\"") != std::string::npos;
        }
        EXPECT_EQ(skipped, 3);
        EXPECT_EQ(converted, 2);
        const auto after = FilesBelow(out);
        EXPECT_EQ(after.size(), 5u);
        for (const auto& [name, bytes] : kept) EXPECT_EQ(after.at(name), bytes) << name << " was rewritten";
        EXPECT_TRUE(after.count(lostA) && after.count(lostB));

        test::CommandResult third = RunCommand(command + " --skip-existing");
        EXPECT_EQ(third.exitStatus, 0);
        EXPECT_EQ(third.output, "-----------------------\nFiles processed: 5, failed: 0, skipped: 5\n") << "skips are not errors";
        EXPECT_EQ(FilesBelow(out), after);
    }
}

// A shard numbers its files by their places in the whole list; a shard left without files has
// nothing to do and succeeds.
TEST(CommandLineShards, NumbersFollowTheWholeList) {
    test::TempDir dir;
    std::string sources;
    for (const char* name : {"a.bmp", "b.bmp", "c.bmp", "d.bmp", "e.bmp"}) {
        test::WriteBytes(dir / name, test::MakeBmp24(4, 4, Pattern));
        sources += " " + ShellQuote(dir / name);
    }
    const std::string cli = Cli() + " -f png --rename '[C]-[N][E]' -o " + ShellQuote(dir / "out");
    test::CommandResult second = RunCommand(cli + " --shard 1/2" + sources);
    EXPECT_EQ(second.exitStatus, 0) << second.output;
    EXPECT_EQ(second.output, "-----------------------\nFiles processed: 2, failed: 0, skipped: 0\n");
    std::set<std::string> names;
    for (const auto& [name, bytes] : FilesBelow(dir / "out")) names.insert(name);
    EXPECT_EQ(names, (std::set<std::string>{"002-b.PNG", "004-d.PNG"}));

    test::CommandResult empty = RunCommand(cli + " --shard 6/7" + sources);
    EXPECT_EQ(empty.exitStatus, 0) << empty.output;
    EXPECT_EQ(empty.output, "-----------------------\nFiles processed: 0, failed: 0, skipped: 0\n");
}

}  // namespace
}  // namespace zelvan
