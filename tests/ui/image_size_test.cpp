#include "ui/image_size.h"

#include <gtest/gtest.h>

#include <fstream>

#include "imaging/raster.h"
#include "imaging/writers/writers.h"
#include "support/fixtures.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using test::TempDir;

void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) { test::WriteBytes(path, bytes); }

TEST(ImageSizeText, ReadsTheSizeOrSaysWhyNot) {
    TempDir dir;
    const auto grey = [](int, int) { return test::Rgba{128, 128, 128}; };
    test::WritePngFile(dir / "wide.png", 17, 5, test::PngKind::Rgb, grey);
    test::WritePngFile(dir / "odd-\xFF\xFE.png", 3, 9, test::PngKind::Rgba, grey);  // not valid UTF-8
    WriteFile(dir / "picture.bmp", test::MakeBmp24(6, 4, grey));
    // Targa has no Qt reader here: the program's own reader gives the size.
    WriteFile(dir / "picture.tga", EncodeTga(Raster(11, 12, 24), nullptr));
    WriteFile(dir / "broken.png", std::vector<std::uint8_t>(300, 0x42));
    WriteFile(dir / "broken.tga", std::vector<std::uint8_t>(5, 0x01));
    WriteFile(dir / "empty.jpg", {});
    WriteFile(dir / "camera.nef", std::vector<std::uint8_t>(4000, 0x42));
    WriteFile(dir / "metafile.wmf", std::vector<std::uint8_t>(400, 0x42));

    const std::pair<const char*, const char*> cases[] = {
        {"wide.png", "17x5"},     {"odd-\xFF\xFE.png", "3x9"}, {"picture.bmp", "6x4"},
        {"picture.tga", "11x12"}, {"broken.png", "Error"},     {"broken.tga", "Error"},
        {"empty.jpg", "Error"},   {"camera.nef", "0x0"},       {"metafile.wmf", "Error"},
        {"missing.png", "0x0"},
    };
    for (auto [name, expected] : cases) EXPECT_EQ(ImageSizeText(dir / name), expected) << name;
}

TEST(ParseSizeText, ReadsWidthAndHeight) {
    const std::pair<const char*, std::pair<int, int>> cases[] = {
        {"1920x1080", {1920, 1080}}, {" 640 x 480 ", {640, 480}}, {"800x600 (SVGA)", {800, 600}},
        {"1x1 ", {1, 1}},            {"2x1", {2, 1}},            {"0x0", {0, 0}},
        {"Error", {-1, -1}},
        {"10X20", {-1, -1}},         {"x100", {-1, -1}},         {"12x", {-1, -1}},
        {"axb c", {-1, -1}},         {"", {-1, -1}},
    };
    for (auto [text, expected] : cases) EXPECT_EQ(ParseSizeText(text), expected) << text;
}

}  // namespace
}  // namespace zelvan
