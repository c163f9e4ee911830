#include "support/fixtures.h"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <map>
#include <stdexcept>

#include "base/error.h"
#include "imaging/readers/readers.h"
#include "support/test_support.h"

namespace zelvan::test {

std::vector<std::uint8_t> MakeBmp24(int width, int height, const PixelFn& pixel) {
    const std::size_t stride = (static_cast<std::size_t>(width) * 3 + 3) & ~std::size_t{3};
    const std::size_t size = 54 + stride * static_cast<std::size_t>(height);
    std::vector<std::uint8_t> b(size, 0);
    auto put16 = [&](std::size_t at, unsigned v) { b[at] = v & 0xFF; b[at + 1] = (v >> 8) & 0xFF; };
    auto put32 = [&](std::size_t at, std::uint32_t v) { put16(at, v & 0xFFFF); put16(at + 2, v >> 16); };
    b[0] = 'B';
    b[1] = 'M';
    put32(2, static_cast<std::uint32_t>(size));
    put32(10, 54);
    put32(14, 40);
    put32(18, static_cast<std::uint32_t>(width));
    put32(22, static_cast<std::uint32_t>(height));
    put16(26, 1);
    put16(28, 24);
    put32(34, static_cast<std::uint32_t>(stride * static_cast<std::size_t>(height)));
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = b.data() + 54 + stride * static_cast<std::size_t>(height - 1 - y);
        for (int x = 0; x < width; ++x) {
            Rgba p = pixel(x, y);
            row[3 * x] = p.b;
            row[3 * x + 1] = p.g;
            row[3 * x + 2] = p.r;
        }
    }
    return b;
}

void WritePngFile(const std::string& path, int width, int height, PngKind kind, const PixelFn& pixel) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    std::vector<std::uint8_t> buffer;
    std::vector<std::uint8_t> colourMap;
    if (kind == PngKind::Indexed || kind == PngKind::IndexedAlpha) {
        const bool alpha = kind == PngKind::IndexedAlpha;
        image.format = alpha ? PNG_FORMAT_RGBA_COLORMAP : PNG_FORMAT_RGB_COLORMAP;
        std::map<std::uint32_t, std::uint8_t> index;
        buffer.resize(static_cast<std::size_t>(width) * height);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                Rgba p = pixel(x, y);
                std::uint32_t key = (std::uint32_t{p.a} << 24) | (p.r << 16) | (p.g << 8) | p.b;
                auto it = index.find(key);
                if (it == index.end()) {
                    if (index.size() == 256) throw std::runtime_error("more than 256 colours");
                    it = index.emplace(key, static_cast<std::uint8_t>(index.size())).first;
                    colourMap.insert(colourMap.end(), {p.r, p.g, p.b});
                    if (alpha) colourMap.push_back(p.a);
                }
                buffer[static_cast<std::size_t>(y) * width + x] = it->second;
            }
        image.colormap_entries = static_cast<png_uint_32>(index.size());
    } else {
        const int channels = kind == PngKind::Rgba ? 4 : 3;
        image.format = kind == PngKind::Rgba ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
        buffer.resize(static_cast<std::size_t>(width) * height * channels);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                Rgba p = pixel(x, y);
                std::uint8_t* d = &buffer[(static_cast<std::size_t>(y) * width + x) * channels];
                d[0] = p.r;
                d[1] = p.g;
                d[2] = p.b;
                if (channels == 4) d[3] = p.a;
            }
    }
    if (!png_image_write_to_file(&image, path.c_str(), 0, buffer.data(), 0,
                                 colourMap.empty() ? nullptr : colourMap.data()))
        throw std::runtime_error(std::string("libpng: ") + image.message);
}

namespace {

void PutChunk(std::vector<std::uint8_t>& out, const char* type, const std::vector<std::uint8_t>& data) {
    const auto length = static_cast<std::uint32_t>(data.size());
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(length >> shift));
    const std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    const auto crc = static_cast<std::uint32_t>(crc32(0, out.data() + start, static_cast<uInt>(data.size() + 4)));
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(crc >> shift));
}

}  // namespace

