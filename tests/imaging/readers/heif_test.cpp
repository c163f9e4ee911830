// The HEIF reader on files made by heif-enc (the pixels heif-convert gives) and by libheif's
// encoder in the test (a rotated picture with an EXIF Orientation saying the same, turned once),
// and on damaged files.
#include <gtest/gtest.h>

#include <libheif/heif.h>

#include <algorithm>
#include <memory>
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

Rgba Sample(int x, int y) {
    return {static_cast<std::uint8_t>(x * 9 + y * 3), static_cast<std::uint8_t>(255 - y * 7),
            static_cast<std::uint8_t>((x * y) % 256), static_cast<std::uint8_t>(40 + x * 5)};
}

constexpr int kWidth = 40, kHeight = 24;

Raster Original() {
    Raster raster(kWidth, kHeight, 24);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const Rgba c = Sample(x, y);
            std::uint8_t* p = raster.row(y) + x * 3;
            p[0] = c.b, p[1] = c.g, p[2] = c.r;
        }
    return raster;
}

// The largest difference of any channel of any pixel; the sizes must agree.
int WorstDifference(const Raster& a, const Raster& b) {
    EXPECT_EQ(a.width(), b.width());
    EXPECT_EQ(a.height(), b.height());
    if (a.width() != b.width() || a.height() != b.height()) return 256;
    const std::vector<std::uint32_t> pa = test::Pixels(a), pb = test::Pixels(b);
    int worst = 0;
    for (std::size_t i = 0; i < pa.size(); ++i)
        for (int shift = 0; shift < 32; shift += 8)
            worst = std::max(worst, std::abs(static_cast<int>((pa[i] >> shift) & 0xFF) - static_cast<int>((pb[i] >> shift) & 0xFF)));
    return worst;
}

class HeifReader : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(test::HaveProgram("heif-enc")) << "install-deps.sh installs libheif-examples";
        ASSERT_TRUE(test::HaveProgram("heif-convert"));
    }
    std::string Encode(const std::string& name, test::PngKind kind, const std::string& options) {
        const std::string png = dir_ / (name + ".png"), heic = dir_ / (name + ".heic");
        test::WritePngFile(png, kWidth, kHeight, kind, Sample);
        const auto r = test::RunCommand("heif-enc " + options + " " + ShellQuote(png) + " -o " + ShellQuote(heic) + " 2>&1");
        EXPECT_EQ(r.exitStatus, 0) << r.output;
        return heic;
    }
    test::RgbaImage Reference(const std::string& heic) {
        const std::string png = heic + ".ref.png";
        const auto r = test::RunCommand("heif-convert " + ShellQuote(heic) + " " + ShellQuote(png) + " 2>&1");
        EXPECT_EQ(r.exitStatus, 0) << r.output;
        return test::DecodePngWithLibpng(png);
    }
    test::TempDir dir_;
};

// heif-enc's lossless mode still passes the colours through YCbCr in this libheif: the source
// comes back within a step of rounding, heif-convert's pixels exactly.
TEST_F(HeifReader, LosslessFileGivesTheSourceAndHeifConvertsPixels) {
    const std::string heic = Encode("lossless", test::PngKind::Rgb, "-L -p chroma=444");
    const DecodedPicture picture = ReadHeif(test::ReadBytes(heic));
    EXPECT_EQ(picture.kind, PictureKind::Heif);
    EXPECT_LE(WorstDifference(picture.raster, Original()), 2);
    EXPECT_TRUE(test::SamePixels(picture.raster, Reference(heic)));
}

TEST_F(HeifReader, LossyFilesGiveHeifConvertsPixels) {
    for (const test::PngKind kind : {test::PngKind::Rgb, test::PngKind::Rgba}) {
        const bool alpha = kind == test::PngKind::Rgba;
        SCOPED_TRACE(alpha ? "with alpha" : "without alpha");
        const std::string heic = Encode(alpha ? "alpha" : "opaque", kind, "-q 70");
        const DecodedPicture picture = ReadHeif(test::ReadBytes(heic));
        EXPECT_EQ(picture.raster.bitsPerPixel(), alpha ? 32 : 24);
        EXPECT_TRUE(test::SamePixels(picture.raster, Reference(heic)));
    }
}

