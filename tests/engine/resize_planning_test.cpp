#include "engine/resize_planning.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/conversion_job.h"
#include "engine/output_formats.h"
#include "imaging/readers/readers.h"
#include "imaging/writers/writers.h"
#include "jobs/error_list.h"
#include "support/exif_fixtures.h"
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

// The divisor a JPEG is decoded at: the largest of 2, 4 and 8 that leaves the resampled area at
// least twice the target both ways, the picture measured as shown.
TEST(ResizePlanningDecodeReduction, Table) {
    struct Case {
        const char* what;
        StoredSize stored;
        int orientation;
        void (*set)(ConversionOptions&);
        int expected;
    };
    using O = ConversionOptions;
    static constexpr auto box = [](O& o, int w, int h) {
        o.fastJpegDownscale = true;
        o.resizeMode = 1;
        o.resizeWidth = w;
        o.resizeHeight = h;
    };
    static constexpr auto percent = [](O& o, int p) {
        o.fastJpegDownscale = true;
        o.resizeMode = 2;
        o.resizePercent = p;
    };
    const Case cases[] = {
        {"off by default", {8000, 6000}, 1, [](O& o) { o.resizeMode = 1; }, 1},
        {"fit 1440x1080: 2.8 times smaller", {8000, 6000}, 1, [](O& o) { box(o, 1920, 1080); }, 2},
        {"fit 1620x1080: 1.9 times smaller", {6000, 4000}, 1, [](O& o) { box(o, 1920, 1080); }, 1},
        {"fit 800x533: 7.5", {6000, 4000}, 1, [](O& o) { box(o, 400, 300); }, 4},
        {"fit 200x133: 30", {6000, 4000}, 1, [](O& o) { box(o, 200, 150); }, 8},
        {"exactly twice at 1/2", {3200, 2400}, 1, [](O& o) { box(o, 800, 600); }, 2},
        {"a pixel short of twice", {3199, 2400}, 1, [](O& o) { box(o, 800, 600); }, 1},
        {"fits already: resampled at its own size", {600, 400}, 1, [](O& o) { box(o, 1920, 1080); }, 1},
        {"enlarged", {600, 400}, 1, [](O& o) { box(o, 1920, 1080); o.enlargeSmaller = true; }, 1},
        {"no resize", {8000, 6000}, 1, [](O& o) { o.fastJpegDownscale = true; o.resizeMode = 0; }, 1},
        {"25 %", {4000, 3000}, 1, [](O& o) { percent(o, 25); }, 2},
        {"12 %", {4000, 3000}, 1, [](O& o) { percent(o, 12); }, 4},
        {"50 %: only twice", {4000, 3000}, 1, [](O& o) { percent(o, 50); }, 1},
        {"1 % of a small picture: at least 4 pixels", {100, 100}, 1, [](O& o) { percent(o, 1); }, 8},
        {"stretched, each side on its own", {6000, 3000}, 1, [](O& o) { box(o, 1000, 500); o.keepProportions = false; }, 2},
        {"stretched, one side too short", {6000, 3000}, 1, [](O& o) { box(o, 1000, 800); o.keepProportions = false; }, 1},
        {"turned by EXIF: 3000x6000 against 1000x500", {6000, 3000}, 6,
         [](O& o) { box(o, 1000, 500); o.keepProportions = false; }, 1},
        {"transposed the same", {6000, 3000}, 5, [](O& o) { box(o, 1000, 500); o.keepProportions = false; }, 1},
        {"turned 180 degrees: sides kept", {6000, 3000}, 3, [](O& o) { box(o, 1000, 500); o.keepProportions = false; }, 2},
        {"not turned without Auto_rotate", {6000, 3000}, 6,
         [](O& o) { box(o, 1000, 500); o.keepProportions = false; o.autoRotate = false; }, 2},
        {"turned portrait fitted to 675x900", {4000, 3000}, 8, [](O& o) { box(o, 1600, 900); }, 2},
        {"landscape fitted to 1200x900", {4000, 3000}, 1, [](O& o) { box(o, 1600, 900); }, 1},
        {"fit without the crop: 375x250", {6000, 4000}, 1, [](O& o) { box(o, 1000, 250); }, 8},
        {"the smart crop's 6000x1500 to 1000x250", {6000, 4000}, 1, [](O& o) { box(o, 1000, 250); o.smartCrop = true; }, 2},
    };
    for (const Case& c : cases) {
        ConversionOptions o;
        c.set(o);
        EXPECT_EQ(DecodeReductionFor(c.stored, c.orientation, o), c.expected) << c.what;
        const DecodeReductionFn request = DecodeReductionRequest(o);
        ASSERT_EQ(static_cast<bool>(request), o.fastJpegDownscale) << c.what;
        if (request) {
            EXPECT_EQ(request(c.stored, c.orientation), c.expected) << c.what;
        }
    }
    EXPECT_FALSE(DefaultConversionOptions().fastJpegDownscale);
    EXPECT_EQ(LargestDecodeReduction({100, 100}, {0, 5}), 1);
    EXPECT_EQ(LargestDecodeReduction({1 << 30, 1 << 30}, {1, 1}), 8);
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

// A reduced decoding is resized as the full picture would be: sizes from the full size, the smart
// crop's area carried onto the smaller grid, and an output without a resize still gets the full
// size. The EXIF turn swaps the full size with the image.
TEST(ResizePlanningStep, ReducedDecodingsPlanFromTheFullSize) {
    struct Case {
        const char* what;
        ImageSize full;
        int orientation;
        ConversionOptions options;
        ImageSize expected;
    };
    ConversionOptions percent = Options(2);
    percent.resizePercent = 25;
    ConversionOptions fit = Options(1);
    fit.resizeWidth = 100;
    fit.resizeHeight = 100;
    ConversionOptions stretch = fit;
    stretch.keepProportions = false;
    stretch.resizeWidth = 30;
    const Case cases[] = {
        {"25 % of 400x300 decoded at 1/2", {400, 300}, 1, percent, {100, 75}},
        {"25 % of 401x301 decoded at 1/4 (101x76)", {401, 301}, 1, percent, {100, 75}},
        {"fit, turned: 300x400", {400, 300}, 6, fit, {75, 100}},
        {"stretched", {400, 300}, 1, stretch, {30, 100}},
        {"no resize: back to the full size", {400, 300}, 1, Options(0), {400, 300}},
        {"no resize, turned", {400, 300}, 8, Options(0), {300, 400}},
    };
    for (const Case& c : cases) {
        const int divisor = c.full.width == 401 ? 4 : 2;
        WorkingImageSet set;
        set.image = test::TexturedPicture((c.full.width + divisor - 1) / divisor, (c.full.height + divisor - 1) / divisor);
        set.reducedFrom = StoredSize{c.full.width, c.full.height};
        set.orientation = c.orientation;
        OrientWorkingImage(set);
        ResizeWorkingImage(set, c.options);
        EXPECT_EQ((ImageSize{set.image.width(), set.image.height()}), c.expected) << c.what;
        EXPECT_FALSE(set.reducedFrom) << c.what;
    }

    // The crop of a 16x8 picture to a square is x 4..11: on its 8x4 decoding at 1/2, x 2..5,
    // which holds none of the black columns.
    WorkingImageSet set;
    set.image = Raster(8, 4, 24);
    for (int y = 0; y < 4; ++y) std::memset(set.image.row(y) + 6, 100, 12);
    set.reducedFrom = StoredSize{16, 8};
    ConversionOptions crop = Options(1);
    crop.resizeWidth = 3;
    crop.resizeHeight = 3;
    crop.smartCrop = true;
    crop.resamplingFilter = 5;
    ResizeWorkingImage(set, crop);
    ASSERT_EQ((ImageSize{set.image.width(), set.image.height()}), (ImageSize{3, 3}));
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

// A photo-like picture: smooth shapes with detail down to a few pixels, as a camera's JPEG has.
Raster PhotoLikePicture(int width, int height) {
    Raster r(width, height, 24);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const double broad = std::sin(x / 97.0 + y / 151.0) + std::cos(x / 61.0 - y / 83.0);
            const double detail = std::sin(x / 3.1) * std::cos(y / 4.3);
            std::uint8_t* p = r.row(y) + 3 * x;
            for (int c = 0; c < 3; ++c)
                p[c] = static_cast<std::uint8_t>(std::lround(128 + 50 * broad * (c + 1) / 3 + 12 * detail));
        }
    return r;
}

double MeanAbsoluteDifference(const Raster& a, const Raster& b) {
    double sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int i = 0; i < 3 * a.width(); ++i) sum += std::abs(a.row(y)[i] - b.row(y)[i]);
    return sum / (3.0 * a.width() * a.height());
}

