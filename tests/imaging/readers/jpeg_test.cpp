// The JPEG reader against djpeg, which runs the same libjpeg with the same settings: every decode
// must match its output byte for byte, and every file djpeg warns about must fail. CMYK files,
// which djpeg turns to RGB by plain arithmetic, are held instead to libjpeg's own CMYK samples
// turned by the program's CMYK conversion (itself checked against Little CMS in the colour
// profile tests).
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <jpeglib.h>

#include "base/error.h"
#include "imaging/colour_profile.h"
#include "imaging/readers/readers.h"
#include "support/exif_fixtures.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

struct Pnm {
    int width = 0;
    int height = 0;
    int channels = 0;  // 1 for PGM, 3 for PPM
    Bytes pixels;
};

// Parses djpeg's binary PGM/PPM output (maxval 255, no comments).
Pnm ParsePnm(const std::string& data) {
    Pnm pnm;
    if (data.size() < 2 || data[0] != 'P' || (data[1] != '5' && data[1] != '6')) return pnm;
    std::size_t pos = 2;
    int fields[3] = {};
    for (int& field : fields) {
        while (pos < data.size() && std::isspace(static_cast<unsigned char>(data[pos]))) ++pos;
        while (pos < data.size() && std::isdigit(static_cast<unsigned char>(data[pos])))
            field = field * 10 + (data[pos++] - '0');
    }
    ++pos;  // the single whitespace before the samples
    pnm.width = fields[0];
    pnm.height = fields[1];
    pnm.channels = data[1] == '5' ? 1 : 3;
    if (fields[2] != 255 || pos > data.size()) return {};
    pnm.pixels.assign(data.begin() + static_cast<std::ptrdiff_t>(pos), data.end());
    if (pnm.pixels.size() != static_cast<std::size_t>(pnm.width) * pnm.height * pnm.channels) return {};
    return pnm;
}

struct Djpeg {
    int exitStatus = -1;  // 0 clean, 2 with warnings, other values failure
    Pnm image;
};

// djpeg under a memory cap: some corpus files declare gigapixel images. `options` go before the
// file's name (a scale, for one).
Djpeg RunDjpeg(const std::string& path, const std::string& options = {}) {
    test::CommandResult r = test::RunCommand("ulimit -v 4000000; djpeg -pnm " + options + " " +
                                             test::ShellQuote(path) + " 2>/dev/null");
    return {r.exitStatus, ParsePnm(r.output)};
}

// Empty when the raster holds exactly djpeg's pixels, otherwise what differs first.
std::string DiffFromPnm(const Raster& raster, const Pnm& pnm) {
    if (raster.width() != pnm.width || raster.height() != pnm.height)
        return "size " + std::to_string(raster.width()) + "x" + std::to_string(raster.height()) +
               " vs " + std::to_string(pnm.width) + "x" + std::to_string(pnm.height);
    const int expectedBits = pnm.channels == 1 ? 8 : 24;
    if (raster.bitsPerPixel() != expectedBits)
        return "depth " + std::to_string(raster.bitsPerPixel());
    const std::uint8_t* p = pnm.pixels.data();
    for (int y = 0; y < pnm.height; ++y)
        for (int x = 0; x < pnm.width; ++x, p += pnm.channels) {
            Rgb c = raster.PixelColour(x, y);
            Rgb want = pnm.channels == 1 ? Rgb{p[0], p[0], p[0]} : Rgb{p[0], p[1], p[2]};
            if (c != want)
                return "pixel " + std::to_string(x) + "," + std::to_string(y) + " is " +
                       std::to_string(c.red) + "," + std::to_string(c.green) + "," +
                       std::to_string(c.blue) + " instead of " + std::to_string(want.red) + "," +
                       std::to_string(want.green) + "," + std::to_string(want.blue);
        }
    return {};
}

struct EncodeSettings {
    const char* name;
    int width;
    int height;
    J_COLOR_SPACE input;   // JCS_RGB, JCS_GRAYSCALE or JCS_CMYK
    J_COLOR_SPACE stored;  // the file's colour space
    int hSampling;         // of the first component
    int vSampling;
    bool progressive;
    bool arithmetic;
    int restartRows;
};