using HeifImage = std::unique_ptr<heif_image, void (*)(const heif_image*)>;
using HeifHandle = std::unique_ptr<heif_image_handle, void (*)(const heif_image_handle*)>;

// An 8-bit interleaved picture of kWidth x kHeight; fill(x, y, pixel) sets each pixel's bytes.
template <class Fill>
HeifImage InterleavedImage(heif_chroma chroma, int channels, Fill fill) {
    heif_image* rawImage = nullptr;
    heif_image_create(kWidth, kHeight, heif_colorspace_RGB, chroma, &rawImage);
    HeifImage image(rawImage, heif_image_release);
    heif_image_add_plane(image.get(), heif_channel_interleaved, kWidth, kHeight, 8);
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(image.get(), heif_channel_interleaved, &stride);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) fill(x, y, plane + y * stride + x * channels);
    return image;
}

// The picture encoded into the context by x265's lossless mode at 4:4:4; null on failure.
HeifHandle EncodeLossless(heif_context* context, const heif_image* image, const heif_encoding_options* options) {
    HeifHandle none(nullptr, heif_image_handle_release);
    heif_encoder* rawEncoder = nullptr;
    if (heif_context_get_encoder_for_format(context, heif_compression_HEVC, &rawEncoder).code != heif_error_Ok)
        return none;
    std::unique_ptr<heif_encoder, void (*)(heif_encoder*)> encoder(rawEncoder, heif_encoder_release);
    heif_encoder_set_lossless(encoder.get(), 1);
    heif_encoder_set_parameter(encoder.get(), "chroma", "444");
    heif_image_handle* rawHandle = nullptr;
    if (heif_context_encode_image(context, image, encoder.get(), options, &rawHandle).code != heif_error_Ok) return none;
    return HeifHandle(rawHandle, heif_image_handle_release);
}

// libheif's encoder writes the rotation as irot/imir boxes; the EXIF block says the same, as a
// camera's does.
std::vector<std::uint8_t> RotatedHeic(heif_orientation orientation) {
    std::unique_ptr<heif_context, void (*)(heif_context*)> context(heif_context_alloc(), heif_context_free);
    const HeifImage image = InterleavedImage(heif_chroma_interleaved_RGB, 3, [](int x, int y, std::uint8_t* p) {
        const Rgba c = Sample(x, y);
        p[0] = c.r, p[1] = c.g, p[2] = c.b;
    });
    std::unique_ptr<heif_encoding_options, void (*)(heif_encoding_options*)> options(heif_encoding_options_alloc(),
                                                                                      heif_encoding_options_free);
    options->image_orientation = orientation;
    const HeifHandle handle = EncodeLossless(context.get(), image.get(), options.get());
    if (!handle) return {};
    const std::vector<std::uint8_t> exif = test::ExifOrientationBlock(orientation);
    // libheif's Exif item starts with the offset of the TIFF header.
    std::vector<std::uint8_t> item(4 + exif.size(), 0);
    std::copy(exif.begin(), exif.end(), item.begin() + 4);
    heif_context_add_exif_metadata(context.get(), handle.get(), item.data(), static_cast<int>(item.size()));
    std::vector<std::uint8_t> file;
    heif_writer writer{1, [](heif_context*, const void* data, size_t size, void* out) {
                           auto* bytes = static_cast<std::vector<std::uint8_t>*>(out);
                           bytes->insert(bytes->end(), static_cast<const std::uint8_t*>(data),
                                         static_cast<const std::uint8_t*>(data) + size);
                           return heif_error{heif_error_Ok, heif_suberror_Unspecified, ""};
                       }};
    heif_context_write(context.get(), &writer, &file);
    return file;
}