std::vector<std::uint8_t> MakePngChunks(int width, int height, int colourType, int bitDepth,
                                        const std::vector<std::vector<std::uint8_t>>& rows,
                                        const std::vector<std::uint8_t>& plte, const std::vector<std::uint8_t>& trns) {
    std::vector<std::uint8_t> out = {137, 80, 78, 71, 13, 10, 26, 10};
    std::vector<std::uint8_t> ihdr;
    for (std::uint32_t v : {static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)})
        for (int shift = 24; shift >= 0; shift -= 8) ihdr.push_back(static_cast<std::uint8_t>(v >> shift));
    ihdr.insert(ihdr.end(), {static_cast<std::uint8_t>(bitDepth), static_cast<std::uint8_t>(colourType), 0, 0, 0});
    PutChunk(out, "IHDR", ihdr);
    if (!plte.empty()) PutChunk(out, "PLTE", plte);
    if (!trns.empty()) PutChunk(out, "tRNS", trns);
    std::vector<std::uint8_t> raw;
    for (const auto& row : rows) {
        raw.push_back(0);
        raw.insert(raw.end(), row.begin(), row.end());
    }
    std::vector<std::uint8_t> packed(compressBound(static_cast<uLong>(raw.size())));
    uLongf size = static_cast<uLongf>(packed.size());
    if (compress(packed.data(), &size, raw.data(), static_cast<uLong>(raw.size())) != Z_OK)
        throw std::runtime_error("zlib failed");
    packed.resize(size);
    PutChunk(out, "IDAT", packed);
    PutChunk(out, "IEND", {});
    return out;
}

Raster PhotoCrop(int maxWidth, int maxHeight) {
    std::vector<std::string> candidates;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm/zc/jpeg", ec))
        candidates.push_back(entry.path().string());
    std::sort(candidates.begin(), candidates.end());
    candidates.push_back(CorporaDir() + "/gdk-pixbuf-tests/usr/libexec/installed-tests/gdk-pixbuf/bug143608-comment.jpg");
    for (const std::string& path : candidates) {
        if (!std::filesystem::exists(path)) continue;
        const Raster full = ReadJpeg(ReadBytes(path)).raster.ToBgr24();
        const int w = std::min(full.width(), maxWidth), h = std::min(full.height(), maxHeight);
        Raster crop(w, h, 24);
        const int x0 = (full.width() - w) / 2, y0 = (full.height() - h) / 2;
        for (int y = 0; y < h; ++y) std::copy_n(full.row(y0 + y) + 3 * x0, 3 * w, crop.row(y));
        return crop;
    }
    return TexturedPicture(maxWidth, maxHeight);
}

Raster TexturedPicture(int width, int height) {
    Raster r(width, height, 24);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = r.row(y) + 3 * x;
            p[0] = static_cast<std::uint8_t>((x * 3 + y) & 0xFF);
            p[1] = static_cast<std::uint8_t>((x * y / 7 + (x ^ y)) & 0xFF);
            p[2] = static_cast<std::uint8_t>(128 + ((x * 13 + y * 7) % 50) - 25);
        }
    return r;
}

Raster RampMask(int width, int height) {
    Raster m(width, height, 24);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) m.row(y)[3 * x + 2] = static_cast<std::uint8_t>(x < 4 ? 0 : (x * 9 + y) & 0xFF);
    return m;
}

PngImage ReadPngFile(const std::string& path) {
    std::vector<std::uint8_t> bytes = ReadBytes(path);
    PngImage out;
    if (bytes.size() >= 26) out.colourType = bytes[25];
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size()))
        throw std::runtime_error(std::string("libpng: ") + image.message);
    image.format = PNG_FORMAT_RGBA;
    out.width = static_cast<int>(image.width);
    out.height = static_cast<int>(image.height);
    out.rgba.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.rgba.data(), 0, nullptr))
        throw std::runtime_error(std::string("libpng: ") + image.message);
    return out;
}

RgbaImage DecodePngWithLibpng(const std::string& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) throw std::runtime_error(image.message);
    image.format = PNG_FORMAT_RGBA;
    RgbaImage out{static_cast<int>(image.width), static_cast<int>(image.height),
                  std::vector<std::uint8_t>(PNG_IMAGE_SIZE(image))};
    if (!png_image_finish_read(&image, nullptr, out.pixels.data(), 0, nullptr))
        throw std::runtime_error(image.message);
    return out;
}