// A JPEG made with libjpeg from a pattern of gradients and noise.
Bytes EncodeJpeg(const EncodeSettings& s) {
    const int components = s.input == JCS_GRAYSCALE ? 1 : s.input == JCS_CMYK ? 4 : 3;
    Bytes samples(static_cast<std::size_t>(s.width) * s.height * components);
    std::uint32_t noise = 12345;
    for (int y = 0; y < s.height; ++y)
        for (int x = 0; x < s.width; ++x)
            for (int c = 0; c < components; ++c) {
                noise = noise * 1103515245 + 12345;
                int v = (x * 255 / s.width) * (c % 2 ? 1 : -1) + y * 7 * (c + 1) +
                        static_cast<int>((noise >> 16) % 40);
                samples[(static_cast<std::size_t>(y) * s.width + x) * components + c] =
                    static_cast<std::uint8_t>(v & 255);
            }

    jpeg_compress_struct cinfo{};
    jpeg_error_mgr err{};
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    jpeg_mem_dest(&cinfo, &out, &outSize);
    cinfo.image_width = static_cast<JDIMENSION>(s.width);
    cinfo.image_height = static_cast<JDIMENSION>(s.height);
    cinfo.input_components = components;
    cinfo.in_color_space = s.input;
    jpeg_set_defaults(&cinfo);
    jpeg_set_colorspace(&cinfo, s.stored);
    jpeg_set_quality(&cinfo, 85, TRUE);
    cinfo.comp_info[0].h_samp_factor = s.hSampling;
    cinfo.comp_info[0].v_samp_factor = s.vSampling;
    if (s.progressive) jpeg_simple_progression(&cinfo);
    cinfo.arith_code = s.arithmetic ? TRUE : FALSE;
    cinfo.restart_in_rows = s.restartRows;
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = samples.data() + static_cast<std::size_t>(cinfo.next_scanline) * s.width * components;
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    Bytes bytes(out, out + outSize);
    jpeg_destroy_compress(&cinfo);
    std::free(out);
    return bytes;
}

const EncodeSettings kEncodings[] = {
    {"colour 4:2:0", 37, 23, JCS_RGB, JCS_YCbCr, 2, 2, false, false, 0},
    {"colour 4:4:4", 16, 16, JCS_RGB, JCS_YCbCr, 1, 1, false, false, 0},
    {"colour 4:2:2 restarts", 50, 41, JCS_RGB, JCS_YCbCr, 2, 1, false, false, 1},
    {"colour stored as RGB", 19, 7, JCS_RGB, JCS_RGB, 1, 1, false, false, 0},
    {"colour progressive", 61, 33, JCS_RGB, JCS_YCbCr, 2, 2, true, false, 0},
    {"colour arithmetic", 29, 30, JCS_RGB, JCS_YCbCr, 2, 2, false, true, 0},
    {"grey", 33, 17, JCS_GRAYSCALE, JCS_GRAYSCALE, 1, 1, false, false, 0},
    {"grey progressive", 1, 1, JCS_GRAYSCALE, JCS_GRAYSCALE, 1, 1, true, false, 0},
    {"CMYK", 21, 13, JCS_CMYK, JCS_CMYK, 1, 1, false, false, 0},
    {"YCCK", 40, 24, JCS_CMYK, JCS_YCCK, 2, 2, false, false, 0},
    {"YCCK progressive", 9, 31, JCS_CMYK, JCS_YCCK, 2, 2, true, false, 0},
};

