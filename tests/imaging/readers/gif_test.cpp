// The GIF reader on files written with giflib in the test, and on the gif-test-suite of
// gdk-pixbuf, whose reference pixels come with it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gif_lib.h>

#include "base/error.h"
#include "imaging/readers/readers.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

struct Frame {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    bool interlace = false;
    std::vector<Rgb> localColours = {};  // power-of-two count, or none
    Bytes pixels = {};                   // width x height indices, top-down
    int transparentIndex = -1;           // a graphic control extension before the frame
};

int WriteToBytes(GifFileType* gif, const GifByteType* data, int n) {
    auto* out = static_cast<Bytes*>(gif->UserData);
    out->insert(out->end(), data, data + n);
    return n;
}

ColorMapObject* MakeMap(const std::vector<Rgb>& colours) {
    if (colours.empty()) return nullptr;
    std::vector<GifColorType> c;
    for (const Rgb& rgb : colours) c.push_back({rgb.red, rgb.green, rgb.blue});
    return GifMakeMapObject(static_cast<int>(c.size()), c.data());
}

// Interlaced rows are stored by pass: every 8th row from 0, every 8th from 4, every 4th from 2,
// then the odd rows.
int InterlacePass(int y) { return y % 8 == 0 ? 0 : y % 8 == 4 ? 1 : y % 4 == 2 ? 2 : 3; }

// A GIF written by giflib.
Bytes MakeGif(int screenWidth, int screenHeight, int background, const std::vector<Rgb>& global,
              const std::vector<Frame>& frames) {
    Bytes out;
    int error = 0;
    GifFileType* gif = EGifOpen(&out, WriteToBytes, &error);
    EXPECT_NE(gif, nullptr);
    EGifSetGifVersion(gif, true);
    ColorMapObject* globalMap = MakeMap(global);
    EXPECT_EQ(EGifPutScreenDesc(gif, screenWidth, screenHeight, 8, background, globalMap), GIF_OK);
    GifFreeMapObject(globalMap);
    for (const Frame& f : frames) {
        if (f.transparentIndex >= 0) {
            const GifByteType gce[4] = {1, 0, 0, static_cast<GifByteType>(f.transparentIndex)};
            EXPECT_EQ(EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, gce), GIF_OK);
        }
        ColorMapObject* local = MakeMap(f.localColours);
        EXPECT_EQ(EGifPutImageDesc(gif, f.left, f.top, f.width, f.height, f.interlace, local), GIF_OK);
        GifFreeMapObject(local);
        std::vector<int> order(static_cast<std::size_t>(f.height));
        for (int y = 0; y < f.height; ++y) order[y] = y;
        if (f.interlace)
            std::stable_sort(order.begin(), order.end(),
                             [](int a, int b) { return InterlacePass(a) < InterlacePass(b); });
        for (int y : order) {
            Bytes row(f.pixels.begin() + y * f.width, f.pixels.begin() + (y + 1) * f.width);
            EXPECT_EQ(EGifPutLine(gif, row.data(), f.width), GIF_OK);
        }
    }
    EXPECT_EQ(EGifCloseFile(gif, &error), GIF_OK);
    return out;
}

const std::vector<Rgb> kFour = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};

Bytes Pattern(int width, int height, int colours) {
    Bytes p(static_cast<std::size_t>(width) * height);
    for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<std::uint8_t>((i * 7 + i / width) % colours);
    return p;
}

// The raster's palette indices, row by row.
Bytes Indices(const Raster& r) {
    Bytes out;
    for (int y = 0; y < r.height(); ++y) out.insert(out.end(), r.row(y), r.row(y) + r.width());
    return out;
}

std::string ErrorOf(const Bytes& bytes) {
    try {
        ReadGif(bytes);
    } catch (const Error& e) {
        return e.what();
    }
    return {};
}

