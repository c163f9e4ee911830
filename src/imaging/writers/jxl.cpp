// JPEG XL writer over libjxl's encoder, single-threaded (the jobs run side by side already).
#include <jxl/encode.h>
#include <jxl/encode_cxx.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "base/error.h"
#include "imaging/jpeg_segments.h"
#include "imaging/writers/writers.h"

namespace zelvan {
namespace {

[[noreturn]] void Fail(const std::string& what) { throw Error("JPEG XL: " + what); }

JxlEncoderPtr NewEncoder() {
    JxlEncoderPtr encoder = JxlEncoderMake(nullptr);
    if (!encoder) Fail("cannot start the encoder");
    return encoder;
}

JxlEncoderFrameSettings* FrameSettings(JxlEncoder* enc, int effort) {
    JxlEncoderFrameSettings* settings = JxlEncoderFrameSettingsCreate(enc, nullptr);
    if (!settings ||
        JxlEncoderFrameSettingsSetOption(settings, JXL_ENC_FRAME_SETTING_EFFORT, std::clamp(effort, 1, 9)) !=
            JXL_ENC_SUCCESS)
        Fail("cannot set the encoder's effort");
    return settings;
}

// Everything the encoder produces once its input is closed.
std::vector<std::uint8_t> Drain(JxlEncoder* enc) {
    std::vector<std::uint8_t> out(64 * 1024);
    std::uint8_t* next = out.data();
    std::size_t available = out.size();
    for (;;) {
        const JxlEncoderStatus status = JxlEncoderProcessOutput(enc, &next, &available);
        if (status == JXL_ENC_SUCCESS) break;
        if (status != JXL_ENC_NEED_MORE_OUTPUT) Fail("the encoder failed");
        const std::size_t used = static_cast<std::size_t>(next - out.data());
        out.resize(out.size() * 2);
        next = out.data() + used;
        available = out.size() - used;
    }
    out.resize(static_cast<std::size_t>(next - out.data()));
    return out;
}

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

void PutBox(std::vector<std::uint8_t>& out, const char (&type)[5], std::span<const std::uint8_t> content,
            std::span<const std::uint8_t> prefix = {}) {
    const std::uint64_t size = 8 + prefix.size() + content.size();
    if (size > 0xFFFFFFFFu) Fail("the metadata is too large");
    PutU32(out, static_cast<std::uint32_t>(size));
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(type[i]));
    out.resize(out.size() + prefix.size() + content.size());
    std::uint8_t* end = out.data() + out.size() - prefix.size() - content.size();
    if (!prefix.empty()) std::memcpy(end, prefix.data(), prefix.size());
    if (!content.empty()) std::memcpy(end + prefix.size(), content.data(), content.size());
}

// What libjxl takes for a lossless recompression: a Huffman-coded sequential or progressive frame
// (SOF0 to SOF2) of 8-bit samples with one or three components. The library refuses the rest
// (CMYK above all) only after decoding the headers, and builds without NDEBUG, such as Debian's,
// print their reasons on standard error: such files are turned away before it sees them.
bool Recompressible(std::span<const std::uint8_t> jpeg) {
    if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return false;
    for (const JpegSegment& s : ScanJpegSegments(jpeg).segments) {
        if (!IsStartOfFrame(s.marker)) continue;
        const std::uint8_t* frame = jpeg.data() + s.dataBegin;  // precision, height, width, components
        return s.marker <= 0xC2 && s.dataSize() >= 6 && frame[0] == 8 && (frame[5] == 1 || frame[5] == 3);
    }
    return false;
}

}  // namespace

int JxlEffortFor(int effort, std::uint64_t pixels) {
    return pixels > kJxlLargePicturePixels ? std::min(effort, 3) : effort;
}

