#include <gtest/gtest.h>
#include <openjpeg.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <functional>
#include <cstring>
#include <random>

#include "base/error.h"
#include "imaging/readers/readers.h"
#include "imaging/writers/writers.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

Raster Noise(int width, int height, int bits, unsigned seed) {
    Raster r(width, height, bits);
    std::mt19937 random(seed);
    for (int y = 0; y < height; ++y)
        for (std::size_t i = 0; i < static_cast<std::size_t>(width) * bits / 8; ++i)
            r.row(y)[i] = static_cast<std::uint8_t>(random());
    return r;
}

// A smooth picture: what the quality formula is meant for.
Raster Photo(int width, int height) {
    Raster r(width, height, 24);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = r.row(y) + 3 * x;
            p[0] = static_cast<std::uint8_t>(128 + 100 * std::sin(x * 0.05) * std::cos(y * 0.03));
            p[1] = static_cast<std::uint8_t>((x * y) / 64 % 256);
            p[2] = static_cast<std::uint8_t>(128 + 120 * std::sin((x + y) * 0.02));
        }
    return r;
}

bool SamePixels(const Raster& a, const Raster& b) {
    if (a.width() != b.width() || a.height() != b.height() || a.bitsPerPixel() != b.bitsPerPixel()) return false;
    for (int y = 0; y < a.height(); ++y)
        if (std::memcmp(a.row(y), b.row(y), static_cast<std::size_t>(a.width()) * a.bitsPerPixel() / 8) != 0) return false;
    return true;
}

std::vector<std::uint8_t> CodestreamOf(const std::vector<std::uint8_t>& jp2) {
    for (std::size_t i = 4; i + 4 <= jp2.size(); ++i)
        if (std::memcmp(&jp2[i], "jp2c", 4) == 0) return {jp2.begin() + static_cast<std::ptrdiff_t>(i + 4), jp2.end()};
    return {};
}

TEST(Jpeg2000, RateFollowsTheQualityFormula) {
    // 100x100 at quality 85: f = 1/9, s = 3333.33 + 550 + 2 x 142 for the second and third component.
    EXPECT_FLOAT_EQ(Jpeg2000Rate(85, 3, 100, 100), 30000.0f / (30000.0f / 9.0f + 550.0f + 284.0f));
    EXPECT_NEAR(Jpeg2000Rate(85, 3, 100, 100), 7.1988, 0.0001);
    EXPECT_NEAR(Jpeg2000Rate(85, 1, 100, 100), 10000.0 / (10000.0 / 9 + 550), 0.0001);
    // Bytes per sample 100 / (115 - q)^2 plus the overhead.
    struct Case {
        int q;
        double bytesPerSample;
    };
    for (Case c : {Case{100, 0.4444}, Case{85, 0.1111}, Case{50, 0.0237}, Case{1, 0.0077}}) {
        const int n = 4, w = 1000, h = 1000;
        double aimed = static_cast<double>(n) * w * h / Jpeg2000Rate(c.q, n, w, h);
        EXPECT_NEAR((aimed - 550 - 142 * 3) / (n * w * h), c.bytesPerSample, 0.00005) << c.q;
    }
}

TEST(Jpeg2000, ResolutionsAsManyAsTheImageAllowsUpToSix) {
    struct Case {
        int w, h, levels;
    };
    for (Case c : {Case{1, 1, 1}, Case{2, 3, 2}, Case{31, 40, 5}, Case{32, 32, 6}, Case{5000, 20, 5}, Case{4000, 3000, 6}})
        EXPECT_EQ(Jpeg2000Resolutions(c.w, c.h), c.levels) << c.w << "x" << c.h;
}

// An opacity mask holding a 32-bit raster's fourth byte, as the job builds it.
Raster FourthByteMask(const Raster& image) {
    Raster mask(image.width(), image.height(), 24);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) mask.row(y)[3 * x + 2] = image.row(y)[4 * x + 3];
    return mask;
}

TEST(Jpeg2000, LosslessRoundTripsExactlyAtEverySize) {
    for (auto [w, h, bits] : {std::tuple{100, 100, 24}, std::tuple{37, 23, 32}, std::tuple{1, 1, 24}, std::tuple{7, 64, 32}}) {
        Raster source = Noise(w, h, bits, static_cast<unsigned>(w * h));
        const Raster mask = bits == 32 ? FourthByteMask(source) : Raster();
        std::vector<std::uint8_t> file = EncodeJp2(source, bits == 32 ? &mask : nullptr, 75, true);
        DecodedPicture back = ReadJpeg2000(file);
        EXPECT_EQ(back.kind, PictureKind::Jpeg2000);
        EXPECT_TRUE(SamePixels(source, back.raster)) << w << "x" << h << "x" << bits;
        // The bare codestream inside decodes to the same picture.
        EXPECT_TRUE(SamePixels(back.raster, ReadJpeg2000(CodestreamOf(file)).raster)) << w << "x" << h;
    }
}

