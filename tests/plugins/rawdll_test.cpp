// The RAW plug-in, loaded the way the converter loads it: dlopen of rawdll.so from the build
// folder, one Raw2BmpMem per file, the bitmap read in place, FreeMemory, dlclose.

#include "support/test_support.h"

#include "../../plugins/rawdll/rawdll.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using zelvan::test::TempDir;

// ---- the plug-in --------------------------------------------------------------------------

class RawPlugin {
public:
    RawPlugin() {
        const std::string path = zelvan::test::BuildDir() + "/rawdll.so";
        handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle_) {
            ADD_FAILURE() << "dlopen " << path << ": " << ::dlerror();
            return;
        }
        develop_ = reinterpret_cast<Raw2BmpMemFn>(::dlsym(handle_, "Raw2BmpMem"));
        free_ = reinterpret_cast<FreeMemoryFn>(::dlsym(handle_, "FreeMemory"));
        EXPECT_NE(develop_, nullptr);
        EXPECT_NE(free_, nullptr);
    }
    ~RawPlugin() {
        if (handle_) ::dlclose(handle_);
    }
    RawPlugin(const RawPlugin&) = delete;
    RawPlugin& operator=(const RawPlugin&) = delete;

    bool ok() const { return develop_ && free_; }
    RawBitmapResult Develop(const std::string& path) {
        RawBitmapResult result;
        result.Data = reinterpret_cast<void*>(0x1);  // must be overwritten
        result.Size = -7;
        std::memset(result.Message, 'x', sizeof result.Message);
        develop_(path.c_str(), &result);
        return result;
    }
    void Free() { free_(); }

private:
    void* handle_ = nullptr;
    Raw2BmpMemFn develop_ = nullptr;
    FreeMemoryFn free_ = nullptr;
};

// ---- reading the bitmap it hands back -----------------------------------------------------

std::uint32_t Le32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t(p[3]) << 24);
}
std::uint16_t Le16(const std::uint8_t* p) { return std::uint16_t(p[0] | (p[1] << 8)); }

struct Rgb {
    double r = 0, g = 0, b = 0;
};

// A checked view of a 24-bit bottom-up bitmap file image; At() takes top-down coordinates.
class BitmapView {
public:
    // Checks every header field; returns an empty string when the image is sound.
    std::string Parse(const RawBitmapResult& result) {
        if (!result.Data) return "no data: " + std::string(result.Message);
        if (result.Size < 54) return "size below the headers";
        data_ = static_cast<const std::uint8_t*>(result.Data);
        std::ostringstream problems;
        if (data_[0] != 'B' || data_[1] != 'M') problems << "no BM signature; ";
        if (Le32(data_ + 2) != std::uint32_t(result.Size)) problems << "file size field != Size; ";
        if (Le32(data_ + 6) != 0) problems << "reserved words not zero; ";
        if (Le32(data_ + 10) != 54) problems << "pixel offset != 54; ";
        if (Le32(data_ + 14) != 40) problems << "info header size != 40; ";
        const auto w = std::int32_t(Le32(data_ + 18)), h = std::int32_t(Le32(data_ + 22));
        if (w <= 0 || h <= 0) problems << "width or height not positive; ";
        if (Le16(data_ + 26) != 1) problems << "planes != 1; ";
        if (Le16(data_ + 28) != 24) problems << "bits per pixel != 24; ";
        if (Le32(data_ + 30) != 0) problems << "compression != BI_RGB; ";
        width_ = w;
        height_ = h;
        stride_ = (std::size_t(std::max(w, 0)) * 3 + 3) & ~std::size_t{3};
        if (Le32(data_ + 34) != stride_ * std::size_t(std::max(h, 0))) problems << "image size field wrong; ";
        if (std::size_t(result.Size) != 54 + stride_ * std::size_t(std::max(h, 0))) problems << "Size != rows; ";
        for (int y = 0; y < h && problems.str().empty(); ++y)
            for (std::size_t i = std::size_t(w) * 3; i < stride_; ++i)
                if (data_[54 + y * stride_ + i] != 0) {
                    problems << "row padding not zero; ";
                    break;
                }
        return problems.str();
    }
    int width() const { return width_; }
    int height() const { return height_; }
    const std::uint8_t* At(int x, int y) const { return data_ + 54 + std::size_t(height_ - 1 - y) * stride_ + 3 * x; }
    // Mean colour of a rectangle, top-down coordinates.
    Rgb Mean(int x0, int y0, int x1, int y1) const {
        Rgb sum;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) {
                sum.b += At(x, y)[0];
                sum.g += At(x, y)[1];
                sum.r += At(x, y)[2];
            }
        const double n = double(x1 - x0) * (y1 - y0);
        return {sum.r / n, sum.g / n, sum.b / n};
    }

