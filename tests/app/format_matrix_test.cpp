// Every input format the program reads converts to every output format it writes, checked by
// decoders that are not the program's own.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "support/test_support.h"

namespace zelvan {
namespace {

namespace fs = std::filesystem;
using test::RunCommand;
using test::ShellQuote;

struct Input {
    const char* file;       // name of the source
    const char* imagemagickPrefix;  // how ImageMagick is told to write it
};

const Input kInputs[] = {
    {"in-bmp.bmp", "bmp3:"}, {"in-dib.dib", "bmp3:"}, {"in-png.png", "png:"},    {"in-gif.gif", "gif:"},
    {"in-jpg.jpg", "jpg:"},  {"in-jpe.jpe", "jpg:"},  {"in-tif.tif", "tiff:"},   {"in-tga.tga", "tga:"},
    {"in-ico.ico", "ico:"},  {"in-ppm.ppm", "ppm:"},  {"in-pgm.pgm", "pgm:"},    {"in-pbm.pbm", "pbm:"},
    {"in-pcx.pcx", "pcx:"},  {"in-sgi.sgi", "sgi:"},  {"in-rgba.png", "png32:"}, {"in-rle.rle", "bmp3:"},
};

struct Output {
    int format;
    const char* extension;
    const char* identifyName;  // ImageMagick's name for the format
};

const Output kOutputs[] = {{0, "JPG", "JPEG"}, {1, "PNG", "PNG"}, {2, "BMP", "BMP3"}, {3, "GIF", "GIF"}, {5, "TGA", "TGA"}};

class FormatMatrix : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(test::HaveProgram("convert") && test::HaveProgram("identify")) << "ImageMagick is needed";
        dir_ = new test::TempDir;
        // A 48x32 picture with colour, a gradient and an alpha edge (ICO stays within its size limit).
        const std::string seed = *dir_ / "seed.png";
        ASSERT_EQ(RunCommand("convert -size 48x32 gradient:orange-navy \\( -size 48x32 xc:white -fill black -draw "
                             "'rectangle 0,0 8,31' \\) -alpha off -compose copy_opacity -composite " +
                             ShellQuote(seed))
                      .exitStatus,
                  0);
        fs::create_directories(*dir_ / "in");
        for (const Input& in : kInputs) {
            std::string flatten = std::string(in.imagemagickPrefix) == "png32:" || std::string(in.file) == "in-ico.ico" ||
                                          std::string(in.file) == "in-tga.tga"
                                      ? ""
                                      : " -background white -alpha remove -alpha off";
            ASSERT_EQ(RunCommand("convert " + ShellQuote(seed) + flatten + " " + in.imagemagickPrefix +
                                 ShellQuote(*dir_ / ("in/" + std::string(in.file))))
                          .exitStatus,
                      0)
                << in.file;
        }
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static test::TempDir* dir_;
};

test::TempDir* FormatMatrix::dir_ = nullptr;

TEST_F(FormatMatrix, EveryInputConvertsToEveryOutput) {
    for (const Output& o : kOutputs) {
        const std::string out = *dir_ / ("out-" + std::string(o.extension));
        test::CommandResult run = RunCommand(test::ShellQuote(test::BuildDir() + "/zelvan-cli") +
                                             " --set Rename_enabled=0 --set Output_format=" + std::to_string(o.format) + " -o " +
                                             ShellQuote(out) + " " + ShellQuote(*dir_ / "in"));
        EXPECT_EQ(run.exitStatus, 0) << o.extension << ":\n" << run.output;
        for (const Input& in : kInputs) {
            const std::string result = out + "/" + fs::path(in.file).stem().string() + "." + o.extension;
            test::CommandResult id = RunCommand("identify -format '%w %h %m\\n' " + ShellQuote(result) + " 2>&1");
            std::string firstLine = id.output.substr(0, id.output.find('\n'));
            EXPECT_EQ(firstLine, "48 32 " + std::string(o.identifyName)) << in.file << " -> " << o.extension;
        }
    }
}

TEST_F(FormatMatrix, OutputsPassTheFormatsOwnCheckers) {
    const std::string out = *dir_ / "checked";
    for (int format : {0, 1, 3}) {
        RunCommand(ShellQuote(test::BuildDir() + "/zelvan-cli") + " --set Rename_enabled=0 --set Output_format=" + std::to_string(format) +
                   " -o " + ShellQuote(out) + " " + ShellQuote(*dir_ / "in/in-png.png") + " " +
                   ShellQuote(*dir_ / "in/in-rgba.png"));
    }
    for (const char* name : {"in-png.JPG", "in-rgba.JPG"}) {
        test::CommandResult r = RunCommand("djpeg -pnm " + ShellQuote(out + "/" + name) + " 2>&1 >/dev/null");
        EXPECT_EQ(r.exitStatus, 0) << name << r.output;
        EXPECT_EQ(r.output, "") << "djpeg warns: " << r.output;
    }
    if (test::HaveProgram("pngcheck")) {
        test::CommandResult r = RunCommand("pngcheck " + ShellQuote(out + "/in-png.PNG") + " " + ShellQuote(out + "/in-rgba.PNG"));
        EXPECT_EQ(r.exitStatus, 0) << r.output;
        // The picture's few colours keep their opacity in a palette with tRNS.
        EXPECT_NE(r.output.find("palette+trns"), std::string::npos) << r.output;
    } else {
        ADD_FAILURE() << "pngcheck is needed";
    }
    if (test::HaveProgram("giftext")) {
        test::CommandResult r = RunCommand("giftext " + ShellQuote(out + "/in-png.GIF"));
        EXPECT_EQ(r.exitStatus, 0) << r.output;
        EXPECT_NE(r.output.find("Width = 48, Height = 32"), std::string::npos) << r.output;
        std::vector<std::uint8_t> gif = test::ReadBytes(out + "/in-png.GIF");
        EXPECT_EQ(std::string(gif.begin(), gif.begin() + 6), "GIF87a");
    } else {
        ADD_FAILURE() << "giftext is needed";
    }
}

}  // namespace
}  // namespace zelvan