TEST(GifReader, FirstFrameIsDrawnOnTheScreen) {
    struct Case {
        const char* name;
        int screenWidth, screenHeight;
        Frame frame;
        Bytes expected;  // screen indices; 9 is the background
    };
    const Bytes p = Pattern(5, 11, 4);
    std::vector<Case> cases = {
        {"frame fills the screen", 3, 2, {0, 0, 3, 2, false, {}, {0, 1, 2, 3, 2, 1}}, {0, 1, 2, 3, 2, 1}},
        {"interlaced, every pass", 5, 11, {0, 0, 5, 11, true, {}, p}, p},
        {"inside, background around", 4, 3, {1, 1, 2, 1, false, {}, {3, 2}}, {9, 9, 9, 9, 9, 3, 2, 9, 9, 9, 9, 9}},
        {"larger than and offset past the screen", 4, 3, {2, 1, 5, 4, false, {}, Pattern(5, 4, 4)},
         {9, 9, 9, 9, 9, 9, Pattern(5, 4, 4)[0], Pattern(5, 4, 4)[1], 9, 9, Pattern(5, 4, 4)[5],
          Pattern(5, 4, 4)[6]}},
        {"entirely off the screen", 2, 2, {7, 0, 2, 2, false, {}, {1, 1, 1, 1}}, {9, 9, 9, 9}},
        {"no screen size: the frame's size", 0, 0, {5, 5, 2, 2, false, {}, {3, 2, 1, 0}}, {3, 2, 1, 0}},
    };
    std::vector<Rgb> global = kFour;
    global.resize(16, Rgb{1, 2, 3});  // index 9, the background, is in the table
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DecodedPicture picture = ReadGif(MakeGif(c.screenWidth, c.screenHeight, 9, global, {c.frame}));
        EXPECT_EQ(picture.kind, PictureKind::Gif);
        ASSERT_EQ(picture.raster.bitsPerPixel(), 8);
        EXPECT_EQ(picture.raster.width(), c.screenWidth ? c.screenWidth : c.frame.width);
        EXPECT_EQ(Indices(picture.raster), c.expected);
        ASSERT_EQ(picture.raster.palette().size(), 256u);
        EXPECT_EQ(picture.raster.PixelColour(0, 0), global[c.expected[0]]);
    }
}

TEST(GifReader, PaletteComesFromTheLocalTableElseTheGlobalOne) {
    const Frame plain{0, 0, 2, 1, false, {}, {0, 1}};
    Frame withLocal = plain;
    withLocal.localColours = {{10, 20, 30}, {40, 50, 60}};

    DecodedPicture global = ReadGif(MakeGif(2, 1, 0, kFour, {plain}));
    EXPECT_EQ(global.raster.palette()[3], (PaletteEntry{255, 255, 255, 0}));
    EXPECT_EQ(global.raster.palette()[4], PaletteEntry{});  // padding is black
    EXPECT_EQ(global.raster.palette()[255], PaletteEntry{});

    DecodedPicture local = ReadGif(MakeGif(2, 1, 0, kFour, {withLocal}));
    EXPECT_EQ(local.raster.PixelColour(1, 0), (Rgb{40, 50, 60}));
    EXPECT_EQ(local.raster.palette()[2], PaletteEntry{});
}

// The file's global table shrunk to its first 2^bits entries, the image data left as it is.
Bytes WithGlobalTableOf(Bytes gif, int bits) {
    const int oldEntries = 2 << (gif[10] & 7);
    gif[10] = static_cast<std::uint8_t>((gif[10] & ~7) | (bits - 1));
    gif.erase(gif.begin() + 13 + 3 * (1 << bits), gif.begin() + 13 + 3 * oldEntries);
    return gif;
}

// The file's only colour table removed.
Bytes WithoutColourTable(Bytes gif) {
    const int entries = 2 << (gif[10] & 7);
    gif[10] &= 0x7f;
    gif.erase(gif.begin() + 13, gif.begin() + 13 + 3 * entries);
    return gif;
}

TEST(GifReader, IndexBeyondTheColourTableReadsBlack) {
    std::vector<Rgb> colours(256, Rgb{9, 9, 9});
    const Bytes gif = WithGlobalTableOf(MakeGif(3, 1, 0, colours, {{0, 0, 3, 1, false, {}, {1, 200, 255}}}), 2);
    DecodedPicture picture = ReadGif(gif);
    EXPECT_EQ(Indices(picture.raster), (Bytes{1, 200, 255}));
    EXPECT_EQ(picture.raster.PixelColour(0, 0), (Rgb{9, 9, 9}));
    EXPECT_EQ(picture.raster.PixelColour(1, 0), (Rgb{0, 0, 0}));
    EXPECT_EQ(picture.raster.PixelColour(2, 0), (Rgb{0, 0, 0}));
}

