// Jobs with animated sources: every frame resized, coloured and stamped alike and written with
// its timing by the formats that hold animations; the others get the first frame and say so.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "imaging/readers/readers.h"
#include "imaging/writers/writers.h"
#include "support/job_fixture.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

// Three 40x30 frames, each a different flat colour with a white square that moves.
std::vector<Raster> SourceFrames() {
    std::vector<Raster> frames;
    const std::uint8_t tints[3][3] = {{200, 30, 30}, {30, 200, 30}, {30, 30, 200}};
    for (int f = 0; f < 3; ++f) {
        Raster r(40, 30, 24);
        for (int y = 0; y < 30; ++y)
            for (int x = 0; x < 40; ++x) {
                std::uint8_t* p = r.row(y) + 3 * x;
                const bool square = x >= 10 * f && x < 10 * f + 10 && y < 10;
                p[0] = square ? 255 : tints[f][2];
                p[1] = square ? 255 : tints[f][1];
                p[2] = square ? 255 : tints[f][0];
            }
        frames.push_back(std::move(r));
    }
    return frames;
}

class AnimationJob : public test::SingleJobTest {
protected:
    void SetUp() override {
        const std::vector<Raster> frames = SourceFrames();
        const std::vector<FrameToWrite> toWrite = {{&frames[0], nullptr, 100}, {&frames[1], nullptr, 500}, {&frames[2], nullptr, 200}};
        test::WriteBytes(src("spin.gif"), EncodeGifAnimation(toWrite, 2));
        test::WriteBytes(src("spin.webp"), EncodeWebpAnimation(toWrite, 2, {.quality = 90, .lossless = true, .effort = 4}));
    }

    static std::vector<const Raster*> Frames(const DecodedPicture& picture) {
        std::vector<const Raster*> out{&picture.raster};
        if (picture.animation)
            for (const AnimationFrame& f : picture.animation->furtherFrames) out.push_back(&f.raster);
        return out;
    }
};

// Every pair of source and animated output keeps the frames, their timing and loop count; the
// half-size resize halves every frame, whose flat colour stays that frame's.
TEST_F(AnimationJob, AnimatedOutputsKeepEveryFrameResized) {
    options->resizeMode = 2;
    options->resizePercent = 50;
    struct Case {
        const char* source;
        const char* format;
        DecodedPicture (*read)(std::span<const std::uint8_t>);
    };
    for (const Case& c : {Case{"spin.gif", "WEBP", ReadWebp}, Case{"spin.gif", "GIF", ReadGif},
                          Case{"spin.webp", "GIF", ReadGif}, Case{"spin.webp", "WEBP", ReadWebp}}) {
        SCOPED_TRACE(std::string(c.source) + " to " + c.format);
        const std::string output = Run(src(c.source), c.format, out() + c.source + "." + c.format);
        ASSERT_EQ(errors.Count(), 0u) << errors.Lines().front();
        EXPECT_EQ(lastResult.note, "");
        const DecodedPicture back = c.read(test::ReadBytes(output));
        ASSERT_TRUE(back.animation);
        EXPECT_EQ(back.animation->loopCount, 2);
        EXPECT_EQ(back.animation->firstDurationMs, 100);
        const std::vector<const Raster*> frames = Frames(back);
        ASSERT_EQ(frames.size(), 3u);
        EXPECT_EQ(back.animation->furtherFrames[0].durationMs, 500);
        EXPECT_EQ(back.animation->furtherFrames[1].durationMs, 200);
        const Rgb tints[3] = {{200, 30, 30}, {30, 200, 30}, {30, 30, 200}};
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(frames[i]->width(), 20);
            EXPECT_EQ(frames[i]->height(), 15);
            const Rgb corner = frames[i]->PixelColour(19, 14);
            EXPECT_NEAR(corner.red, tints[i].red, 3) << "frame " << i;
            EXPECT_NEAR(corner.green, tints[i].green, 3) << "frame " << i;
            EXPECT_NEAR(corner.blue, tints[i].blue, 3) << "frame " << i;
        }
    }
}

// Formats of one picture get the first frame; the line and the result say how many there were,
// and the run still counts the output as converted.
TEST_F(AnimationJob, StillOutputsGetTheFirstFrameAndSaySo) {
    for (const char* format : {"JPG", "BMP", "TGA", "JP2"}) {
        SCOPED_TRACE(format);
        errors.Clear();
        const std::string output = Run(src("spin.gif"), format, out() + "spin." + format);
        EXPECT_EQ(lastResult.status, JobResult::Status::Converted);
        EXPECT_EQ(lastResult.note, "first frame of 3");
        ASSERT_EQ(errors.Count(), 1u);
        EXPECT_EQ(errors.Lines().front(), output + ": first frame of 3");
        EXPECT_TRUE(std::filesystem::exists(output));
    }
    EXPECT_EQ(run.failed.load(), 0);
    // The automatic choice of JPEG or PNG writes one picture as well.
    errors.Clear();
    options->autoFormat = true;
    Run(src("spin.webp"), "JPG", out() + "auto");
    EXPECT_EQ(lastResult.note, "first frame of 3");
}

// The text stamp is drawn on every frame: each frame's top left corner changes.
TEST_F(AnimationJob, TheStampIsOnEveryFrame) {
    options->webpLossless = true;  // frames come back exactly: only the stamp can tell them apart
    const std::string plain = Run(src("spin.webp"), "WEBP", out() + "plain.webp");
    options->textStampEnabled = true;
    options->textStampMask = "MMMMMMMM";
    const std::string stamped = Run(src("spin.webp"), "WEBP", out() + "stamped.webp");
    ASSERT_EQ(errors.Count(), 0u) << errors.Lines().front();
    const DecodedPicture a = ReadWebp(test::ReadBytes(plain));
    const DecodedPicture b = ReadWebp(test::ReadBytes(stamped));
    const std::vector<const Raster*> fa = Frames(a), fb = Frames(b);
    ASSERT_EQ(fa.size(), 3u);
    ASSERT_EQ(fb.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        int differing = 0;
        for (int y = 0; y < fa[i]->height(); ++y)
            for (int x = 0; x < fa[i]->width(); ++x) differing += fa[i]->PixelColour(x, y) != fb[i]->PixelColour(x, y);
        EXPECT_GT(differing, 20) << "frame " << i;
    }
}

}  // namespace
}  // namespace zelvan
