// EXIF blocks of HEIF, AVIF, WebP, JPEG XL and PNG sources: as the reference encoders and the
// libraries store them, with their prefixes and header offsets, and damaged or oversized ones.
#include "imaging/source_exif.h"

#include <gtest/gtest.h>
#include <jxl/encode.h>
#include <jxl/encode_cxx.h>
#include <libheif/heif.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "imaging/writers/writers.h"
#include "support/exif_fixtures.h"
#include "support/fixtures.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::ShellQuote;

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Text(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes Big32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v)};
}

// One box of a JPEG XL container.
Bytes Box(std::string_view type, const Bytes& content) {
    return Concat({Big32(static_cast<std::uint32_t>(8 + content.size())), Text(type), content});
}

std::string CameraJpeg() {
    return test::CorporaDir() +
           "/golang-github-rwcarlsen-goexif-dev/usr/share/gocode/src/github.com/rwcarlsen/goexif/exif/sample1.jpg";
}

// The TIFF structure of a JPEG's first EXIF segment.
Bytes JpegExifBlock(const Bytes& jpeg) {
    std::size_t pos = 2;
    while (pos + 4 <= jpeg.size() && jpeg[pos] == 0xFF && jpeg[pos + 1] != 0xDA) {
        const std::size_t length = std::size_t{jpeg[pos + 2]} << 8 | jpeg[pos + 3];
        if (jpeg[pos + 1] == 0xE1 && std::memcmp(&jpeg[pos + 4], "Exif\0\0", 6) == 0)
            return Bytes(jpeg.begin() + static_cast<std::ptrdiff_t>(pos + 10),
                         jpeg.begin() + static_cast<std::ptrdiff_t>(pos + 2 + length));
        pos += 2 + length;
    }
    return {};
}

// The types of a JPEG XL container's boxes, in order.
std::vector<std::string> BoxTypes(const Bytes& file) {
    std::vector<std::string> types;
    for (std::size_t pos = 0; pos + 8 <= file.size();) {
        const std::size_t size = std::size_t{file[pos]} << 24 | std::size_t{file[pos + 1]} << 16 |
                                 std::size_t{file[pos + 2]} << 8 | file[pos + 3];
        types.emplace_back(file.begin() + static_cast<std::ptrdiff_t>(pos + 4),
                           file.begin() + static_cast<std::ptrdiff_t>(pos + 8));
        if (size < 8) break;
        pos += size;
    }
    return types;
}

// A JPEG XL file whose Exif box libjxl compresses into a "brob" box.
Bytes JxlWithCompressedExifBox(const Bytes& content) {
    JxlEncoderPtr encoder = JxlEncoderMake(nullptr);
    JxlEncoder* enc = encoder.get();
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = 8;
    info.ysize = 8;
    info.bits_per_sample = 8;
    info.num_color_channels = 3;
    info.uses_original_profile = JXL_TRUE;
    JxlColorEncoding srgb;
    JxlColorEncodingSetToSRGB(&srgb, JXL_FALSE);
    EXPECT_EQ(JxlEncoderUseBoxes(enc), JXL_ENC_SUCCESS);
    EXPECT_EQ(JxlEncoderSetBasicInfo(enc, &info), JXL_ENC_SUCCESS);
    EXPECT_EQ(JxlEncoderSetColorEncoding(enc, &srgb), JXL_ENC_SUCCESS);
    EXPECT_EQ(JxlEncoderAddBox(enc, "Exif", content.data(), content.size(), JXL_TRUE), JXL_ENC_SUCCESS);
    JxlEncoderCloseBoxes(enc);
    JxlEncoderFrameSettings* frame = JxlEncoderFrameSettingsCreate(enc, nullptr);
    EXPECT_EQ(JxlEncoderSetFrameLossless(frame, JXL_TRUE), JXL_ENC_SUCCESS);
    const Bytes pixels(8 * 8 * 3, 128);
    const JxlPixelFormat format{3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    EXPECT_EQ(JxlEncoderAddImageFrame(frame, &format, pixels.data(), pixels.size()), JXL_ENC_SUCCESS);
    JxlEncoderCloseInput(enc);
    Bytes out(1 << 16);
    std::uint8_t* next = out.data();
    std::size_t available = out.size();
    EXPECT_EQ(JxlEncoderProcessOutput(enc, &next, &available), JXL_ENC_SUCCESS);
    out.resize(out.size() - available);
    return out;
}

// A HEIF file whose primary image has this Exif item payload (after the header offset, which
// libheif sets to where the TIFF header starts), as phones write them.
Bytes HeifWithExif(const Bytes& payload, const std::string& path) {
    heif_init(nullptr);
    heif_context* context = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    heif_image* image = nullptr;
    heif_image_handle* handle = nullptr;
    EXPECT_EQ(heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder).code, heif_error_Ok);
    EXPECT_EQ(heif_image_create(16, 16, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image).code, heif_error_Ok);
    EXPECT_EQ(heif_image_add_plane(image, heif_channel_interleaved, 16, 16, 8).code, heif_error_Ok);
    int stride = 0;
    std::memset(heif_image_get_plane(image, heif_channel_interleaved, &stride), 90, 16 * 48);
    EXPECT_EQ(heif_context_encode_image(context, image, encoder, nullptr, &handle).code, heif_error_Ok);
    EXPECT_EQ(heif_context_add_exif_metadata(context, handle, payload.data(), static_cast<int>(payload.size())).code,
              heif_error_Ok);
    EXPECT_EQ(heif_context_write_to_file(context, path.c_str()).code, heif_error_Ok);
    heif_image_handle_release(handle);
    heif_image_release(image);
    heif_encoder_release(encoder);
    heif_context_free(context);
    return test::ReadBytes(path);
}

