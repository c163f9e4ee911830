// Target size and target visual quality: the bisection itself on made-up encoders, then every
// lossy format through a real job, its result and its line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <filesystem>

#include "engine/output_formats.h"
#include "engine/target_encoding.h"
#include "imaging/readers/readers.h"
#include "imaging/writers/writers.h"
#include "support/fixtures.h"
#include "support/job_fixture.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

// An "encoding" whose size is a function of the quality.
EncodeAtQuality SizedBy(int (*size)(int quality), std::vector<int>& tried) {
    return [size, &tried](int quality) {
        tried.push_back(quality);
        return std::vector<std::uint8_t>(static_cast<std::size_t>(size(quality)));
    };
}

TEST(TargetSearch, SizeFindsTheBestQualityThatFitsWithinSevenEncodings) {
    struct Case {
        const char* name;
        int (*size)(int);
        std::int64_t target;
        int quality;
        bool missed;
    };
    const Case cases[] = {
        {"linear, boundary inside", [](int q) { return 1000 + 37 * q; }, 1000 + 37 * 63, 63, false},
        {"linear, just below a step", [](int q) { return 1000 + 37 * q; }, 1000 + 37 * 63 - 1, 62, false},
        {"everything fits", [](int q) { return 1000 + 37 * q; }, 1000000, 100, false},
        {"nothing fits: the lowest", [](int q) { return 1000 + 37 * q; }, 999, 1, true},
        {"only the lowest fits", [](int q) { return 1000 + 37 * q; }, 1037, 1, false},
        {"steep top (plateaus)", [](int q) { return q < 90 ? 5000 + q / 10 * 100 : 20000 + q * 100; }, 5500, 59, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<int> tried;
        const TargetSearchResult r = SearchTargetSize(SizedBy(c.size, tried), c.target, 1, 100);
        EXPECT_EQ(r.quality, c.quality);
        EXPECT_EQ(r.missed, c.missed);
        EXPECT_EQ(r.bytes.size(), static_cast<std::size_t>(c.size(c.quality)));
        EXPECT_LE(r.encodings, 7);
        EXPECT_EQ(r.encodings, static_cast<int>(tried.size()));
    }
}

TEST(TargetSearch, ScoreFindsTheLowestQualityThatReachesIt) {
    struct Case {
        double target;
        int quality;
        bool missed;
    };
    // The score is the quality's square root times ten: 80 is reached at 64.
    const ScoreOfEncoding score = [](std::span<const std::uint8_t> bytes) {
        return std::sqrt(static_cast<double>(bytes.size())) * 10;
    };
    for (const Case& c : {Case{80, 64, false}, Case{80.01, 65, false}, Case{5, 1, false}, Case{100, 100, false},
                          Case{100.5, 100, true}}) {
        SCOPED_TRACE(c.target);
        std::vector<int> tried;
        const TargetSearchResult r = SearchTargetScore(SizedBy([](int q) { return q; }, tried), score, c.target, 1, 100);
        EXPECT_EQ(r.quality, c.quality);
        EXPECT_EQ(r.missed, c.missed);
        ASSERT_TRUE(r.score);
        EXPECT_DOUBLE_EQ(*r.score, std::sqrt(c.quality) * 10);
        EXPECT_LE(r.encodings, 7);
    }
}

TEST(TargetSearch, AppliesOnlyToLossyQualities) {
    ConversionOptions o;
    o.targetMode = kTargetFileSize;
    EXPECT_TRUE(TargetSearchFor(*FindOutputFormat("JPG"), o));
    EXPECT_TRUE(TargetSearchFor(*FindOutputFormat("AVIF"), o));
    EXPECT_EQ(TargetSearchFor(*FindOutputFormat("JXL"), o)->highest, 99);  // 100 is lossless
    for (const char* ext : {"PNG", "BMP", "GIF", "TGA", "JP2"}) EXPECT_FALSE(TargetSearchFor(*FindOutputFormat(ext), o)) << ext;
    o.webpLossless = o.jxlLossless = true;
    EXPECT_FALSE(TargetSearchFor(*FindOutputFormat("WEBP"), o));
    EXPECT_FALSE(TargetSearchFor(*FindOutputFormat("JXL"), o));
    o.targetMode = kFixedQuality;
    EXPECT_FALSE(TargetSearchFor(*FindOutputFormat("JPG"), o));
}

class TargetJob : public test::SingleJobTest {
protected:
    TargetJob() {
        options->keepExif = false;  // the files are then exactly the encoder's, to compare below
        const Raster photo = test::PhotoCrop(640, 480);
        source = src("photo.png");
        test::WriteBytes(source, EncodePng(photo, nullptr, PngSettings{6, false, false}, {}));
        images = PrepareWorkingImage(ReadPng(test::ReadBytes(source)), kKeepColourProfile);
    }
    // The format's file for the source's pixels at a quality (tenths where the scale has them),
    // as the job would encode it.
    std::vector<std::uint8_t> EncodeAt(const OutputFormat& format, double quality) const {
        ConversionOptions o = *options;
        o.targetMode = kTargetFileSize;  // any target: the search's quality field
        const int tenths = static_cast<int>(std::lround(quality * 10));
        o.*TargetSearchFor(format, o)->field = tenths / 10;
        o.qualityTenths = tenths % 10;
        return format.encode(images, o);
    }
    // One step of the format's search scale.
    double Step(const OutputFormat& format) const {
        ConversionOptions o = *options;
        o.targetMode = kTargetFileSize;
        return 1.0 / TargetSearchFor(format, o)->steps;
    }

    std::string source;
    WorkingImageSet images;
};

constexpr const char* kLossy[] = {"JPG", "WEBP", "AVIF", "JXL"};

TEST_F(TargetJob, EveryLossyFormatWritesTheBestQualityWithinTheSize) {
    options->targetMode = kTargetFileSize;
    for (const char* ext : kLossy) {
        SCOPED_TRACE(ext);
        const OutputFormat& format = *FindOutputFormat(ext);
        // Below what the format's middle quality takes, above its lowest: a target inside the scale.
        options->targetSizeKiB = static_cast<int>(EncodeAt(format, 50).size() * 3 / 4 / 1024);
        const std::int64_t target = std::int64_t{options->targetSizeKiB} * 1024;
        ASSERT_GT(target, static_cast<std::int64_t>(EncodeAt(format, 1).size()));
        const std::string path = Run(source, ext);
        const std::int64_t bytes = static_cast<std::int64_t>(std::filesystem::file_size(path));
        ASSERT_TRUE(lastResult.chosenQuality);
        const double q = *lastResult.chosenQuality;
        EXPECT_LE(bytes, target);
        EXPECT_EQ(lastResult.status, JobResult::Status::Converted);
        EXPECT_TRUE(lastResult.note.empty());
        // The written file is that quality's, and one step up no longer fits.
        EXPECT_EQ(test::ReadBytes(path), EncodeAt(format, q));
        EXPECT_GT(static_cast<std::int64_t>(EncodeAt(format, q + Step(format)).size()), target) << "quality " << q;
    }
    EXPECT_EQ(run.failed.load(), 0);
}

TEST_F(TargetJob, EveryLossyFormatWritesTheSmallestFileThatReachesTheScore) {
    options->targetMode = kTargetVisualQuality;
    options->targetScore = 80;
    for (const char* ext : kLossy) {
        SCOPED_TRACE(ext);
        const OutputFormat& format = *FindOutputFormat(ext);
        const std::string path = Run(source, ext);
        ASSERT_TRUE(lastResult.chosenQuality && lastResult.visualScore);
        const double q = *lastResult.chosenQuality;
        const std::vector<std::uint8_t> written = test::ReadBytes(path);
        EXPECT_NEAR(ScoreOfOutput(format, written, images, *options), *lastResult.visualScore, 1e-9);
        EXPECT_GE(*lastResult.visualScore, 80.0);
        if (q > 1.0) {
            EXPECT_LT(ScoreOfOutput(format, EncodeAt(format, q - Step(format)), images, *options), 80.0)
                << "quality " << q;
        }
    }
}

// The tenths a search steps by lie between the whole qualities around them, and over a few
// whole steps they make files of sizes the whole qualities do not.
TEST_F(TargetJob, TenthsOfAQualityFallBetweenTheWholeOnes) {
    for (const char* ext : {"JPG", "WEBP", "JXL"}) {
        SCOPED_TRACE(ext);
        const OutputFormat& format = *FindOutputFormat(ext);
        std::set<std::size_t> whole, between;
        for (int q = 70; q < 75; ++q) {
            const std::size_t low = EncodeAt(format, q).size(), middle = EncodeAt(format, q + 0.5).size(),
                              high = EncodeAt(format, q + 1).size();
            EXPECT_LE(low, middle) << q;
            EXPECT_LE(middle, high) << q;
            whole.insert(low);
            between.insert(middle);
        }
        EXPECT_FALSE(std::includes(whole.begin(), whole.end(), between.begin(), between.end()));
    }
}

TEST_F(TargetJob, AMissedTargetIsWrittenAndSaysSoWithoutFailing) {
    struct Case {
        int mode;
        const char* ext;
        const char* words;
        double quality;
    };
    for (const Case& c : {Case{kTargetFileSize, "JPG", "larger than the target size of 1 KiB", 1},
                          Case{kTargetVisualQuality, "WEBP", "below the target visual quality of 100", 100}}) {
        SCOPED_TRACE(c.ext);
        options->targetMode = c.mode;
        options->targetSizeKiB = 1;
        options->targetScore = 100;
        errors.Clear();
        const std::string path = Run(source, c.ext);
        EXPECT_TRUE(std::filesystem::exists(path));
        EXPECT_EQ(lastResult.status, JobResult::Status::Converted);
        EXPECT_EQ(lastResult.chosenQuality, c.quality);
        EXPECT_NE(lastResult.note.find(c.words), std::string::npos) << lastResult.note;
        EXPECT_NE(lastResult.note.find(std::to_string(std::filesystem::file_size(path)) + " bytes"), std::string::npos)
            << lastResult.note;
        ASSERT_EQ(errors.Lines().size(), 1u);
        EXPECT_EQ(errors.Lines()[0], path + ": " + lastResult.note);
        std::filesystem::remove(path);
    }
    EXPECT_EQ(run.failed.load(), 0);
}

}  // namespace
}  // namespace zelvan
