// Colour given by code points only (AVIF's and HEIF's nclx box, PNG's cICP chunk) becomes the
// picture's profile: turned to sRGB it matches ImageMagick's conversion through an ICC profile of
// the same primaries and curve, built here apart from the program. PQ pictures are tone mapped,
// never clipped.
#include <gtest/gtest.h>

#include <libheif/heif.h>
#include <zlib.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "imaging/colour_profile.h"
#include "imaging/readers/readers.h"
#include "imaging/writers/writers.h"
#include "support/colour_fixtures.h"
#include "support/fixtures.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using test::ShellQuote;

constexpr int kWidth = 48, kHeight = 32;

// Saturated and pale colours, so that wide primaries move them visibly.
test::Rgba Sample(int x, int y) {
    return {static_cast<std::uint8_t>(30 + x * 4), static_cast<std::uint8_t>(220 - y * 5),
            static_cast<std::uint8_t>(x < 24 ? 40 : 200), 255};
}

using test::Primaries;
using test::WriteRgbProfile;
constexpr Primaries kDisplayP3 = test::kDisplayP3Primaries;
constexpr Primaries kBt2020 = test::kBt2020Primaries;

void RunTool(const std::string& command) {
    const test::CommandResult r = test::RunCommand(command + " 2>&1");
    ASSERT_EQ(r.exitStatus, 0) << command << "\n" << r.output;
}

// ImageMagick's sRGB view of a PNG without a profile whose samples are in `profile`'s colours.
test::RgbaImage ImageMagickSrgb(const test::TempDir& dir, const std::string& png, const std::string& profile) {
    const std::string out = png + ".srgb.png";
    RunTool("convert " + ShellQuote(png) + " -profile " + ShellQuote(profile) + " -profile " +
        ShellQuote(dir / "srgb.icc") + " " + ShellQuote(out));
    return test::DecodePngWithLibpng(out);
}

// The picture as the program shows it in sRGB: through the profile its reader gave it.
Raster ShownInSrgb(DecodedPicture picture) {
    const std::vector<std::uint8_t> profile = SettleColourProfile(picture);
    EXPECT_FALSE(profile.empty()) << "the colour codes give the picture a profile";
    ConvertToSrgb(picture.raster, profile);
    return picture.raster;
}

int LargestDifference(const Raster& r, const test::RgbaImage& reference) {
    int largest = 0;
    const int step = r.bitsPerPixel() / 8;
    for (int y = 0; y < r.height(); ++y)
        for (int x = 0; x < r.width(); ++x) {
            const std::uint8_t* p = r.row(y) + x * step;
            const std::uint8_t* q = reference.pixels.data() + 4 * (static_cast<std::size_t>(y) * reference.width + x);
            for (int c = 0; c < 3; ++c) largest = std::max(largest, std::abs(p[2 - c] - q[c]));
        }
    return largest;
}

class ColourCodes : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(test::HaveProgram("avifenc") && test::HaveProgram("avifdec")) << "install-deps.sh installs libavif-bin";
        ASSERT_TRUE(test::HaveProgram("convert")) << "install-deps.sh installs imagemagick";
        WriteRgbProfile(dir_ / "srgb.icc", test::kSrgbPrimaries);
        test::WritePngFile(dir_ / "src.png", kWidth, kHeight, test::PngKind::Rgb, Sample);
    }
    test::TempDir dir_;
};

struct AvifCase {
    const char* name;
    const char* cicp;
    Primaries primaries;
};

class AvifColourCodes : public ColourCodes, public ::testing::WithParamInterface<AvifCase> {};

TEST_P(AvifColourCodes, ConvertLikeTheEquivalentProfile) {
    const AvifCase& c = GetParam();
    const std::string avif = dir_ / "a.avif", decoded = dir_ / "decoded.png";
    RunTool("avifenc --ignore-icc --cicp " + std::string(c.cicp) + " " + ShellQuote(dir_ / "src.png") + " " + ShellQuote(avif));
    // avifdec's samples, as stored (no colour management), seen through the equivalent profile.
    RunTool("avifdec -d 8 " + ShellQuote(avif) + " " + ShellQuote(decoded));
    const test::RgbaImage expected = ImageMagickSrgb(dir_, decoded, WriteRgbProfile(dir_ / "codes.icc", c.primaries));

    const DecodedPicture picture = ReadAvif(test::ReadBytes(avif));
    EXPECT_GT(LargestDifference(picture.raster, expected), 20) << "wide primaries move the colours";
    EXPECT_LE(LargestDifference(ShownInSrgb(picture), expected), 3);
}