TEST_F(HeifReader, ContainerRotationTurnsThePictureOnce) {
    for (const heif_orientation orientation : {heif_orientation_rotate_90_cw, heif_orientation_flip_vertically,
                                               heif_orientation_rotate_90_cw_then_flip_horizontally}) {
        SCOPED_TRACE("orientation " + std::to_string(static_cast<int>(orientation)));
        const std::vector<std::uint8_t> heic = RotatedHeic(orientation);
        ASSERT_FALSE(heic.empty());
        const DecodedPicture picture = ReadHeif(heic);
        EXPECT_EQ(picture.orientation, kOrientationAsStored);
        // x265's lossless mode still passes through YCbCr: a step of rounding is allowed.
        EXPECT_LE(WorstDifference(picture.raster, Oriented(Original(), orientation)), 2);
    }
}

// A file that stores its colours multiplied by their opacity (libheif's encoder sets the flag and
// keeps the samples as given) comes out with the colours as meant.
TEST_F(HeifReader, PremultipliedColoursAreDividedBack) {
    std::unique_ptr<heif_context, void (*)(heif_context*)> context(heif_context_alloc(), heif_context_free);
    // Straight colour (200, 100, 40) at half opacity, stored premultiplied; the right half opaque.
    const HeifImage image = InterleavedImage(heif_chroma_interleaved_RGBA, 4, [](int x, int, std::uint8_t* p) {
        const bool half = x < kWidth / 2;
        p[0] = half ? 100 : 200, p[1] = half ? 50 : 100, p[2] = half ? 20 : 40, p[3] = half ? 128 : 255;
    });
    heif_image_set_premultiplied_alpha(image.get(), 1);
    ASSERT_TRUE(EncodeLossless(context.get(), image.get(), nullptr));
    const std::string path = dir_ / "premultiplied.heic";
    ASSERT_EQ(heif_context_write_to_file(context.get(), path.c_str()).code, heif_error_Ok);

    const Raster raster = ReadHeif(test::ReadBytes(path)).raster;
    ASSERT_EQ(raster.bitsPerPixel(), 32);
    for (const int x : {0, kWidth - 1}) {
        SCOPED_TRACE("x " + std::to_string(x));
        const std::uint8_t* p = raster.row(kHeight / 2) + x * 4;
        // x265's lossless mode passes through YCbCr: a few steps after the division.
        EXPECT_NEAR(p[2], 200, 4);
        EXPECT_NEAR(p[1], 100, 4);
        EXPECT_NEAR(p[0], 40, 4);
        EXPECT_NEAR(p[3], x == 0 ? 128 : 255, 1);
    }
}

TEST_F(HeifReader, RefusesDamagedAndTruncatedFiles) {
    const std::vector<std::uint8_t> good = test::ReadBytes(Encode("good", test::PngKind::Rgba, "-q 50"));
    ASSERT_NO_THROW(ReadHeif(good));
    auto expectRefused = [](const std::vector<std::uint8_t>& bytes, const std::string& what) {
        try {
            ReadHeif(bytes);
            ADD_FAILURE() << what << " was decoded";
        } catch (const Error& e) {
            EXPECT_EQ(std::string(e.what()).rfind("HEIF: ", 0), 0u) << what << ": " << e.what();
        }
    };
    for (std::size_t size = 0; size < good.size(); size += 11)
        expectRefused({good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size)}, "cut at " + std::to_string(size));
    expectRefused(std::vector<std::uint8_t>(200, 0x5A), "noise");
}

