// The RAW plug-in: develops a camera RAW file with LibRaw into a 24-bit bitmap file image.
//
// Only Raw2BmpMem and FreeMemory leave this library (hidden visibility plus a version script),
// and no C++ exception crosses them: every failure becomes Data = NULL, Size = 0 and a message.
// The only state kept between calls is the last buffer handed out; the converter calls the
// plug-in from one job at a time.

#include "rawdll.h"

#include <libraw/libraw.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#define RAWDLL_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// The same ceiling as the project's readers: about 268 megapixels.
constexpr std::uint64_t kMaxPixels = std::uint64_t{1} << 28;
// LibRaw's own cap on its raw buffers. 2^28 pixels of four 16-bit channels is 2 GiB.
constexpr unsigned kMaxRawMemoryMb = 2048;

constexpr std::uint32_t kFileHeaderSize = 14;
constexpr std::uint32_t kInfoHeaderSize = 40;
constexpr std::uint32_t kPixelOffset = kFileHeaderSize + kInfoHeaderSize;

// The buffer that the last successful Raw2BmpMem handed out, until FreeMemory.
void* g_lastBuffer = nullptr;

void ReleaseLastBuffer() {
    std::free(g_lastBuffer);
    g_lastBuffer = nullptr;
}

void Fail(RawBitmapResult* result, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Fail(RawBitmapResult* result, const char* format, ...) {
    result->Data = nullptr;
    result->Size = 0;
    char reason[sizeof result->Message - 8];
    va_list args;
    va_start(args, format);
    std::vsnprintf(reason, sizeof reason, format, args);
    va_end(args);
    std::snprintf(result->Message, sizeof result->Message, "RAW: %s", reason);
}

// LibRaw's own text for its codes; a few calls hand back plain errno values instead.
const char* ErrorText(int code) {
    if (code > 0) return std::strerror(code);
    return libraw_strerror(code);
}

enum class Stage { kOpen, kDecode };

// LibRaw reports reading past the end of the file as a bare I/O error; the file could be
// opened, so the reason is its length.
void FailWithLibRawError(RawBitmapResult* result, Stage stage, int code) {
    if (code == LIBRAW_IO_ERROR && stage == Stage::kOpen)
        return Fail(result, "not a RAW file, or its header is cut short (%s)", ErrorText(code));
    if (code == LIBRAW_IO_ERROR)
        return Fail(result, "the image data is cut short or unreadable (%s)", ErrorText(code));
    Fail(result, "%s", ErrorText(code));
}

// Damaged data that LibRaw reports through its callback instead of an error code. The first
// report is kept for the message; any report fails the file, so that a damaged picture is
// never delivered as if it were whole.
struct DataErrors {
    bool seen = false;
    int offset = 0;
};

void OnDataError(void* data, const char* /*file*/, const int offset) {
    auto* errors = static_cast<DataErrors*>(data);
    if (!errors->seen) {
        errors->seen = true;
        errors->offset = offset;
    }
}

// Out-of-memory inside LibRaw also comes back as LIBRAW_UNSUFFICIENT_MEMORY; the callback
// only keeps LibRaw from printing to standard error.
void OnMemoryError(void* /*data*/, const char* /*file*/, const char* /*where*/) {}

bool FailOnDataError(RawBitmapResult* result, const DataErrors& errors) {
    if (!errors.seen) return false;
    if (errors.offset < 0) Fail(result, "the file is truncated");
    else Fail(result, "the image data is damaged (at byte %d)", errors.offset);
    return true;
}

void PutLe16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

void PutLe32(std::uint8_t* p, std::uint32_t v) {
    PutLe16(p, v & 0xFFFF);
    PutLe16(p + 2, v >> 16);
}

void WriteHeaders(std::uint8_t* p, std::uint32_t width, std::uint32_t height, std::uint32_t imageSize) {
    p[0] = 'B';
    p[1] = 'M';
    PutLe32(p + 2, kPixelOffset + imageSize);
    PutLe32(p + 6, 0);  // two reserved words
    PutLe32(p + 10, kPixelOffset);
    std::uint8_t* info = p + kFileHeaderSize;
    PutLe32(info + 0, kInfoHeaderSize);
    PutLe32(info + 4, width);
    PutLe32(info + 8, height);  // positive: rows run bottom-up
    PutLe16(info + 12, 1);      // planes
    PutLe16(info + 14, 24);     // bits per pixel
    PutLe32(info + 16, 0);      // BI_RGB
    PutLe32(info + 20, imageSize);
    PutLe32(info + 24, 2835);   // 72 dots per inch, in dots per metre
    PutLe32(info + 28, 2835);
    PutLe32(info + 32, 0);      // colours used
    PutLe32(info + 36, 0);      // important colours
}

void Develop(LibRaw& raw, const char* path, RawBitmapResult* result) {
    // A precise reason for the commonest failure, which LibRaw only reports as an I/O error.
    struct stat st;
    if (::stat(path, &st) != 0) return Fail(result, "cannot open the file: %s", std::strerror(errno));
    if (!S_ISREG(st.st_mode)) return Fail(result, "not a regular file");
    if (st.st_size == 0) return Fail(result, "the file is empty");

    DataErrors dataErrors;
    raw.set_dataerror_handler(OnDataError, &dataErrors);
    raw.set_memerror_handler(OnMemoryError, nullptr);

    libraw_output_params_t& params = raw.imgdata.params;
    params.max_raw_memory_mb = kMaxRawMemoryMb;

    int rc = raw.open_file(path);
    if (rc != LIBRAW_SUCCESS) return FailWithLibRawError(result, Stage::kOpen, rc);
    if (FailOnDataError(result, dataErrors)) return;

    const libraw_image_sizes_t& sizes = raw.imgdata.sizes;
    if (sizes.width == 0 || sizes.height == 0) return Fail(result, "the file holds no image");
    const std::uint64_t rawPixels = std::uint64_t{sizes.raw_width} * sizes.raw_height;
    const std::uint64_t pixels = std::uint64_t{sizes.width} * sizes.height;
    if (rawPixels > kMaxPixels || pixels > kMaxPixels)
        return Fail(result, "the image is too large (%ux%u, above %llu pixels)", unsigned{sizes.width},
                    unsigned{sizes.height}, static_cast<unsigned long long>(kMaxPixels));

    // The camera's white balance where the file records one, else an estimate from the picture
    // (grey world). LibRaw 0.20 makes that fallback on its own, later versions may use daylight
    // multipliers instead, which tint files of cameras LibRaw has no matrix for: stated here so
    // that the behaviour does not depend on the library's version.
    const float* camMul = raw.imgdata.color.cam_mul;
    params.use_camera_wb = 1;
    params.use_auto_wb = (camMul[0] > 0 && camMul[1] > 0 && camMul[2] > 0) ? 0 : 1;
    params.output_color = 1;  // sRGB
    params.output_bps = 8;

    rc = raw.unpack();
    if (rc != LIBRAW_SUCCESS) return FailWithLibRawError(result, Stage::kDecode, rc);
    if (FailOnDataError(result, dataErrors)) return;

    rc = raw.dcraw_process();
    if (rc != LIBRAW_SUCCESS) return FailWithLibRawError(result, Stage::kDecode, rc);
    if (FailOnDataError(result, dataErrors)) return;

    // The developed size can differ from the sensor's: rotation, pixel aspect, Fuji layouts.
    int width = 0, height = 0, colors = 0, bps = 0;
    raw.get_mem_image_format(&width, &height, &colors, &bps);
    if (width <= 0 || height <= 0) return Fail(result, "the developed image is empty");
    if (colors != 1 && colors != 3) return Fail(result, "unsupported colour layout (%d channels)", colors);
    if (bps != 8) return Fail(result, "unexpected sample depth (%d bits)", bps);
    if (std::uint64_t(width) * std::uint64_t(height) > kMaxPixels)
        return Fail(result, "the image is too large (%dx%d, above %llu pixels)", width, height,
                    static_cast<unsigned long long>(kMaxPixels));

    const std::uint64_t stride = (std::uint64_t(width) * 3 + 3) & ~std::uint64_t{3};
    const std::uint64_t imageSize = stride * std::uint64_t(height);
    const std::uint64_t fileSize = kPixelOffset + imageSize;
    if (fileSize > INT32_MAX) return Fail(result, "the image is too large for a bitmap (%dx%d)", width, height);

    auto* bitmap = static_cast<std::uint8_t*>(std::malloc(fileSize));
    if (!bitmap) return Fail(result, "out of memory for a %dx%d bitmap", width, height);
    WriteHeaders(bitmap, std::uint32_t(width), std::uint32_t(height), std::uint32_t(imageSize));

    // LibRaw writes straight into the bitmap's rows: starting at the last row with a negative
    // stride turns its top-down output into the bottom-up order without another copy.
    const int rowStep = static_cast<int>(stride);
    std::uint8_t* pixelsStart = bitmap + kPixelOffset;
    std::uint8_t* topRow = pixelsStart + (std::uint64_t(height) - 1) * stride;
    rc = raw.copy_mem_image(topRow, -rowStep, /*bgr=*/1);
    if (rc != LIBRAW_SUCCESS) {
        std::free(bitmap);
        return FailWithLibRawError(result, Stage::kDecode, rc);
    }

    const std::size_t rowBytes = std::size_t(width) * 3;
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = pixelsStart + std::uint64_t(y) * stride;
        if (colors == 1) {
            // Grey samples sit at the row's start; spread them from the right so that no sample
            // is overwritten before it is read.
            for (int x = width - 1; x >= 0; --x) {
                const std::uint8_t v = row[x];
                row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = v;
            }
        }
        std::memset(row + rowBytes, 0, stride - rowBytes);
    }

    g_lastBuffer = bitmap;
    result->Data = bitmap;
    result->Size = static_cast<std::int32_t>(fileSize);
    result->Message[0] = '\0';
}

}  // namespace

RAWDLL_EXPORT void Raw2BmpMem(const char* path, RawBitmapResult* result) noexcept {
    if (!result) return;
    // A buffer the caller never released goes now: only one is ever outstanding.
    ReleaseLastBuffer();
    result->Data = nullptr;
    result->Size = 0;
    result->Message[0] = '\0';
    if (!path) return Fail(result, "no file name given");
    try {
        // LibRaw's state is several hundred kilobytes: kept off the stack.
        std::unique_ptr<LibRaw> raw(new (std::nothrow) LibRaw(LIBRAW_OPTIONS_NONE));
        if (!raw) return Fail(result, "out of memory");
        Develop(*raw, path, result);
    } catch (const std::bad_alloc&) {
        ReleaseLastBuffer();
        Fail(result, "out of memory");
    } catch (const std::exception& e) {
        ReleaseLastBuffer();
        Fail(result, "%s", e.what());
    } catch (...) {
        ReleaseLastBuffer();
        Fail(result, "unexpected failure in the RAW decoder");
    }
}

RAWDLL_EXPORT void FreeMemory(void) noexcept { ReleaseLastBuffer(); }
