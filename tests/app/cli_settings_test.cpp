#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "engine/settings_file.h"
#include "support/fixtures.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using test::RunCommand;
using test::ShellQuote;

std::string Cli() { return test::CliCommand(); }

test::Rgba Gradient(int x, int y) { return {static_cast<std::uint8_t>(x * 8), static_cast<std::uint8_t>(y * 8), 90}; }

// A Settings.ini as the main window writes it drives a command-line run: its options and its
// language.
TEST(CommandLineSettings, TheWindowsSettingsFileDrivesARun) {
    test::TempDir dir;
    test::WriteBytes(dir / "good.bmp", test::MakeBmp24(30, 20, Gradient));
    AppSettings s;
    s.options = DefaultConversionOptions();
    s.options.outputFormat = 1;
    s.options.pngInterlace = true;
    s.options.overwrite = true;
    s.options.renameEnabled = false;
    s.options.outputFolder = dir / "out";
    s.language = "Russian";
    IniFile ini;
    WriteSettings(ini, s, {1920, 1080}, ShortDateFormat::System());
    ini.Save(dir / "Settings.ini");

    const std::string command = Cli() + " --settings " + ShellQuote(dir / "Settings.ini") + " " + ShellQuote(dir / "good.bmp");
    for (int run = 0; run < 2; ++run) {  // the second run needs the file's Overwrite
        test::CommandResult r = RunCommand(command);
        EXPECT_EQ(r.exitStatus, 0) << r.output;
        EXPECT_EQ(r.output, "-----------------------\nОбработано файлов: 1, failed: 0, skipped: 0\n");
    }
    std::vector<std::uint8_t> png = test::ReadBytes(dir / "out/good.PNG");
    ASSERT_GT(png.size(), 28u);
    EXPECT_EQ(png[28], 1) << "IHDR interlace method: Adam7, as the file asks";
}

TEST(CommandLineSettings, BadSettingsFilesAreUsageErrorsNamingTheProblem) {
    test::TempDir dir;
    test::WriteBytes(dir / "a.bmp", test::MakeBmp24(4, 4, Gradient));
    struct Case {
        const char* settings;
        const char* message;
    };
    for (Case c : {Case{"[Settings]\nJPG_qualty=80\n", "unknown setting \"JPG_qualty\""},
                   Case{"[Settings]\nResize_percent=500\n", "Resize_percent: 500 is outside 1 to 200"},
                   Case{"[Settings]\nLanguage=Klingon\n", "\"Klingon\" is not a language"}}) {
        std::ofstream(dir / "bad.ini") << c.settings;
        test::CommandResult r = RunCommand(Cli() + " --settings " + ShellQuote(dir / "bad.ini") + " -o " +
                                           ShellQuote(dir / "out") + " " + ShellQuote(dir / "a.bmp") + " 2>&1");
        EXPECT_EQ(r.exitStatus, 2) << c.settings;
        EXPECT_NE(r.output.find(dir / "bad.ini"), std::string::npos) << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
        EXPECT_FALSE(std::filesystem::exists(dir / "out")) << "nothing is converted";
    }
}

}  // namespace
}  // namespace zelvan
