#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "base/error.h"
#include "imaging/raster.h"
#include "imaging/writers/writers.h"
#include "support/fixtures.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Segment {
    std::uint8_t marker;
    Bytes data;
};

// The marker segments from SOI up to and including the first SOS.
std::vector<Segment> HeaderSegments(const Bytes& jpeg) {
    std::vector<Segment> segments;
    EXPECT_TRUE(jpeg.size() > 4 && jpeg[0] == 0xFF && jpeg[1] == 0xD8) << "no SOI";
    std::size_t pos = 2;
    while (pos + 4 <= jpeg.size()) {
        EXPECT_EQ(0xFF, jpeg[pos]);
        const std::uint8_t marker = jpeg[pos + 1];
        const std::size_t len = (jpeg[pos + 2] << 8) | jpeg[pos + 3];
        if (pos + 2 + len > jpeg.size()) break;
        segments.push_back({marker, Bytes(jpeg.begin() + static_cast<std::ptrdiff_t>(pos + 4),
                                          jpeg.begin() + static_cast<std::ptrdiff_t>(pos + 2 + len))});
        pos += 2 + len;
        if (marker == 0xDA) break;
    }
    return segments;
}

const Segment* Find(const std::vector<Segment>& segments, std::uint8_t marker) {
    for (const Segment& s : segments)
        if (s.marker == marker) return &s;
    return nullptr;
}

using test::ReadPpm;

Raster DecodeWithDjpeg(const Bytes& jpeg) {
    test::TempDir dir;
    const std::string path = dir / "in.jpg";
    test::WriteBytes(path, jpeg);
    const auto r = test::RunCommand("djpeg -pnm " + test::ShellQuote(path));
    EXPECT_EQ(0, r.exitStatus);
    return ReadPpm(r.output);
}

// Smooth colours with red and blue running opposite ways, so that swapped channels show;
// palette rasters get 16x16 blocks of their palette's colours. A fourth byte is noise.
Raster TestImage(int bpp) {
    const int w = 64, h = 48;
    Raster r(w, h, bpp);
    std::mt19937 rng(1);
    if (bpp <= 8) {
        for (std::size_t i = 0; i < r.palette().size(); ++i)
            r.palette()[i] = {static_cast<std::uint8_t>(40 + 50 * (i % 4)), static_cast<std::uint8_t>(30 + 13 * i),
                              static_cast<std::uint8_t>(220 - 60 * (i % 3)), 0};
        const int perByte = 8 / bpp;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const unsigned index = static_cast<unsigned>(x / 16 + 4 * (y / 16)) % (1u << bpp);
                r.row(y)[x / perByte] |= static_cast<std::uint8_t>(index << (8 - bpp * (x % perByte + 1)));
            }
        return r;
    }
    const int n = bpp / 8;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t* p = r.row(y) + x * n;
            p[0] = static_cast<std::uint8_t>(40 + 3 * x);   // blue
            p[1] = static_cast<std::uint8_t>(60 + 2 * y);   // green
            p[2] = static_cast<std::uint8_t>(230 - 3 * x);  // red
            if (n == 4) p[3] = static_cast<std::uint8_t>(rng());
        }
    return r;
}

double MeanAbsoluteError(const Raster& expected, const Raster& got) {
    double sum = 0;
    for (int y = 0; y < expected.height(); ++y)
        for (int x = 0; x < expected.width(); ++x) {
            const Rgb a = expected.PixelColour(x, y), b = got.PixelColour(x, y);
            sum += std::abs(a.red - b.red) + std::abs(a.green - b.green) + std::abs(a.blue - b.blue);
        }
    return sum / (3.0 * expected.width() * expected.height());
}

TEST(JpegWriter, WritesColourJfifAtEveryDepth) {
    ASSERT_TRUE(test::HaveProgram("djpeg"));
    for (int bpp : {24, 32, 8, 4, 1}) {
        for (bool progressive : {false, true}) {
            SCOPED_TRACE(testing::Message() << "bpp " << bpp << " progressive " << progressive);
            const Raster image = TestImage(bpp);
            const Bytes jpeg = EncodeJpeg(image, 95, progressive);

            const auto segments = HeaderSegments(jpeg);
            ASSERT_FALSE(segments.empty());
            // JFIF APP0 first; no other application marker and no comment.
            EXPECT_EQ(0xE0, segments[0].marker);
            EXPECT_EQ(0, std::memcmp(segments[0].data.data(), "JFIF\0", 5));
            for (std::size_t i = 1; i < segments.size(); ++i) {
                EXPECT_FALSE(segments[i].marker >= 0xE0 && segments[i].marker <= 0xEF) << int(segments[i].marker);
                EXPECT_NE(0xFE, segments[i].marker);
            }
            const Segment* sof = Find(segments, progressive ? 0xC2 : 0xC0);
            ASSERT_NE(nullptr, sof) << "no SOF of the expected kind";
            EXPECT_EQ(nullptr, Find(segments, progressive ? 0xC0 : 0xC2));
            EXPECT_EQ(64, (sof->data[3] << 8) | sof->data[4]);
            EXPECT_EQ(48, (sof->data[1] << 8) | sof->data[2]);
            EXPECT_EQ(3, sof->data[5]) << "a colour JPEG has three components";
            EXPECT_EQ(0xFF, jpeg[jpeg.size() - 2]);
            EXPECT_EQ(0xD9, jpeg[jpeg.size() - 1]);

            const Raster decoded = DecodeWithDjpeg(jpeg);
            ASSERT_FALSE(decoded.empty()) << "djpeg gave no colour PPM";
            ASSERT_EQ(image.width(), decoded.width());
            ASSERT_EQ(image.height(), decoded.height());
            EXPECT_LT(MeanAbsoluteError(image, decoded), 4.0);
        }
    }
}