TEST(Jpeg2000, FileStructureSeenByOpenJpegsOwnTool) {
    ASSERT_TRUE(test::HaveProgram("opj_dump"));
    test::TempDir dir;
    const Raster rgba = Noise(64, 48, 32, 1);
    const Raster mask = FourthByteMask(rgba);
    test::WriteBytes(dir / "rgba.jp2", EncodeJp2(rgba, &mask, 80, false));
    test::WriteBytes(dir / "small.jp2", EncodeJp2(Noise(20, 9, 24, 2), nullptr, 80, false));
    std::string big = test::RunCommand("opj_dump -i " + test::ShellQuote(dir / "rgba.jp2") + " 2>&1").output;
    EXPECT_NE(big.find("numcomps=4"), std::string::npos) << big;
    EXPECT_NE(big.find("numresolutions=6"), std::string::npos) << big;
    EXPECT_NE(big.find("numlayers=1"), std::string::npos) << big;
    EXPECT_NE(big.find("mct=0"), std::string::npos) << big;
    std::string small = test::RunCommand("opj_dump -i " + test::ShellQuote(dir / "small.jp2") + " 2>&1").output;
    EXPECT_NE(small.find("numresolutions=4"), std::string::npos) << small;
    // The channel definitions: three colours in order, then opacity for the whole image.
    std::vector<std::uint8_t> bytes = test::ReadBytes(dir / "rgba.jp2");
    const std::uint8_t cdef[] = {'c', 'd', 'e', 'f', 0, 4, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0, 2,
                                 0, 2, 0, 0, 0, 3, 0, 3, 0, 1, 0, 0};
    EXPECT_NE(std::search(bytes.begin(), bytes.end(), std::begin(cdef), std::end(cdef)), bytes.end());
    const std::uint8_t srgb[] = {'c', 'o', 'l', 'r', 1, 0, 0, 0, 0, 0, 16};
    EXPECT_NE(std::search(bytes.begin(), bytes.end(), std::begin(srgb), std::end(srgb)), bytes.end());
}

TEST(Jpeg2000, LossySizeFollowsTheQuality) {
    const Raster photo = Photo(256, 256);
    std::size_t previous = 0;
    for (int q : {20, 50, 85}) {
        std::size_t codestream = CodestreamOf(EncodeJp2(photo, nullptr, q, false)).size();
        const double aimed = 3.0 * 256 * 256 / Jpeg2000Rate(q, 3, 256, 256);
        EXPECT_LE(codestream, aimed * 1.02) << q;
        EXPECT_GE(codestream, aimed * 0.7) << q;
        EXPECT_GT(codestream, previous) << "a higher quality is larger";
        previous = codestream;
    }
}

// Encodes a test image through OpenJPEG directly: grey, 12-bit, or YCC with subsampled chroma.
std::vector<std::uint8_t> EncodeWithOpenJpeg(int width, int height, std::vector<opj_image_cmptparm_t> parms,
                                             OPJ_COLOR_SPACE space, const std::function<int(int c, int x, int y)>& sample) {
    opj_image_t* image = opj_image_create(static_cast<OPJ_UINT32>(parms.size()), parms.data(), space);
    image->x1 = static_cast<OPJ_UINT32>(width);
    image->y1 = static_cast<OPJ_UINT32>(height);
    for (std::size_t c = 0; c < parms.size(); ++c)
        for (OPJ_UINT32 y = 0; y < parms[c].h; ++y)
            for (OPJ_UINT32 x = 0; x < parms[c].w; ++x)
                image->comps[c].data[y * parms[c].w + x] = sample(static_cast<int>(c), static_cast<int>(x), static_cast<int>(y));
    opj_cparameters_t p;
    opj_set_default_encoder_parameters(&p);
    p.numresolution = 1;
    opj_codec_t* codec = opj_create_compress(OPJ_CODEC_JP2);
    opj_setup_encoder(codec, &p, image);
    test::TempDir dir;
    const std::string path = dir / "x.jp2";
    opj_stream_t* stream = opj_stream_create_default_file_stream(path.c_str(), OPJ_FALSE);
    bool ok = opj_start_compress(codec, image, stream) && opj_encode(codec, stream) && opj_end_compress(codec, stream);
    opj_stream_destroy(stream);
    opj_destroy_codec(codec);
    opj_image_destroy(image);
    EXPECT_TRUE(ok);
    return test::ReadBytes(path);
}

opj_image_cmptparm_t Comp(int w, int h, int prec, int dx = 1, int dy = 1) {
    opj_image_cmptparm_t c{};
    c.dx = static_cast<OPJ_UINT32>(dx);
    c.dy = static_cast<OPJ_UINT32>(dy);
    c.w = static_cast<OPJ_UINT32>((w + dx - 1) / dx);
    c.h = static_cast<OPJ_UINT32>((h + dy - 1) / dy);
    c.prec = static_cast<OPJ_UINT32>(prec);
    return c;
}

