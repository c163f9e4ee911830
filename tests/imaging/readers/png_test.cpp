// The PNG reader against libpng's simplified interface (png_image, BGRA) over PngSuite and the
// other PNG files of the corpora, and against damaged files made from them.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include <png.h>
#include <zlib.h>

#include "base/error.h"
#include "imaging/readers/readers.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

std::uint32_t Be32(const Bytes& b, std::size_t at) {
    return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 |
           std::uint32_t{b[at + 2]} << 8 | b[at + 3];
}

void PutBe32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

struct Chunk {
    std::size_t offset;  // of the length field
    std::uint32_t length;
    std::string type;
};

std::vector<Chunk> Chunks(const Bytes& png) {
    std::vector<Chunk> chunks;
    std::size_t at = 8;
    while (at + 12 <= png.size()) {
        std::uint32_t length = Be32(png, at);
        chunks.push_back({at, length, std::string(png.begin() + at + 4, png.begin() + at + 8)});
        if (length > png.size() - at - 12) break;
        at += 12 + length;
    }
    return chunks;
}

const Chunk* FindChunk(const std::vector<Chunk>& chunks, const std::string& type) {
    for (const Chunk& c : chunks)
        if (c.type == type) return &c;
    return nullptr;
}

// The file without the chunks that would make png_image convert colours (this program ignores
// gamma and colour chunks).
Bytes WithoutColourChunks(const Bytes& png) {
    Bytes out(png.begin(), png.begin() + 8);
    for (const Chunk& c : Chunks(png)) {
        if (c.type == "gAMA" || c.type == "cHRM" || c.type == "sRGB" || c.type == "iCCP" ||
            c.type == "sBIT")
            continue;
        out.insert(out.end(), png.begin() + c.offset, png.begin() + c.offset + 12 + c.length);
    }
    return out;
}

// Recomputes a chunk's CRC after its data was edited.
void FixCrc(Bytes& png, const Chunk& c) {
    uLong crc = crc32(0, png.data() + c.offset + 4, 4 + c.length);
    PutBe32(png, c.offset + 8 + c.length, static_cast<std::uint32_t>(crc));
}

// png_image's decode as 8-bit red, green, blue, alpha per pixel, and whether each pixel's
// colour is known exactly.
struct Reference {
    bool ok = false;
    int width = 0;
    int height = 0;
    std::vector<std::array<std::uint8_t, 4>> rgba;
    std::vector<bool> colourKnown;
};

// 8-bit files are read as BGRA. png_image takes 16-bit samples for linear light and converts
// them on the way to 8 bits, so those are read as 16-bit linear samples and rounded here;
// that format premultiplies alpha, so only opaque pixels keep their exact colour.
Reference DecodeWithPngImage(const Bytes& png) {
    Reference r;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) return r;
    const bool sixteen = png.size() > 24 && png[24] == 16;
    image.format = sixteen ? PNG_FORMAT_LINEAR_RGB_ALPHA : PNG_FORMAT_BGRA;
    std::vector<std::uint8_t> buffer(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, buffer.data(), 0, nullptr)) {
        png_image_free(&image);
        return r;
    }
    r.ok = true;
    r.width = static_cast<int>(image.width);
    r.height = static_cast<int>(image.height);
    const std::size_t count = static_cast<std::size_t>(r.width) * r.height;
    for (std::size_t i = 0; i < count; ++i) {
        if (sixteen) {
            std::uint16_t v[4];
            std::memcpy(v, buffer.data() + i * 8, 8);
            auto to8 = [](unsigned x) { return static_cast<std::uint8_t>((x * 255 + 32767) / 65535); };
            r.rgba.push_back({to8(v[0]), to8(v[1]), to8(v[2]), to8(v[3])});
            r.colourKnown.push_back(v[3] == 65535);
        } else {
            const std::uint8_t* p = buffer.data() + i * 4;
            r.rgba.push_back({p[2], p[1], p[0], p[3]});
            r.colourKnown.push_back(true);
        }
    }
    return r;
}

// Empty when the raster shows the reference's colours (and its alpha when it has alpha).
std::string DiffFromReference(const Raster& raster, const Reference& ref) {
    if (raster.width() != ref.width || raster.height() != ref.height) return "size differs";
    const bool alpha = raster.bitsPerPixel() == 32;
    for (int y = 0; y < ref.height; ++y)
        for (int x = 0; x < ref.width; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * ref.width + x;
            const auto& p = ref.rgba[i];
            Rgb c = raster.PixelColour(x, y);
            bool same = !ref.colourKnown[i] || c == Rgb{p[0], p[1], p[2]};
            if (alpha) same = same && raster.row(y)[x * 4 + 3] == p[3];
            if (!same)
                return "pixel " + std::to_string(x) + "," + std::to_string(y) + " is " +
                       std::to_string(c.red) + "," + std::to_string(c.green) + "," +
                       std::to_string(c.blue) + " instead of " + std::to_string(p[0]) + "," +
                       std::to_string(p[1]) + "," + std::to_string(p[2]) + "," + std::to_string(p[3]);
        }
    return {};
}