float JxlDistance(double quality) {
    const double q = std::clamp(quality, 1.0, 100.0);
    if (q >= 100) return 0.0f;
    if (q >= 30) return static_cast<float>(0.1 + (100 - q) * 0.09);
    return static_cast<float>(53.0 / 3000.0 * q * q - 23.0 / 20.0 * q + 25.0);
}

std::vector<std::uint8_t> EncodeJxl(const Raster& image, const Raster* alphaMask, const JxlSettings& settings,
                                    std::span<const std::uint8_t> iccProfile) {
    if (image.empty()) Fail("there is no image to write");
    const int width = image.width();
    const int height = image.height();
    if (alphaMask && (alphaMask->width() != width || alphaMask->height() != height || alphaMask->bitsPerPixel() < 24))
        Fail("the alpha mask does not match the image");
    // Quality 100 is lossless, as the reference encoder has it.
    const bool lossless = settings.lossless || settings.quality >= 100;

    JxlEncoderPtr encoder = NewEncoder();
    JxlEncoder* enc = encoder.get();
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = static_cast<std::uint32_t>(width);
    info.ysize = static_cast<std::uint32_t>(height);
    info.bits_per_sample = 8;
    info.num_color_channels = 3;
    if (alphaMask) {
        info.alpha_bits = 8;
        info.num_extra_channels = 1;
    }
    // Lossless must keep the samples as they are; lossy converts to XYB.
    info.uses_original_profile = lossless ? JXL_TRUE : JXL_FALSE;
    if (JxlEncoderSetBasicInfo(enc, &info) != JXL_ENC_SUCCESS)
        Fail("image is too large for the encoder (" + std::to_string(width) + "x" + std::to_string(height) + ")");
    if (!iccProfile.empty()) {
        if (JxlEncoderSetICCProfile(enc, iccProfile.data(), iccProfile.size()) != JXL_ENC_SUCCESS)
            Fail("the encoder refuses the colour profile");
    } else {
        JxlColorEncoding srgb;
        JxlColorEncodingSetToSRGB(&srgb, JXL_FALSE);
        if (JxlEncoderSetColorEncoding(enc, &srgb) != JXL_ENC_SUCCESS) Fail("cannot set the colour encoding");
    }

    JxlEncoderFrameSettings* frame =
        FrameSettings(enc, JxlEffortFor(settings.effort, static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height)));
    if (lossless) {
        if (JxlEncoderSetFrameLossless(frame, JXL_TRUE) != JXL_ENC_SUCCESS) Fail("cannot set lossless mode");
    } else if (JxlEncoderSetFrameDistance(frame, JxlDistance(settings.quality + settings.qualityTenths / 10.0)) != JXL_ENC_SUCCESS) {
        Fail("cannot set the quality");
    }

    // RGB or RGBA rows, packed.
    const std::size_t channels = alphaMask ? 4 : 3;
    const std::size_t w = static_cast<std::size_t>(width);
    const std::size_t rowBytes = w * channels;
    std::vector<std::uint8_t> pixels(rowBytes * static_cast<std::size_t>(height));
    std::vector<std::uint8_t> bgr(w * 3);
    for (int y = 0; y < height; ++y) {
        image.ExpandRowToBgr(y, bgr.data());
        std::uint8_t* dst = pixels.data() + rowBytes * static_cast<std::size_t>(y);
        const std::uint8_t* m = alphaMask ? alphaMask->row(y) + 2 : nullptr;
        const std::size_t mb = alphaMask ? static_cast<std::size_t>(alphaMask->bitsPerPixel() / 8) : 0;
        for (std::size_t x = 0; x < w; ++x, dst += channels) {
            dst[0] = bgr[3 * x + 2];
            dst[1] = bgr[3 * x + 1];
            dst[2] = bgr[3 * x];
            if (m) dst[3] = m[x * mb];
        }
    }
    const JxlPixelFormat format{static_cast<std::uint32_t>(channels), JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    if (JxlEncoderAddImageFrame(frame, &format, pixels.data(), pixels.size()) != JXL_ENC_SUCCESS)
        Fail("the encoder refuses the image");
    pixels = {};
    JxlEncoderCloseInput(enc);
    return Drain(enc);
}