// A CMYK file's samples as libjpeg decodes them, turned to RGB the way the reader must: libjpeg
// writes Adobe's marker into CMYK and YCCK files, so the inks are inverted.
Pnm CmykTurnedToRgb(const Bytes& jpeg) {
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr err{};
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&cinfo, TRUE);
    EXPECT_TRUE(cinfo.saw_Adobe_marker);
    cinfo.out_color_space = JCS_CMYK;
    jpeg_start_decompress(&cinfo);
    const CmykToSrgb inks({}, InkSamples::Inverted);
    Pnm pnm{static_cast<int>(cinfo.output_width), static_cast<int>(cinfo.output_height), 3, {}};
    pnm.pixels.resize(static_cast<std::size_t>(pnm.width) * pnm.height * 3);
    Bytes cmyk(static_cast<std::size_t>(pnm.width) * 4);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = cmyk.data();
        std::uint8_t* rgb = pnm.pixels.data() + static_cast<std::size_t>(cinfo.output_scanline) * pnm.width * 3;
        jpeg_read_scanlines(&cinfo, &row, 1);
        inks.ConvertRow(cmyk.data(), rgb, static_cast<std::size_t>(pnm.width));
        for (int x = 0; x < pnm.width; ++x) std::swap(rgb[3 * x], rgb[3 * x + 2]);  // BGR to RGB
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return pnm;
}

TEST(JpegReader, EncodedImagesMatchDjpeg) {
    test::TempDir dir;
    for (const EncodeSettings& s : kEncodings) {
        SCOPED_TRACE(s.name);
        Bytes jpeg = EncodeJpeg(s);
        std::string path = dir / "in.jpg";
        test::WriteBytes(path, jpeg);
        Djpeg reference = RunDjpeg(path);
        ASSERT_EQ(reference.exitStatus, 0);
        ASSERT_GT(reference.image.width, 0);
        DecodedPicture picture = ReadJpeg(jpeg);
        EXPECT_EQ(picture.kind, PictureKind::Jpeg);
        EXPECT_EQ(DiffFromPnm(picture.raster, s.input == JCS_CMYK ? CmykTurnedToRgb(jpeg) : reference.image), "");
        if (picture.raster.bitsPerPixel() == 8) {
            ASSERT_EQ(picture.raster.palette().size(), 256u);
            EXPECT_EQ(picture.raster.palette()[200], (PaletteEntry{200, 200, 200, 0}));
        }
    }
}

// Decoding at 1/2, 1/4 and 1/8 of the size gives djpeg's pixels at that scale (CMYK files their
// size), rounded up for odd sizes; the reader asks with the stored size and the EXIF orientation,
// and says what it reduced from. An answer other than 2, 4 or 8 decodes the whole picture.
TEST(JpegReader, ReducedDecodingMatchesDjpegScaled) {
    test::TempDir dir;
    for (const EncodeSettings& s : kEncodings) {
        SCOPED_TRACE(s.name);
        const Bytes jpeg = test::WithExifSegment(EncodeJpeg(s), test::ExifOrientationBlock(6));
        const std::string path = dir / "in.jpg";
        test::WriteBytes(path, jpeg);
        for (const int reduction : {1, 2, 3, 4, 8}) {
            SCOPED_TRACE(reduction);
            StoredSize asked;
            int askedOrientation = 0;
            const DecodedPicture picture = ReadJpegReduced(jpeg, [&](StoredSize stored, int orientation) {
                asked = stored;
                askedOrientation = orientation;
                return reduction;
            });
            EXPECT_EQ(std::pair(asked.width, asked.height), std::pair(s.width, s.height));
            EXPECT_EQ(askedOrientation, 6);
            EXPECT_EQ(picture.orientation, 6);
            const int divisor = reduction == 3 ? 1 : reduction;
            ASSERT_EQ(picture.reducedFrom.has_value(), divisor != 1);
            if (picture.reducedFrom) {
                EXPECT_EQ(std::pair(picture.reducedFrom->width, picture.reducedFrom->height), std::pair(s.width, s.height));
            }
            EXPECT_EQ(std::pair(picture.raster.width(), picture.raster.height()),
                      std::pair((s.width + divisor - 1) / divisor, (s.height + divisor - 1) / divisor));
            if (s.input == JCS_CMYK) continue;
            const Djpeg reference = RunDjpeg(path, "-scale 1/" + std::to_string(divisor));
            ASSERT_EQ(reference.exitStatus, 0);
            EXPECT_EQ(DiffFromPnm(picture.raster, reference.image), "");
        }
    }
    // Without a request it is the plain reader.
    EXPECT_FALSE(ReadJpegReduced(EncodeJpeg(kEncodings[0]), {}).reducedFrom);
}

