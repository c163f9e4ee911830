// AVIF reader over libavif (AV1 decoding by whichever codec the library was built with). The
// primary image, or the first frame of an image sequence, is converted to 8-bit BGR(A) straight
// into the raster; deeper samples are scaled down by libavif. An alpha plane gives a 32-bit raster.
// Colour given only by the nclx codes becomes the matching profile; PQ and HLG pictures are tone
// mapped from 16-bit samples (imaging/colour_codes.h).
//
// libavif reports the container's rotation (irot) and mirroring (imir) without applying them:
// they are applied here, so the picture comes out as meant and its orientation is 1. The EXIF
// Orientation inside an AVIF file only repeats what those boxes say and never turns it again.
#include <avif/avif.h>

#include <memory>
#include <string>
#include <vector>

#include "base/error.h"
#include "imaging/colour_codes.h"
#include "imaging/colour_profile.h"
#include "imaging/orientation.h"
#include "imaging/readers/avif_coded_size.h"
#include "imaging/readers/readers.h"

namespace zelvan {
namespace {

struct DecoderDeleter {
    void operator()(avifDecoder* d) const { avifDecoderDestroy(d); }
};
using DecoderPtr = std::unique_ptr<avifDecoder, DecoderDeleter>;

[[noreturn]] void ThrowAvif(const char* step, avifResult result, const avifDecoder& decoder) {
    std::string message = std::string("AVIF: ") + step + ": ";
    switch (result) {
        case AVIF_RESULT_TRUNCATED_DATA: message += "file is truncated"; break;
        case AVIF_RESULT_OUT_OF_MEMORY: message += "not enough memory to decode the image"; break;
        default: message += avifResultToString(result); break;
    }
    // The diagnostics name the box or the codec that failed.
    if (decoder.diag.error[0] != '\0') message += std::string(" (") + decoder.diag.error + ")";
    throw Error(message);
}

// The Orientation value (imaging/orientation.h) that does what the container's boxes ask: the
// rotation (counter-clockwise quarter turns) first, then the mirror.
int ContainerOrientation(const avifImage& image) {
    const bool rotates = (image.transformFlags & AVIF_TRANSFORM_IROT) != 0;
    const bool mirrors = (image.transformFlags & AVIF_TRANSFORM_IMIR) != 0;
    const int angle = rotates ? image.irot.angle & 3 : 0;
    //                                       angle:   0  90 180 270 (counter-clockwise)
    static constexpr int kNoMirror[4] = {1, 8, 3, 6};
    static constexpr int kTopBottom[4] = {4, 5, 2, 7};  // imir mode 0
    static constexpr int kLeftRight[4] = {2, 7, 4, 5};  // imir mode 1
    if (!mirrors) return kNoMirror[angle];
    return image.imir.mode == 0 ? kTopBottom[angle] : kLeftRight[angle];
}

// PQ and HLG samples at 16 bits, tone mapped into the 8-bit raster (its opacity rounded).
void ToneMapped(const avifImage& image, const DecoderPtr& decoder, Raster& raster) {
    const bool alpha = raster.bitsPerPixel() == 32;
    const std::size_t channels = alpha ? 4 : 3;
    const std::size_t width = static_cast<std::size_t>(image.width);
    std::vector<std::uint16_t> samples(width * channels * image.height);
    avifRGBImage rgb;
    avifRGBImageSetDefaults(&rgb, &image);
    rgb.depth = 16;
    rgb.format = alpha ? AVIF_RGB_FORMAT_BGRA : AVIF_RGB_FORMAT_BGR;
    rgb.pixels = reinterpret_cast<std::uint8_t*>(samples.data());
    rgb.rowBytes = static_cast<std::uint32_t>(width * channels * sizeof(std::uint16_t));
    const avifResult result = avifImageYUVToRGB(&image, &rgb);
    if (result != AVIF_RESULT_OK) ThrowAvif("cannot convert the colours", result, *decoder);
    const HdrToneMap tone(static_cast<int>(image.transferCharacteristics));
    const std::uint16_t* in = samples.data();
    for (int y = 0; y < raster.height(); ++y) {
        std::uint8_t* out = raster.row(y);
        for (std::size_t x = 0; x < width; ++x, in += channels, out += channels) {
            for (int c = 0; c < 3; ++c) out[c] = tone(in[c]);
            if (alpha) out[3] = static_cast<std::uint8_t>((in[3] * 255u + 32767u) / 65535u);
        }
    }
}

}  // namespace

DecodedPicture ReadAvif(std::span<const std::uint8_t> bytes) {
    DecoderPtr decoder(avifDecoderCreate());
    if (!decoder) throw Error("AVIF: cannot start the decoder");
    // Jobs already decode side by side; one thread each keeps the machine's cores shared fairly.
    decoder->maxThreads = 1;
    decoder->imageSizeLimit = static_cast<std::uint32_t>(kMaxPixels);
    decoder->ignoreXMP = AVIF_TRUE;
    decoder->ignoreExif = AVIF_TRUE;

    avifResult result = avifDecoderSetIOMemory(decoder.get(), bytes.data(), bytes.size());
    if (result != AVIF_RESULT_OK) ThrowAvif("cannot read the file", result, *decoder);
    result = avifDecoderParse(decoder.get());
    if (result != AVIF_RESULT_OK) ThrowAvif("not a valid AVIF file", result, *decoder);
    CheckImageSize(decoder->image->width, decoder->image->height, "AVIF");
    // The coded frames, whose sizes the codec allocates for, must agree with the container's
    // size before anything is decoded.
    avifExtent extent;
    if (avifDecoderNthImageMaxExtent(decoder.get(), 0, &extent) == AVIF_RESULT_OK && extent.offset <= bytes.size() &&
        extent.size <= bytes.size() - extent.offset)
        CheckAvifCodedSize(bytes.subspan(static_cast<std::size_t>(extent.offset), extent.size),
                           {decoder->image->width, decoder->image->height}, AvifPrimaryIsGrid(bytes));

    result = avifDecoderNextImage(decoder.get());
    if (result != AVIF_RESULT_OK) ThrowAvif("image data is damaged", result, *decoder);
    const avifImage& image = *decoder->image;
    // The coded image may disagree with the container's declared size.
    CheckImageSize(image.width, image.height, "AVIF");

    const bool alpha = image.alphaPlane != nullptr;
    const bool grey = image.yuvFormat == AVIF_PIXEL_FORMAT_YUV400;
    const bool hasIcc = image.icc.size > 0;
    // Without an ICC profile the colour codes (the nclx colour box) say what the colours are.
    const ColourCodes codes{static_cast<int>(image.colorPrimaries), static_cast<int>(image.transferCharacteristics)};
    const bool hdr = !hasIcc && IsHdrTransfer(codes.transfer);
    Raster raster = Raster::Uninitialised(static_cast<int>(image.width), static_cast<int>(image.height), alpha ? 32 : 24);
    if (hdr) {
        ToneMapped(image, decoder, raster);
    } else {
        avifRGBImage rgb;
        avifRGBImageSetDefaults(&rgb, &image);
        rgb.depth = 8;
        rgb.format = alpha ? AVIF_RGB_FORMAT_BGRA : AVIF_RGB_FORMAT_BGR;
        rgb.pixels = raster.data();
        rgb.rowBytes = static_cast<std::uint32_t>(raster.stride());
        result = avifImageYUVToRGB(&image, &rgb);
        if (result != AVIF_RESULT_OK) ThrowAvif("cannot convert the colours", result, *decoder);
    }

    DecodedPicture picture;
    picture.kind = PictureKind::Avif;
    picture.sampleColours = grey ? SampleColours::Grey : SampleColours::Rgb;
    if (hasIcc) {
        if (image.icc.size <= kMaxIccProfileBytes) picture.iccProfile.assign(image.icc.data, image.icc.data + image.icc.size);
    } else if (!grey) {
        picture.iccProfile = ProfileForColourCodes(codes);
    }
    const int turn = ContainerOrientation(image);
    picture.raster = turn == kOrientationAsStored ? std::move(raster) : Oriented(raster, turn);
    picture.orientation = kOrientationAsStored;
    return picture;
}

}  // namespace zelvan