private:
    const std::uint8_t* data_ = nullptr;
    int width_ = 0, height_ = 0;
    std::size_t stride_ = 0;
};

// ---- DNG fixtures written with libtiff ------------------------------------------------------

constexpr int kWidth = 64, kHeight = 48;
constexpr std::uint16_t kBlack = 64, kWhite = 4095;
// The camera's recorded neutral: a grey patch reads R at half and B at 0.8 of G.
constexpr float kNeutral[3] = {0.5f, 1.0f, 0.8f};

enum class Layout { kBayerRggb, kMonochrome };

// sample(x, y, channel) gives the value above black for each photosite (channel 0 R, 1 G, 2 B;
// always 1 for the monochrome layout).
void WriteDng(const std::string& path, Layout layout, const std::function<double(int, int, int)>& sample,
              bool recordNeutral = true) {
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    ASSERT_NE(tif, nullptr);
    const bool bayer = layout == Layout::kBayerRggb;
    TIFFSetField(tif, TIFFTAG_SUBFILETYPE, 0);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kWidth);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, kHeight);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, bayer ? PHOTOMETRIC_CFA : 34892 /* LinearRaw */);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, kHeight);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    TIFFSetField(tif, TIFFTAG_MAKE, "Zelvan");
    TIFFSetField(tif, TIFFTAG_MODEL, "Test Sensor");
    const std::uint8_t version[4] = {1, 4, 0, 0};
    TIFFSetField(tif, TIFFTAG_DNGVERSION, version);
    TIFFSetField(tif, TIFFTAG_UNIQUECAMERAMODEL, "Zelvan Test Sensor");
    if (bayer) {
        const std::uint16_t dims[2] = {2, 2};
        const std::uint8_t pattern[4] = {0, 1, 1, 2};  // R G / G B
        const std::uint8_t planes[3] = {0, 1, 2};
        TIFFSetField(tif, TIFFTAG_CFAREPEATPATTERNDIM, dims);
        TIFFSetField(tif, TIFFTAG_CFAPATTERN, 4, pattern);
        TIFFSetField(tif, TIFFTAG_CFAPLANECOLOR, 3, planes);
        TIFFSetField(tif, TIFFTAG_CFALAYOUT, 1);
        // XYZ to camera = XYZ to linear sRGB: the camera sees sRGB primaries (D65).
        const float xyzToCamera[9] = {3.2406f, -1.5372f, -0.4986f, -0.9689f, 1.8758f, 0.0415f,
                                      0.0557f,  -0.2040f, 1.0570f};
        TIFFSetField(tif, TIFFTAG_COLORMATRIX1, 9, xyzToCamera);
        TIFFSetField(tif, TIFFTAG_CALIBRATIONILLUMINANT1, 21);  // D65
        if (recordNeutral) TIFFSetField(tif, TIFFTAG_ASSHOTNEUTRAL, 3, kNeutral);
    }
    const float black = kBlack;
    const std::uint32_t white = kWhite;
    TIFFSetField(tif, TIFFTAG_BLACKLEVEL, 1, &black);
    TIFFSetField(tif, TIFFTAG_WHITELEVEL, 1, &white);

    std::vector<std::uint16_t> row(kWidth);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const int channel = !bayer ? 1 : (y % 2 == 0 ? (x % 2 == 0 ? 0 : 1) : (x % 2 == 0 ? 1 : 2));
            const double v = kBlack + sample(x, y, channel);
            row[x] = std::uint16_t(std::clamp(v, 0.0, double(kWhite)));
        }
        ASSERT_EQ(TIFFWriteScanline(tif, row.data(), std::uint32_t(y), 0), 1);
    }
    TIFFClose(tif);
}

// Left half bright red; right half a grey under the camera's neutral on top, near black below.
double RedGreyDark(int x, int y, int channel) {
    if (x < kWidth / 2) return channel == 0 ? 1800 : 150;
    if (y < kHeight / 2) return 1500 * kNeutral[channel];
    return 20;
}

