// Animated GIF and WebP: the readers compose every frame on the canvas (disposal, transparency,
// local palettes) with its duration and the loop count, refuse hostile animations before decoding,
// and the writers keep frames, timing and loop count as the reference tools read them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gif_lib.h>

#include "base/error.h"
#include "imaging/readers/readers.h"
#include "imaging/writers/writers.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using Bytes = std::vector<std::uint8_t>;

// One image of a GIF file with the graphic control block before it.
struct GifImage {
    int left, top, width, height;
    Bytes indices;          // width x height
    int disposal = 1;       // 1 leave, 2 clear to the background, 3 restore the earlier picture
    int delayCs = 10;       // hundredths of a second
    int transparent = -1;   // the transparent index, -1 for none
    std::vector<Rgb> local = {};
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

// An animated GIF written by giflib; loop < 0 writes no NETSCAPE2.0 block.
Bytes MakeAnimatedGif(int width, int height, const std::vector<Rgb>& global, const std::vector<GifImage>& images,
                      int loop = 0) {
    Bytes out;
    int error = 0;
    GifFileType* gif = EGifOpen(&out, WriteToBytes, &error);
    EGifSetGifVersion(gif, true);
    ColorMapObject* map = MakeMap(global);
    EXPECT_EQ(EGifPutScreenDesc(gif, width, height, 8, 0, map), GIF_OK);
    GifFreeMapObject(map);
    if (loop >= 0) {
        const GifByteType app[] = {'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0'};
        const GifByteType count[] = {1, static_cast<GifByteType>(loop & 0xFF), static_cast<GifByteType>(loop >> 8)};
        EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE);
        EGifPutExtensionBlock(gif, sizeof app, app);
        EGifPutExtensionBlock(gif, sizeof count, count);
        EGifPutExtensionTrailer(gif);
    }
    for (const GifImage& image : images) {
        GraphicsControlBlock control{image.disposal, false, image.delayCs, image.transparent};
        GifByteType gce[4];
        EGifGCBToExtension(&control, gce);
        EXPECT_EQ(EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, gce), GIF_OK);
        ColorMapObject* local = MakeMap(image.local);
        EXPECT_EQ(EGifPutImageDesc(gif, image.left, image.top, image.width, image.height, false, local), GIF_OK);
        GifFreeMapObject(local);
        for (int y = 0; y < image.height; ++y) {
            Bytes row(image.indices.begin() + y * image.width, image.indices.begin() + (y + 1) * image.width);
            EXPECT_EQ(EGifPutLine(gif, row.data(), image.width), GIF_OK);
        }
    }
    EXPECT_EQ(EGifCloseFile(gif, &error), GIF_OK);
    return out;
}

// A 32-bit frame as "RGBA" hex words, row by row, "--------" where fully transparent.
std::vector<std::string> Shown(const Raster& frame) {
    std::vector<std::string> out;
    for (int y = 0; y < frame.height(); ++y) {
        std::string row;
        for (int x = 0; x < frame.width(); ++x) {
            const std::uint8_t* p = frame.row(y) + 4 * x;
            char hex[10];
            if (p[3] == 0) std::snprintf(hex, sizeof hex, "--------");
            else std::snprintf(hex, sizeof hex, "%02x%02x%02x%02x", p[2], p[1], p[0], p[3]);
            row += (x ? " " : "") + std::string(hex);
        }
        out.push_back(row);
    }
    return out;
}

std::vector<const Raster*> FramesOf(const DecodedPicture& picture) {
    std::vector<const Raster*> frames{&picture.raster};
    if (picture.animation)
        for (const AnimationFrame& f : picture.animation->furtherFrames) frames.push_back(&f.raster);
    return frames;
}

std::vector<int> DurationsOf(const DecodedPicture& picture) {
    std::vector<int> out;
    if (!picture.animation) return out;
    out.push_back(picture.animation->firstDurationMs);
    for (const AnimationFrame& f : picture.animation->furtherFrames) out.push_back(f.durationMs);
    return out;
}

