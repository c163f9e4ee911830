// The AVIF reader on files made by avifenc in the test: the pixels avifdec gives (8 bits), the
// container's rotation and mirroring applied exactly once, and damaged files refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/error.h"
#include "imaging/orientation.h"
#include "imaging/readers/readers.h"
#include "support/exif_fixtures.h"
#include "support/fixtures.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using test::Rgba;
using test::ShellQuote;

// Colours that differ in every channel from pixel to pixel, and an opacity that runs across.
Rgba Sample(int x, int y) {
    return {static_cast<std::uint8_t>(x * 9 + y * 3), static_cast<std::uint8_t>(255 - y * 7),
            static_cast<std::uint8_t>((x * y) % 256), static_cast<std::uint8_t>(40 + x * 5)};
}

constexpr int kWidth = 40, kHeight = 24;

class AvifReader : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(test::HaveProgram("avifenc")) << "install-deps.sh installs libavif-bin";
        ASSERT_TRUE(test::HaveProgram("avifdec"));
    }
    // avifenc's file of the sample picture (with or without its opacity) and its options.
    std::string Encode(const std::string& name, test::PngKind kind, const std::string& options) {
        const std::string png = dir_ / (name + ".png"), avif = dir_ / (name + ".avif");
        test::WritePngFile(png, kWidth, kHeight, kind, Sample);
        const auto r = test::RunCommand("avifenc " + options + " " + ShellQuote(png) + " " + ShellQuote(avif) + " 2>&1");
        EXPECT_EQ(r.exitStatus, 0) << r.output;
        return avif;
    }
    // avifdec's 8-bit decoding of the file.
    test::RgbaImage Reference(const std::string& avif) {
        const std::string png = avif + ".ref.png";
        const auto r = test::RunCommand("avifdec -d 8 " + ShellQuote(avif) + " " + ShellQuote(png) + " 2>&1");
        EXPECT_EQ(r.exitStatus, 0) << r.output;
        return test::DecodePngWithLibpng(png);
    }
    // The sample picture as a raster, as the source PNG holds it.
    static Raster Original(bool alpha) {
        Raster raster(kWidth, kHeight, alpha ? 32 : 24);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                const Rgba c = Sample(x, y);
                std::uint8_t* p = raster.row(y) + x * (alpha ? 4 : 3);
                p[0] = c.b, p[1] = c.g, p[2] = c.r;
                if (alpha) p[3] = c.a;
            }
        return raster;
    }
    test::TempDir dir_;
};

struct EncodedCase {
    const char* name;
    test::PngKind kind;
    const char* options;
};

class AvifReaderMatchesAvifdec : public AvifReader, public ::testing::WithParamInterface<EncodedCase> {};

TEST_P(AvifReaderMatchesAvifdec, GivesAvifdecsPixels) {
    const EncodedCase& c = GetParam();
    const std::string avif = Encode(c.name, c.kind, c.options);
    const DecodedPicture picture = ReadAvif(test::ReadBytes(avif));
    EXPECT_EQ(picture.kind, PictureKind::Avif);
    EXPECT_EQ(picture.raster.bitsPerPixel(), c.kind == test::PngKind::Rgba ? 32 : 24);
    EXPECT_TRUE(test::SamePixels(picture.raster, Reference(avif)));
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, AvifReaderMatchesAvifdec,
    ::testing::Values(EncodedCase{"lossless", test::PngKind::Rgb, "-l"},
                      EncodedCase{"lossy420", test::PngKind::Rgb, "-s 8 -y 420 --min 20 --max 30"},
                      EncodedCase{"alpha", test::PngKind::Rgba, "-s 8 --min 10 --max 20 --minalpha 5 --maxalpha 15"},
                      EncodedCase{"tenBitAlpha", test::PngKind::Rgba, "-s 8 -d 10 -y 444"},
                      EncodedCase{"twelveBit", test::PngKind::Rgb, "-s 8 -d 12 -y 422"}),
    test::CaseName());

TEST_F(AvifReader, LosslessFileGivesTheSourcePixels) {
    const DecodedPicture picture = ReadAvif(test::ReadBytes(Encode("exact", test::PngKind::Rgba, "-l")));
    EXPECT_EQ(test::Pixels(picture.raster), test::Pixels(Original(true)));
}

// The container's rotation and mirroring, as avifenc writes them; an EXIF block whose Orientation
// becomes those boxes must not turn the picture a second time.
struct TransformCase {
    const char* name;
    const char* options;
    int orientation;  // what the boxes amount to
};

class AvifTransforms : public AvifReader, public ::testing::WithParamInterface<TransformCase> {};

TEST_P(AvifTransforms, AreAppliedOnce) {
    const TransformCase& c = GetParam();
    std::string options = std::string("-l ") + c.options;
    if (options.find("EXIF") != std::string::npos) {
        const std::string exif = dir_ / "orientation.exif";
        test::WriteBytes(exif, test::ExifOrientationBlock(c.orientation));
        options.replace(options.find("EXIF"), 4, ShellQuote(exif));
    }
    const DecodedPicture picture = ReadAvif(test::ReadBytes(Encode(c.name, test::PngKind::Rgb, options)));
    EXPECT_EQ(picture.orientation, kOrientationAsStored);
    EXPECT_EQ(test::Pixels(picture.raster), test::Pixels(Oriented(Original(false), c.orientation)));
}

INSTANTIATE_TEST_SUITE_P(Boxes, AvifTransforms,
                         ::testing::Values(TransformCase{"quarterLeft", "--irot 1", 8},
                                           TransformCase{"halfTurn", "--irot 2", 3},
                                           TransformCase{"quarterRight", "--irot 3", 6},
                                           TransformCase{"topBottom", "--imir 0", 4},
                                           TransformCase{"leftRight", "--imir 1", 2},
                                           TransformCase{"transpose", "--irot 1 --imir 0", 5},
                                           TransformCase{"transverse", "--irot 3 --imir 0", 7},
                                           TransformCase{"exifSix", "--exif EXIF", 6},
                                           TransformCase{"exifFive", "--exif EXIF", 5}),
                         test::CaseName());

TEST_F(AvifReader, RefusesDamagedAndTruncatedFiles) {
    const std::vector<std::uint8_t> good = test::ReadBytes(Encode("good", test::PngKind::Rgba, "-s 8"));
    ASSERT_NO_THROW(ReadAvif(good));
    auto expectRefused = [](const std::vector<std::uint8_t>& bytes, const std::string& what) {
        try {
            ReadAvif(bytes);
            ADD_FAILURE() << what << " was decoded";
        } catch (const Error& e) {
            EXPECT_EQ(std::string(e.what()).rfind("AVIF: ", 0), 0u) << what << ": " << e.what();
        }
    };
    // Every cut through the boxes and the coded image.
    for (std::size_t size = 0; size < good.size(); size += 7)
        expectRefused({good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size)}, "cut at " + std::to_string(size));
    expectRefused(std::vector<std::uint8_t>(200, 0x5A), "noise");
    // A container whose declared size is far beyond the limit.
    std::vector<std::uint8_t> huge = good;
    const std::uint8_t ispe[] = {'i', 's', 'p', 'e'};
    const auto at = std::search(huge.begin(), huge.end(), std::begin(ispe), std::end(ispe));
    ASSERT_NE(at, huge.end());
    for (int i = 8; i < 16; ++i) at[i] = 0x7F;  // width and height, after version and flags
    expectRefused(huge, "huge ispe");
}

}  // namespace
}  // namespace zelvan