Bytes Webp(const Bytes& exifChunk) {
    return WebpWithExif(EncodeWebp(test::TexturedPicture(8, 8), nullptr, {80, false, 4}), exifChunk);
}

Bytes Png(const std::string& path) {
    test::WritePngFile(path, 4, 4, test::PngKind::Rgb, [](int x, int y) {
        return test::Rgba{std::uint8_t(x * 50), std::uint8_t(y * 50), 9, 255};
    });
    return test::ReadBytes(path);
}

TEST(SourceExif, ContainersFollowTheReaderOfTheExtension) {
    const std::pair<const char*, ExifContainer> cases[] = {
        {"heic", ExifContainer::Heif},   {".HEIF", ExifContainer::Heif}, {"hif", ExifContainer::Heif},
        {"avif", ExifContainer::Avif},   {".WebP", ExifContainer::Webp}, {"jxl", ExifContainer::JpegXl},
        {"png", ExifContainer::Png},     {"jpg", ExifContainer::None},   {"tif", ExifContainer::None},
        {"bmp", ExifContainer::None},    {"", ExifContainer::None},      {"heics", ExifContainer::None},
    };
    for (const auto& [extension, container] : cases) {
        EXPECT_EQ(ExifContainerOf(extension), container) << extension;
        EXPECT_EQ(PictureComesUpright(ExifContainerOf(extension)),
                  container == ExifContainer::Heif || container == ExifContainer::Avif)
            << extension;
    }
}