std::string ErrorOf(DecodedPicture (*read)(std::span<const std::uint8_t>), const Bytes& bytes) {
    try {
        read(bytes);
    } catch (const Error& e) {
        return e.what();
    }
    return {};
}

const std::vector<Rgb> kColours = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
constexpr const char* R = "ff0000ff";
constexpr const char* G = "00ff00ff";
constexpr const char* B = "0000ffff";
constexpr const char* W = "ffffffff";
constexpr const char* T = "--------";
std::string Row(std::initializer_list<const char*> px) {
    std::string s;
    for (const char* p : px) s += (s.empty() ? "" : " ") + std::string(p);
    return s;
}

// A 2x2 red first frame, then a 1x1 image at (1,1) of green, then a full 2x2 frame whose
// index 3 is transparent: what the second and third frames show depends on the disposals.
TEST(AnimatedGifReader, DisposalAndTransparencyComposeEachFrame) {
    struct Case {
        const char* name;
        int firstDisposal, secondDisposal;
        std::vector<std::string> second, third;
    };
    const std::vector<Case> cases = {
        {"left in place", 1, 1, {Row({R, R}), Row({R, G})}, {Row({B, R}), Row({R, G})}},
        {"first cleared", 2, 1, {Row({T, T}), Row({T, G})}, {Row({B, T}), Row({T, G})}},
        {"second cleared", 1, 2, {Row({R, R}), Row({R, G})}, {Row({B, R}), Row({R, T})}},
        {"second undone", 1, 3, {Row({R, R}), Row({R, G})}, {Row({B, R}), Row({R, R})}},
        {"both undone, the first to nothing", 3, 3, {Row({T, T}), Row({T, G})}, {Row({B, T}), Row({T, T})}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes gif = MakeAnimatedGif(2, 2, kColours,
                                          {{0, 0, 2, 2, {0, 0, 0, 0}, c.firstDisposal, 10},
                                           {1, 1, 1, 1, {1}, c.secondDisposal, 20},
                                           {0, 0, 2, 2, {2, 3, 3, 3}, 1, 30, 3}},
                                          5);
        const DecodedPicture picture = ReadGif(gif);
        ASSERT_TRUE(picture.animation);
        const std::vector<const Raster*> frames = FramesOf(picture);
        ASSERT_EQ(frames.size(), 3u);
        EXPECT_EQ(Shown(*frames[0]), (std::vector<std::string>{Row({R, R}), Row({R, R})}));
        EXPECT_EQ(Shown(*frames[1]), c.second);
        EXPECT_EQ(Shown(*frames[2]), c.third);
        EXPECT_EQ(DurationsOf(picture), (std::vector<int>{100, 200, 300}));
        EXPECT_EQ(picture.animation->loopCount, 6);
        EXPECT_TRUE(picture.HasAlpha());
    }
}

TEST(AnimatedGifReader, LocalPalettesAndLoopCounts) {
    const std::vector<Rgb> local = {{1, 2, 3}, {4, 5, 6}};
    struct Case {
        int loopInFile;  // repeats after the first play; -1: no NETSCAPE2.0 block
        int loopCount;   // times played, 0 for ever
    };
    for (const Case& c : {Case{-1, 1}, Case{0, 0}, Case{3, 4}, Case{65535, 65536}}) {
        SCOPED_TRACE(c.loopInFile);
        const Bytes gif = MakeAnimatedGif(
            1, 1, kColours, {{0, 0, 1, 1, {1}, 1, 0}, {0, 0, 1, 1, {1}, 1, 7, -1, local}}, c.loopInFile);
        const DecodedPicture picture = ReadGif(gif);
        ASSERT_TRUE(picture.animation);
        EXPECT_EQ(picture.animation->loopCount, c.loopCount);
        EXPECT_EQ(Shown(picture.raster), std::vector<std::string>{G});
        EXPECT_EQ(Shown(picture.animation->furtherFrames[0].raster), std::vector<std::string>{"040506ff"});
        EXPECT_EQ(DurationsOf(picture), (std::vector<int>{0, 70}));
    }
}

// Hostile animations fail with a line that names the limit, before any frame is decoded.
TEST(AnimatedGifReader, LimitsRefuseBeforeDecoding) {
    std::vector<GifImage> many(10001, GifImage{0, 0, 1, 1, {0}});
    std::vector<GifImage> slow(140, GifImage{0, 0, 1, 1, {0}, 1, 65535});
    struct Case {
        const char* name;
        Bytes gif;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"two frames of 2^28 pixels", MakeAnimatedGif(16384, 16384, kColours, {many[0], many[1]}),
         "GIF: animation of 2 frames of 16384x16384 pixels is larger than the limit of 268435456 pixels in all"},
        {"more frames than the cap", MakeAnimatedGif(1, 1, kColours, many),
         "GIF: animation of 10001 frames is longer than the limit of 10000 frames"},
        {"longer than a day", MakeAnimatedGif(1, 1, kColours, slow),
         "GIF: animation of 91749 seconds is longer than the limit of 86400 seconds"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ErrorOf(ReadGif, c.gif), c.message);
    }
}