// A HEIF file of boxes alone: a grid (item 1, the primary image) whose data in the idat box gives
// its output size, tiles that are references to one HEVC item (item 2) of the given size.
std::vector<std::uint8_t> GridFile(std::uint16_t outputWidth, std::uint16_t outputHeight, int tileReferences,
                                   std::uint32_t tileSide) {
    using Bytes = std::vector<std::uint8_t>;
    auto be = [](Bytes& out, std::uint64_t v, int bytes) {
        for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    auto box = [&](const char* type, const Bytes& payload) {
        Bytes out;
        be(out, 8 + payload.size(), 4);
        out.insert(out.end(), type, type + 4);
        out.insert(out.end(), payload.begin(), payload.end());
        return out;
    };
    auto join = [](std::initializer_list<Bytes> parts) {
        Bytes out;
        for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
        return out;
    };
    auto infe = [&](int id, const char* type) {
        Bytes p{2, 0, 0, 0};
        be(p, static_cast<std::uint64_t>(id), 2);
        be(p, 0, 2);
        p.insert(p.end(), type, type + 4);
        p.push_back(0);
        return box("infe", p);
    };
    auto ispe = [&](std::uint32_t w, std::uint32_t h) {
        Bytes p{0, 0, 0, 0};
        be(p, w, 4);
        be(p, h, 4);
        return box("ispe", p);
    };
    Bytes grid{0, 0, 0, 0};  // version, flags, one row and one column
    be(grid, outputWidth, 2);
    be(grid, outputHeight, 2);
    Bytes iloc{1, 0, 0, 0, 0x44, 0x00};  // version 1; 4-byte offsets and lengths, no base offset
    be(iloc, 1, 2);
    be(iloc, 1, 2);        // item 1
    be(iloc, 1, 2);        // construction method 1: in the idat box
    be(iloc, 0, 2);        // data reference
    be(iloc, 1, 2);        // one extent
    be(iloc, 0, 4);
    be(iloc, grid.size(), 4);
    Bytes dimg;
    be(dimg, 1, 2);
    be(dimg, static_cast<std::uint64_t>(tileReferences), 2);
    for (int i = 0; i < tileReferences; ++i) be(dimg, 2, 2);
    Bytes ipma{0, 0, 0, 0};
    be(ipma, 2, 4);
    ipma.insert(ipma.end(), {0, 1, 1, 0x81, 0, 2, 1, 0x82});
    Bytes iinf{0, 0, 0, 0};
    be(iinf, 2, 2);
    const Bytes meta = join({Bytes{0, 0, 0, 0}, box("hdlr", Bytes{0, 0, 0, 0, 0, 0, 0, 0, 'p', 'i', 'c', 't', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
                             box("pitm", Bytes{0, 0, 0, 0, 0, 1}), box("iloc", iloc),
                             box("iinf", join({iinf, infe(1, "grid"), infe(2, "hvc1")})),
                             box("iref", join({Bytes{0, 0, 0, 0}, box("dimg", dimg)})),
                             box("iprp", join({box("ipco", join({ispe(outputWidth, outputHeight), ispe(tileSide, tileSide)})),
                                               box("ipma", ipma)})),
                             box("idat", grid)});
    return join({box("ftyp", Bytes{'h', 'e', 'i', 'c', 0, 0, 0, 0, 'm', 'i', 'f', '1', 'h', 'e', 'i', 'c'}), box("meta", meta)});
}

// What the container asks libheif to allocate and decode is checked before it starts: a grid of
// 60000x60000 pixels, or one 8192x8192 tile decoded twenty times, fails at once and names why.
TEST(HeifContainerLimits, RefuseWhatWouldTakeGigabytesBeforeDecoding) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> file;
        const char* reason;
    };
    const Case cases[] = {
        {"a grid beyond the pixel limit", GridFile(60000, 60000, 1, 64), "declares 60000x60000 pixels"},
        {"a tile decoded over and over", GridFile(8192, 8192, 20, 8192), "add up to more pixels"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            ReadHeif(c.file);
            ADD_FAILURE() << "decoded";
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
        }
    }
}

}  // namespace
}  // namespace zelvan