// With Fast_jpeg_downscale a JPEG source decoded smaller gives outputs of the very size the exact
// path gives, for every resize mode and a picture turned by its EXIF, with pixels a little off
// (they differ at all: the decoding was reduced).
TEST_F(ResizePlanningJob, FastJpegDownscaleKeepsSizesAndStaysCloseToTheExactOutput) {
    struct Case {
        const char* what;
        int orientation;
        void (*set)(ConversionOptions&);
        ImageSize expected;
    };
    using O = ConversionOptions;
    const Case cases[] = {
        {"fit 300x300 from 1600x1200 at 1/2", 1, [](O& o) { o.resizeMode = 1; o.resizeWidth = o.resizeHeight = 300; }, {300, 225}},
        {"12 % at 1/4", 1, [](O& o) { o.resizeMode = 2; o.resizePercent = 12; }, {192, 144}},
        {"smart crop to 100x100 at 1/4", 1,
         [](O& o) { o.resizeMode = 1; o.resizeWidth = o.resizeHeight = 100; o.smartCrop = true; }, {100, 100}},
        {"stretched to 90x150 at 1/4", 1,
         [](O& o) { o.resizeMode = 1; o.resizeWidth = 90; o.resizeHeight = 150; o.keepProportions = false; }, {90, 150}},
        {"turned by EXIF, fit 200x200 at 1/4", 6, [](O& o) { o.resizeMode = 1; o.resizeWidth = o.resizeHeight = 200; }, {150, 200}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::uint8_t> jpeg = EncodeJpeg(PhotoLikePicture(1600, 1200), 95, false);
        if (c.orientation != 1) jpeg = test::WithExifSegment(jpeg, test::ExifOrientationBlock(c.orientation));
        test::WriteBytes(src("photo.jpg"), jpeg);
        *options = DefaultConversionOptions();
        options->outputFolder = out();
        options->renameEnabled = false;
        options->overwrite = true;
        options->resamplingFilter = 5;  // Lanczos3
        c.set(*options);
        const Raster exact = ReadBmp(test::ReadBytes(Run(src("photo.jpg"), "BMP"))).raster;
        options->fastJpegDownscale = true;
        const Raster fast = ReadBmp(test::ReadBytes(Run(src("photo.jpg"), "BMP"))).raster;
        EXPECT_EQ(errors.Count(), 0u);
        ASSERT_EQ((ImageSize{exact.width(), exact.height()}), c.expected);
        ASSERT_EQ((ImageSize{fast.width(), fast.height()}), c.expected);
        const double difference = MeanAbsoluteDifference(exact, fast);
        EXPECT_GT(difference, 0.0);
        EXPECT_LT(difference, 2.0);
    }
}

}  // namespace
}  // namespace zelvan
