// The PNG reader against libpng's simplified interface (png_image, BGRA) over PngSuite and the
// other PNG files of the corpora, and against damaged files made from them; then byte for byte
// against libpng's classic interface over the corpora and over files made here, and against
// damage made in their chunks and image data.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <utility>
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

std::string ErrorOf(const Bytes& bytes, ReaderFn read = ReadPng) {
    try {
        read(bytes);
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
        // Large pictures are inflated in parts: the same damage, the same message.
        const std::string inParts = ErrorOf(c.bytes, ReadPngInflatingInParts);
        EXPECT_NE(inParts.find(c.message), std::string::npos) << "inflating in parts: " << inParts;
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

// ---------------------------------------------------------------------------------------------
// Chunk surgery on made files.

struct ChunkData {
    std::string type;
    Bytes data;
};

std::vector<ChunkData> SplitChunks(const Bytes& png) {
    std::vector<ChunkData> out;
    for (const Chunk& c : Chunks(png))
        out.push_back({c.type, Bytes(png.begin() + c.offset + 8, png.begin() + c.offset + 8 + c.length)});
    return out;
}

Bytes JoinChunks(const std::vector<ChunkData>& chunks) {
    Bytes out = {137, 'P', 'N', 'G', 13, 10, 26, 10};
    for (const ChunkData& c : chunks) {
        const std::size_t at = out.size();
        out.resize(at + 12 + c.data.size());
        PutBe32(out, at, static_cast<std::uint32_t>(c.data.size()));
        std::memcpy(out.data() + at + 4, c.type.data(), 4);
        if (!c.data.empty()) std::memcpy(out.data() + at + 8, c.data.data(), c.data.size());
        FixCrc(out, Chunk{at, static_cast<std::uint32_t>(c.data.size()), c.type});
    }
    return out;
}

// The inflated image data of a file (every IDAT chunk's data joined).
Bytes Inflated(const std::vector<ChunkData>& chunks) {
    Bytes z;
    for (const ChunkData& c : chunks)
        if (c.type == "IDAT") z.insert(z.end(), c.data.begin(), c.data.end());
    Bytes raw(1 << 20);
    uLongf size = raw.size();
    EXPECT_EQ(uncompress(raw.data(), &size, z.data(), z.size()), Z_OK);
    raw.resize(size);
    return raw;
}

Bytes Deflated(const Bytes& raw) {
    Bytes z(compressBound(raw.size()));
    uLongf size = z.size();
    EXPECT_EQ(compress2(z.data(), &size, raw.data(), raw.size(), 6), Z_OK);
    z.resize(size);
    return z;
}

// The chunks with the image data replaced by `z` in IDAT chunks of `piece` bytes.
std::vector<ChunkData> WithImageData(const std::vector<ChunkData>& chunks, const Bytes& z, std::size_t piece = 1 << 16) {
    std::vector<ChunkData> out;
    bool placed = false;
    for (const ChunkData& c : chunks) {
        if (c.type != "IDAT") {
            out.push_back(c);
            continue;
        }
        if (placed) continue;
        placed = true;
        for (std::size_t at = 0; at < z.size(); at += piece)
            out.push_back({"IDAT", Bytes(z.begin() + static_cast<std::ptrdiff_t>(at),
                                         z.begin() + static_cast<std::ptrdiff_t>(std::min(z.size(), at + piece)))});
    }
    return out;
}

std::size_t IndexOf(const std::vector<ChunkData>& chunks, const std::string& type) {
    for (std::size_t i = 0; i < chunks.size(); ++i)
        if (chunks[i].type == type) return i;
    ADD_FAILURE() << "no " << type;
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Exact pixels: libpng's classic interface, asked for the raster layouts this program keeps, is
// the reference for every colour type, bit depth, filter and interlace method.

// A decode by libpng with 16-bit samples scaled to 8 bits, indices unpacked, grey levels
// stretched, a grey or RGB file's transparent colour turned into alpha (grey then spread to
// three channels), grey with alpha spread to three channels and RGB as BGR.
struct LibpngDecode {
    int width = 0;
    int height = 0;
    int bytesPerPixel = 0;
    bool transparentColour = false;
    std::vector<std::uint8_t> pixels;  // rows of width * bytesPerPixel bytes
    std::vector<png_color> palette;
};

struct LibpngReadState {
    const Bytes* bytes = nullptr;
    std::size_t position = 0;
    png_structp png = nullptr;
    png_infop info = nullptr;
    std::vector<png_bytep> rows;
    ~LibpngReadState() {
        if (png) png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    }
};

void ReadFromBytes(png_structp png, png_bytep out, size_t count) {
    auto* state = static_cast<LibpngReadState*>(png_get_io_ptr(png));
    if (count > state->bytes->size() - state->position) png_error(png, "file is truncated");
    std::memcpy(out, state->bytes->data() + state->position, count);
    state->position += count;
}

void QuietWarning(png_structp, png_const_charp) {}

// No object with a destructor lives in this frame: libpng leaves it through longjmp.
bool RunLibpngReference(LibpngReadState& s, LibpngDecode& out) {
    if (setjmp(png_jmpbuf(s.png))) return false;
    png_set_read_fn(s.png, &s, ReadFromBytes);
    png_read_info(s.png, s.info);
    const int colourType = png_get_color_type(s.png, s.info);
    const int depth = png_get_bit_depth(s.png, s.info);
    out.transparentColour = (colourType == PNG_COLOR_TYPE_GRAY || colourType == PNG_COLOR_TYPE_RGB) &&
                            png_get_valid(s.png, s.info, PNG_INFO_tRNS);
    if (depth == 16) png_set_scale_16(s.png);
    if (colourType == PNG_COLOR_TYPE_PALETTE) {
        png_colorp colours = nullptr;
        int count = 0;
        if (png_get_PLTE(s.png, s.info, &colours, &count)) out.palette.assign(colours, colours + count);
        if (depth < 8) png_set_packing(s.png);
    } else if (colourType == PNG_COLOR_TYPE_GRAY) {
        if (depth < 8) png_set_expand_gray_1_2_4_to_8(s.png);
    }
    if (out.transparentColour) png_set_tRNS_to_alpha(s.png);
    if ((colourType == PNG_COLOR_TYPE_GRAY && out.transparentColour) || colourType == PNG_COLOR_TYPE_GRAY_ALPHA)
        png_set_gray_to_rgb(s.png);
    if (colourType == PNG_COLOR_TYPE_RGB || colourType == PNG_COLOR_TYPE_RGB_ALPHA) png_set_bgr(s.png);
    png_set_interlace_handling(s.png);
    png_read_update_info(s.png, s.info);
    out.width = static_cast<int>(png_get_image_width(s.png, s.info));
    out.height = static_cast<int>(png_get_image_height(s.png, s.info));
    out.bytesPerPixel = png_get_channels(s.png, s.info);
    const std::size_t rowBytes = png_get_rowbytes(s.png, s.info);
    out.pixels.resize(rowBytes * static_cast<std::size_t>(out.height));
    s.rows.resize(static_cast<std::size_t>(out.height));
    for (std::size_t y = 0; y < s.rows.size(); ++y) s.rows[y] = out.pixels.data() + y * rowBytes;
    png_read_image(s.png, s.rows.data());
    png_read_end(s.png, nullptr);
    return true;
}

std::optional<LibpngDecode> DecodeWithLibpng(const Bytes& bytes) {
    LibpngReadState state;
    state.bytes = &bytes;
    state.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, QuietWarning);
    if (!state.png) return std::nullopt;
    state.info = png_create_info_struct(state.png);
    LibpngDecode out;
    if (!state.info || !RunLibpngReference(state, out)) return std::nullopt;
    return out;
}

// Empty when the picture holds exactly libpng's pixels, palette and transparency.
std::string DiffFromLibpng(const DecodedPicture& picture, const LibpngDecode& ref) {
    const Raster& raster = picture.raster;
    if (raster.width() != ref.width || raster.height() != ref.height) return "size differs";
    if (raster.bitsPerPixel() != ref.bytesPerPixel * 8)
        return "raster of " + std::to_string(raster.bitsPerPixel()) + " bits per pixel";
    if (picture.pngTransparentColour != ref.transparentColour) return "transparent colour differs";
    const std::size_t rowBytes = static_cast<std::size_t>(ref.width) * ref.bytesPerPixel;
    for (int y = 0; y < ref.height; ++y) {
        const std::uint8_t* want = ref.pixels.data() + rowBytes * static_cast<std::size_t>(y);
        const auto [got, expected] = std::mismatch(raster.row(y), raster.row(y) + rowBytes, want);
        if (got != raster.row(y) + rowBytes)
            return "row " + std::to_string(y) + " byte " + std::to_string(got - raster.row(y)) + " is " +
                   std::to_string(*got) + " instead of " + std::to_string(*expected);
    }
    if (picture.pngColourType == PNG_COLOR_TYPE_PALETTE) {
        if (raster.palette().size() != 256) return "palette is not 256 entries";
        for (std::size_t i = 0; i < 256; ++i) {
            const PaletteEntry want = i < ref.palette.size()
                                          ? PaletteEntry{ref.palette[i].blue, ref.palette[i].green, ref.palette[i].red, 0}
                                          : PaletteEntry{};
            if (raster.palette()[i] != want) return "palette entry " + std::to_string(i) + " differs";
        }
    } else if (picture.pngColourType == PNG_COLOR_TYPE_GRAY && raster.bitsPerPixel() == 8) {
        for (std::size_t i = 0; i < 256; ++i) {
            const auto v = static_cast<std::uint8_t>(i);
            if (raster.palette()[i] != PaletteEntry{v, v, v, 0}) return "grey palette entry " + std::to_string(i) + " differs";
        }
    }
    return {};
}

// What a file made by MakePng holds.
struct PngPlan {
    int colourType = PNG_COLOR_TYPE_RGB;
    int bitDepth = 8;
    bool interlaced = false;
    int filters = PNG_ALL_FILTERS;  // libpng's writer uses these, one of them alone when given one
    bool transparency = false;      // a tRNS chunk: a transparent colour, or palette opacities
    int width = 16;
    int height = 8;
};

void AppendToBytes(png_structp png, png_bytep data, size_t count) {
    auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + count);
}
void NoFlush(png_structp) {}

struct LibpngWriteState {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~LibpngWriteState() {
        if (png) png_destroy_write_struct(&png, info ? &info : nullptr);
    }
};

// No object with a destructor lives in this frame.
bool RunLibpngWriter(LibpngWriteState& s, const PngPlan& plan, const std::vector<png_color>& palette,
                     const std::vector<png_byte>& opacity, const png_color_16* key, png_bytepp rows, Bytes& out) {
    if (setjmp(png_jmpbuf(s.png))) return false;
    png_set_write_fn(s.png, &out, AppendToBytes, NoFlush);
    png_set_IHDR(s.png, s.info, static_cast<png_uint_32>(plan.width), static_cast<png_uint_32>(plan.height), plan.bitDepth,
                 plan.colourType, plan.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_filter(s.png, PNG_FILTER_TYPE_BASE, plan.filters);
    // Indices past the palette are the reader's to keep.
    png_set_check_for_invalid_index(s.png, 0);
    if (!palette.empty()) png_set_PLTE(s.png, s.info, palette.data(), static_cast<int>(palette.size()));
    if (!opacity.empty()) png_set_tRNS(s.png, s.info, opacity.data(), static_cast<int>(opacity.size()), nullptr);
    if (key) png_set_tRNS(s.png, s.info, nullptr, 0, key);
    png_write_info(s.png, s.info);
    png_write_image(s.png, rows);
    png_write_end(s.png, s.info);
    return true;
}

// A PNG file by libpng's writer with samples drawn from a few values (so that filters and the
// transparent colour meet repeats) and from the whole range. A transparent colour is one of
// the few values; the samples also hold it with its lowest bit flipped, which at 16 bits rounds
// to the same 8-bit value. Indexed files have fewer palette entries than their bit depth can
// name, and indices past them.
Bytes MakePng(const PngPlan& plan, std::mt19937& rng) {
    const int channels = plan.colourType == PNG_COLOR_TYPE_RGB         ? 3
                         : plan.colourType == PNG_COLOR_TYPE_RGB_ALPHA  ? 4
                         : plan.colourType == PNG_COLOR_TYPE_GRAY_ALPHA ? 2
                                                                        : 1;
    const unsigned maxSample = (1u << plan.bitDepth) - 1;
    std::vector<unsigned> few(4);
    for (unsigned& v : few) v = static_cast<unsigned>(rng()) & maxSample;
    png_color_16 key{};
    key.gray = key.red = static_cast<png_uint_16>(few[0]);
    key.green = static_cast<png_uint_16>(few[1]);
    key.blue = static_cast<png_uint_16>(few[2]);
    const bool keyed = plan.transparency && (plan.colourType == PNG_COLOR_TYPE_GRAY || plan.colourType == PNG_COLOR_TYPE_RGB);
    std::vector<png_color> palette;
    std::vector<png_byte> opacity;
    if (plan.colourType == PNG_COLOR_TYPE_PALETTE) {
        palette.resize(1 + rng() % (maxSample + 1) * 3 / 4);
        for (png_color& c : palette) c = {static_cast<png_byte>(rng()), static_cast<png_byte>(rng()), static_cast<png_byte>(rng())};
        if (plan.transparency) {
            opacity.resize(1 + rng() % palette.size());
            for (png_byte& a : opacity) a = static_cast<png_byte>(rng() % 3 ? rng() : 255);
        }
    }

    const std::size_t rowBytes = (static_cast<std::size_t>(plan.width) * channels * plan.bitDepth + 7) / 8;
    std::vector<Bytes> rows(static_cast<std::size_t>(plan.height), Bytes(rowBytes));
    std::vector<png_bytep> rowPointers;
    for (Bytes& row : rows) {
        for (std::size_t i = 0; i < static_cast<std::size_t>(plan.width) * channels; ++i) {
            unsigned v = rng() % 3 ? few[rng() % few.size()] : static_cast<unsigned>(rng()) & maxSample;
            if (keyed && rng() % 4 == 0) {
                // Whole pixels of the transparent colour, or of one bit beside it.
                const std::size_t channel = i % channels;
                v = plan.colourType == PNG_COLOR_TYPE_GRAY ? few[0] : few[channel];
                if (rng() % 2) v ^= 1;
            }
            if (plan.bitDepth == 16) {
                row[2 * i] = static_cast<std::uint8_t>(v >> 8);
                row[2 * i + 1] = static_cast<std::uint8_t>(v);
            } else if (plan.bitDepth == 8) {
                row[i] = static_cast<std::uint8_t>(v);
            } else {
                const std::size_t bit = i * static_cast<std::size_t>(plan.bitDepth);
                row[bit / 8] = static_cast<std::uint8_t>(row[bit / 8] | v << (8 - plan.bitDepth - bit % 8));
            }
        }
        rowPointers.push_back(row.data());
    }
    LibpngWriteState state;
    state.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, QuietWarning);
    if (state.png) state.info = png_create_info_struct(state.png);
    Bytes out;
    if (!state.info || !RunLibpngWriter(state, plan, palette, opacity, keyed ? &key : nullptr, rowPointers.data(), out))
        return {};
    return out;
}

// Every colour type and bit depth, each filter alone and all of them, interlaced or not, with
// and without tRNS, at sizes that leave partial SIMD steps at the ends of rows and empty
// interlace passes: the raster, palette and transparency are libpng's, byte for byte.
TEST(PngReader, MadeFilesMatchLibpngExactly) {
    const int colourTypesAndDepths[][2] = {{0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 8}, {2, 16}, {3, 1},
                                           {3, 2}, {3, 4}, {3, 8},  {4, 8}, {4, 16}, {6, 8}, {6, 16}};
    const int filterChoices[] = {PNG_FILTER_NONE, PNG_FILTER_SUB,   PNG_FILTER_UP,
                                 PNG_FILTER_AVG,  PNG_FILTER_PAETH, PNG_ALL_FILTERS};
    const int sizes[][2] = {{1, 1}, {2, 3}, {5, 2}, {7, 9}, {13, 6}, {40, 11}};
    std::mt19937 rng(20240611);
    for (const auto& [colourType, depth] : colourTypesAndDepths)
        for (const int filters : filterChoices)
            for (const bool interlaced : {false, true})
                for (const bool transparency : {false, true}) {
                    const auto& size = sizes[rng() % std::size(sizes)];
                    PngPlan plan{colourType, depth, interlaced, filters, transparency, size[0], size[1]};
                    // Wider rows now and then, for the SIMD loops' whole steps.
                    if (rng() % 3 == 0) plan.width = 61;
                    const Bytes bytes = MakePng(plan, rng);
                    SCOPED_TRACE("colour type " + std::to_string(colourType) + ", " + std::to_string(depth) +
                                 " bits, filters " + std::to_string(filters) + (interlaced ? ", interlaced" : "") +
                                 (transparency ? ", tRNS" : "") + ", " + std::to_string(plan.width) + "x" +
                                 std::to_string(plan.height));
                    ASSERT_FALSE(bytes.empty());
                    const std::optional<LibpngDecode> ref = DecodeWithLibpng(bytes);
                    ASSERT_TRUE(ref.has_value());
                    const DecodedPicture picture = ReadPng(bytes);
                    EXPECT_EQ(DiffFromLibpng(picture, *ref), "");
                    EXPECT_EQ(picture.pngColourType, colourType);
                    if (ref->transparentColour && depth < 16) {
                        // Bits of the transparent colour above the bit depth are not compared.
                        std::vector<ChunkData> chunks = SplitChunks(bytes);
                        for (std::size_t i = 0; i < chunks[IndexOf(chunks, "tRNS")].data.size(); i += 2)
                            chunks[IndexOf(chunks, "tRNS")].data[i] |= 0x81;
                        const Bytes highBits = JoinChunks(chunks);
                        const std::optional<LibpngDecode> highBitsRef = DecodeWithLibpng(highBits);
                        ASSERT_TRUE(highBitsRef.has_value());
                        EXPECT_EQ(DiffFromLibpng(ReadPng(highBits), *highBitsRef), "");
                    }
                    if (colourType == PNG_COLOR_TYPE_PALETTE && depth < 8) {
                        // A palette longer than the bit depth can name: the entries past it stay black.
                        std::vector<ChunkData> chunks = SplitChunks(bytes);
                        chunks[IndexOf(chunks, "PLTE")].data.resize(3 * 256, 0x7F);
                        const Bytes longer = JoinChunks(chunks);
                        const std::optional<LibpngDecode> longerRef = DecodeWithLibpng(longer);
                        ASSERT_TRUE(longerRef.has_value());
                        EXPECT_EQ(DiffFromLibpng(ReadPng(longer), *longerRef), "");
                    }
                }
}

// Files whose image data spans several 2 MB pages, which the reader hands back to the system
// as it goes: still libpng's pixels to the last row.
TEST(PngReader, LargeMadeFilesMatchLibpngExactly) {
    std::mt19937 rng(5);
    for (const PngPlan& plan : {PngPlan{PNG_COLOR_TYPE_RGB, 8, false, PNG_ALL_FILTERS, false, 1500, 1000},
                                PngPlan{PNG_COLOR_TYPE_RGB_ALPHA, 16, true, PNG_ALL_FILTERS, false, 640, 480}}) {
        SCOPED_TRACE(std::to_string(plan.colourType) + "/" + std::to_string(plan.bitDepth));
        const Bytes bytes = MakePng(plan, rng);
        ASSERT_FALSE(bytes.empty());
        const std::optional<LibpngDecode> ref = DecodeWithLibpng(bytes);
        ASSERT_TRUE(ref.has_value());
        EXPECT_EQ(DiffFromLibpng(ReadPng(bytes), *ref), "");
    }
}

// Large pictures' image data is inflated a row at a time into the raster: every colour type and
// depth, interlaced or not, spread over many IDAT chunks (an empty one among them), gives
// libpng's pixels that way too.
TEST(PngReader, InflatingInPartsMatchesLibpng) {
    const int colourTypesAndDepths[][2] = {{0, 1}, {0, 4}, {0, 16}, {2, 8}, {2, 16}, {3, 2},
                                           {3, 8}, {4, 8}, {4, 16}, {6, 8}, {6, 16}};
    std::mt19937 rng(30);
    for (const auto& [colourType, depth] : colourTypesAndDepths)
        for (const bool interlaced : {false, true}) {
            SCOPED_TRACE("colour type " + std::to_string(colourType) + ", " + std::to_string(depth) + " bits" +
                         (interlaced ? ", interlaced" : ""));
            const Bytes whole = MakePng(PngPlan{colourType, depth, interlaced, PNG_ALL_FILTERS, true, 61, 23}, rng);
            ASSERT_FALSE(whole.empty());
            std::vector<ChunkData> chunks = SplitChunks(whole);
            std::vector<ChunkData> pieces = WithImageData(chunks, Deflated(Inflated(chunks)), 1 + rng() % 97);
            pieces.insert(pieces.begin() + static_cast<std::ptrdiff_t>(IndexOf(pieces, "IDAT")) + 1, ChunkData{"IDAT", {}});
            const Bytes split = JoinChunks(pieces);
            for (const Bytes& bytes : {whole, split}) {
                const std::optional<LibpngDecode> ref = DecodeWithLibpng(bytes);
                ASSERT_TRUE(ref.has_value());
                EXPECT_EQ(DiffFromLibpng(ReadPngInflatingInParts(bytes), *ref), "");
            }
        }
}

// The same over the corpora: every file the reader decodes holds exactly libpng's pixels (16-bit
// files included, which the comparison with png_image above can only round).
TEST(PngReader, CorpusFilesMatchLibpngExactly) {
    int compared = 0;
    for (const auto& entry : fs::recursive_directory_iterator(test::CorporaDir())) {
        if (!entry.is_regular_file() || entry.path().extension() != ".png") continue;
        const Bytes bytes = test::ReadBytes(entry.path().string());
        DecodedPicture picture;
        try {
            picture = ReadPng(bytes);
        } catch (const Error&) {
            continue;
        }
        SCOPED_TRACE(entry.path().string());
        const std::optional<LibpngDecode> ref = DecodeWithLibpng(WithoutColourChunks(bytes));
        ASSERT_TRUE(ref.has_value());
        EXPECT_EQ(DiffFromLibpng(picture, *ref), "");
        ++compared;
    }
    EXPECT_GT(compared, 150);
}

// Files written differently but holding the same picture decode to the same raster: the image
// data in 1-byte IDAT chunks with empty ones among them, in stored (uncompressed) deflate blocks,
// ancillary chunks before and after it, bytes after IEND.
TEST(PngReader, SamePictureWrittenDifferentlyDecodesTheSame) {
    std::mt19937 rng(7);
    for (const PngPlan& plan : {PngPlan{PNG_COLOR_TYPE_RGB, 16, true, PNG_ALL_FILTERS, true, 19, 13},
                                PngPlan{PNG_COLOR_TYPE_PALETTE, 4, false, PNG_ALL_FILTERS, true, 23, 5},
                                PngPlan{PNG_COLOR_TYPE_RGB_ALPHA, 8, false, PNG_FILTER_PAETH, false, 33, 7}}) {
        const Bytes base = MakePng(plan, rng);
        const std::vector<ChunkData> chunks = SplitChunks(base);
        const DecodedPicture want = ReadPng(base);
        const Bytes raw = Inflated(chunks);
        const Bytes z = Deflated(raw);

        std::vector<std::pair<std::string, Bytes>> variants;
        std::vector<ChunkData> tiny = WithImageData(chunks, z, 1);
        tiny.insert(tiny.begin() + static_cast<std::ptrdiff_t>(IndexOf(tiny, "IDAT")) + 3, ChunkData{"IDAT", {}});
        tiny.insert(tiny.begin() + static_cast<std::ptrdiff_t>(IndexOf(tiny, "IEND")), ChunkData{"IDAT", {}});
        variants.emplace_back("1-byte IDAT chunks and empty ones", JoinChunks(tiny));
        Bytes stored(compressBound(raw.size()));
        uLongf storedSize = stored.size();
        ASSERT_EQ(compress2(stored.data(), &storedSize, raw.data(), raw.size(), 0), Z_OK);
        stored.resize(storedSize);
        variants.emplace_back("stored deflate blocks", JoinChunks(WithImageData(chunks, stored)));
        std::vector<ChunkData> extra = chunks;
        extra.insert(extra.begin() + 1, ChunkData{"zeRo", Bytes(5, 1)});
        extra.insert(extra.begin() + static_cast<std::ptrdiff_t>(IndexOf(extra, "IEND")), ChunkData{"tEXt", Bytes{'a', 0, 'b'}});
        Bytes trailing = JoinChunks(extra);
        trailing.insert(trailing.end(), {1, 2, 3});
        variants.emplace_back("ancillary chunks, bytes after IEND", trailing);

        for (const auto& [name, bytes] : variants) {
            SCOPED_TRACE(std::to_string(plan.colourType) + "/" + std::to_string(plan.bitDepth) + ": " + name);
            const DecodedPicture got = ReadPng(bytes);
            ASSERT_EQ(got.raster.byteSize(), want.raster.byteSize());
            EXPECT_EQ(std::memcmp(got.raster.data(), want.raster.data(), want.raster.byteSize()), 0);
            EXPECT_EQ(got.raster.palette(), want.raster.palette());
            EXPECT_EQ(got.paletteOpacity, want.paletteOpacity);
            EXPECT_EQ(got.pngTransparentColour, want.pngTransparentColour);
        }
    }
}

// Damage the chunk walk, the header checks and the image data checks catch, each with its
// message.
TEST(PngReader, DamagedStructureFails) {
    std::mt19937 rng(11);
    const Bytes rgb = MakePng(PngPlan{PNG_COLOR_TYPE_RGB, 8, false, PNG_ALL_FILTERS, false, 16, 8}, rng);
    const Bytes indexed = MakePng(PngPlan{PNG_COLOR_TYPE_PALETTE, 8, false, PNG_ALL_FILTERS, false, 16, 8}, rng);
    const Bytes grey = MakePng(PngPlan{PNG_COLOR_TYPE_GRAY, 8, false, PNG_ALL_FILTERS, true, 16, 8}, rng);
    const std::vector<ChunkData> chunks = SplitChunks(rgb);
    const std::size_t idat = IndexOf(chunks, "IDAT");
    const Bytes raw = Inflated(chunks);
    constexpr std::size_t kRowBytes = 1 + 16 * 3;

    struct Case {
        std::string name;
        Bytes bytes;
        const char* message;
    };
    std::vector<Case> cases;
    auto edited = [&](const Bytes& base, auto edit) {
        std::vector<ChunkData> c = SplitChunks(base);
        edit(c);
        return JoinChunks(c);
    };
    auto withRaw = [&](auto edit) {
        Bytes r = raw;
        edit(r);
        return JoinChunks(WithImageData(chunks, Deflated(r)));
    };

    // CRC and lengths.
    {
        std::vector<ChunkData> c = chunks;
        c.insert(c.end() - 1, ChunkData{"tEXt", Bytes{'k', 0, 'v'}});
        Bytes b = JoinChunks(c);
        b[b.size() - 12 - 1] ^= 0x01;  // the tEXt chunk's CRC, after the image data
        cases.push_back({"CRC error in an ancillary chunk after the image data", b, "tEXt: CRC error"});
        Bytes end = rgb;
        end[end.size() - 1] ^= 0x01;
        cases.push_back({"CRC error in IEND", end, "IEND: CRC error"});
    }
    {
        Bytes b = rgb;
        const std::vector<Chunk> list = Chunks(b);
        PutBe32(b, FindChunk(list, "IDAT")->offset, 0x80000000u);
        cases.push_back({"chunk length over 2^31 - 1", b, "IDAT: invalid chunk length"});
    }
    cases.push_back({"chunk type with a digit", edited(rgb, [](auto& c) { c.insert(c.begin() + 1, ChunkData{"ab1d", {}}); }),
                     "invalid chunk type"});
    cases.push_back({"ancillary chunk over 8 MB",
                     edited(rgb, [](auto& c) { c.insert(c.begin() + 1, ChunkData{"zzZz", Bytes((8u << 20) + 1)}); }),
                     "zzZz: chunk data is too large"});
    cases.push_back({"file ends inside a CRC", Bytes(rgb.begin(), rgb.end() - 2), "PNG: file is truncated"});

    // Header.
    struct HeaderEdit {
        const char* name;
        std::size_t at;  // in IHDR's data
        std::uint8_t value;
        const char* message;
    };
    const HeaderEdit headerEdits[] = {
        {"width 0", 0, 0, "invalid image size"},          // with the next three bytes cleared below
        {"width 2^31", 0, 0x80, "invalid image size"},
        {"RGB at 4 bits", 8, 4, "bit depth 4 is invalid for colour type 2"},
        {"colour type 1", 9, 1, "unknown colour type 1"},
        {"colour type 7", 9, 7, "unknown colour type 7"},
        {"compression method 1", 10, 1, "unknown compression method 1"},
        {"filter method 1", 11, 1, "unknown filter method 1"},
        {"interlace method 2", 12, 2, "unknown interlace method 2"},
    };
    for (const HeaderEdit& e : headerEdits)
        cases.push_back({e.name, edited(rgb, [&](auto& c) {
                             if (e.at == 0) std::fill_n(c[0].data.begin(), 4, 0);
                             c[0].data[e.at] = e.value;
                         }),
                         e.message});
    cases.push_back({"indexed at 16 bits", edited(indexed, [](auto& c) { c[0].data[8] = 16; }),
                     "bit depth 16 is invalid for colour type 3"});
    cases.push_back({"IHDR of 12 bytes", edited(rgb, [](auto& c) { c[0].data.pop_back(); }), "IHDR: invalid"});
    cases.push_back({"IHDR not first", edited(rgb, [](auto& c) { std::swap(c[0], c[1]); }), "missing IHDR"});
    cases.push_back({"two IHDR", edited(rgb, [](auto& c) { c.insert(c.begin() + 1, c[0]); }), "IHDR: out of place"});

    // Palette.
    cases.push_back({"indexed file without PLTE",
                     edited(indexed, [](auto& c) { c.erase(c.begin() + static_cast<std::ptrdiff_t>(IndexOf(c, "PLTE"))); }),
                     "IDAT: no palette before the image data"});
    cases.push_back({"PLTE of 4 bytes", edited(indexed, [](auto& c) { c[IndexOf(c, "PLTE")].data.resize(4); }), "PLTE: invalid"});
    cases.push_back({"PLTE of 257 entries", edited(indexed, [](auto& c) { c[IndexOf(c, "PLTE")].data.resize(3 * 257); }),
                     "PLTE: invalid"});
    cases.push_back({"empty PLTE", edited(indexed, [](auto& c) { c[IndexOf(c, "PLTE")].data.clear(); }), "PLTE: invalid"});
    cases.push_back({"two PLTE", edited(indexed, [](auto& c) { c.insert(c.begin() + 1, c[IndexOf(c, "PLTE")]); }),
                     "PLTE: duplicate"});
    cases.push_back({"PLTE in a grey file", edited(grey, [](auto& c) { c.insert(c.begin() + 1, ChunkData{"PLTE", Bytes(6)}); }),
                     "PLTE: palette in a grey image"});
    cases.push_back({"two tRNS in a grey file", edited(grey, [](auto& c) { c.insert(c.begin() + 1, c[IndexOf(c, "tRNS")]); }),
                     "tRNS: duplicate"});

    // Order of the other critical chunks.
    cases.push_back({"unknown critical chunk", edited(rgb, [](auto& c) { c.insert(c.begin() + 1, ChunkData{"ZZZZ", {}}); }),
                     "ZZZZ: unknown critical chunk"});
    cases.push_back({"IDAT chunks apart", JoinChunks([&] {
                         std::vector<ChunkData> c = WithImageData(chunks, Deflated(raw), 100);
                         c.insert(c.begin() + static_cast<std::ptrdiff_t>(IndexOf(c, "IDAT")) + 1, ChunkData{"tEXt", Bytes{'k', 0}});
                         return c;
                     }()),
                     "IDAT: image data chunks not consecutive"});
    cases.push_back({"IEND with data", edited(rgb, [](auto& c) { c.back().data.push_back(0); }), "IEND: invalid"});
    cases.push_back({"no IDAT", edited(rgb, [&](auto& c) { c.erase(c.begin() + static_cast<std::ptrdiff_t>(idat)); }),
                     "IEND: no image data"});

    // Image data.
    cases.push_back({"filter type 5", withRaw([&](Bytes& r) { r[3 * kRowBytes] = 5; }), "IDAT: unknown filter type 5"});
    cases.push_back({"one byte too many", withRaw([](Bytes& r) { r.push_back(0); }), "IDAT: too much image data"});
    cases.push_back({"a row too many", withRaw([&](Bytes& r) { r.insert(r.end(), kRowBytes, 0); }), "IDAT: too much image data"});
    cases.push_back({"one byte too few", withRaw([](Bytes& r) { r.pop_back(); }), "IDAT: not enough image data"});
    {
        Bytes z = Deflated(raw);
        z.push_back(0);
        cases.push_back({"a byte after the zlib stream", JoinChunks(WithImageData(chunks, z)), "IDAT: extra compressed data"});
        std::vector<ChunkData> c = WithImageData(chunks, Deflated(raw));
        c.insert(c.begin() + static_cast<std::ptrdiff_t>(IndexOf(c, "IDAT")) + 1, ChunkData{"IDAT", Bytes{1, 2}});
        cases.push_back({"an IDAT chunk after the zlib stream", JoinChunks(c), "IDAT: extra compressed data"});
        Bytes noAdler = Deflated(raw);
        noAdler.resize(noAdler.size() - 4);
        cases.push_back({"zlib stream without its checksum", JoinChunks(WithImageData(chunks, noAdler)), "IDAT: "});
        Bytes badAdler = Deflated(raw);
        badAdler.back() ^= 0x01;
        cases.push_back({"wrong zlib checksum", JoinChunks(WithImageData(chunks, badAdler)), "IDAT: "});
        Bytes dictionary = Deflated(raw);
        const unsigned flags = (dictionary[1] & 0xC0u) | 0x20u;  // level bits, preset dictionary
        dictionary[1] = static_cast<std::uint8_t>(flags | (31 - (dictionary[0] << 8 | flags) % 31) % 31);
        cases.push_back({"zlib preset dictionary", JoinChunks(WithImageData(chunks, dictionary)), "IDAT: "});
        cases.push_back({"1-byte image data", JoinChunks(WithImageData(chunks, Bytes{0x78})), "IDAT: not enough image data"});
    }

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string error = ErrorOf(c.bytes);
        EXPECT_NE(error.find(c.message), std::string::npos) << "error: " << error;
        EXPECT_EQ(error.rfind("PNG: ", 0), 0u) << error;
    }
}

}  // namespace
}  // namespace zelvan
