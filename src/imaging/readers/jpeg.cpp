// JPEG reader over libjpeg-turbo. libjpeg reports errors by calling error_exit, which must not
// return: the longjmp back lives in RunLibjpeg alone, and neither that function nor the memory
// callbacks libjpeg calls hold a C++ object with a destructor, so nothing is skipped when
// libjpeg jumps out of a failed decode.
#include <array>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include <jpeglib.h>
#include <jerror.h>

#include "base/error.h"
#include "imaging/colour_profile.h"
#include "imaging/orientation.h"
#include "imaging/picture_memory.h"
#include "imaging/readers/readers.h"

namespace zelvan {
namespace {

// A sane progressive file has about ten scans; thousands of empty scans would each cost a pass
// over the whole coefficient buffer.
constexpr int kMaxScans = 1000;
// The decoding work of a multi-scan file grows with scans times pixels: this much allows 16 scans
// of the largest picture (the usual progressive photo has 10), and refuses a huge picture with
// hundreds of scans after a second's work instead of a minute's.
constexpr std::uint64_t kMaxScanPixels = std::uint64_t{1} << 32;

// Rows handed to libjpeg per call.
constexpr int kRowBatch = 16;

struct JpegErrorManager {
    jpeg_error_mgr pub;  // first member: libjpeg sees only this part
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    // Set while the ICC profile is gathered: a broken profile is dropped, the picture kept.
    bool toleratingWarnings;
};

enum class JpegOutput { Grey, Bgr, Cmyk };

// A progressive file's coefficients, held whole for the picture, as libjpeg's memory manager
// would hold them in memory; libjpeg sees it only through jvirt_barray_ptr.
struct CoefficientArray {
    JDIMENSION blocksPerRow = 0;
    JDIMENSION rowCount = 0;
    JBLOCKARRAY rows = nullptr;  // in libjpeg's image pool, pointing into `blocks`
    PictureMemory blocks;
};

// libjpeg's memory manager as made by jpeg_create_decompress, for everything but the
// coefficient arrays.
struct LibjpegMemory {
    void (*realizeArrays)(j_common_ptr) = nullptr;
    void (*freePool)(j_common_ptr, int) = nullptr;
    void (*selfDestruct)(j_common_ptr) = nullptr;
};

// Everything one decode needs, owned by ReadJpeg; the libjpeg object is destroyed here whatever
// way the decode ends.
struct JpegJob {
    explicit JpegJob(std::span<const std::uint8_t> data) : bytes(data) {}
    ~JpegJob() {
        if (created) jpeg_destroy_decompress(&cinfo);
        std::free(iccProfile);
    }
    JpegJob(const JpegJob&) = delete;
    JpegJob& operator=(const JpegJob&) = delete;