std::vector<std::uint32_t> Pixels(const Raster& r) {
    std::vector<std::uint32_t> out;
    for (int y = 0; y < r.height(); ++y)
        for (int x = 0; x < r.width(); ++x) {
            Rgb c = r.PixelColour(x, y);
            std::uint32_t a = r.bitsPerPixel() == 32 ? r.row(y)[x * 4 + 3] : 0xFF;
            out.push_back(a << 24 | c.red << 16 | c.green << 8 | c.blue);
        }
    return out;
}

::testing::AssertionResult SamePixels(const Raster& r, const RgbaImage& reference) {
    if (r.width() != reference.width || r.height() != reference.height)
        return ::testing::AssertionFailure() << "size " << r.width() << "x" << r.height() << " vs "
                                             << reference.width << "x" << reference.height;
    for (int y = 0; y < r.height(); ++y)
        for (int x = 0; x < r.width(); ++x) {
            const std::uint8_t* p = &reference.pixels[(static_cast<std::size_t>(y) * reference.width + x) * 4];
            Rgb c = r.PixelColour(x, y);
            int alpha = r.bitsPerPixel() == 32 ? r.row(y)[x * 4 + 3] : 255;
            if (c.red != p[0] || c.green != p[1] || c.blue != p[2] || alpha != p[3])
                return ::testing::AssertionFailure()
                       << "pixel " << x << "," << y << ": " << int(c.red) << " " << int(c.green) << " "
                       << int(c.blue) << " " << alpha << " vs " << int(p[0]) << " " << int(p[1]) << " "
                       << int(p[2]) << " " << int(p[3]);
        }
    return ::testing::AssertionSuccess();
}

void ExpectMagickVariantsMatchPng(const std::string& format, std::span<const MagickVariant> variants,
                                  const std::function<DecodedPicture(const std::vector<std::uint8_t>&)>& read) {
    ASSERT_TRUE(HaveProgram("convert"));
    const std::string sample = CorporaDir() + "/libsdl2-image-tests/usr/libexec/installed-tests/SDL2_image/sample.png";
    TempDir dir;
    for (const MagickVariant& v : variants) {
        SCOPED_TRACE(v.name);
        const std::string file = dir / (std::string(v.name) + "." + format);
        const std::string png = dir / (std::string(v.name) + ".png");
        const std::string convert = "convert " + ShellQuote(sample) + " " + v.options + " ";
        ASSERT_EQ(RunCommand(convert + format + ":" + ShellQuote(file)).exitStatus, 0);
        ASSERT_EQ(RunCommand(convert + "png32:" + ShellQuote(png)).exitStatus, 0);
        DecodedPicture picture = read(ReadBytes(file));
        EXPECT_EQ(picture.raster.bitsPerPixel(), v.bitsPerPixel);
        EXPECT_TRUE(SamePixels(picture.raster, DecodePngWithLibpng(png)));
    }
}

void PrintTo(const DecodedFile& c, std::ostream* os) { *os << c.name; }
void PrintTo(const RefusedFile& c, std::ostream* os) { *os << c.name; }

void ExpectRefused(const std::function<DecodedPicture(const std::vector<std::uint8_t>&)>& read,
                   const std::string& prefix, const RefusedFile& c) {
    try {
        read(c.file);
        FAIL() << "decoded without an error";
    } catch (const Error& e) {
        EXPECT_EQ(std::string(e.what()).rfind(prefix, 0), 0u) << e.what();
        EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
}

Raster ReadPpm(const std::string& ppm) {
    std::size_t pos = 0;
    auto token = [&]() {
        while (pos < ppm.size() && std::isspace(static_cast<unsigned char>(ppm[pos]))) ++pos;
        std::size_t start = pos;
        while (pos < ppm.size() && !std::isspace(static_cast<unsigned char>(ppm[pos]))) ++pos;
        return ppm.substr(start, pos - start);
    };
    if (token() != "P6") return {};
    const int w = std::stoi(token()), h = std::stoi(token());
    if (std::stoi(token()) != 255) return {};
    ++pos;
    if (ppm.size() - pos < static_cast<std::size_t>(w) * h * 3) return {};
    Raster r(w, h, 24);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x, pos += 3) {
            std::uint8_t* p = r.row(y) + 3 * x;
            p[0] = static_cast<std::uint8_t>(ppm[pos + 2]);
            p[1] = static_cast<std::uint8_t>(ppm[pos + 1]);
            p[2] = static_cast<std::uint8_t>(ppm[pos]);
        }
    return r;
}

}  // namespace zelvan::test