// Brightness rising left to right and top to bottom.
double GreyRamp(int x, int y, int /*channel*/) { return 40.0 * x + 20.0 * y; }

std::string RedGreyDarkDng(const TempDir& dir) {
    const std::string path = dir / "red-grey-dark.dng";
    WriteDng(path, Layout::kBayerRggb, RedGreyDark);
    return path;
}

std::string CanonCr2() {
    return zelvan::test::CorporaDir() + "/rawtran-doc/usr/share/doc/rawtran/IMG_5952.CR2";
}

// ---- tests ----------------------------------------------------------------------------------

TEST(RawPlugin, ExportsOnlyItsTwoEntries) {
    const auto listing = zelvan::test::RunCommand(
        "nm -D --defined-only " + zelvan::test::ShellQuote(zelvan::test::BuildDir() + "/rawdll.so"));
    ASSERT_EQ(listing.exitStatus, 0);
    std::set<std::string> names;
    std::istringstream lines(listing.output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string address, kind, name;
        if (fields >> address >> kind >> name) names.insert(name);
    }
    EXPECT_EQ(names, (std::set<std::string>{"FreeMemory", "Raw2BmpMem"})) << listing.output;
}

TEST(RawPlugin, DevelopsBayerDngWithCameraWhiteBalanceIntoBottomUpBitmap) {
    TempDir dir;
    const std::string dng = RedGreyDarkDng(dir);
    RawPlugin plugin;
    ASSERT_TRUE(plugin.ok());
    const RawBitmapResult result = plugin.Develop(dng);
    BitmapView bmp;
    ASSERT_EQ(bmp.Parse(result), "");
    EXPECT_STREQ(result.Message, "");
    ASSERT_EQ(bmp.width(), kWidth);
    ASSERT_EQ(bmp.height(), kHeight);

    // Regions kept a few pixels away from the borders between patches, where demosaicing blends.
    const Rgb red = bmp.Mean(4, 4, kWidth / 2 - 4, kHeight - 4);
    const Rgb grey = bmp.Mean(kWidth / 2 + 4, 4, kWidth - 4, kHeight / 2 - 4);
    const Rgb dark = bmp.Mean(kWidth / 2 + 4, kHeight / 2 + 4, kWidth - 4, kHeight - 4);
    EXPECT_GT(red.r, 150);
    EXPECT_GT(red.r, 3 * red.g);
    EXPECT_GT(red.r, 3 * red.b);
    EXPECT_GT(red.r - (red.g + red.b) / 2, 3 * (dark.r - (dark.g + dark.b) / 2) + 50);
    // Top and bottom of the right half: a flipped row order swaps these.
    EXPECT_GT(grey.g, dark.g + 60);
    // The camera's white balance makes the recorded neutral grey; without it (multipliers 1)
    // this patch comes out green, with a grey-world estimate over this red-heavy frame, cyan.
    EXPECT_NEAR(grey.r, grey.g, 0.08 * grey.g);
    EXPECT_NEAR(grey.b, grey.g, 0.08 * grey.g);
    plugin.Free();
}

TEST(RawPlugin, BalancesAutomaticallyWithoutCameraWhiteBalance) {
    TempDir dir;
    // One grey patch under the kNeutral cast, and no recorded neutral in the file: only an
    // estimate from the picture itself brings it back to grey (LibRaw's daylight fallback
    // leaves it green).
    const std::string dng = dir / "no-neutral.dng";
    WriteDng(dng, Layout::kBayerRggb, [](int, int, int channel) { return 1500 * kNeutral[channel]; },
             /*recordNeutral=*/false);
    RawPlugin plugin;
    ASSERT_TRUE(plugin.ok());
    const RawBitmapResult result = plugin.Develop(dng);
    BitmapView bmp;
    ASSERT_EQ(bmp.Parse(result), "");
    const Rgb grey = bmp.Mean(4, 4, kWidth - 4, kHeight - 4);
    EXPECT_GT(grey.g, 100);
    EXPECT_NEAR(grey.r, grey.g, 0.08 * grey.g);
    EXPECT_NEAR(grey.b, grey.g, 0.08 * grey.g);
    plugin.Free();
}