    std::span<const std::uint8_t> bytes;
    jpeg_decompress_struct cinfo{};
    JpegErrorManager err{};
    jpeg_progress_mgr progress{};
    bool created = false;
    JpegOutput output = JpegOutput::Bgr;
    JOCTET* iccProfile = nullptr;  // malloc'd by libjpeg
    unsigned int iccProfileSize = 0;
    std::optional<CmykToSrgb> cmyk;  // for CMYK and YCCK files, made between the steps
    int reduction = 1;  // the divisor of the size the picture is decoded at: 1, 2, 4 or 8
    Raster raster;
    // One per component at most; filled while libjpeg starts the decode.
    std::array<CoefficientArray, MAX_COMPONENTS> coefficients;
    std::size_t coefficientArrays = 0;
    LibjpegMemory libjpegMemory;
};

[[noreturn]] void FailJpeg(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

// libjpeg's warnings (corrupt data, premature end of data, extraneous bytes) mean the file is
// damaged: the decode fails rather than delivering grey-filled rows. Trace messages are dropped.
void OnJpegMessage(j_common_ptr cinfo, int level) {
    if (level < 0 && !reinterpret_cast<JpegErrorManager*>(cinfo->err)->toleratingWarnings) FailJpeg(cinfo);
}

void OnJpegProgress(j_common_ptr cinfo) {
    auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
    auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
    if (d->input_scan_number > kMaxScans) {
        std::snprintf(err->message, sizeof err->message, "more than %d scans", kMaxScans);
        std::longjmp(err->jump, 1);
    }
    const std::uint64_t work = std::uint64_t(d->input_scan_number) * d->image_width * d->image_height;
    if (work > kMaxScanPixels) {
        std::snprintf(err->message, sizeof err->message,
                      "%d scans of %ux%u pixels are more decoding work than the limit of %llu scan pixels",
                      d->input_scan_number, d->image_width, d->image_height,
                      static_cast<unsigned long long>(kMaxScanPixels));
        std::longjmp(err->jump, 1);
    }
}

JpegJob& JobOf(j_common_ptr cinfo) { return *static_cast<JpegJob*>(cinfo->client_data); }

// The coefficient arrays come from picture memory instead of libjpeg's malloc: the largest
// buffer of a progressive decode then sits on huge pages (imaging/picture_memory.h). These
// replace the manager's functions for coefficient arrays; libjpeg's code reaches them only
// through cinfo->mem.
jvirt_barray_ptr RequestCoefficients(j_common_ptr cinfo, int pool, boolean, JDIMENSION blocksPerRow,
                                     JDIMENSION rowCount, JDIMENSION) {
    JpegJob& job = JobOf(cinfo);
    if (pool != JPOOL_IMAGE) ERREXIT1(cinfo, JERR_BAD_POOL_ID, pool);
    if (job.coefficientArrays == job.coefficients.size()) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 10);
    CoefficientArray& array = job.coefficients[job.coefficientArrays++];
    array.blocksPerRow = blocksPerRow;
    array.rowCount = rowCount;
    return reinterpret_cast<jvirt_barray_ptr>(&array);
}

// Zeroed, as libjpeg's own arrays are for decoding: coefficients that no scan sends (a valid
// progressive file may leave out the last refinements) are zero.
void RealizeArrays(j_common_ptr cinfo) {
    JpegJob& job = JobOf(cinfo);
    job.libjpegMemory.realizeArrays(cinfo);
    for (std::size_t i = 0; i < job.coefficientArrays; ++i) {
        CoefficientArray& array = job.coefficients[i];
        if (array.rows) continue;
        const std::uint64_t bytes = std::uint64_t{array.blocksPerRow} * array.rowCount * sizeof(JBLOCK);
        if (array.rowCount == 0 || bytes > SIZE_MAX) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 11);
        array.blocks = AllocatePictureMemory(static_cast<std::size_t>(bytes), PictureBytes::Zeroed);
        if (!array.blocks) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 12);
        array.rows = static_cast<JBLOCKARRAY>(
            (*cinfo->mem->alloc_large)(cinfo, JPOOL_IMAGE, std::size_t{array.rowCount} * sizeof(JBLOCKROW)));
        auto* blocks = reinterpret_cast<JBLOCKROW>(array.blocks.get());
        for (JDIMENSION row = 0; row < array.rowCount; ++row)
            array.rows[row] = blocks + std::size_t{row} * array.blocksPerRow;
    }
}

JBLOCKARRAY AccessCoefficients(j_common_ptr cinfo, jvirt_barray_ptr handle, JDIMENSION firstRow,
                               JDIMENSION rowCount, boolean) {
    const auto& array = *reinterpret_cast<const CoefficientArray*>(handle);
    if (!array.rows || rowCount > array.rowCount || firstRow > array.rowCount - rowCount)
        ERREXIT(cinfo, JERR_BAD_VIRTUAL_ACCESS);
    return array.rows + firstRow;
}

void ReleaseCoefficients(JpegJob& job) {
    for (std::size_t i = 0; i < job.coefficientArrays; ++i) job.coefficients[i] = CoefficientArray{};
    job.coefficientArrays = 0;
}

void FreePool(j_common_ptr cinfo, int pool) {
    JpegJob& job = JobOf(cinfo);
    if (pool == JPOOL_IMAGE) ReleaseCoefficients(job);
    job.libjpegMemory.freePool(cinfo, pool);
}

void SelfDestruct(j_common_ptr cinfo) {
    JpegJob& job = JobOf(cinfo);
    ReleaseCoefficients(job);
    job.libjpegMemory.selfDestruct(cinfo);
}

void UsePictureMemoryForCoefficients(JpegJob& job) {
    jpeg_memory_mgr& mem = *job.cinfo.mem;
    job.cinfo.client_data = &job;
    job.libjpegMemory = {mem.realize_virt_arrays, mem.free_pool, mem.self_destruct};
    mem.request_virt_barray = RequestCoefficients;
    mem.realize_virt_arrays = RealizeArrays;
    mem.access_virt_barray = AccessCoefficients;
    mem.free_pool = FreePool;
    mem.self_destruct = SelfDestruct;
}