INSTANTIATE_TEST_SUITE_P(Cases, AvifColourCodes,
                         ::testing::Values(AvifCase{"DisplayP3", "12/13/6", kDisplayP3},
                                           AvifCase{"Bt2020", "9/13/9", kBt2020}),
                         test::CaseName());

// A lossless HEIF of width x height samples of `bits` (8 or 10) with an nclx box of these codes.
// libheif writes the image's nclx box only when told to (its default leaves it out for an old
// macOS).
using SampleFn = std::function<void(int x, int y, std::uint16_t rgb[3])>;
std::vector<std::uint8_t> HeicWithCodes(int width, int height, int bits, int primaries, int transfer,
                                        const SampleFn& sample) {
    std::unique_ptr<heif_context, void (*)(heif_context*)> context(heif_context_alloc(), heif_context_free);
    heif_image* raw = nullptr;
    const heif_chroma chroma = bits > 8 ? heif_chroma_interleaved_RRGGBB_LE : heif_chroma_interleaved_RGB;
    if (heif_image_create(width, height, heif_colorspace_RGB, chroma, &raw).code != heif_error_Ok) return {};
    std::unique_ptr<heif_image, void (*)(const heif_image*)> image(raw, heif_image_release);
    heif_image_add_plane(image.get(), heif_channel_interleaved, width, height, bits);
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(image.get(), heif_channel_interleaved, &stride);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint16_t rgb[3];
            sample(x, y, rgb);
            for (int c = 0; c < 3; ++c) {
                if (bits > 8) {
                    std::uint8_t* p = plane + y * stride + 6 * x + 2 * c;
                    p[0] = static_cast<std::uint8_t>(rgb[c] & 0xFF);
                    p[1] = static_cast<std::uint8_t>(rgb[c] >> 8);
                } else {
                    plane[y * stride + 3 * x + c] = static_cast<std::uint8_t>(rgb[c]);
                }
            }
        }
    heif_encoder* rawEncoder = nullptr;
    if (heif_context_get_encoder_for_format(context.get(), heif_compression_HEVC, &rawEncoder).code != heif_error_Ok)
        return {};
    std::unique_ptr<heif_encoder, void (*)(heif_encoder*)> encoder(rawEncoder, heif_encoder_release);
    heif_encoder_set_lossless(encoder.get(), 1);
    heif_encoder_set_parameter(encoder.get(), "chroma", "444");
    heif_color_profile_nclx* nclx = heif_nclx_color_profile_alloc();
    heif_nclx_color_profile_set_color_primaries(nclx, static_cast<std::uint16_t>(primaries));
    heif_nclx_color_profile_set_transfer_characteristics(nclx, static_cast<std::uint16_t>(transfer));
    heif_nclx_color_profile_set_matrix_coefficients(nclx, 0);
    nclx->full_range_flag = 1;
    heif_image_set_nclx_color_profile(image.get(), nclx);
    heif_encoding_options* options = heif_encoding_options_alloc();
    options->output_nclx_profile = nclx;
    options->macOS_compatibility_workaround_no_nclx_profile = 0;
    const bool encoded =
        heif_context_encode_image(context.get(), image.get(), encoder.get(), options, nullptr).code == heif_error_Ok;
    heif_encoding_options_free(options);
    heif_nclx_color_profile_free(nclx);
    if (!encoded) return {};
    std::vector<std::uint8_t> bytes;
    heif_writer writer{1, [](heif_context*, const void* data, size_t size, void* out) {
                           auto& v = *static_cast<std::vector<std::uint8_t>*>(out);
                           v.insert(v.end(), static_cast<const std::uint8_t*>(data), static_cast<const std::uint8_t*>(data) + size);
                           return heif_error{heif_error_Ok, heif_suberror_Unspecified, ""};
                       }};
    heif_context_write(context.get(), &writer, &bytes);
    return bytes;
}

std::vector<std::uint8_t> P3Heic() {
    return HeicWithCodes(kWidth, kHeight, 8, 12, 13, [](int x, int y, std::uint16_t rgb[3]) {
        const test::Rgba c = Sample(x, y);
        rgb[0] = c.r, rgb[1] = c.g, rgb[2] = c.b;
    });
}