TEST(SourceExif, ReferenceEncodersCarryTheCameraBlockThrough) {
    for (const char* tool : {"heif-enc", "avifenc", "cwebp", "cjxl"}) ASSERT_TRUE(test::HaveProgram(tool)) << tool;
    const Bytes camera = test::ReadBytes(CameraJpeg());
    const Bytes block = JpegExifBlock(camera);
    ASSERT_GT(block.size(), 1000u);
    test::TempDir dir;
    const std::string jpeg = ShellQuote(CameraJpeg());
    struct Case {
        const char* file;
        ExifContainer container;
        std::string command;
    };
    const Case cases[] = {
        {"a.heic", ExifContainer::Heif, "heif-enc -q 30 " + jpeg + " -o " + ShellQuote(dir / "a.heic")},
        {"a.avif", ExifContainer::Avif, "avifenc -s 10 " + jpeg + " " + ShellQuote(dir / "a.avif")},
        {"a.webp", ExifContainer::Webp, "cwebp -quiet -metadata exif " + jpeg + " -o " + ShellQuote(dir / "a.webp")},
        // The JPEG recompressed: its Exif box is Brotli-compressed.
        {"a.jxl", ExifContainer::JpegXl, "cjxl --quiet " + jpeg + " " + ShellQuote(dir / "a.jxl")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const test::CommandResult r = test::RunCommand(c.command + " 2>&1");
        ASSERT_EQ(r.exitStatus, 0) << r.output;
        EXPECT_EQ(SourceExifBlock(c.container, test::ReadBytes(dir / c.file)), block);
    }
    const std::vector<std::string> boxes = BoxTypes(test::ReadBytes(dir / "a.jxl"));
    EXPECT_NE(std::find(boxes.begin(), boxes.end(), "brob"), boxes.end());
    EXPECT_EQ(std::find(boxes.begin(), boxes.end(), "Exif"), boxes.end());
}

TEST(SourceExif, PrefixesAndHeaderOffsetsAreSkipped) {
    test::TempDir dir;
    const Bytes block = test::ExifOrientationBlock(6, test::ByteOrder::Motorola);
    const Bytes segmentPrefix = Text(std::string_view("Exif\0\0", 6));
    const Bytes codestream = EncodeJxl(test::TexturedPicture(8, 8), nullptr, {90, true, 1});
    ASSERT_EQ(codestream[0], 0xFF);
    auto jxl = [&](const Bytes& exifBox) {
        return Concat({Big32(12), Text("JXL "), {0x0D, 0x0A, 0x87, 0x0A}, Box("ftyp", Text(std::string_view("jxl \0\0\0\0jxl ", 12))),
                       Box("jxlc", codestream), exifBox});
    };
    struct Case {
        const char* name;
        ExifContainer container;
        Bytes file;
    };
    const Case cases[] = {
        {"HEIF item as phones write it: offset 6, then Exif\\0\\0", ExifContainer::Heif,
         HeifWithExif(Concat({segmentPrefix, block}), dir / "phone.heic")},
        {"HEIF item with the block right after the offset", ExifContainer::Heif, HeifWithExif(block, dir / "plain.heic")},
        {"WebP chunk with Exif\\0\\0", ExifContainer::Webp, Webp(Concat({segmentPrefix, block}))},
        {"WebP chunk, bare", ExifContainer::Webp, Webp(block)},
        {"JPEG XL box, offset 0", ExifContainer::JpegXl, JxlWithExif(codestream, block)},
        {"JPEG XL box, offset 6 over Exif\\0\\0", ExifContainer::JpegXl, jxl(Box("Exif", Concat({Big32(6), segmentPrefix, block})))},
        {"JPEG XL box, offset 3 over other bytes", ExifContainer::JpegXl, jxl(Box("Exif", Concat({Big32(3), {1, 2, 3}, block})))},
        {"JPEG XL box compressed", ExifContainer::JpegXl, JxlWithCompressedExifBox(Concat({Big32(0), block}))},
        {"PNG chunk", ExifContainer::Png, test::WithExifChunk(Png(dir / "a.png"), block)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(SourceExifBlock(c.container, c.file), block);
    }
}

TEST(SourceExif, DamagedOversizedOrMissingBlocksGiveNone) {
    test::TempDir dir;
    const Bytes block = test::ExifOrientationBlock(3);
    // A block past the limit: a valid header, then padding.
    Bytes huge = block;
    huge.resize(kMaxSourceExifBytes + 16);
    Bytes bomb = Concat({Big32(0), block});
    bomb.resize(8 << 20);  // compresses to a few hundred bytes
    const Bytes codestream = EncodeJxl(test::TexturedPicture(8, 8), nullptr, {90, true, 1});
    const Bytes withExif = JxlWithExif(codestream, block);
    Bytes cutBox = withExif;
    cutBox.resize(cutBox.size() - 2);  // the Exif box, last in the file, runs past its end
    Bytes badOffset = withExif;
    badOffset[badOffset.size() - block.size() - 1] = 0xFF;  // the offset's low byte: past the box
    Bytes png = test::WithExifChunk(Png(dir / "a.png"), block);
    Bytes badCrc = png;
    badCrc[33 + 8 + block.size()] ^= 1;  // after the IHDR chunk: the eXIf chunk's CRC
    const Bytes notTiff = {'I', 'I', 43, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0};

    struct Case {
        const char* name;
        ExifContainer container;
        Bytes file;
    };
    const Case cases[] = {
        {"HEIF without an Exif item", ExifContainer::Heif, EncodeAvif(test::TexturedPicture(8, 8), nullptr, {60, 10}, {}, {})},
        {"AVIF without an Exif item", ExifContainer::Avif, EncodeAvif(test::TexturedPicture(8, 8), nullptr, {60, 10}, {}, {})},
        {"AVIF item too large", ExifContainer::Avif, EncodeAvif(test::TexturedPicture(8, 8), nullptr, {60, 10}, {}, huge)},
        {"WebP without a chunk", ExifContainer::Webp, EncodeWebp(test::TexturedPicture(8, 8), nullptr, {80, false, 4})},
        {"WebP chunk too large", ExifContainer::Webp, Webp(huge)},
        {"WebP chunk that is no TIFF structure", ExifContainer::Webp, Webp(notTiff)},
        {"JPEG XL codestream without a container", ExifContainer::JpegXl, codestream},
        {"JPEG XL box cut short", ExifContainer::JpegXl, cutBox},
        {"JPEG XL header offset past the box", ExifContainer::JpegXl, badOffset},
        {"JPEG XL box too large", ExifContainer::JpegXl, JxlWithExif(codestream, huge)},
        {"JPEG XL compressed box that unpacks to 8 MiB", ExifContainer::JpegXl, JxlWithCompressedExifBox(bomb)},
        {"PNG chunk with a wrong CRC", ExifContainer::Png, badCrc},
        {"PNG chunk too large", ExifContainer::Png, test::WithExifChunk(Png(dir / "b.png"), huge)},
        {"PNG chunk that is no TIFF structure", ExifContainer::Png, test::WithExifChunk(Png(dir / "c.png"), notTiff)},
        {"no format", ExifContainer::None, png},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto started = std::chrono::steady_clock::now();
        EXPECT_TRUE(SourceExifBlock(c.container, c.file).empty());
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    }
}

TEST(SourceExif, CutAndNoisyFilesGiveTheBlockOrNone) {
    test::TempDir dir;
    const Bytes block = test::ExifOrientationBlock(8);
    const Bytes png = test::WithExifChunk(Png(dir / "a.png"), block);
    struct File {
        const char* name;
        ExifContainer container;
        Bytes whole;
        bool compressed;  // damage inside the block's compressed form changes what comes out
    };
    const File files[] = {
        {"HEIF", ExifContainer::Heif, HeifWithExif(block, dir / "a.heic"), false},
        {"AVIF", ExifContainer::Avif, EncodeAvif(test::TexturedPicture(8, 8), nullptr, {60, 10}, {}, block), false},
        {"WebP", ExifContainer::Webp, Webp(block), false},
        {"JPEG XL", ExifContainer::JpegXl,
         JxlWithExif(EncodeJxl(test::TexturedPicture(8, 8), nullptr, {90, true, 1}), block), false},
        {"JPEG XL, compressed box", ExifContainer::JpegXl, JxlWithCompressedExifBox(Concat({Big32(0), block})), true},
        {"PNG", ExifContainer::Png, png, false},
    };
    for (const auto& [name, container, whole, compressed] : files) {
        SCOPED_TRACE(name);
        ASSERT_EQ(SourceExifBlock(container, whole), block);
        for (std::size_t keep = 0; keep < whole.size(); keep += 1 + whole.size() / 40) {
            const Bytes found = SourceExifBlock(container, Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(keep)));
            EXPECT_TRUE(found.empty() || found == block) << "cut to " << keep;
        }
        for (std::size_t at = 0; at < whole.size(); at += 3) {
            Bytes noisy = whole;
            noisy[at] ^= 0xA5;
            const Bytes found = SourceExifBlock(container, noisy);
            // A flipped byte inside the block itself is carried as found; its size holds.
            const bool tiff = found.size() >= 8 && (found[0] == 'I' || found[0] == 'M');
            EXPECT_TRUE(found.empty() || found.size() == block.size() || (compressed && tiff)) << "byte " << at;
        }
    }
}

}  // namespace
}  // namespace zelvan