enum class JpegStep { ReadHeader, Reduce, Decode };

// The only function that calls libjpeg. Returns false with job.err.message set on any failure.
bool RunLibjpeg(JpegJob& job, JpegStep step) {
    j_decompress_ptr cinfo = &job.cinfo;
    if (step == JpegStep::ReadHeader) {
        cinfo->err = jpeg_std_error(&job.err.pub);
        job.err.pub.error_exit = FailJpeg;
        job.err.pub.emit_message = OnJpegMessage;
    }
    if (setjmp(job.err.jump)) return false;

    if (step == JpegStep::ReadHeader) {
        job.created = true;  // jpeg_destroy copes with a half-made object
        jpeg_create_decompress(cinfo);
        UsePictureMemoryForCoefficients(job);
        jpeg_mem_src(cinfo, job.bytes.data(), static_cast<unsigned long>(job.bytes.size()));
        // APP1 segments are kept for their EXIF orientation (at most 64 KiB each).
        jpeg_save_markers(cinfo, JPEG_APP0 + 1, 0xFFFF);
        // APP2 segments for the ICC profile, which may span several of them.
        jpeg_save_markers(cinfo, JPEG_APP0 + 2, 0xFFFF);
        jpeg_read_header(cinfo, TRUE);
        // Missing or misnumbered profile segments are only warned about: no profile then.
        job.err.toleratingWarnings = true;
        if (!jpeg_read_icc_profile(cinfo, &job.iccProfile, &job.iccProfileSize)) {
            std::free(job.iccProfile);
            job.iccProfile = nullptr;
            job.iccProfileSize = 0;
        }
        job.err.toleratingWarnings = false;
        switch (cinfo->jpeg_color_space) {
            case JCS_GRAYSCALE:
                cinfo->out_color_space = JCS_GRAYSCALE;
                job.output = JpegOutput::Grey;
                break;
            case JCS_YCbCr:
            case JCS_RGB:
                cinfo->out_color_space = JCS_EXT_BGR;
                job.output = JpegOutput::Bgr;
                break;
            case JCS_CMYK:
            case JCS_YCCK:  // libjpeg turns YCC back to CMY, keeping K
                cinfo->out_color_space = JCS_CMYK;
                job.output = JpegOutput::Cmyk;
                break;
            default:
                std::snprintf(job.err.message, sizeof job.err.message,
                              "unsupported colour space with %d components",
                              cinfo->num_components);
                return false;
        }
        jpeg_calc_output_dimensions(cinfo);
        return true;
    }

    if (step == JpegStep::Reduce) {
        // The inverse DCT then makes each 8x8 block 4x4, 2x2 or 1x1 pixels directly; the output
        // is the stored size divided and rounded up.
        cinfo->scale_num = 1;
        cinfo->scale_denom = static_cast<unsigned int>(job.reduction);
        jpeg_calc_output_dimensions(cinfo);
        return true;
    }

    cinfo->progress = &job.progress;
    job.progress.progress_monitor = OnJpegProgress;
    jpeg_start_decompress(cinfo);
    const JDIMENSION width = cinfo->output_width;
    if (width != static_cast<JDIMENSION>(job.raster.width()) ||
        cinfo->output_height != static_cast<JDIMENSION>(job.raster.height())) {
        std::snprintf(job.err.message, sizeof job.err.message, "image size changed while decoding");
        return false;
    }
    if (job.output == JpegOutput::Cmyk) {
        JSAMPARRAY cmyk = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo),
                                                      JPOOL_IMAGE, width * 4, 1);
        while (cinfo->output_scanline < cinfo->output_height) {
            const JDIMENSION y = cinfo->output_scanline;
            if (jpeg_read_scanlines(cinfo, cmyk, 1) != 1) break;
            job.cmyk->ConvertRow(cmyk[0], job.raster.row(static_cast<int>(y)), width);
        }
    } else {
        JSAMPROW rows[kRowBatch];
        while (cinfo->output_scanline < cinfo->output_height) {
            const JDIMENSION first = cinfo->output_scanline;
            JDIMENSION n = cinfo->output_height - first;
            if (n > kRowBatch) n = kRowBatch;
            for (JDIMENSION i = 0; i < n; ++i) rows[i] = job.raster.row(static_cast<int>(first + i));
            if (jpeg_read_scanlines(cinfo, rows, n) == 0) break;
        }
    }
    if (cinfo->output_scanline < cinfo->output_height) {
        std::snprintf(job.err.message, sizeof job.err.message, "file is truncated");
        return false;
    }
    jpeg_finish_decompress(cinfo);
    return true;
}