TEST(Jpeg2000, GreyTwelveBitAndSubsampledYccSources) {
    // One 12-bit component: an 8-bit grey-palette raster, 4095 -> 255 and 2048 -> 127.
    DecodedPicture grey = ReadJpeg2000(EncodeWithOpenJpeg(3, 1, {Comp(3, 1, 12)}, OPJ_CLRSPC_GRAY, [](int, int x, int) {
        return std::array{4095, 2048, 0}[static_cast<std::size_t>(x)];
    }));
    ASSERT_EQ(grey.raster.bitsPerPixel(), 8);
    EXPECT_EQ(grey.raster.row(0)[0], 255);
    EXPECT_EQ(grey.raster.row(0)[1], 127);
    EXPECT_EQ(grey.raster.row(0)[2], 0);
    EXPECT_EQ(grey.raster.palette()[127], (PaletteEntry{127, 127, 127, 0}));

    // Grey with alpha: the alpha component is not used.
    DecodedPicture two = ReadJpeg2000(EncodeWithOpenJpeg(2, 2, {Comp(2, 2, 8), Comp(2, 2, 8)}, OPJ_CLRSPC_GRAY,
                                                         [](int c, int, int) { return c == 0 ? 90 : 10; }));
    EXPECT_EQ(two.raster.bitsPerPixel(), 8);
    EXPECT_EQ(two.raster.row(1)[1], 90);

    // YCC with 2x2 chroma: each 2x2 block shares its chroma; luminance stays per pixel.
    DecodedPicture ycc = ReadJpeg2000(EncodeWithOpenJpeg(
        4, 2, {Comp(4, 2, 8), Comp(4, 2, 8, 2, 2), Comp(4, 2, 8, 2, 2)}, OPJ_CLRSPC_SYCC, [](int c, int x, int) {
            if (c == 0) return 100 + 10 * x;  // luminance
            if (c == 1) return x == 0 ? 128 : 200;  // blue difference
            return x == 0 ? 128 : 60;               // red difference
        }));
    ASSERT_EQ(ycc.raster.bitsPerPixel(), 24);
    auto rgb = [&](int x, int y) { return ycc.raster.PixelColour(x, y); };
    EXPECT_EQ(rgb(0, 0), (Rgb{100, 100, 100}));
    EXPECT_EQ(rgb(1, 1), (Rgb{110, 110, 110}));
    // Y 120, Cb +72, Cr -68: R = 120 - 95.336 = 24.664 -> 25; G = 120 - 24.778 + 48.562 = 143.78 -> 144;
    // B = 120 + 127.584 -> 247.584 -> 248.
    EXPECT_EQ(rgb(2, 0), (Rgb{25, 144, 248}));
    EXPECT_EQ(rgb(3, 1).blue, 255) << "clamped: 130 + 127.584";
}

TEST(Jpeg2000, DamagedAndHostileFilesFailWithTheirMessages) {
    auto message = [](std::vector<std::uint8_t> bytes) {
        try {
            ReadJpeg2000(bytes);
        } catch (const Error& e) {
            return std::string(e.what());
        }
        return std::string("decoded");
    };
    EXPECT_EQ(message({0xFF, 0x4F, 0xFF, 0x51}), "Unknown JPEG 2000 file type") << "fewer than 8 bytes";
    EXPECT_EQ(message({'G', 'I', 'F', '8', '9', 'a', 0, 0, 0}), "Unknown JPEG 2000 file type");
    std::vector<std::uint8_t> file = EncodeJp2(Noise(64, 64, 24, 3), nullptr, 90, false);
    file.resize(file.size() / 3);
    EXPECT_EQ(message(file), "JPEG 2000 image decoding failed");
    std::vector<std::uint8_t> garbage = {0xFF, 0x4F, 0xFF, 0x51, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(message(garbage), "JPEG 2000 image decoding failed");

    // A codestream whose header declares 100000 x 100000 pixels is refused before decoding.
    std::vector<std::uint8_t> huge = CodestreamOf(EncodeJp2(Noise(8, 8, 24, 4), nullptr, 90, true));
    ASSERT_GT(huge.size(), 20u);
    // SIZ: FF51, length, capabilities, image size, image offset, tile size.
    for (int i : {8, 12, 24, 28}) {  // image and tile size
        huge[static_cast<std::size_t>(i)] = 0x00;
        huge[static_cast<std::size_t>(i) + 1] = 0x01;
        huge[static_cast<std::size_t>(i) + 2] = 0x86;
        huge[static_cast<std::size_t>(i) + 3] = 0xA0;
    }
    EXPECT_NE(message(huge).find("limit"), std::string::npos) << message(huge);
}

TEST(Jpeg2000, DebianSamplesDecode) {
    const std::string data = test::CorporaDir() + "/python3-glymur/usr/lib/python3/dist-packages/glymur/data/";
    ASSERT_TRUE(std::filesystem::exists(data + "nemo.jp2")) << "run scripts/fetch-test-corpora.sh";
    DecodedPicture nemo = ReadJpeg2000(test::ReadBytes(data + "nemo.jp2"));
    EXPECT_EQ(nemo.raster.width(), 2592);
    EXPECT_EQ(nemo.raster.height(), 1456);
    DecodedPicture good = ReadJpeg2000(test::ReadBytes(data + "goodstuff.j2k"));
    EXPECT_EQ(good.raster.width(), 480);
    EXPECT_EQ(good.raster.bitsPerPixel(), 24);
}

}  // namespace
}  // namespace zelvan
