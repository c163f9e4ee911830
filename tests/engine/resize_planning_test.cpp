#include "engine/resize_planning.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/conversion_job.h"
#include "engine/output_formats.h"
#include "jobs/error_list.h"
#include "support/fixtures.h"
#include "support/job_fixture.h"
#include "support/test_support.h"

namespace zelvan {

void PrintTo(const ImageSize& s, std::ostream* os) { *os << s.width << "x" << s.height; }

namespace {

// ---------------------------------------------------------------------------------------------
// Planning arithmetic

struct FitCase {
    ImageSize image, box;
    bool enlarge;
    ImageSize expected;
};

TEST(ResizePlanningFit, Table) {
    const FitCase cases[] = {
        {{4000, 3000}, {800, 600}, false, {800, 600}},
        {{3000, 4000}, {800, 600}, false, {450, 600}},   // r = 0.75: 450 wide
        {{640, 480}, {800, 600}, false, {640, 480}},     // fits already: kept
        {{640, 480}, {800, 600}, true, {800, 600}},      // enlarged until it touches the box
        {{1000, 1000}, {800, 600}, false, {600, 600}},   // a square takes the portrait branch
        {{2000, 1800}, {800, 600}, false, {667, 600}},   // landscape too tall at full width
        {{900, 1000}, {300, 600}, false, {300, 333}},    // portrait too wide at full height
        {{400, 200}, {5, 5}, false, {5, 2}},             // 2.5 rounds to even
        {{400, 200}, {7, 7}, false, {7, 4}},             // 3.5 rounds to even
        {{10000, 1}, {800, 600}, false, {800, 1}},       // the short side keeps one pixel
        {{1, 30000}, {800, 600}, false, {1, 600}},
    };
    for (const FitCase& c : cases)
        EXPECT_EQ(FitIntoBox(c.image, c.box, c.enlarge), c.expected)
            << c.image.width << "x" << c.image.height << " into " << c.box.width << "x" << c.box.height;
}

struct CropCase {
    const char* what;
    ImageSize image, box;
    bool enlarge;
    std::optional<PixelRect> expected;
};

TEST(ResizePlanningSmartCrop, Table) {
    const CropCase cases[] = {
        {"landscape too short: full height, 666.5 rounds to 666", {4000, 2000}, {800, 600}, true,
         PixelRect{666, 0, 2667, 2000}},
        {"the plain variant crops it too", {4000, 2000}, {800, 600}, false, PixelRect{666, 0, 2667, 2000}},
        {"already the box's proportions", {3000, 4000}, {600, 800}, true, PixelRect{0, 0, 3000, 4000}},
        {"portrait whose full-width crop would be taller", {600, 800}, {300, 600}, true, std::nullopt},
        {"plain variant, not larger both ways", {700, 500}, {800, 600}, false, std::nullopt},
        {"enlarge variant crops the small image; 16.5 rounds to 16", {700, 500}, {800, 600}, true,
         PixelRect{16, 0, 667, 500}},
        {"square image to a landscape box", {1000, 1000}, {800, 600}, false, PixelRect{0, 125, 1000, 750}},
        {"the box's own size", {800, 600}, {800, 600}, true, std::nullopt},
        {"3x2 to 4:3 rounds to 1.5, not 1.3", {3, 2}, {4, 3}, true, std::nullopt},
        {"a crop without pixels", {100, 10}, {1, 99999}, true, std::nullopt},
    };
    for (const CropCase& c : cases) {
        std::optional<PixelRect> crop = PlanSmartCrop(c.image, c.box, c.enlarge);
        ASSERT_EQ(crop.has_value(), c.expected.has_value()) << c.what;
        if (!crop) continue;
        EXPECT_EQ(crop->x, c.expected->x) << c.what;
        EXPECT_EQ(crop->y, c.expected->y) << c.what;
        EXPECT_EQ(crop->width, c.expected->width) << c.what;
        EXPECT_EQ(crop->height, c.expected->height) << c.what;
    }
}

TEST(ResizePlanningPercentage, Table) {
    EXPECT_EQ(PercentageSize({333, 9}, 50), (ImageSize{166, 4}));
    EXPECT_EQ(PercentageSize({300, 300}, 1), (ImageSize{4, 4}));
    EXPECT_EQ(PercentageSize({53, 59}, 100), (ImageSize{53, 59}));
    EXPECT_EQ(PercentageSize({10, 11}, 45), (ImageSize{4, 4}));  // 4.5 and 4.95 truncate to 4
    EXPECT_EQ(PercentageSize({3, 2}, 200), (ImageSize{6, 4}));
    EXPECT_EQ(PercentageSize({1 << 28, 1}, 200), (ImageSize{1 << 29, 4}));
}

// ---------------------------------------------------------------------------------------------
// The resize step on working images

// A 24-bit image whose red channel is also its opacity, with the mask the loader would build.
WorkingImageSet ImageWithMask(int width, int height) {
    WorkingImageSet set;
    set.image = Raster(width, height, 32);
    set.alphaMask = Raster(width, height, 24);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const auto red = static_cast<std::uint8_t>((x * 37 + y * 11) % 256);
            std::uint8_t* p = set.image.row(y) + 4 * x;
            p[0] = static_cast<std::uint8_t>(x);
            p[1] = static_cast<std::uint8_t>(y);
            p[2] = red;
            p[3] = red;
            set.alphaMask->row(y)[3 * x + 2] = red;
        }
    return set;
}

ConversionOptions Options(int mode) {
    ConversionOptions o;
    o.resizeMode = mode;
    return o;
}

void ExpectMaskFollowsImage(const WorkingImageSet& set) {
    ASSERT_TRUE(set.alphaMask);
    ASSERT_EQ(set.alphaMask->width(), set.image.width());
    ASSERT_EQ(set.alphaMask->height(), set.image.height());
    for (int y = 0; y < set.image.height(); ++y)
        for (int x = 0; x < set.image.width(); ++x)
            ASSERT_EQ(set.alphaMask->row(y)[3 * x + 2], set.image.row(y)[3 * x + 2]) << x << "," << y;
}

TEST(ResizePlanningStep, EveryModeResizesImageAndMaskAlike) {
    struct Case {
        const char* what;
        ConversionOptions options;
        ImageSize expected;
    };
    std::vector<Case> cases;
    ConversionOptions o = Options(1);
    o.resizeWidth = 16;
    o.resizeHeight = 20;
    o.keepProportions = false;
    cases.push_back({"stretched", o, {16, 20}});
    o.keepProportions = true;
    cases.push_back({"fitted", o, {16, 12}});
    o.smartCrop = true;
    cases.push_back({"cropped to 24x30 and fitted", o, {16, 20}});
    o.smartCrop = false;
    o.resizeWidth = 80;
    o.resizeHeight = 90;
    cases.push_back({"fits already: resampled at its own size", o, {40, 30}});
    o.enlargeSmaller = true;
    cases.push_back({"enlarged", o, {80, 60}});
    o = Options(2);
    o.resizePercent = 35;
    cases.push_back({"percentage", o, {14, 10}});
    for (const Case& c : cases) {
        WorkingImageSet set = ImageWithMask(40, 30);
        ResizeWorkingImage(set, c.options);
        EXPECT_EQ((ImageSize{set.image.width(), set.image.height()}), c.expected) << c.what;
        EXPECT_EQ(set.image.bitsPerPixel(), 24) << c.what;
        ExpectMaskFollowsImage(set);
    }
}

TEST(ResizePlanningStep, NoResizeLeavesTheImageAlone) {
    WorkingImageSet set = ImageWithMask(9, 7);
    ResizeWorkingImage(set, Options(0));
    EXPECT_EQ(set.image.bitsPerPixel(), 32);
    EXPECT_EQ(set.image.width(), 9);
}

TEST(ResizePlanningStep, SmartCropKeepsTheCentre) {
    // Columns 0-1 and 6-7 are black, the centre 4x4 is grey 100: the plain crop of 8x4 to a
    // square box takes x 2..5, so no black reaches the result whatever the filter's reach.
    WorkingImageSet set;
    set.image = Raster(8, 4, 24);
    for (int y = 0; y < 4; ++y) std::memset(set.image.row(y) + 6, 100, 12);
    ConversionOptions o = Options(1);
    o.resizeWidth = 3;
    o.resizeHeight = 3;
    o.smartCrop = true;
    o.resamplingFilter = 5;  // Lanczos3
    ResizeWorkingImage(set, o);
    ASSERT_EQ(set.image.width(), 3);
    ASSERT_EQ(set.image.height(), 3);
    for (int y = 0; y < 3; ++y)
        for (int i = 0; i < 9; ++i) EXPECT_EQ(set.image.row(y)[i], 100) << i << "," << y;
}

TEST(ResizePlanningStep, FailuresNameTheirModeAndLeaveBothImages) {
    struct Case {
        ConversionOptions options;
        ResizeFailure::Kind kind;
    };
    ConversionOptions stretched = Options(1);
    stretched.resizeWidth = stretched.resizeHeight = 99999;
    stretched.keepProportions = false;
    ConversionOptions fitted = stretched;
    fitted.keepProportions = true;
    fitted.enlargeSmaller = true;
    for (const Case& c : {Case{stretched, ResizeFailure::Kind::FixedSize}, Case{fitted, ResizeFailure::Kind::Fit}}) {
        WorkingImageSet set = ImageWithMask(12, 10);
        try {
            ResizeWorkingImage(set, c.options);
            ADD_FAILURE() << "no failure";
        } catch (const ResizeFailure& failure) {
            EXPECT_EQ(failure.kind(), c.kind);
            EXPECT_NE(std::string(failure.what()).find("99999x"), std::string::npos) << failure.what();
        }
        EXPECT_EQ(set.image.width(), 12);
        EXPECT_EQ(set.image.bitsPerPixel(), 32);
        EXPECT_EQ(set.alphaMask->width(), 12);
    }
}

// ---------------------------------------------------------------------------------------------
// Through a whole job

// A 1-bit bitmap file of width x height, all black: large pictures in small files.
std::vector<std::uint8_t> MonochromeBmp(int width, int height) {
    const std::uint32_t stride = (static_cast<std::uint32_t>(width) + 31) / 32 * 4;
    const std::uint32_t offset = 14 + 40 + 8;
    std::vector<std::uint8_t> bytes(offset + stride * static_cast<std::uint32_t>(height), 0);
    auto put = [&](std::size_t at, std::uint32_t v, int n) {
        for (int i = 0; i < n; ++i) bytes[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    bytes[0] = 'B';
    bytes[1] = 'M';
    put(2, static_cast<std::uint32_t>(bytes.size()), 4);
    put(10, offset, 4);
    put(14, 40, 4);
    put(18, static_cast<std::uint32_t>(width), 4);
    put(22, static_cast<std::uint32_t>(height), 4);
    put(26, 1, 2);
    put(28, 1, 2);
    put(58, 0xFFFFFF, 4);  // palette: black, white
    return bytes;
}

struct BmpHeader {
    int width = 0, height = 0, bits = 0;
    friend bool operator==(const BmpHeader&, const BmpHeader&) = default;
};
BmpHeader ReadBmpHeader(const std::string& path) {
    const std::vector<std::uint8_t> b = test::ReadBytes(path);
    if (b.size() < 30) return {};
    auto at = [&](std::size_t i, int n) {
        std::uint32_t v = 0;
        for (int k = n - 1; k >= 0; --k) v = v << 8 | b[i + static_cast<std::size_t>(k)];
        return static_cast<int>(v);
    };
    return {at(18, 4), at(22, 4), at(28, 2)};
}

using ResizePlanningJob = test::SingleJobTest;

TEST_F(ResizePlanningJob, FitsAnImageWithAlpha) {
    const std::string source = dir / "photo.png";
    test::WritePngFile(source, 300, 400, test::PngKind::Rgba, [](int x, int y) {
        return test::Rgba{static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y), 7,
                          static_cast<std::uint8_t>(x + y)};
    });
    options->resizeMode = 1;
    options->resizeWidth = 80;
    options->resizeHeight = 60;
    const std::string out = Run(source, "PNG");
    EXPECT_TRUE(errors.Lines().empty());
    test::PngImage png = test::ReadPngFile(out);
    EXPECT_EQ(png.width, 45);
    EXPECT_EQ(png.height, 60);
    EXPECT_EQ(png.colourType, 6);
}

TEST_F(ResizePlanningJob, StretchFailureIsReportedAndTheJobGoesOn) {
    const std::string source = dir / "small.bmp";
    test::WriteBytes(source, MonochromeBmp(20, 10));
    options->resizeMode = 1;
    options->keepProportions = false;
    options->resizeWidth = options->resizeHeight = 99999;
    const std::string out = Run(source, "BMP");
    const std::vector<std::string> lines = errors.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("RE1:" + out + ": ", 0), 0u) << lines[0];
    // Written at its own size and depth.
    EXPECT_EQ(ReadBmpHeader(out), (BmpHeader{20, 10, 1}));
}

TEST_F(ResizePlanningJob, FailedFitEndsTheJobWithALine) {
    const std::string source = dir / "small.bmp";
    test::WriteBytes(source, MonochromeBmp(20, 10));
    options->resizeMode = 1;
    options->enlargeSmaller = true;
    options->resizeWidth = options->resizeHeight = 99999;
    const std::string out = Run(source, "BMP");
    const std::vector<std::string> lines = errors.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("RE1:" + out + ": ", 0), 0u) << lines[0];
    EXPECT_FALSE(std::filesystem::exists(out));
    EXPECT_EQ(run.processed.load(), 1);
}

TEST_F(ResizePlanningJob, PercentageFailureNamesTheSource) {
    // 11600 x 11600 is within the limit; twice that each way is not.
    const std::string source = dir / "big.bmp";
    test::WriteBytes(source, MonochromeBmp(11600, 11600));
    options->resizeMode = 2;
    options->resizePercent = 200;
    const std::string out = Run(source, "BMP");
    const std::vector<std::string> lines = errors.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("RE2:" + source + ": ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("23200x23200"), std::string::npos) << lines[0];
    EXPECT_EQ(ReadBmpHeader(out), (BmpHeader{11600, 11600, 1}));
}

}  // namespace
}  // namespace zelvan