// Every JPEG of the corpora either matches djpeg exactly, or fails where djpeg warns or fails
// (or is over the size limit, which djpeg does not have).
TEST(JpegReader, CorpusFilesMatchDjpegOrFail) {
    const fs::path root = test::CorporaDir();
    int decoded = 0;
    int failed = 0;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string ext = entry.path().extension().string();
        if (!entry.is_regular_file() || (ext != ".jpg" && ext != ".jpeg" && ext != ".JPG")) continue;
        const std::string path = entry.path().string();
        SCOPED_TRACE(path);
        Bytes bytes = test::ReadBytes(path);
        std::string error;
        DecodedPicture picture;
        try {
            picture = ReadJpeg(bytes);
        } catch (const Error& e) {
            error = e.what();
        }
        if (!error.empty()) {
            ++failed;
            EXPECT_EQ(error.rfind("JPEG: ", 0), 0u) << error;
            if (error.find("limit") != std::string::npos) continue;
            EXPECT_NE(RunDjpeg(path).exitStatus, 0) << "djpeg decodes it cleanly; we said " << error;
            continue;
        }
        ++decoded;
        Djpeg reference = RunDjpeg(path);
        EXPECT_EQ(reference.exitStatus, 0);
        EXPECT_EQ(DiffFromPnm(picture.raster, reference.image), "");
    }
    // The goexif camera samples alone hold more than ten pictures and many stubs without one.
    EXPECT_GT(decoded, 10);
    EXPECT_GT(failed, 10);
}

// The offset of the first marker of that code (the 0xFF byte), 0 when there is none.
std::size_t FindMarker(const Bytes& jpeg, std::uint8_t code) {
    for (std::size_t i = 0; i + 3 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == code) return i;
    return 0;
}

// Damaged files fail with libjpeg's own words instead of coming out grey-filled; djpeg confirms
// that each is damaged.
TEST(JpegReader, DamagedFilesFail) {
    const Bytes good = EncodeJpeg(kEncodings[0]);
    const std::size_t sos = FindMarker(good, 0xDA);
    ASSERT_GT(sos, 0u);
    const std::size_t scan = sos + 2 + (good[sos + 2] << 8 | good[sos + 3]);
    struct Case {
        const char* name;
        Bytes bytes;
        const char* message;
    };
    std::vector<Case> cases;
    cases.push_back({"truncated in the scan", Bytes(good.begin(), good.begin() + (scan + good.size()) / 2),
                     "Premature end of JPEG file"});
    cases.push_back({"missing end marker", Bytes(good.begin(), good.end() - 2), "Premature end of JPEG file"});
    Bytes marker = good;
    marker[scan + 40] = 0xFF;
    marker[scan + 41] = 0xD5;  // a restart marker where none belongs
    cases.push_back({"marker inside the entropy data", marker, "Corrupt JPEG data"});
    Bytes extraneous = good;
    extraneous.insert(extraneous.begin() + static_cast<std::ptrdiff_t>(sos), {0x12, 0x34, 0x56});
    cases.push_back({"bytes between markers", extraneous, "3 extraneous bytes before marker 0xda"});
    Bytes cut(good.begin(), good.begin() + scan);
    cases.push_back({"no scan data", cut, "Premature end"});
    cases.push_back({"not a JPEG", Bytes{'G', 'I', 'F', '8', '9', 'a', 0, 0}, "Not a JPEG file"});
    cases.push_back({"empty", Bytes{}, "JPEG: "});

    test::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.bytes.empty()) {
            test::WriteBytes(dir / "bad.jpg", c.bytes);
            EXPECT_NE(RunDjpeg(dir / "bad.jpg").exitStatus, 0);
        }
        try {
            ReadJpeg(c.bytes);
            ADD_FAILURE() << "decoded";
        } catch (const Error& e) {
            EXPECT_EQ(std::string(e.what()).rfind("JPEG: ", 0), 0u) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

// A large progressive file's coefficients live in picture memory, not libjpeg's own: pictures
// decoded one after another still match djpeg (memory that kept an earlier picture's
// coefficients would show through in the later refinement scans).
TEST(JpegReader, ProgressivePicturesDecodedInTurnMatchDjpeg) {
    test::TempDir dir;
    const EncodeSettings settings[] = {
        {"large colour progressive", 1400, 1100, JCS_RGB, JCS_YCbCr, 1, 1, true, false, 0},
        {"large grey progressive", 1500, 1200, JCS_GRAYSCALE, JCS_GRAYSCALE, 1, 1, true, false, 0},
        {"smaller colour progressive", 1300, 1000, JCS_RGB, JCS_YCbCr, 1, 1, true, false, 0},
    };
    for (int round = 0; round < 2; ++round) {
        for (const EncodeSettings& s : settings) {
            SCOPED_TRACE(std::string(s.name) + ", round " + std::to_string(round));
            const Bytes jpeg = EncodeJpeg(s);
            test::WriteBytes(dir / "in.jpg", jpeg);
            const Djpeg reference = RunDjpeg(dir / "in.jpg");
            ASSERT_EQ(reference.exitStatus, 0);
            EXPECT_EQ(DiffFromPnm(ReadJpeg(jpeg).raster, reference.image), "");
        }
    }
}

// A header declaring more than 2^28 pixels is refused before anything is allocated.
TEST(JpegReader, HugeDeclaredSizeIsRefused) {
    Bytes jpeg = EncodeJpeg(kEncodings[1]);
    const std::size_t sof = FindMarker(jpeg, 0xC0);
    ASSERT_GT(sof, 0u);
    // Height and width of 60000 each: 3.6 gigapixels.
    jpeg[sof + 5] = 0xEA;
    jpeg[sof + 6] = 0x60;
    jpeg[sof + 7] = 0xEA;
    jpeg[sof + 8] = 0x60;
    try {
        ReadJpeg(jpeg);
        ADD_FAILURE() << "decoded";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("JPEG: image of 60000x60000 pixels is larger than the limit"),
                  std::string::npos)
            << e.what();
    }
}