std::vector<std::uint8_t> JxlFromJpeg(std::span<const std::uint8_t> jpeg, int effort) {
    if (!Recompressible(jpeg)) Fail("this JPEG file cannot be recompressed losslessly");
    JxlEncoderPtr encoder = NewEncoder();
    JxlEncoder* enc = encoder.get();
    // The reconstruction data makes the original file come back byte for byte.
    if (JxlEncoderStoreJPEGMetadata(enc, JXL_TRUE) != JXL_ENC_SUCCESS) Fail("cannot keep the JPEG's layout");
    JxlEncoderFrameSettings* frame = FrameSettings(enc, effort);
    if (JxlEncoderAddJPEGFrame(frame, jpeg.data(), jpeg.size()) != JXL_ENC_SUCCESS)
        Fail("this JPEG file cannot be recompressed losslessly");
    JxlEncoderCloseInput(enc);
    return Drain(enc);
}

std::vector<std::uint8_t> JxlWithExif(std::span<const std::uint8_t> jxl, std::span<const std::uint8_t> tiffBlock) {
    static constexpr std::uint8_t kContainerSignature[] = {0, 0, 0, 0x0C, 'J', 'X', 'L', ' ', 0x0D, 0x0A, 0x87, 0x0A};
    static constexpr std::uint8_t kFileType[] = {'j', 'x', 'l', ' ', 0, 0, 0, 0, 'j', 'x', 'l', ' '};
    // The Exif box's content opens with the offset of the TIFF header within the rest: 0.
    static constexpr std::uint8_t kTiffOffset[] = {0, 0, 0, 0};
    // No block, no box: the file stays as encoded.
    if (tiffBlock.empty()) return {jxl.begin(), jxl.end()};
    std::vector<std::uint8_t> out;
    out.reserve(jxl.size() + tiffBlock.size() + 64);
    if (jxl.size() >= sizeof kContainerSignature &&
        std::memcmp(jxl.data(), kContainerSignature, sizeof kContainerSignature) == 0) {
        // Boxes may follow the codestream's box: the new one goes at the end, and a last box that
        // ran "to the end of the file" gets its real size.
        out.assign(jxl.begin(), jxl.end());
        std::size_t pos = 0;
        while (out.size() - pos >= 8) {
            std::uint64_t size = std::uint64_t{out[pos]} << 24 | std::uint64_t{out[pos + 1]} << 16 |
                                 std::uint64_t{out[pos + 2]} << 8 | out[pos + 3];
            if (size == 1) {
                if (out.size() - pos < 16) Fail("the encoded file's boxes are damaged");
                size = 0;
                for (std::size_t i = 0; i < 8; ++i) size = size << 8 | out[pos + 8 + i];
            } else if (size == 0) {
                size = out.size() - pos;
                if (size > 0xFFFFFFFFu) Fail("the encoded file is too large for its metadata");
                for (std::size_t i = 0; i < 4; ++i) out[pos + i] = static_cast<std::uint8_t>(size >> (24 - 8 * i));
            }
            if (size < 8 || size > out.size() - pos) Fail("the encoded file's boxes are damaged");
            pos += static_cast<std::size_t>(size);
        }
    } else if (jxl.size() >= 2 && jxl[0] == 0xFF && jxl[1] == 0x0A) {
        // A bare codestream goes into a container first.
        out.assign(std::begin(kContainerSignature), std::end(kContainerSignature));
        PutBox(out, "ftyp", kFileType);
        PutBox(out, "jxlc", jxl);
    } else {
        Fail("the encoded file is not a JPEG XL file");
    }
    PutBox(out, "Exif", tiffBlock, kTiffOffset);
    return out;
}

}  // namespace zelvan