std::string PngSuiteDir() {
    return test::CorporaDir() + "/libsixel-examples/usr/share/doc/libsixel-examples/examples/images/pngsuite";
}

std::string ErrorOf(const Bytes& bytes) {
    try {
        ReadPng(bytes);
    } catch (const Error& e) {
        return e.what();
    }
    return {};
}

// Every valid file of PngSuite and of the other corpora decodes to png_image's pixels, with the
// raster depth its colour type calls for; PngSuite's x*.png files (corrupt) fail.
TEST(PngReader, CorpusFilesMatchPngImage) {
    const std::map<int, int> depthOfColourType = {{0, 8}, {2, 24}, {3, 8}, {4, 32}, {6, 32}};
    std::map<int, int> decodedPerColourType;
    int corruptFailed = 0;
    for (const auto& entry : fs::recursive_directory_iterator(test::CorporaDir())) {
        if (!entry.is_regular_file() || entry.path().extension() != ".png") continue;
        const std::string path = entry.path().string();
        const std::string name = entry.path().filename().string();
        // Damaged on purpose: checked by the test below.
        if (path.find("/randomly-modified/") != std::string::npos) continue;
        SCOPED_TRACE(path);
        const Bytes bytes = test::ReadBytes(path);
        // bug696331.png ends inside its IDAT chunk (a partial picture for gdk-pixbuf).
        const bool corrupt = (path.find("/pngsuite/") != std::string::npos && name[0] == 'x') ||
                             path.find("/fail/") != std::string::npos || name == "bug696331.png";
        if (corrupt) {
            std::string error = ErrorOf(bytes);
            EXPECT_EQ(error.rfind("PNG: ", 0), 0u) << "decoded, or: " << error;
            ++corruptFailed;
            continue;
        }
        ASSERT_GE(bytes.size(), 26u);
        if (Be32(bytes, 16) * std::uint64_t{Be32(bytes, 20)} > kMaxPixels) {
            EXPECT_NE(ErrorOf(bytes).find("larger than the limit"), std::string::npos);
            continue;
        }
        DecodedPicture picture = ReadPng(bytes);
        const int colourType = bytes[25];
        EXPECT_EQ(picture.kind, PictureKind::Png);
        EXPECT_EQ(picture.pngColourType, colourType);
        // A grey or RGB file's transparent colour comes out as an alpha channel.
        const bool keyed = (colourType == 0 || colourType == 2) && FindChunk(Chunks(bytes), "tRNS") != nullptr;
        EXPECT_EQ(picture.pngTransparentColour, keyed);
        EXPECT_EQ(picture.raster.bitsPerPixel(), keyed ? 32 : depthOfColourType.at(colourType));
        Reference ref = DecodeWithPngImage(WithoutColourChunks(bytes));
        ASSERT_TRUE(ref.ok);
        EXPECT_EQ(DiffFromReference(picture.raster, ref), "");
        ++decodedPerColourType[colourType];
    }
    for (const auto& [type, depth] : depthOfColourType) EXPECT_GT(decodedPerColourType[type], 3) << type;
    EXPECT_GE(corruptFailed, 14 + 5);
}

// Indexed files keep their indices and file palette, padded with black to 256 entries; tRNS
// gives the opacity of each entry beside them.
TEST(PngReader, IndexedFileKeepsIndicesAndPalette) {
    const Bytes bytes = test::ReadBytes(PngSuiteDir() + "/transparency/tbbn3p08.png");
    const std::vector<Chunk> chunks = Chunks(bytes);
    const Chunk* plte = FindChunk(chunks, "PLTE");
    ASSERT_NE(plte, nullptr);
    ASSERT_NE(FindChunk(chunks, "tRNS"), nullptr);
    DecodedPicture picture = ReadPng(bytes);
    EXPECT_TRUE(picture.IsIndexedPng());
    EXPECT_FALSE(picture.HasAlpha());
    const Chunk* trns = FindChunk(chunks, "tRNS");
    ASSERT_EQ(picture.paletteOpacity.size(), 256u);
    for (std::size_t i = 0; i < 256; ++i)
        EXPECT_EQ(picture.paletteOpacity[i], i < trns->length ? bytes[trns->offset + 8 + i] : 255) << i;
    const std::vector<PaletteEntry>& palette = picture.raster.palette();
    ASSERT_EQ(palette.size(), 256u);
    const std::size_t entries = plte->length / 3;
    for (std::size_t i = 0; i < 256; ++i) {
        const std::uint8_t* rgb = bytes.data() + plte->offset + 8 + 3 * i;
        PaletteEntry want = i < entries ? PaletteEntry{rgb[2], rgb[1], rgb[0], 0} : PaletteEntry{};
        EXPECT_EQ(palette[i], want) << i;
    }
}

