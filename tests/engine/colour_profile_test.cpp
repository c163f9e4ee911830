// Colour profiles: a source's ICC profile is kept byte for byte in JPEG, PNG and JPEG 2000
// outputs, the pixels of BMP and Targa outputs are turned to sRGB through it instead, and a
// damaged or unfitting profile is dropped with the file converting as before. Profiles are made
// with Little CMS; the outputs' profiles are read back with libjpeg and libpng themselves.
#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <lcms2.h>
#include <png.h>
#include <zlib.h>

#include "imaging/readers/readers.h"
#include "imaging/writers/writers.h"
#include "support/fixtures.h"
#include "support/job_fixture.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

std::vector<std::uint8_t> SaveProfile(cmsHPROFILE profile) {
    cmsUInt32Number size = 0;
    EXPECT_TRUE(cmsSaveProfileToMem(profile, nullptr, &size));
    std::vector<std::uint8_t> bytes(size);
    EXPECT_TRUE(cmsSaveProfileToMem(profile, bytes.data(), &size));
    cmsCloseProfile(profile);
    return bytes;
}

// Adobe RGB (1998) primaries, D65 white, gamma 2.2; `padding` bytes of a private tag make it
// as large as a test needs.
std::vector<std::uint8_t> AdobeRgbProfile(std::size_t padding = 0) {
    const cmsCIExyY white{0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries{{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve* gamma = cmsBuildGamma(nullptr, 2.2);
    cmsToneCurve* curves[3] = {gamma, gamma, gamma};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsFreeToneCurve(gamma);
    if (padding) {
        std::vector<std::uint8_t> filler(padding);
        std::mt19937 random(7);
        for (std::uint8_t& b : filler) b = static_cast<std::uint8_t>(random());
        cmsWriteRawTag(profile, static_cast<cmsTagSignature>(0x7a6c766e), filler.data(),
                       static_cast<cmsUInt32Number>(filler.size()));
    }
    return SaveProfile(profile);
}

std::vector<std::uint8_t> GreyProfile() {
    cmsToneCurve* gamma = cmsBuildGamma(nullptr, 2.2);
    cmsHPROFILE profile = cmsCreateGrayProfile(cmsD50_xyY(), gamma);
    cmsFreeToneCurve(gamma);
    return SaveProfile(profile);
}

// A whole CMYK printer profile as far as its header goes.
std::vector<std::uint8_t> CmykProfile() {
    cmsHPROFILE profile = cmsCreateProfilePlaceholder(nullptr);
    cmsSetDeviceClass(profile, cmsSigOutputClass);
    cmsSetColorSpace(profile, cmsSigCmykData);
    cmsSetPCS(profile, cmsSigLabData);
    return SaveProfile(profile);
}

// 48 x 16, saturated and mixed colours: far enough from the sRGB gamut that converting them
// moves them.
Raster ColourfulPicture() {
    Raster picture(48, 16, 24);
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x) {
            std::uint8_t* p = picture.row(y) + 3 * x;
            p[0] = static_cast<std::uint8_t>(x * 5);
            p[1] = static_cast<std::uint8_t>(255 - y * 15);
            p[2] = static_cast<std::uint8_t>((x * 7 + y * 11) % 256);
        }
    return picture;
}

struct ErrorJump {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};
[[noreturn]] void JumpOut(j_common_ptr cinfo) { std::longjmp(reinterpret_cast<ErrorJump*>(cinfo->err)->jump, 1); }

// The profile libjpeg itself reassembles from a file's APP2 segments; nullopt without one.
bool ReadJpegProfileFenced(const std::vector<std::uint8_t>& file, JOCTET** data, unsigned int* size) {
    jpeg_decompress_struct cinfo{};
    ErrorJump err{};
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = JumpOut;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, file.data(), static_cast<unsigned long>(file.size()));
    jpeg_save_markers(&cinfo, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(&cinfo, TRUE);
    const bool found = jpeg_read_icc_profile(&cinfo, data, size);
    jpeg_destroy_decompress(&cinfo);
    return found;
}
std::optional<std::vector<std::uint8_t>> JpegProfile(const std::string& path) {
    JOCTET* data = nullptr;
    unsigned int size = 0;
    if (!ReadJpegProfileFenced(test::ReadBytes(path), &data, &size)) return std::nullopt;
    std::vector<std::uint8_t> profile(data, data + size);
    std::free(data);
    return profile;
}

// The profile of a PNG's iCCP chunk as libpng reads it; nullopt without one.
std::optional<std::vector<std::uint8_t>> PngProfile(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return std::nullopt;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    std::optional<std::vector<std::uint8_t>> profile;
    if (!setjmp(png_jmpbuf(png))) {
        png_init_io(png, file);
        png_read_info(png, info);
        png_charp name = nullptr;
        int method = -1;
        png_bytep data = nullptr;
        png_uint_32 size = 0;
        if (png_get_iCCP(png, info, &name, &method, &data, &size) == PNG_INFO_iCCP)
            profile.emplace(data, data + size);
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    return profile;
}

// The profile in a JP2 file's colour box when it names one (method 2); nullopt otherwise.
std::optional<std::vector<std::uint8_t>> Jp2Profile(const std::string& path) {
    const std::vector<std::uint8_t> file = test::ReadBytes(path);
    for (std::size_t i = 4; i + 7 <= file.size(); ++i) {
        if (std::memcmp(&file[i], "colr", 4) != 0) continue;
        const std::uint32_t boxSize = std::uint32_t{file[i - 4]} << 24 | std::uint32_t{file[i - 3]} << 16 |
                                      std::uint32_t{file[i - 2]} << 8 | file[i - 1];
        if (file[i + 4] != 2 || boxSize < 11 || i - 4 + boxSize > file.size()) return std::nullopt;
        return std::vector<std::uint8_t>(file.begin() + static_cast<std::ptrdiff_t>(i + 7),
                                         file.begin() + static_cast<std::ptrdiff_t>(i - 4 + boxSize));
    }
    return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> OutputProfile(const std::string& path, const std::string& extension) {
    if (extension == "jpg") return JpegProfile(path);
    if (extension == "png") return PngProfile(path);
    return Jp2Profile(path);
}

void PutBigEndian32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

// A PNG file of the picture with an iCCP chunk holding `deflated` as the profile's stream.
std::vector<std::uint8_t> PngWithIccChunk(const Raster& picture, const std::vector<std::uint8_t>& deflated) {
    const std::vector<std::uint8_t> plain = EncodePng(picture, nullptr, std::nullopt, PngSettings{});
    std::vector<std::uint8_t> data = {'p', 'h', 'o', 't', 'o', 0, 0};
    data.insert(data.end(), deflated.begin(), deflated.end());
    std::vector<std::uint8_t> chunk;
    PutBigEndian32(chunk, static_cast<std::uint32_t>(data.size()));
    const char type[] = "iCCP";
    chunk.insert(chunk.end(), type, type + 4);
    chunk.insert(chunk.end(), data.begin(), data.end());
    PutBigEndian32(chunk, static_cast<std::uint32_t>(crc32(0, chunk.data() + 4, static_cast<uInt>(data.size() + 4))));
    std::vector<std::uint8_t> file(plain.begin(), plain.begin() + 33);  // signature and IHDR
    file.insert(file.end(), chunk.begin(), chunk.end());
    file.insert(file.end(), plain.begin() + 33, plain.end());
    return file;
}

std::vector<std::uint8_t> Deflated(const std::vector<std::uint8_t>& bytes) {
    uLongf size = compressBound(static_cast<uLong>(bytes.size()));
    std::vector<std::uint8_t> out(size);
    EXPECT_EQ(compress2(out.data(), &size, bytes.data(), static_cast<uLong>(bytes.size()), 9), Z_OK);
    out.resize(size);
    return out;
}

class ColourProfileJob : public test::SingleJobTest {
protected:
    // One job that must convert without a line; its output's path.
    std::string Convert(const std::string& source, const std::string& extension) {
        const std::string output = SingleJobTest::Run(source, extension);
        EXPECT_EQ(errors.Count(), 0u) << (errors.Count() ? errors.Lines().front() : "");
        return output;
    }
};

struct KeptCase {
    std::string name;
    std::size_t padding;  // of the profile: past 65519 bytes a JPEG needs several segments
    std::string output;
};
void PrintTo(const KeptCase& c, std::ostream* os) { *os << c.name; }

class ProfileKept : public ColourProfileJob, public ::testing::WithParamInterface<KeptCase> {};

TEST_P(ProfileKept, OutputCarriesTheSourceProfileByteForByte) {
    const std::vector<std::uint8_t> profile = AdobeRgbProfile(GetParam().padding);
    if (GetParam().padding) {
        ASSERT_GT(profile.size(), 2u * 65519u);
    }
    test::WriteBytes(src("photo.jpg"), EncodeJpeg(ColourfulPicture(), 95, false, profile));
    ASSERT_EQ(JpegProfile(src("photo.jpg")), profile) << "the source does not hold the profile";

    const std::string output = Convert(src("photo.jpg"), GetParam().output);
    const auto kept = OutputProfile(output, GetParam().output);
    ASSERT_TRUE(kept.has_value());
    EXPECT_EQ(*kept, profile);
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, ProfileKept,
    ::testing::Values(KeptCase{"Jpeg", 0, "jpg"}, KeptCase{"Png", 0, "png"}, KeptCase{"Jpeg2000", 0, "jp2"},
                      KeptCase{"JpegInThreeSegments", 150 * 1024, "jpg"},
                      KeptCase{"PngOfALargeProfile", 150 * 1024, "png"}),
    test::CaseName{});

// Outputs that cannot carry a profile show what Little CMS makes of the source's pixels.
class ProfileApplied : public ColourProfileJob, public ::testing::WithParamInterface<std::string> {};

TEST_P(ProfileApplied, PixelsAreTheSourcesTurnedToSrgb) {
    const std::vector<std::uint8_t> profile = AdobeRgbProfile();
    const std::vector<std::uint8_t> source = EncodeJpeg(ColourfulPicture(), 95, false, profile);
    test::WriteBytes(src("photo.jpg"), source);
    const Raster stored = ReadJpeg(source).raster;

    Raster expected = stored;
    cmsHPROFILE adobe = cmsOpenProfileFromMem(profile.data(), static_cast<cmsUInt32Number>(profile.size()));
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHTRANSFORM transform = cmsCreateTransform(adobe, TYPE_BGR_8, srgb, TYPE_BGR_8, INTENT_PERCEPTUAL, 0);
    ASSERT_NE(transform, nullptr);
    for (int y = 0; y < expected.height(); ++y)
        cmsDoTransform(transform, stored.row(y), expected.row(y), static_cast<cmsUInt32Number>(expected.width()));
    cmsDeleteTransform(transform);
    cmsCloseProfile(adobe);
    cmsCloseProfile(srgb);

    const std::string extension = GetParam();
    const std::string output = Convert(src("photo.jpg"), extension);
    const std::vector<std::uint8_t> bytes = test::ReadBytes(output);
    const Raster written = (extension == "bmp" ? ReadBmp(bytes) : ReadTga(bytes)).raster;
    ASSERT_EQ(written.width(), stored.width());
    ASSERT_EQ(written.height(), stored.height());
    int moved = 0;
    for (int y = 0; y < stored.height(); ++y)
        for (int x = 0; x < stored.width(); ++x) {
            const Rgb got = written.PixelColour(x, y), want = expected.PixelColour(x, y), was = stored.PixelColour(x, y);
            ASSERT_NEAR(got.red, want.red, 1) << x << "," << y;
            ASSERT_NEAR(got.green, want.green, 1) << x << "," << y;
            ASSERT_NEAR(got.blue, want.blue, 1) << x << "," << y;
            if (std::abs(got.red - was.red) > 10 || std::abs(got.green - was.green) > 10 ||
                std::abs(got.blue - was.blue) > 10)
                ++moved;
        }
    EXPECT_GT(moved, 0) << "the conversion changed nothing: the picture does not test it";
}

INSTANTIATE_TEST_SUITE_P(Outputs, ProfileApplied, ::testing::Values("bmp", "tga"));

// A damaged or unfitting profile is dropped: the file converts without a line, JPEG and PNG
// outputs carry no profile, and a bitmap's pixels are the stored ones.
struct DroppedCase {
    std::string name;
    std::string source;  // "jpg" (the profile in APP2 segments) or "png" (deflated in iCCP)
    std::vector<std::uint8_t> profile;
    bool breakDeflate = false;  // the iCCP chunk's zlib stream is cut short
};
void PrintTo(const DroppedCase& c, std::ostream* os) { *os << c.name; }

std::vector<DroppedCase> DroppedCases() {
    const std::vector<std::uint8_t> adobe = AdobeRgbProfile();
    std::vector<std::uint8_t> random(600);
    std::mt19937 generator(11);
    for (std::uint8_t& b : random) b = static_cast<std::uint8_t>(generator());
    std::vector<std::uint8_t> corruptTags = adobe;  // a whole header, tags pointing past the end
    for (std::size_t i = 132; i < corruptTags.size(); ++i) corruptTags[i] = 0xFF;
    return {
        {"TruncatedJpegProfile", "jpg", std::vector<std::uint8_t>(adobe.begin(), adobe.begin() + static_cast<std::ptrdiff_t>(adobe.size() / 2))},
        {"RandomBytesInJpeg", "jpg", random},
        {"TagTableDestroyed", "jpg", corruptTags},
        {"CmykProfileOnRgbJpeg", "jpg", CmykProfile()},
        {"GreyProfileOnRgbJpeg", "jpg", GreyProfile()},
        {"RandomBytesInPng", "png", random},
        {"CutDeflateStreamInPng", "png", adobe, true},
    };
}

class ProfileDropped : public ColourProfileJob, public ::testing::WithParamInterface<DroppedCase> {};

TEST_P(ProfileDropped, FileConvertsWithoutIt) {
    const DroppedCase& c = GetParam();
    const Raster picture = ColourfulPicture();
    std::vector<std::uint8_t> source;
    if (c.source == "jpg") {
        source = EncodeJpeg(picture, 95, false, c.profile);
    } else {
        std::vector<std::uint8_t> deflated = Deflated(c.profile);
        if (c.breakDeflate) deflated.resize(deflated.size() / 2);
        source = PngWithIccChunk(picture, deflated);
    }
    const std::string path = src("photo." + c.source);
    test::WriteBytes(path, source);
    const Raster stored = (c.source == "jpg" ? ReadJpeg(source) : ReadPng(source)).raster;

    EXPECT_FALSE(JpegProfile(Convert(path, "jpg")).has_value());
    EXPECT_FALSE(PngProfile(Convert(path, "png")).has_value());
    const Raster written = ReadBmp(test::ReadBytes(Convert(path, "bmp"))).raster;
    EXPECT_EQ(test::Pixels(written), test::Pixels(stored));
}

INSTANTIATE_TEST_SUITE_P(Profiles, ProfileDropped, ::testing::ValuesIn(DroppedCases()), test::CaseName{});

// The PNG reader finds the profile in an iCCP chunk the program did not write itself.
TEST_F(ColourProfileJob, ForeignPngProfileIsKeptInJpeg) {
    const std::vector<std::uint8_t> profile = AdobeRgbProfile();
    test::WriteBytes(src("photo.png"), PngWithIccChunk(ColourfulPicture(), Deflated(profile)));
    EXPECT_EQ(JpegProfile(Convert(src("photo.png"), "jpg")), profile);
}

}  // namespace
}  // namespace zelvan