// A PNG of the sample with a cICP chunk (and an sRGB iCCP, which the codes outrank) put in
// after IHDR.
std::vector<std::uint8_t> WithChunk(std::vector<std::uint8_t> png, const char* type, std::vector<std::uint8_t> data) {
    std::vector<std::uint8_t> chunk;
    for (int shift = 24; shift >= 0; shift -= 8) chunk.push_back(static_cast<std::uint8_t>(data.size() >> shift));
    chunk.insert(chunk.end(), type, type + 4);
    chunk.insert(chunk.end(), data.begin(), data.end());
    const uLong crc = crc32(0, chunk.data() + 4, static_cast<uInt>(chunk.size() - 4));
    for (int shift = 24; shift >= 0; shift -= 8) chunk.push_back(static_cast<std::uint8_t>(crc >> shift));
    png.insert(png.begin() + 33, chunk.begin(), chunk.end());  // signature (8) + IHDR (25)
    return png;
}

TEST_F(ColourCodes, HeifNclxAndPngCicpConvertLikeTheEquivalentProfile) {
    const test::RgbaImage expected = ImageMagickSrgb(dir_, dir_ / "src.png", WriteRgbProfile(dir_ / "p3.icc", kDisplayP3));
    const std::vector<std::uint8_t> heic = P3Heic();
    ASSERT_FALSE(heic.empty()) << "libheif encodes with x265";
    EXPECT_LE(LargestDifference(ShownInSrgb(ReadHeif(heic)), expected), 3) << "HEIF";

    const std::vector<std::uint8_t> png = WithChunk(test::ReadBytes(dir_ / "src.png"), "cICP", {12, 13, 0, 1});
    EXPECT_LE(LargestDifference(ShownInSrgb(ReadPng(png)), expected), 3) << "PNG";
    // Matrix coefficients other than 0 do not describe RGB samples: the chunk is not taken.
    DecodedPicture unfit = ReadPng(WithChunk(test::ReadBytes(dir_ / "src.png"), "cICP", {12, 13, 1, 1}));
    EXPECT_TRUE(SettleColourProfile(unfit).empty());
}

// A PQ picture from black to the format's peak: the tone mapping keeps every step of the ramp in
// order, spreads the highlights over many levels instead of clipping them, and reaches white only
// at the peak.
TEST_F(ColourCodes, PqAvifIsToneMappedNotClipped) {
    const std::string avif = dir_ / "pq.avif";
    test::WritePngFile(dir_ / "ramp.png", 256, 8, test::PngKind::Rgb, [](int x, int) {
        const auto v = static_cast<std::uint8_t>(x);
        return test::Rgba{v, v, v, 255};
    });
    RunTool("avifenc -l -d 10 --cicp 9/16/0 " + ShellQuote(dir_ / "ramp.png") + " " + ShellQuote(avif));
    DecodedPicture picture = ReadAvif(test::ReadBytes(avif));
    const Raster& r = picture.raster;
    auto level = [&r](int x) { return static_cast<int>(r.row(4)[x * (r.bitsPerPixel() / 8) + 1]); };
    for (int x = 1; x < 256; ++x) ASSERT_GE(level(x), level(x - 1)) << x;
    EXPECT_EQ(level(255), 255);
    EXPECT_LT(level(230), level(255)) << "a bright highlight is not clipped to white";
    // PQ 0.75 is 1000 cd/m2, five times the reference white: between it and the peak the
    // highlights still take many levels.
    EXPECT_GE(level(255) - level(191), 15);
    EXPECT_LE(level(10), 5) << "the darkest steps stay dark";
    EXPECT_FALSE(SettleColourProfile(picture).empty()) << "BT.2020 primaries, the sRGB curve after tone mapping";
}

// The same ramp as a 10-bit HEIF with an HLG nclx box: decoded at its depth and tone mapped.
TEST_F(ColourCodes, DeepHlgHeifIsToneMappedNotClipped) {
    const std::vector<std::uint8_t> heic = HeicWithCodes(256, 8, 10, 9, 18, [](int x, int, std::uint16_t rgb[3]) {
        rgb[0] = rgb[1] = rgb[2] = static_cast<std::uint16_t>(x * 1023 / 255);
    });
    ASSERT_FALSE(heic.empty()) << "libheif encodes 10 bits with x265";
    DecodedPicture picture = ReadHeif(heic);
    const Raster& r = picture.raster;
    auto level = [&r](int x) { return static_cast<int>(r.row(4)[x * (r.bitsPerPixel() / 8) + 1]); };
    for (int x = 1; x < 256; ++x) ASSERT_GE(level(x), level(x - 1)) << x;
    EXPECT_EQ(level(255), 255);
    EXPECT_LT(level(230), level(255)) << "a bright highlight is not clipped to white";
    EXPECT_LE(level(10), 5) << "the darkest steps stay dark";
    EXPECT_FALSE(SettleColourProfile(picture).empty());
}

}  // namespace
}  // namespace zelvan