TEST(JpegWriter, QualityScalesTheStandardTables) {
    const Raster image = TestImage(24);
    struct Case {
        int quality;
        int firstLuminanceEntry;  // 16 in the standard table, scaled by quality
    };
    std::size_t previousSize = 0;
    for (const Case c : {Case{1, 255}, Case{50, 16}, Case{100, 1}}) {
        SCOPED_TRACE(c.quality);
        const Bytes jpeg = EncodeJpeg(image, c.quality, false);
        const auto segments = HeaderSegments(jpeg);
        const Segment* dqt = Find(segments, 0xDB);
        ASSERT_NE(nullptr, dqt);
        EXPECT_EQ(0, dqt->data[0]) << "8-bit table 0 (baseline)";
        EXPECT_EQ(c.firstLuminanceEntry, dqt->data[1]);
        EXPECT_GT(jpeg.size(), previousSize);
        previousSize = jpeg.size();
    }
}

// Writes a raster as a binary PPM for cjpeg.
std::string ToPpm(const Raster& image) {
    std::string ppm = "P6\n" + std::to_string(image.width()) + " " + std::to_string(image.height()) + "\n255\n";
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const Rgb c = image.PixelColour(x, y);
            ppm += static_cast<char>(c.red);
            ppm += static_cast<char>(c.green);
            ppm += static_cast<char>(c.blue);
        }
    return ppm;
}

TEST(JpegWriter, FileEqualsCjpegFromRgbWhateverTheDepth) {
    ASSERT_TRUE(test::HaveProgram("cjpeg"));
    // cjpeg feeds RGB rows to libjpeg's defaults with the same quality scaling, so any depth
    // must give its very bytes: with -optimize for the default tables made for the picture, without
    // it for the standard ones.
    struct Case {
        int bpp;
        bool progressive;
        bool optimizedTables;
    };
    for (const Case c : {Case{32, false, true}, Case{32, false, false}, Case{24, true, true}, Case{8, true, false},
                         Case{1, false, true}, Case{1, false, false}}) {
        SCOPED_TRACE(testing::Message() << "bpp " << c.bpp << " progressive " << c.progressive << " optimized "
                                        << c.optimizedTables);
        const Raster image = TestImage(c.bpp);
        test::TempDir dir;
        const std::string ppm = ToPpm(image);
        test::WriteBytes(dir / "in.ppm", Bytes(ppm.begin(), ppm.end()));
        const auto cjpeg = test::RunCommand(std::string("cjpeg -quality 80 -baseline ") +
                                            (c.progressive ? "-progressive " : "") +
                                            (c.optimizedTables ? "-optimize " : "") + test::ShellQuote(dir / "in.ppm"));
        ASSERT_EQ(0, cjpeg.exitStatus);
        EXPECT_TRUE(Bytes(cjpeg.output.begin(), cjpeg.output.end()) ==
                    EncodeJpeg(image, 80, c.progressive, {}, c.optimizedTables));
    }
    // Whatever the fourth byte holds, it is not part of the picture.
    Raster otherAlpha = TestImage(32);
    const Bytes before = EncodeJpeg(otherAlpha, 80, false);
    for (int y = 0; y < otherAlpha.height(); ++y)
        for (int x = 0; x < otherAlpha.width(); ++x) otherAlpha.row(y)[4 * x + 3] ^= 0x5A;
    EXPECT_TRUE(before == EncodeJpeg(otherAlpha, 80, false));
}

TEST(JpegWriter, LibjpegFailureBecomesAnError) {
    const Raster tooWide(70000, 1, 24);  // beyond JPEG's 65500 pixels a side
    try {
        EncodeJpeg(tooWide, 90, false);
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(0u, std::string(e.what()).rfind("JPEG: ", 0)) << e.what();
        EXPECT_NE(std::string::npos, std::string(e.what()).find("65500")) << e.what();
    }
}

// Tables made for the picture change only how the coefficients are coded: djpeg gives the same
// pixels, the file is smaller. Progressive files have them either way.
TEST(JpegWriter, OptimizedTablesKeepPixelsAndShrinkTheFile) {
    ASSERT_TRUE(test::HaveProgram("djpeg"));
    const Raster photo = test::TexturedPicture(320, 240);
    for (int quality : {50, 85, 95}) {
        SCOPED_TRACE(quality);
        const Bytes standard = EncodeJpeg(photo, quality, false, {}, false);
        const Bytes optimized = EncodeJpeg(photo, quality, false);
        EXPECT_LT(optimized.size(), standard.size());
        EXPECT_EQ(test::Pixels(DecodeWithDjpeg(standard)), test::Pixels(DecodeWithDjpeg(optimized)));
        EXPECT_TRUE(EncodeJpeg(photo, quality, true, {}, false) == EncodeJpeg(photo, quality, true));
    }
}

}  // namespace
}  // namespace zelvan