TEST(RawPlugin, ExpandsMonochromeDngToGreyBgr) {
    TempDir dir;
    const std::string dng = dir / "ramp.dng";
    WriteDng(dng, Layout::kMonochrome, GreyRamp);
    RawPlugin plugin;
    ASSERT_TRUE(plugin.ok());
    const RawBitmapResult result = plugin.Develop(dng);
    BitmapView bmp;
    ASSERT_EQ(bmp.Parse(result), "");
    ASSERT_EQ(bmp.width(), kWidth);
    ASSERT_EQ(bmp.height(), kHeight);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const std::uint8_t* p = bmp.At(x, y);
            ASSERT_TRUE(p[0] == p[1] && p[1] == p[2]) << "pixel " << x << "," << y;
        }
    EXPECT_LT(bmp.At(2, 2)[0] + 40, bmp.At(kWidth - 3, 2)[0]);           // rises to the right
    EXPECT_LT(bmp.At(2, 2)[0] + 20, bmp.At(2, kHeight - 3)[0]);          // and downwards
    plugin.Free();
}

TEST(RawPlugin, KeepsOneBufferAndReleasesIt) {
    TempDir dir;
    const std::string dng = RedGreyDarkDng(dir);
    RawPlugin plugin;
    ASSERT_TRUE(plugin.ok());

    // The first result is never released by the caller: the next call takes it back (leak
    // checkers see the difference), and the new result is whole and the same picture.
    const RawBitmapResult first = plugin.Develop(dng);
    ASSERT_NE(first.Data, nullptr);
    const std::vector<std::uint8_t> firstBytes(static_cast<const std::uint8_t*>(first.Data),
                                               static_cast<const std::uint8_t*>(first.Data) + first.Size);
    const RawBitmapResult second = plugin.Develop(dng);
    BitmapView bmp;
    ASSERT_EQ(bmp.Parse(second), "");
    EXPECT_TRUE(std::equal(firstBytes.begin(), firstBytes.end(), static_cast<const std::uint8_t*>(second.Data),
                           static_cast<const std::uint8_t*>(second.Data) + second.Size));
    plugin.Free();
    plugin.Free();  // a second release is harmless

    // A failure after a success releases the earlier buffer too and reports no data.
    ASSERT_NE(plugin.Develop(dng).Data, nullptr);
    const RawBitmapResult failed = plugin.Develop(dir / "missing.dng");
    EXPECT_EQ(failed.Data, nullptr);
    plugin.Free();
}

TEST(RawPlugin, RefusesFilesItCannotDevelopWithAReason) {
    TempDir dir;
    const std::string dng = RedGreyDarkDng(dir);
    const std::vector<std::uint8_t> whole = zelvan::test::ReadBytes(dng);

    const std::string text = dir / "x.dng";
    const std::string note = "This is a plain text note, not a raw file.\n";
    zelvan::test::WriteBytes(text, std::vector<std::uint8_t>(note.begin(), note.end()));
    const std::string empty = dir / "empty.cr2";
    zelvan::test::WriteBytes(empty, std::vector<std::uint8_t>{});
    // libtiff writes the directory after the pixels: without it there is nothing to read.
    const std::string headless = dir / "no-directory.dng";
    zelvan::test::WriteBytes(headless, std::vector<std::uint8_t>(whole.begin(), whole.begin() + whole.size() / 2));
    std::filesystem::create_directory(dir / "folder.dng");
    // The camera file with its compressed data cut short, and with a run of it overwritten:
    // LibRaw decodes the rest, but a damaged picture is a failure, not a result.
    const std::vector<std::uint8_t> cr2 = zelvan::test::ReadBytes(CanonCr2());
    const std::string cutShort = dir / "cut-short.cr2";
    zelvan::test::WriteBytes(cutShort, std::vector<std::uint8_t>(cr2.begin(), cr2.begin() + cr2.size() * 2 / 5));
    std::vector<std::uint8_t> overwritten = cr2;
    std::fill_n(overwritten.begin() + overwritten.size() / 2, 50000, std::uint8_t{0xFF});
    const std::string damaged = dir / "damaged.cr2";
    zelvan::test::WriteBytes(damaged, overwritten);

    struct Case {
        std::string name, path, reasonContains;
    };
    const Case cases[] = {
        {"missing file", dir / "missing.dng", "No such file"},
        {"text file", text, "not a RAW file"},
        {"empty file", empty, "empty"},
        {"DNG without its directory", headless, "not RAW file"},
        {"folder", dir / "folder.dng", "not a regular file"},
        {"CR2 cut short", cutShort, "cut short"},
        {"CR2 with damaged data", damaged, "damaged"},
    };
    RawPlugin plugin;
    ASSERT_TRUE(plugin.ok());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const RawBitmapResult result = plugin.Develop(c.path);
        EXPECT_EQ(result.Data, nullptr);
        EXPECT_EQ(result.Size, 0);
        const std::string message(result.Message, strnlen(result.Message, sizeof result.Message));
        ASSERT_LT(message.size(), sizeof result.Message) << "message not terminated";
        EXPECT_GT(message.size(), 5u);
        EXPECT_NE(message.find(c.reasonContains), std::string::npos) << message;
        plugin.Free();
    }
}