[[noreturn]] void ThrowJpeg(const JpegJob& job) {
    throw Error(std::string("JPEG: ") + job.err.message);
}

// The Orientation tag of the first APP1 segment that is an EXIF block; 1 without one.
int SavedExifOrientation(const jpeg_decompress_struct& cinfo) {
    for (jpeg_saved_marker_ptr m = cinfo.marker_list; m; m = m->next) {
        if (m->marker != JPEG_APP0 + 1 || !m->data) continue;
        const std::span<const std::uint8_t> data(m->data, m->data_length);
        if (data.size() >= 6 && std::memcmp(data.data(), "Exif\0\0", 6) == 0) return ExifSegmentOrientation(data);
    }
    return kOrientationAsStored;
}

}  // namespace

DecodedPicture ReadJpeg(std::span<const std::uint8_t> bytes) { return ReadJpegReduced(bytes, {}); }

DecodedPicture ReadJpegReduced(std::span<const std::uint8_t> bytes, const DecodeReductionFn& chooseReduction) {
    JpegJob job(bytes);
    if (!RunLibjpeg(job, JpegStep::ReadHeader)) ThrowJpeg(job);
    // Saved markers live in libjpeg's image pool, which finishing the decode frees.
    const int orientation = SavedExifOrientation(job.cinfo);

    // The stored picture is held to the limit whatever size it is decoded at: a file is refused
    // or taken alike with and without reduction.
    CheckImageSize(job.cinfo.image_width, job.cinfo.image_height, "JPEG");
    if (chooseReduction) {
        const StoredSize stored{static_cast<int>(job.cinfo.image_width), static_cast<int>(job.cinfo.image_height)};
        const int reduction = chooseReduction(stored, orientation);
        if (reduction == 2 || reduction == 4 || reduction == 8) {
            job.reduction = reduction;
            if (!RunLibjpeg(job, JpegStep::Reduce)) ThrowJpeg(job);
        }
    }

    CheckImageSize(job.cinfo.output_width, job.cinfo.output_height, "JPEG");
    const int bitsPerPixel = job.output == JpegOutput::Grey ? 8 : 24;
    job.raster = Raster::Uninitialised(static_cast<int>(job.cinfo.output_width),
                                       static_cast<int>(job.cinfo.output_height), bitsPerPixel);
    if (bitsPerPixel == 8) job.raster.SetGreyPalette();
    if (job.output == JpegOutput::Cmyk) {
        // Adobe's applications write their APP14 marker and store inverted inks; files without
        // the marker store plain ones.
        const std::span<const std::uint8_t> profile(job.iccProfile, job.iccProfile ? job.iccProfileSize : 0);
        job.cmyk.emplace(profile, job.cinfo.saw_Adobe_marker ? InkSamples::Inverted : InkSamples::Plain);
    }

    if (!RunLibjpeg(job, JpegStep::Decode)) ThrowJpeg(job);

    DecodedPicture picture;
    picture.kind = PictureKind::Jpeg;
    picture.orientation = orientation;
    picture.sampleColours = job.output == JpegOutput::Grey   ? SampleColours::Grey
                            : job.output == JpegOutput::Cmyk ? SampleColours::Cmyk
                                                             : SampleColours::Rgb;
    // A CMYK file's profile has served: its pixels are sRGB now.
    if (job.iccProfile && job.iccProfileSize <= kMaxIccProfileBytes && job.output != JpegOutput::Cmyk)
        picture.iccProfile.assign(job.iccProfile, job.iccProfile + job.iccProfileSize);
    picture.raster = std::move(job.raster);
    if (job.reduction != 1)
        picture.reducedFrom = StoredSize{static_cast<int>(job.cinfo.image_width), static_cast<int>(job.cinfo.image_height)};
    return picture;
}

}  // namespace zelvan
