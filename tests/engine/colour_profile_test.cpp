// Colour profiles: a source's ICC profile is kept byte for byte in JPEG, PNG and JPEG 2000
// outputs, the pixels of BMP and Targa outputs are turned to sRGB through it instead, and a
// damaged or unfitting profile is dropped with the file converting as before; the option
// Colour_profile converts or strips instead; CMYK JPEGs are turned to sRGB through their own or the
// generic CMYK profile. Profiles are made with Little CMS; the outputs' profiles are read back with
// libjpeg and libpng themselves.
#include <gtest/gtest.h>

#include <array>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <lcms2.h>
#include <png.h>
#include <zlib.h>

#include "engine/conversion_options.h"
#include "imaging/colour_profile.h"
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

std::vector<std::uint8_t> GreyProfile(double exponent = 2.2) {
    cmsToneCurve* gamma = cmsBuildGamma(nullptr, exponent);
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
    const std::vector<std::uint8_t> plain = EncodePng(picture, nullptr, PngSettings{});
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
    options->colourProfile = kKeepColourProfile;
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
    std::vector<std::uint8_t> hugeTagCount = adobe;  // the count at offset 128
    for (std::size_t i = 128; i < 132; ++i) hugeTagCount[i] = 0xFF;
    return {
        {"TruncatedJpegProfile", "jpg", std::vector<std::uint8_t>(adobe.begin(), adobe.begin() + static_cast<std::ptrdiff_t>(adobe.size() / 2))},
        {"RandomBytesInJpeg", "jpg", random},
        {"TagTableDestroyed", "jpg", corruptTags},
        {"HugeTagCount", "jpg", hugeTagCount},
        {"LabProfileOnRgbJpeg", "jpg", SaveProfile(cmsCreateLab4Profile(nullptr))},
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

// Grey and CMYK JPEG files written with libjpeg itself: the program writes only colour JPEGs.
struct SampleJpeg {
    int width = 0;
    int height = 0;
    J_COLOR_SPACE samples = JCS_GRAYSCALE;  // of `pixels`: JCS_GRAYSCALE or JCS_CMYK
    J_COLOR_SPACE stored = JCS_GRAYSCALE;   // in the file: the same, or JCS_YCCK for CMYK samples
    bool adobeMarker = false;
    std::vector<std::uint8_t> pixels;
    std::vector<std::uint8_t> profile;
};

bool WriteSampleJpegFenced(const SampleJpeg& in, unsigned char** buffer, unsigned long* size) {
    jpeg_compress_struct cinfo{};
    ErrorJump err{};
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = JumpOut;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, buffer, size);
    cinfo.image_width = static_cast<JDIMENSION>(in.width);
    cinfo.image_height = static_cast<JDIMENSION>(in.height);
    cinfo.input_components = in.samples == JCS_CMYK ? 4 : 1;
    cinfo.in_color_space = in.samples;
    jpeg_set_defaults(&cinfo);
    jpeg_set_colorspace(&cinfo, in.stored);
    cinfo.write_Adobe_marker = in.adobeMarker ? TRUE : FALSE;
    jpeg_set_quality(&cinfo, 100, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    if (!in.profile.empty())
        jpeg_write_icc_profile(&cinfo, in.profile.data(), static_cast<unsigned int>(in.profile.size()));
    const std::size_t stride = static_cast<std::size_t>(in.width) * static_cast<std::size_t>(cinfo.input_components);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(in.pixels.data() + cinfo.next_scanline * stride);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

std::vector<std::uint8_t> WriteSampleJpeg(const SampleJpeg& in) {
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    const bool written = WriteSampleJpegFenced(in, &buffer, &size);
    std::vector<std::uint8_t> file;
    if (written) file.assign(buffer, buffer + size);
    std::free(buffer);
    EXPECT_TRUE(written);
    return file;
}

// What Colour_profile does with a photo's profile, seen in lossless outputs: convert turns the
// pixels as Little CMS does and carries no profile; strip carries none and leaves the pixels as
// stored, even in a bitmap (which keep turns) and in a grey picture (which keep turns at load).
// No JPEG output carries a profile either.
enum class Expected { AsStored, ThroughProfile };
struct ChoiceCase {
    std::string name;
    bool grey;  // a grey JPEG with a linear grey profile, else an Adobe RGB photo
    ColourProfileChoice choice;
    std::string output;  // "png" or "bmp"
    Expected pixels;
};
void PrintTo(const ChoiceCase& c, std::ostream* os) { *os << c.name; }

class ProfileChoice : public ColourProfileJob, public ::testing::WithParamInterface<ChoiceCase> {};

TEST_P(ProfileChoice, PixelsAndProfileAreAsChosen) {
    const ChoiceCase& c = GetParam();
    options->colourProfile = c.choice;
    std::vector<std::uint8_t> profile, source;
    if (c.grey) {
        profile = GreyProfile(1.0);
        SampleJpeg grey;
        grey.width = 64;
        grey.height = 16;
        for (int y = 0; y < grey.height; ++y)
            for (int x = 0; x < grey.width; ++x) grey.pixels.push_back(static_cast<std::uint8_t>(x * 4 + y / 4));
        grey.profile = profile;
        source = WriteSampleJpeg(grey);
    } else {
        profile = AdobeRgbProfile();
        source = EncodeJpeg(ColourfulPicture(), 95, false, profile);
    }
    test::WriteBytes(src("photo.jpg"), source);
    const Raster stored = ReadJpeg(source).raster;

    cmsHPROFILE from = cmsOpenProfileFromMem(profile.data(), static_cast<cmsUInt32Number>(profile.size()));
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHTRANSFORM transform =
        cmsCreateTransform(from, c.grey ? TYPE_GRAY_8 : TYPE_RGB_8, srgb, TYPE_RGB_8, INTENT_PERCEPTUAL, 0);
    cmsCloseProfile(from);
    cmsCloseProfile(srgb);
    ASSERT_NE(transform, nullptr);

    const std::string output = Convert(src("photo.jpg"), c.output);
    const std::vector<std::uint8_t> bytes = test::ReadBytes(output);
    const Raster written = (c.output == "png" ? ReadPng(bytes) : ReadBmp(bytes)).raster;
    if (c.output == "png") {
        EXPECT_FALSE(PngProfile(output).has_value());
    }
    EXPECT_FALSE(JpegProfile(Convert(src("photo.jpg"), "jpg")).has_value());

    ASSERT_EQ(written.width(), stored.width());
    ASSERT_EQ(written.height(), stored.height());
    const int tolerance = c.pixels == Expected::ThroughProfile ? 1 : 0;
    int moved = 0;
    for (int y = 0; y < stored.height(); ++y)
        for (int x = 0; x < stored.width(); ++x) {
            const Rgb was = stored.PixelColour(x, y);
            const std::uint8_t in[3] = {was.red, was.green, was.blue};
            std::uint8_t turned[3];
            cmsDoTransform(transform, in, turned, 1);
            const Rgb want = c.pixels == Expected::ThroughProfile ? Rgb{turned[0], turned[1], turned[2]} : was;
            const Rgb got = written.PixelColour(x, y);
            ASSERT_NEAR(got.red, want.red, tolerance) << x << "," << y;
            ASSERT_NEAR(got.green, want.green, tolerance) << x << "," << y;
            ASSERT_NEAR(got.blue, want.blue, tolerance) << x << "," << y;
            if (std::abs(turned[0] - was.red) > 10 || std::abs(turned[1] - was.green) > 10 ||
                std::abs(turned[2] - was.blue) > 10)
                ++moved;
        }
    cmsDeleteTransform(transform);
    EXPECT_GT(moved, 0) << "the profile changes nothing: the picture does not test it";
}

INSTANTIATE_TEST_SUITE_P(
    Choices, ProfileChoice,
    ::testing::Values(ChoiceCase{"ConvertAdobeRgbToPng", false, kConvertToSrgb, "png", Expected::ThroughProfile},
                      ChoiceCase{"ConvertAdobeRgbToBmp", false, kConvertToSrgb, "bmp", Expected::ThroughProfile},
                      ChoiceCase{"ConvertGreyToPng", true, kConvertToSrgb, "png", Expected::ThroughProfile},
                      ChoiceCase{"StripAdobeRgbInPng", false, kStripColourProfile, "png", Expected::AsStored},
                      ChoiceCase{"StripAdobeRgbInBmp", false, kStripColourProfile, "bmp", Expected::AsStored},
                      ChoiceCase{"StripGreyInBmp", true, kStripColourProfile, "bmp", Expected::AsStored}),
    test::CaseName{});

// A press of the test's own, inks to Lab through a table: the arithmetic's colours with a cyan
// that leans to green and a warm black, unlike both the arithmetic and the generic profile.
int SampleMadePress(const cmsUInt16Number in[], cmsUInt16Number out[], void* toLab) {
    const double c = in[0] / 65535.0, m = in[1] / 65535.0, y = in[2] / 65535.0, k = in[3] / 65535.0;
    const double rgb[3] = {(1 - c) * (1 - 0.85 * k), (1 - 0.6 * c) * (1 - m) * (1 - k),
                           (1 - y) * (1 - 0.2 * m) * (1 - 0.95 * k)};
    cmsCIELab lab;
    cmsDoTransform(static_cast<cmsHTRANSFORM>(toLab), rgb, &lab, 1);
    cmsFloat2LabEncoded(out, &lab);
    return TRUE;
}

std::vector<std::uint8_t> MadePressProfile() {
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    cmsHTRANSFORM toLab = cmsCreateTransform(srgb, TYPE_RGB_DBL, lab, TYPE_Lab_DBL, INTENT_RELATIVE_COLORIMETRIC, 0);
    cmsCloseProfile(srgb);
    cmsCloseProfile(lab);
    cmsHPROFILE press = cmsCreateProfilePlaceholder(nullptr);
    cmsSetProfileVersion(press, 4.3);
    cmsSetDeviceClass(press, cmsSigOutputClass);
    cmsSetColorSpace(press, cmsSigCmykData);
    cmsSetPCS(press, cmsSigLabData);
    cmsPipeline* lut = cmsPipelineAlloc(nullptr, 4, 3);
    cmsStage* table = cmsStageAllocCLut16bit(nullptr, 9, 4, 3, nullptr);
    cmsStageSampleCLut16bit(table, SampleMadePress, toLab, 0);
    // The A-to-B table's layout: curves (identity), the table, curves (identity).
    cmsPipelineInsertStage(lut, cmsAT_END, cmsStageAllocToneCurves(nullptr, 4, nullptr));
    cmsPipelineInsertStage(lut, cmsAT_END, table);
    cmsPipelineInsertStage(lut, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
    cmsWriteTag(press, cmsSigAToB0Tag, lut);
    cmsWriteTag(press, cmsSigMediaWhitePointTag, cmsD50_XYZ());
    cmsPipelineFree(lut);
    cmsDeleteTransform(toLab);
    return SaveProfile(press);
}

// Flat patches of these inks (0 no ink), 16 x 16 each, so that no JPEG block mixes two.
constexpr std::array<std::array<std::uint8_t, 4>, 8> kInks{{{0, 0, 0, 0},
                                                            {255, 0, 0, 0},
                                                            {0, 255, 0, 0},
                                                            {0, 0, 255, 0},
                                                            {0, 0, 0, 255},
                                                            {0, 0, 0, 128},
                                                            {200, 60, 0, 20},
                                                            {30, 200, 180, 60}}};

// The patches as the file stores them: inverted where Adobe's marker says so.
SampleJpeg InkPatches(J_COLOR_SPACE stored, bool adobeMarker, std::vector<std::uint8_t> profile) {
    SampleJpeg jpeg{.width = 16 * static_cast<int>(kInks.size()), .height = 16, .samples = JCS_CMYK,
                    .stored = stored, .adobeMarker = adobeMarker, .pixels = {}, .profile = std::move(profile)};
    for (int y = 0; y < jpeg.height; ++y)
        for (int x = 0; x < jpeg.width; ++x)
            for (std::uint8_t ink : kInks[static_cast<std::size_t>(x / 16)])
                jpeg.pixels.push_back(adobeMarker ? static_cast<std::uint8_t>(255 - ink) : ink);
    return jpeg;
}

// CMYK and YCCK JPEGs, inverted (with Adobe's marker) or plain, come out as Little CMS turns
// their inks to sRGB: through the file's own profile, or through the generic one when the file
// has none or one that cannot serve. The profile itself is not kept.
enum class InkProfile { Own, None, Truncated, RgbInstead };
struct CmykCase {
    std::string name;
    J_COLOR_SPACE stored;
    bool adobeMarker;
    InkProfile profile;
};
void PrintTo(const CmykCase& c, std::ostream* os) { *os << c.name; }

class CmykDecoded : public ::testing::TestWithParam<CmykCase> {};

TEST_P(CmykDecoded, ColoursAreTheProfilesSrgb) {
    const CmykCase& c = GetParam();
    const std::vector<std::uint8_t> own = MadePressProfile();
    std::vector<std::uint8_t> embedded;
    switch (c.profile) {
        case InkProfile::Own: embedded = own; break;
        case InkProfile::None: break;
        case InkProfile::Truncated: embedded.assign(own.begin(), own.begin() + static_cast<std::ptrdiff_t>(own.size() / 2)); break;
        case InkProfile::RgbInstead: embedded = AdobeRgbProfile(); break;
    }
    const DecodedPicture picture = ReadJpeg(WriteSampleJpeg(InkPatches(c.stored, c.adobeMarker, embedded)));
    EXPECT_TRUE(picture.iccProfile.empty()) << "a profile of inks must not be carried";

    std::vector<std::uint8_t> used = own;
    if (c.profile != InkProfile::Own) {
        ASSERT_TRUE(std::filesystem::exists(kGenericCmykProfilePath))
            << kGenericCmykProfilePath << " is missing: scripts/install-deps.sh installs it";
        used = test::ReadBytes(kGenericCmykProfilePath);
    }
    cmsHPROFILE inks = cmsOpenProfileFromMem(used.data(), static_cast<cmsUInt32Number>(used.size()));
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHTRANSFORM transform =
        cmsCreateTransform(inks, TYPE_CMYK_8, srgb, TYPE_RGB_8, INTENT_PERCEPTUAL, cmsFLAGS_NOOPTIMIZE);
    cmsCloseProfile(inks);
    cmsCloseProfile(srgb);
    ASSERT_NE(transform, nullptr);
    std::array<Rgb, kInks.size()> expected;
    static_assert(sizeof(Rgb) == 3);
    cmsDoTransform(transform, kInks.data(), expected.data(), static_cast<cmsUInt32Number>(kInks.size()));
    cmsDeleteTransform(transform);

    ASSERT_EQ(picture.raster.width(), 16 * static_cast<int>(kInks.size()));
    // Quality 100 leaves each flat patch within a level or two; the edges of a patch are left
    // out, where YCCK's upsampled colour blends into the next one.
    constexpr int kTolerance = 3;
    for (int y = 0; y < picture.raster.height(); ++y)
        for (int x = 0; x < picture.raster.width(); ++x) {
            if (x % 16 < 2 || x % 16 > 13) continue;
            const Rgb got = picture.raster.PixelColour(x, y), want = expected[static_cast<std::size_t>(x / 16)];
            ASSERT_NEAR(got.red, want.red, kTolerance) << x << "," << y;
            ASSERT_NEAR(got.green, want.green, kTolerance) << x << "," << y;
            ASSERT_NEAR(got.blue, want.blue, kTolerance) << x << "," << y;
        }
    // Against the plain arithmetic, which a profile must visibly differ from.
    int moved = 0;
    for (std::size_t i = 0; i < kInks.size(); ++i) {
        const auto light = [&](int ink) { return (255 - kInks[i][static_cast<std::size_t>(ink)]) * (255 - kInks[i][3]) / 255; };
        if (std::abs(light(0) - expected[i].red) > 10 || std::abs(light(1) - expected[i].green) > 10 ||
            std::abs(light(2) - expected[i].blue) > 10)
            ++moved;
    }
    EXPECT_GT(moved, 2);
}

INSTANTIATE_TEST_SUITE_P(
    Files, CmykDecoded,
    ::testing::Values(CmykCase{"AdobeCmykWithItsProfile", JCS_CMYK, true, InkProfile::Own},
                      CmykCase{"AdobeYcckWithItsProfile", JCS_YCCK, true, InkProfile::Own},
                      CmykCase{"PlainCmykWithItsProfile", JCS_CMYK, false, InkProfile::Own},
                      CmykCase{"AdobeCmykWithoutProfile", JCS_CMYK, true, InkProfile::None},
                      CmykCase{"PlainCmykWithoutProfile", JCS_CMYK, false, InkProfile::None},
                      CmykCase{"AdobeYcckWithTruncatedProfile", JCS_YCCK, true, InkProfile::Truncated},
                      CmykCase{"AdobeCmykWithRgbProfile", JCS_CMYK, true, InkProfile::RgbInstead}),
    test::CaseName{});

// The inks' profile has served once the reader turned them: outputs carry none, and a bitmap
// shows the decoded colours as they are.
TEST_F(ColourProfileJob, CmykProfileIsNotCarried) {
    options->colourProfile = kKeepColourProfile;
    const std::vector<std::uint8_t> file = WriteSampleJpeg(InkPatches(JCS_CMYK, true, MadePressProfile()));
    test::WriteBytes(src("press.jpg"), file);
    EXPECT_FALSE(JpegProfile(Convert(src("press.jpg"), "jpg")).has_value());
    EXPECT_FALSE(PngProfile(Convert(src("press.jpg"), "png")).has_value());
    EXPECT_EQ(test::Pixels(ReadBmp(test::ReadBytes(Convert(src("press.jpg"), "bmp"))).raster),
              test::Pixels(ReadJpeg(file).raster));
}

}  // namespace
}  // namespace zelvan