TEST(PngReader, DamagedFilesFail) {
    const Bytes good = test::ReadBytes(PngSuiteDir() + "/basic/basn2c08.png");
    const std::vector<Chunk> chunks = Chunks(good);
    const Chunk* idat = FindChunk(chunks, "IDAT");
    const Chunk* gama = FindChunk(chunks, "gAMA");
    const Chunk* ihdr = FindChunk(chunks, "IHDR");
    const Chunk* iend = FindChunk(chunks, "IEND");
    ASSERT_TRUE(idat && gama && ihdr && iend);
    ASSERT_NO_THROW(ReadPng(good));

    struct Case {
        const char* name;
        Bytes bytes;
        const char* message;
    };
    std::vector<Case> cases;
    Bytes badIdat = good;
    badIdat[idat->offset + 8 + idat->length] ^= 0x10;
    cases.push_back({"CRC error in IDAT", badIdat, "IDAT: CRC error"});
    Bytes flipped = good;
    flipped[idat->offset + 8 + idat->length / 2] ^= 0x10;
    cases.push_back({"a bit flipped in IDAT", flipped, "PNG: "});
    Bytes badGama = good;
    badGama[gama->offset + 9] ^= 0x01;
    cases.push_back({"CRC error in an ancillary chunk", badGama, "gAMA: CRC error"});
    Bytes badZlib = good;
    badZlib[idat->offset + 8] ^= 0x01;  // zlib header check
    FixCrc(badZlib, *idat);
    cases.push_back({"zlib error", badZlib, "IDAT: incorrect header check"});
    Bytes shortStream = good;
    shortStream.erase(shortStream.begin() + idat->offset + 8 + idat->length / 2,
                      shortStream.begin() + idat->offset + 8 + idat->length);
    PutBe32(shortStream, idat->offset, idat->length - idat->length / 2);
    FixCrc(shortStream, Chunk{idat->offset, idat->length - idat->length / 2, "IDAT"});
    cases.push_back({"image data stream cut short", shortStream, "PNG: "});
    cases.push_back({"truncated inside IDAT", Bytes(good.begin(), good.begin() + idat->offset + 8 + idat->length / 2),
                     "PNG: file is truncated"});
    cases.push_back({"no IEND", Bytes(good.begin(), good.begin() + iend->offset), "PNG: file is truncated"});
    cases.push_back({"signature only", Bytes(good.begin(), good.begin() + 8), "PNG: file is truncated"});
    cases.push_back({"not a PNG", Bytes{'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0}, "PNG: "});
    cases.push_back({"empty", Bytes{}, "PNG: "});
    Bytes huge = good;
    PutBe32(huge, ihdr->offset + 8, 20000);
    PutBe32(huge, ihdr->offset + 12, 20000);
    FixCrc(huge, *ihdr);
    cases.push_back({"declared size over the limit", huge, "PNG: image of 20000x20000 pixels is larger than the limit"});
    // 768 MB of pixels cannot come out of a 200-byte file: refused before allocating them.
    Bytes tooShort = good;
    PutBe32(tooShort, ihdr->offset + 8, 16384);
    PutBe32(tooShort, ihdr->offset + 12, 16384);
    FixCrc(tooShort, *ihdr);
    cases.push_back({"declared size far beyond the data", tooShort, "PNG: file is truncated (too short for an image of 16384x16384 pixels)"});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error = ErrorOf(c.bytes);
        EXPECT_NE(error.find(c.message), std::string::npos) << "error: " << error;
        EXPECT_EQ(error.rfind("PNG: ", 0), 0u) << error;
    }
}

// Files damaged at random either decode or fail with an Error; nothing else escapes.
TEST(PngReader, RandomlyModifiedFilesDecodeOrFail) {
    const fs::path dir = test::CorporaDir() +
                         "/gdk-pixbuf-tests/usr/libexec/installed-tests/gdk-pixbuf/test-images/randomly-modified";
    int files = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".png") continue;
        ++files;
        SCOPED_TRACE(entry.path().string());
        const Bytes bytes = test::ReadBytes(entry.path().string());
        try {
            DecodedPicture picture = ReadPng(bytes);
            EXPECT_FALSE(picture.raster.empty());
        } catch (const Error& e) {
            EXPECT_EQ(std::string(e.what()).rfind("PNG: ", 0), 0u) << e.what();
        }
    }
    EXPECT_GT(files, 0);
}

}  // namespace
}  // namespace zelvan
