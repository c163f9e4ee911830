// Several outputs per source on the command line: --recipe, --output, the clash check, the dry
// run and --json per output, --skip-existing per source, and the manifest with its srcset.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/fixtures.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

namespace fs = std::filesystem;
using test::RunCommand;
using test::ShellQuote;

test::Rgba Pattern(int x, int y) {
    return {static_cast<std::uint8_t>(x * 37 % 256), static_cast<std::uint8_t>(y * 53 % 256),
            static_cast<std::uint8_t>((x + y) * 11), 255};
}

class CliRecipe : public ::testing::Test {
protected:
    CliRecipe() {
        fs::create_directories(dir / "src");
        test::WritePngFile(dir / "src/a.png", 96, 64, test::PngKind::Rgb, Pattern);
        test::WritePngFile(dir / "src/b.png", 30, 20, test::PngKind::Rgb, Pattern);
    }
    test::CommandResult Cli(const std::string& flags, const std::string& out = "out") {
        return RunCommand(test::CliCommand() + " -o " + ShellQuote(dir / out) + " " + flags + " " +
                          ShellQuote(dir / "src") + " 2>&1");
    }
    bool Has(const std::string& text, const std::string& piece) { return text.find(piece) != std::string::npos; }

    test::TempDir dir;
};

TEST_F(CliRecipe, OutputsEqualSeparateRunsByteForByte) {
    // Without EXIF: a JPEG's block carries the moment it was written.
    const auto both = Cli("--set Exif=0 --output 'format=webp,quality=70,width=48,name=small' --output 'format=jpeg,resize=50%'");
    ASSERT_EQ(both.exitStatus, 0) << both.output;
    ASSERT_EQ(Cli("--set Exif=0 -f webp -q 70 --resize 48x99999", "one").exitStatus, 0);
    ASSERT_EQ(Cli("--set Exif=0 -f jpeg --resize 50%", "two").exitStatus, 0);
    for (const char* name : {"a", "b"}) {
        const std::string n = name;
        EXPECT_EQ(test::ReadBytes(dir / ("out/" + n + ".webp")), test::ReadBytes(dir / ("one/" + n + ".webp"))) << n;
        EXPECT_EQ(test::ReadBytes(dir / ("out/" + n + ".jpg")), test::ReadBytes(dir / ("two/" + n + ".jpg"))) << n;
    }
}

TEST_F(CliRecipe, ClashesAreFoundBeforeTheRunAndShownByTheDryRun) {
    const std::string clashing = "--output format=png,width=40 --output format=png,width=20";
    const auto refused = Cli(clashing);
    EXPECT_EQ(refused.exitStatus, 2) << refused.output;
    EXPECT_TRUE(Has(refused.output, "outputs png-40 and png-20 would both be written to")) << refused.output;
    EXPECT_FALSE(fs::exists(dir / "out/a.png")) << "nothing is written";

    const auto planned = Cli("--dry-run " + clashing);
    EXPECT_EQ(planned.exitStatus, 1);
    EXPECT_TRUE(Has(planned.output, "write\t" + (dir / "src/a.png") + "\tpng-40\t")) << planned.output;
    EXPECT_TRUE(Has(planned.output, "clash\t" + (dir / "src/a.png") + "\tpng-20\t")) << planned.output;

    // The output's name in the mask, or subfolders, keep them apart.
    EXPECT_EQ(Cli(clashing + " --rename '[N]-[O][E]' --set Lower_case_extension=1").exitStatus, 0);
    EXPECT_TRUE(fs::exists(dir / "out/a-png-40.png"));
    EXPECT_EQ(Cli("--output format=png,width=40,subfolder=w40 --output format=png,width=20,subfolder=w20", "sub").exitStatus, 0);
    EXPECT_TRUE(fs::exists(dir / "sub/w40/a.png"));
    EXPECT_TRUE(fs::exists(dir / "sub/w20/b.png"));
}