// The scans of a progressive file cost a pass over the whole picture each: a 49-megapixel grey
// picture in 99 scans (jpegtran's most) is refused by the work it would take, while a small one
// in the same 99 scans decodes.
TEST(JpegReader, ScansTimesPixelsAreCapped) {
    ASSERT_TRUE(test::HaveProgram("cjpeg") && test::HaveProgram("jpegtran"));
    test::TempDir dir;
    // The DC, each AC coefficient on its own, then a refinement of the first 35.
    std::string script = "0: 0-0, 0, 0;\n";
    for (int band = 1; band <= 63; ++band) script += "0: " + std::to_string(band) + "-" + std::to_string(band) + ", 0, 1;\n";
    for (int band = 1; band <= 35; ++band) script += "0: " + std::to_string(band) + "-" + std::to_string(band) + ", 1, 0;\n";
    test::WriteBytes(dir / "scans.txt", Bytes(script.begin(), script.end()));
    // A flat grey picture of side x side pixels in those scans.
    auto manyScans = [&](int side) {
        std::string pgm = "P5\n" + std::to_string(side) + " " + std::to_string(side) + "\n255\n";
        pgm.append(static_cast<std::size_t>(side) * static_cast<std::size_t>(side), '\x80');
        test::WriteBytes(dir / "flat.pgm", Bytes(pgm.begin(), pgm.end()));
        const std::string command = "cjpeg -grayscale " + test::ShellQuote(dir / "flat.pgm") + " | jpegtran -scans " +
                                    test::ShellQuote(dir / "scans.txt") + " > " + test::ShellQuote(dir / "many.jpg");
        EXPECT_EQ(test::RunCommand(command).exitStatus, 0);
        return test::ReadBytes(dir / "many.jpg");
    };

    EXPECT_EQ(ReadJpeg(manyScans(512)).raster.width(), 512);
    try {
        ReadJpeg(manyScans(7000));
        ADD_FAILURE() << "decoded";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("of 7000x7000 pixels are more decoding work than the limit of 4294967296"),
                  std::string::npos)
            << e.what();
    }
}

}  // namespace
}  // namespace zelvan
