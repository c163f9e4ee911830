// JPEG writer over libjpeg-turbo: colour JFIF, libjpeg's defaults and quality scaling.

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include "base/error.h"
#include "imaging/writers/writers.h"

namespace zelvan {
namespace {

struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

[[noreturn]] void OnJpegError(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1);
}

// The example tables of the JPEG standard (ITU-T T.81, Annex K), in natural order: what
// libjpeg scales by the quality.
constexpr unsigned int kLuminanceTable[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,  14, 13, 16, 24, 40,  57,
    69, 56, 14, 17, 22,  29,  51,  87,  80, 62, 18, 22, 37,  56,  68,  109, 103, 77, 24, 35, 55, 64,
    81, 104, 113, 92, 49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95,  98,  112, 100, 103, 99};
constexpr unsigned int kChrominanceTable[64] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
    99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

// Both tables for a quality between whole ones, by libjpeg's own scaling (5000 / q below 50,
// 200 - 2q from 50) with a fractional q; at a whole quality the tables are libjpeg's.
void SetFractionalQuality(jpeg_compress_struct& cinfo, double quality) {
    const double scale = quality < 50 ? 5000.0 / quality : 200.0 - 2.0 * quality;
    const unsigned int* tables[2] = {kLuminanceTable, kChrominanceTable};
    for (int which = 0; which < 2; ++which) {
        unsigned int scaled[64];
        for (int i = 0; i < 64; ++i) {
            const double v = std::floor((tables[which][i] * scale + 50.0) / 100.0);
            scaled[i] = static_cast<unsigned int>(std::clamp(v, 1.0, 255.0));
        }
        // Scaled already: a factor of 100 leaves them as they are.
        jpeg_add_quant_table(&cinfo, which, scaled, 100, TRUE);
    }
}

// Warnings of the compressor are not worth a line on standard error.
void OnJpegMessage(j_common_ptr, int) {}

// Everything the fenced compression needs, in plain data: no object with a destructor may
// live in a function that libjpeg can longjmp out of.
struct CompressJob {
    const Raster* image = nullptr;
    int quality = 0;
    int qualityTenths = 0;
    bool progressive = false;
    bool optimizedTables = false;
    const std::uint8_t* iccProfile = nullptr;  // in APP2 segments after the JFIF marker
    unsigned int iccProfileSize = 0;
    std::uint8_t* rowBuffer = nullptr;  // one 24-bit row, for palette rasters only
    unsigned char* output = nullptr;    // malloc'd by libjpeg; the caller frees it
    unsigned long outputSize = 0;
    char message[JMSG_LENGTH_MAX] = {};
};

// Returns false with job.message set when libjpeg fails; job.output is then null.
bool CompressFenced(CompressJob& job) {
    // Zeroed, so that a failure before or during creation finds no stale pointers.
    jpeg_compress_struct cinfo{};
    ErrorManager err{};
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = OnJpegError;
    err.pub.emit_message = OnJpegMessage;
    if (setjmp(err.jump)) {
        (*cinfo.err->format_message)(reinterpret_cast<j_common_ptr>(&cinfo), job.message);
        // The memory destination grows its buffer behind the caller's pointer; asking it to
        // terminate points job.output at the buffer it holds now, so that one is freed.
        if (cinfo.dest) (*cinfo.dest->term_destination)(&cinfo);
        jpeg_destroy_compress(&cinfo);
        std::free(job.output);
        job.output = nullptr;
        job.outputSize = 0;
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &job.output, &job.outputSize);

    const Raster& image = *job.image;
    const int bpp = image.bitsPerPixel();
    cinfo.image_width = static_cast<JDIMENSION>(image.width());
    cinfo.image_height = static_cast<JDIMENSION>(image.height());
    // The raster's own byte order is handed over as it is: libjpeg-turbo reads blue, green,
    // red (and skips a fourth byte) itself, and the file is the same as one made from RGB.
    cinfo.input_components = bpp == 32 ? 4 : 3;
    cinfo.in_color_space = bpp == 32 ? JCS_EXT_BGRX : JCS_EXT_BGR;
    // The defaults follow the input colour space: YCbCr with 2x2 chroma subsampling, a JFIF
    // marker, standard Huffman tables.
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, job.quality, TRUE);
    if (job.qualityTenths > 0 && job.quality < 100) SetFractionalQuality(cinfo, job.quality + job.qualityTenths / 10.0);
    // Tables made for this picture's own symbols: a second pass over the coefficients, the same
    // pixels, a few per cent fewer bytes. Progressive files get them whatever this says.
    cinfo.optimize_coding = job.optimizedTables ? TRUE : FALSE;
    if (job.progressive) jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    // Split into as many segments as it takes.
    if (job.iccProfileSize) jpeg_write_icc_profile(&cinfo, job.iccProfile, job.iccProfileSize);

    if (bpp >= 24) {
        constexpr int kBatch = 16;
        JSAMPROW rows[kBatch];
        while (cinfo.next_scanline < cinfo.image_height) {
            int n = 0;
            for (JDIMENSION y = cinfo.next_scanline; n < kBatch && y < cinfo.image_height; ++y, ++n)
                rows[n] = const_cast<JSAMPROW>(image.row(static_cast<int>(y)));  // only read
            jpeg_write_scanlines(&cinfo, rows, static_cast<JDIMENSION>(n));
        }
    } else {
        JSAMPROW rows[1] = {job.rowBuffer};
        while (cinfo.next_scanline < cinfo.image_height) {
            image.ExpandRowToBgr(static_cast<int>(cinfo.next_scanline), job.rowBuffer);
            jpeg_write_scanlines(&cinfo, rows, 1);
        }
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

}  // namespace

std::vector<std::uint8_t> EncodeJpeg(const Raster& image, int quality, bool progressive,
                                     std::span<const std::uint8_t> iccProfile, bool optimizedTables,
                                     int qualityTenths) {
    if (image.empty()) throw Error("JPEG: there is no image to write");
    // 255 segments of 65519 bytes at most.
    if (iccProfile.size() > 255u * 65519u) throw Error("JPEG: the colour profile is too large to embed");
    std::vector<std::uint8_t> rowBuffer;
    if (image.bitsPerPixel() <= 8) rowBuffer.resize(static_cast<std::size_t>(image.width()) * 3);

    CompressJob job;
    job.image = &image;
    job.quality = quality;
    job.qualityTenths = qualityTenths;
    job.progressive = progressive;
    job.optimizedTables = optimizedTables;
    job.iccProfile = iccProfile.data();
    job.iccProfileSize = static_cast<unsigned int>(iccProfile.size());
    job.rowBuffer = rowBuffer.data();
    if (!CompressFenced(job)) throw Error(std::string("JPEG: ") + job.message);

    std::vector<std::uint8_t> out;
    try {
        out.assign(job.output, job.output + job.outputSize);
    } catch (...) {
        std::free(job.output);
        throw;
    }
    std::free(job.output);
    return out;
}

}  // namespace zelvan