TEST_F(CliRecipe, BadOutputsAndRecipesAreRefusedWithTheirPlace) {
    std::ofstream(dir / "bad.ini") << "[web]\nOutput_format=6\nQualty=80\n";
    struct Case {
        std::string flags;
        std::string said;
    };
    const Case cases[] = {
        {"--output format=tiff", "unknown format"},
        {"--output width=wide", "width needs a number"},
        {"--output Threads=2", "whole run"},
        {"--output JPG_quality=101", "outside 1 to 100"},
        {"--output format=bmp,quality=80", "no quality setting"},
        {"--output subfolder=../x", "below the output folder"},
        {"--output nonsense=1", "unknown option --nonsense"},
        {"--output name=a,format=png --output name=a,format=jpeg", "a second output named a"},
        {"--recipe " + ShellQuote(dir / "bad.ini"), "bad.ini, line 3, [web], key Qualty"},
        {"--recipe no-such-recipe", "no recipe \"no-such-recipe\""},
    };
    for (const Case& c : cases) {
        const auto r = Cli(c.flags);
        EXPECT_EQ(r.exitStatus, 2) << c.flags << "\n" << r.output;
        EXPECT_TRUE(Has(r.output, c.said)) << c.flags << "\n" << r.output;
    }
}

TEST_F(CliRecipe, JsonAndSkipExistingGoPerOutput) {
    const std::string recipe = dir / "two.ini";
    std::ofstream(recipe) << "; hand-written\n[big]\nOutput_format=1\n\n[thumb]\nOutput_format=0\nSelected_mode=1\n"
                             "Resize_width=16\nResize_height=16\nSubfolder=thumbs\n";
    const auto first = Cli("--json --recipe " + ShellQuote(recipe));
    ASSERT_EQ(first.exitStatus, 0) << first.output;
    EXPECT_TRUE(Has(first.output, "\"name\":\"thumb\"")) << first.output;
    EXPECT_TRUE(Has(first.output, "\"name\":\"big\""));
    EXPECT_TRUE(Has(first.output, "\"converted\":4"));
    ASSERT_TRUE(fs::exists(dir / "out/thumbs/a.jpg"));

    fs::remove(dir / "out/thumbs/a.jpg");
    const auto resumed = Cli("--json --skip-existing --recipe " + ShellQuote(recipe));
    EXPECT_EQ(resumed.exitStatus, 0) << resumed.output;
    EXPECT_TRUE(Has(resumed.output, "\"converted\":1,\"failed\":0,\"skipped\":3")) << resumed.output;
    EXPECT_TRUE(fs::exists(dir / "out/thumbs/a.jpg"));
}

TEST_F(CliRecipe, ManifestMapsSourcesToOutputsWithSrcset) {
    const auto r = Cli("--rename '[N]-[O][E]' --set Lower_case_extension=1 --manifest " + ShellQuote(dir / "site.json") +
                       " --output format=webp,width=24,name=w24 --output format=webp,width=48,name=w48"
                       " --output format=webp,width=200,name=w200 --output format=png,name=full");
    ASSERT_EQ(r.exitStatus, 0) << r.output;
    std::ifstream in(dir / "site.json");
    const std::string doc((std::istreambuf_iterator<char>(in)), {});
    // Every output with its size; a width the picture does not reach keeps the picture's own.
    EXPECT_TRUE(Has(doc, "\"name\":\"w48\",\"path\":\"" + (dir / "out/a-w48.webp") +
                             "\",\"url\":\"a-w48.webp\",\"format\":\"webp\",\"width\":48,\"height\":32,\"bytes\":"))
        << doc;
    EXPECT_TRUE(Has(doc, "\"name\":\"full\"")) << doc;
    // One srcset per type, each width once, narrowest first.
    EXPECT_TRUE(Has(doc, "\"image/webp\": \"a-w24.webp 24w, a-w48.webp 48w, a-w200.webp 96w\"")) << doc;
    EXPECT_TRUE(Has(doc, "\"image/webp\": \"b-w24.webp 24w, b-w48.webp 30w\"")) << doc;
    EXPECT_FALSE(Has(doc, "image/png")) << "one width is no srcset";
    EXPECT_LT(doc.find("/src/a.png"), doc.find("/src/b.png")) << "sources in the order of the list";
}

}  // namespace
}  // namespace zelvan