// A frame's image data cut off: the complete frames before it are the animation.
TEST(AnimatedGifReader, ATruncatedLastFrameIsLeftOut) {
    const Bytes gif = MakeAnimatedGif(
        1, 1, kColours, {{0, 0, 1, 1, {0}}, {0, 0, 1, 1, {1}}, {0, 0, 1, 1, {2}}});
    const DecodedPicture picture = ReadGif(Bytes(gif.begin(), gif.end() - 4));
    ASSERT_TRUE(picture.animation);
    EXPECT_EQ(picture.FrameCount(), 2);
}

// Three 6x4 frames of few colours, partly transparent, each different.
std::vector<Raster> TestFrames(bool withAlpha) {
    std::vector<Raster> frames;
    for (int f = 0; f < 3; ++f) {
        Raster r(6, 4, 32);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 6; ++x) {
                std::uint8_t* p = r.row(y) + 4 * x;
                p[0] = static_cast<std::uint8_t>(40 * ((x + f) % 4));
                p[1] = static_cast<std::uint8_t>(60 * ((y + f) % 3));
                p[2] = static_cast<std::uint8_t>(f == 1 ? 200 : 10);
                p[3] = withAlpha && x == f ? 0 : 255;
                if (p[3] == 0) p[0] = p[1] = p[2] = 0;
            }
        frames.push_back(std::move(r));
    }
    return frames;
}

Raster MaskOf(const Raster& frame) {
    Raster mask(frame.width(), frame.height(), 24);
    for (int y = 0; y < frame.height(); ++y)
        for (int x = 0; x < frame.width(); ++x) mask.row(y)[3 * x + 2] = frame.row(y)[4 * x + 3];
    return mask;
}