TEST(RawPlugin, SurvivesDamagedHeaders) {
    TempDir dir;
    const std::vector<std::uint8_t> whole = zelvan::test::ReadBytes(RedGreyDarkDng(dir));
    // libtiff writes the strip first and the directory after it: damage lands in the tags.
    const std::size_t pixelBytes = std::size_t(kWidth) * kHeight * 2;
    ASSERT_GT(whole.size(), pixelBytes + 8);
    RawPlugin plugin;
    ASSERT_TRUE(plugin.ok());
    const std::string path = dir / "damaged.dng";
    int developed = 0, refused = 0;
    // Every byte of the file header and the directory, a few of the pixels.
    std::vector<std::size_t> positions;
    for (std::size_t at = 0; at < whole.size(); ++at)
        if (at < 8 || at >= 8 + pixelBytes || at % 997 == 0) positions.push_back(at);
    for (std::size_t at : positions) {
        std::vector<std::uint8_t> bytes = whole;
        bytes[at] ^= 0xFF;
        zelvan::test::WriteBytes(path, bytes);
        const RawBitmapResult result = plugin.Develop(path);
        if (result.Data) {
            BitmapView bmp;
            ASSERT_EQ(bmp.Parse(result), "") << "byte " << at;
            ++developed;
        } else {
            EXPECT_EQ(result.Size, 0);
            EXPECT_NE(result.Message[0], '\0') << "byte " << at;
            ++refused;
        }
        plugin.Free();
    }
    // Both outcomes occur: some tags are not essential, others are.
    EXPECT_GT(developed, 0);
    EXPECT_GT(refused, 0);
}

TEST(RawPlugin, DevelopsCanonCr2) {
    const std::string cr2 = CanonCr2();
    RawPlugin plugin;
    ASSERT_TRUE(plugin.ok());
    const RawBitmapResult result = plugin.Develop(cr2);
    BitmapView bmp;
    ASSERT_EQ(bmp.Parse(result), "");
    // A Canon EOS 30D frame, landscape: the 3596 x 2360 sensor less the 74 masked columns on
    // the left and 12 rows on top that LibRaw's camera table crops for this model.
    EXPECT_EQ(bmp.width(), 3522);
    EXPECT_EQ(bmp.height(), 2348);
    // A photograph, not a flat or black frame.
    const Rgb whole = bmp.Mean(0, 0, bmp.width(), bmp.height());
    EXPECT_GT(whole.r + whole.g + whole.b, 3 * 20.0);
    EXPECT_LT(whole.r + whole.g + whole.b, 3 * 235.0);
    // Sky above, forest below: a flipped row order or swapped red and blue fails this.
    const Rgb sky = bmp.Mean(0, 0, bmp.width(), bmp.height() / 8);
    const Rgb forest = bmp.Mean(0, bmp.height() * 5 / 8, bmp.width(), bmp.height() * 7 / 8);
    EXPECT_GT(sky.b, sky.r + 10);
    EXPECT_GT(sky.g, forest.g + 50);
    EXPECT_GT(forest.g, forest.b);
    int lo = 255, hi = 0;
    for (int y = 0; y < bmp.height(); y += 16)
        for (int x = 0; x < bmp.width(); x += 16) {
            lo = std::min<int>(lo, bmp.At(x, y)[1]);
            hi = std::max<int>(hi, bmp.At(x, y)[1]);
        }
    EXPECT_GT(hi - lo, 100);
    plugin.Free();
}

}  // namespace