// Without any colour table the indices the LZW code size allows become a grey ramp.
TEST(GifReader, NoColourTableGivesAGreyRamp) {
    const Bytes gif = WithoutColourTable(MakeGif(4, 1, 0, kFour, {{0, 0, 4, 1, false, {}, {0, 1, 2, 3}}}));
    DecodedPicture picture = ReadGif(gif);
    EXPECT_EQ(picture.raster.PixelColour(0, 0), (Rgb{0, 0, 0}));
    EXPECT_EQ(picture.raster.PixelColour(1, 0), (Rgb{85, 85, 85}));
    EXPECT_EQ(picture.raster.PixelColour(2, 0), (Rgb{170, 170, 170}));
    EXPECT_EQ(picture.raster.PixelColour(3, 0), (Rgb{255, 255, 255}));
}

// Only the first image is read: a damaged second frame does not matter, and a transparent
// index stays an ordinary colour.
TEST(GifReader, OnlyTheFirstFrameIsRead) {
    Frame first{0, 0, 2, 2, false, {}, {0, 1, 2, 3}, /*transparentIndex*/ 1};
    Frame second{0, 0, 2, 2, false, {}, {3, 3, 3, 3}};
    const Bytes gif = MakeGif(2, 2, 0, kFour, {first, second});
    DecodedPicture picture = ReadGif(Bytes(gif.begin(), gif.end() - 6));
    EXPECT_EQ(Indices(picture.raster), (Bytes{0, 1, 2, 3}));
    EXPECT_EQ(picture.raster.bitsPerPixel(), 8);
    EXPECT_EQ(picture.raster.PixelColour(1, 0), kFour[1]);
}

TEST(GifReader, DamagedFilesFail) {
    const Bytes good = MakeGif(20, 20, 0, kFour, {{0, 0, 20, 20, false, {}, Pattern(20, 20, 4)}});
    ASSERT_NO_THROW(ReadGif(good));
    Bytes hugeFrame = MakeGif(1, 1, 0, kFour, {{0, 0, 1, 1, false, {}, {0}}});
    // The image descriptor follows the 13-byte header and the 12-byte table.
    ASSERT_EQ(hugeFrame[25], 0x2C);
    for (int i = 30; i < 34; ++i) hugeFrame[i] = 0xFF;  // 65535 x 65535
    struct Case {
        const char* name;
        Bytes bytes;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"truncated in the image data", Bytes(good.begin(), good.begin() + good.size() / 2), "GIF: file is truncated"},
        {"image data without its end", Bytes(good.begin(), good.end() - 2), "GIF: file is truncated"},
        {"truncated in the header", Bytes(good.begin(), good.begin() + 8), "GIF: "},
        {"no image", MakeGif(2, 2, 0, kFour, {}), "GIF: file holds no image"},
        {"not a GIF", Bytes{0x89, 'P', 'N', 'G', 0, 0, 0, 0, 0, 0, 0, 0, 0}, "GIF: "},
        {"empty", Bytes{}, "GIF: "},
        {"frame over the size limit", hugeFrame, "GIF: image of 65535x65535 pixels is larger than the limit"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error = ErrorOf(c.bytes);
        EXPECT_NE(error.find(c.message), std::string::npos) << "error: " << error;
    }
}

std::string GifSuiteDir() {
    return test::CorporaDir() + "/gdk-pixbuf-tests/usr/libexec/installed-tests/gdk-pixbuf/test-images/gif-test-suite";
}

std::map<std::string, std::string> ReadConf(const std::string& path) {
    std::map<std::string, std::string> values;
    std::ifstream in(path);
    std::string line;
    bool inConfig = false, inFrame0 = false;
    while (std::getline(in, line)) {
        if (line == "[config]" || line == "[frame0]") {
            inConfig = line == "[config]";
            inFrame0 = !inConfig;
            continue;
        }
        if (!line.empty() && line[0] == '[') inConfig = inFrame0 = false;
        auto eq = line.find(" = ");
        if (eq == std::string::npos && line.size() > 2 && line.substr(line.size() - 2) == " =")
            eq = line.size() - 2;
        if ((inConfig || inFrame0) && eq != std::string::npos)
            values[(inFrame0 ? "frame0." : "") + line.substr(0, eq)] =
                eq + 3 <= line.size() ? line.substr(eq + 3) : "";
    }
    return values;
}