TEST(AnimationWriters, GifAndLosslessWebpComeBackFrameForFrame) {
    struct Case {
        const char* name;
        bool alpha;
        std::function<Bytes(std::span<const FrameToWrite>, int)> encode;
        DecodedPicture (*read)(std::span<const std::uint8_t>);
    };
    const std::vector<Case> cases = {
        {"GIF", false, [](std::span<const FrameToWrite> f, int loop) { return EncodeGifAnimation(f, loop); }, ReadGif},
        {"WebP", true,
         [](std::span<const FrameToWrite> f, int loop) { return EncodeWebpAnimation(f, loop, {.quality = 80, .lossless = true, .effort = 4}); },
         ReadWebp},
    };
    for (const Case& c : cases) {
        for (int loop : {0, 1, 4}) {
            SCOPED_TRACE(std::string(c.name) + " loop " + std::to_string(loop));
            const std::vector<Raster> frames = TestFrames(c.alpha);
            std::vector<Raster> masks;
            for (const Raster& f : frames) masks.push_back(MaskOf(f));
            std::vector<FrameToWrite> toWrite;
            const int durations[] = {40, 1000, 250};
            for (std::size_t i = 0; i < frames.size(); ++i)
                toWrite.push_back({&frames[i], c.alpha ? &masks[i] : nullptr, durations[i]});
            const DecodedPicture back = c.read(c.encode(toWrite, loop));
            ASSERT_TRUE(back.animation);
            EXPECT_EQ(back.animation->loopCount, loop);
            EXPECT_EQ(DurationsOf(back), (std::vector<int>{40, 1000, 250}));
            const std::vector<const Raster*> got = FramesOf(back);
            ASSERT_EQ(got.size(), frames.size());
            for (std::size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(Shown(*got[i]), Shown(frames[i])) << "frame " << i;
        }
    }
}

// The reference tools see the frames, their timing and the loop count.
TEST(AnimationWriters, ReferenceToolsReadTheTiming) {
    ASSERT_TRUE(test::HaveProgram("webpmux") && test::HaveProgram("identify"));
    test::TempDir dir;
    const std::vector<Raster> frames = TestFrames(true);
    std::vector<Raster> masks;
    for (const Raster& f : frames) masks.push_back(MaskOf(f));
    const std::vector<FrameToWrite> toWrite = {
        {&frames[0], &masks[0], 40}, {&frames[1], &masks[1], 1000}, {&frames[2], &masks[2], 250}};
    test::WriteBytes(dir / "a.webp", EncodeWebpAnimation(toWrite, 3, {.quality = 75, .lossless = false, .effort = 4}));
    const test::CommandResult info = test::RunCommand("webpmux -info " + (dir / "a.webp") + " 2>&1");
    EXPECT_NE(info.output.find("Number of frames: 3"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("Loop Count : 3"), std::string::npos) << info.output;
    for (const char* duration : {"   40 ", " 1000 ", "  250 "})
        EXPECT_NE(info.output.find(duration), std::string::npos) << duration << "\n" << info.output;

    test::WriteBytes(dir / "a.gif", EncodeGifAnimation(toWrite, 3));
    // ImageMagick gives delays in hundredths of a second.
    const test::CommandResult gif = test::RunCommand("identify -format '%T %wx%h\\n' " + (dir / "a.gif") + " 2>&1");
    EXPECT_EQ(gif.output, "4 6x4\n100 6x4\n25 6x4\n");
    const test::CommandResult verbose = test::RunCommand("identify -verbose " + (dir / "a.gif") + " 2>&1");
    EXPECT_NE(verbose.output.find("Iterations: 3"), std::string::npos);
}

TEST(AnimatedWebpReader, LimitsRefuseBeforeDecoding) {
    const std::vector<Raster> frames = TestFrames(false);
    // 4 hours a frame (the format holds at most 4.66): seven make more than a day.
    const int fourHours = 4 * 60 * 60 * 1000;
    std::vector<FrameToWrite> slow;
    for (int i = 0; i < 7; ++i) slow.push_back({&frames[static_cast<std::size_t>(i % 3)], nullptr, fourHours});
    EXPECT_EQ(ErrorOf(ReadWebp, EncodeWebpAnimation(slow, 0, {.quality = 80, .lossless = true, .effort = 0})),
              "WebP: animation of 100800 seconds is longer than the limit of 86400 seconds");

    // Two small frames on a canvas made 16383 x 16383 in the VP8X chunk: each frame is within
    // the canvas, but two such canvases exceed the pixel limit.
    const std::vector<FrameToWrite> two = {{&frames[0], nullptr, 100}, {&frames[1], nullptr, 100}};
    Bytes webp = EncodeWebpAnimation(two, 0, {.quality = 80, .lossless = true, .effort = 0});
    ASSERT_EQ(std::memcmp(webp.data() + 12, "VP8X", 4), 0);
    for (int i : {24, 27}) {  // canvas width - 1 and height - 1, 24 bits each
        webp[static_cast<std::size_t>(i)] = 0xFE;
        webp[static_cast<std::size_t>(i + 1)] = 0x3F;
        webp[static_cast<std::size_t>(i + 2)] = 0;
    }
    EXPECT_EQ(ErrorOf(ReadWebp, webp),
              "WebP: animation of 2 frames of 16383x16383 pixels is larger than the limit of 268435456 pixels in all");
}

}  // namespace
}  // namespace zelvan