// The number of images in a GIF file, as giflib reads the whole of it.
int ImageCount(const std::string& path) {
    int error = 0;
    GifFileType* gif = DGifOpenFileName(path.c_str(), &error);
    if (!gif) return -1;
    const int count = DGifSlurp(gif) == GIF_OK ? gif->ImageCount : -1;
    DGifCloseFile(gif, &error);
    return count;
}

// The suite's single-image files match their reference pixels wherever those are opaque (this
// program ignores transparency); files with more images must decode; the files the suite finds
// no picture in fail. The exceptions are deliberate and listed.
TEST(GifReader, GifTestSuiteMatchesItsReferences) {
    // Decoded by the suite's own reader, refused here: each breaks the format.
    const std::set<std::string> refused = {
        "max-codes.gif",          // LZW code size 11; giflib allows at most 8
        "image-zero-width.gif",   // LZW code size 59
        "image-zero-height.gif",  // the local colour table is cut off
        "image-zero-size.gif",    // the local colour table is cut off
        "no-data.gif",            // no image at all
    };
    // Refused by the suite's reader, decoded here.
    const std::set<std::string> decoded = {
        "invalid-colors.gif",  // indices past the colour table read black
        "plain-text.gif",      // the image after the plain text block is shown
    };
    int compared = 0;
    for (const auto& entry : fs::directory_iterator(GifSuiteDir())) {
        if (entry.path().extension() != ".conf") continue;
        auto conf = ReadConf(entry.path().string());
        const std::string input = conf["input"];
        SCOPED_TRACE(input);
        const Bytes bytes = test::ReadBytes(GifSuiteDir() + "/" + input);
        const bool expectPicture = conf["frames"].empty() ? decoded.count(input) > 0 : refused.count(input) == 0;
        if (!expectPicture) {
            EXPECT_EQ(ErrorOf(bytes).rfind("GIF: ", 0), 0u);
            continue;
        }
        DecodedPicture picture = ReadGif(bytes);
        // The suite's first frame can combine several images shown together.
        if (conf["frames"].empty() || ImageCount(GifSuiteDir() + "/" + input) != 1) continue;
        const Bytes reference = test::ReadBytes(GifSuiteDir() + "/" + conf["frame0.pixels"]);
        const int width = std::stoi(conf["width"]);
        const int height = std::stoi(conf["height"]);
        ASSERT_EQ(picture.raster.width(), width);
        ASSERT_EQ(picture.raster.height(), height);
        ASSERT_EQ(reference.size(), static_cast<std::size_t>(width) * height * 4);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const std::uint8_t* p = reference.data() + (static_cast<std::size_t>(y) * width + x) * 4;
                if (p[3] != 255) continue;
                EXPECT_EQ(picture.raster.PixelColour(x, y), (Rgb{p[0], p[1], p[2]})) << x << "," << y;
            }
        ++compared;
    }
    EXPECT_GE(compared, 50);
}

// Every other GIF of the corpora decodes or fails with an Error, the damaged ones included.
TEST(GifReader, OtherCorpusFilesDecodeOrFail) {
    int files = 0, failures = 0;
    for (const auto& entry : fs::recursive_directory_iterator(test::CorporaDir())) {
        if (entry.path().extension() != ".gif" || entry.path().string().find("gif-test-suite") != std::string::npos)
            continue;
        ++files;
        const std::string path = entry.path().string();
        SCOPED_TRACE(path);
        const std::string error = ErrorOf(test::ReadBytes(path));
        if (path.find("/fail/") != std::string::npos) {
            EXPECT_FALSE(error.empty());
        } else if (path.find("/randomly-modified/") == std::string::npos) {
            EXPECT_EQ(error, "");
        }
        if (!error.empty()) {
            ++failures;
            EXPECT_EQ(error.rfind("GIF: ", 0), 0u) << error;
        }
    }
    EXPECT_GT(files, 10);
    EXPECT_GE(failures, 9);
}

}  // namespace
}  // namespace zelvan
