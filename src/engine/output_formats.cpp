#include "engine/output_formats.h"

#include <algorithm>
#include <array>

#include "base/error.h"
#include "base/file_io.h"
#include "base/path_util.h"
#include "engine/animated_outputs.h"
#include "engine/exif_step.h"
#include "engine/extensions.h"
#include "imaging/colour_profile.h"
#include "imaging/exif_record.h"
#include "imaging/transparency.h"
#include "imaging/writers/writers.h"

namespace zelvan {
namespace {

const Raster* MaskOf(const WorkingImageSet& images) { return images.alphaMask ? &*images.alphaMask : nullptr; }

// The image as an output without alpha shows it: over the background colour where it has an
// opacity mask (`kept` holds the blended copy), else the image itself.
const Raster& Opaque(const Raster& image, const WorkingImageSet& images, const ConversionOptions& options,
                     std::optional<Raster>& kept) {
    if (!images.alphaMask) return image;
    kept = OverBackground(image, *images.alphaMask, RgbOf(options.backgroundColour));
    return *kept;
}

// The image in sRGB, for outputs that cannot carry a colour profile: the image itself when it has
// none, else a converted copy kept in `converted` (the image may still go to other encoders).
const Raster& SrgbImage(const WorkingImageSet& images, std::optional<Raster>& converted) {
    if (images.iccProfile.empty()) return images.image;
    converted = images.image;
    ConvertToSrgb(*converted, images.iccProfile);
    return *converted;
}

// An sRGB image without alpha, for BMP and GIF.
const Raster& OpaqueSrgbImage(const WorkingImageSet& images, const ConversionOptions& options,
                              std::optional<Raster>& converted, std::optional<Raster>& blended) {
    return Opaque(SrgbImage(images, converted), images, options, blended);
}

std::vector<std::uint8_t> EncodeJpegOf(const WorkingImageSet& images, const ConversionOptions& options, bool progressive) {
    std::optional<Raster> blended;
    return EncodeJpeg(Opaque(images.image, images, options, blended), options.jpegQuality, progressive,
                      images.iccProfile, options.jpegOptimizedTables, options.qualityTenths);
}

std::vector<std::uint8_t> WriteJpeg(const WorkingImageSet& images, const ConversionOptions& options) {
    return EncodeJpegOf(images, options, options.jpegProgressive);
}

std::vector<std::uint8_t> WritePng(const WorkingImageSet& images, const ConversionOptions& options) {
    PngSettings png{options.pngCompression, options.pngAllFilters, options.pngInterlace};
    png.reduceLayout = options.pngReduceLayout;
    png.adaptivePalette = options.pngPalette;
    return EncodePng(images.image, MaskOf(images), png, images.iccProfile);
}

std::vector<std::uint8_t> WriteBmp(const WorkingImageSet& images, const ConversionOptions& options) {
    std::optional<Raster> converted, blended;
    return EncodeBmp(OpaqueSrgbImage(images, options, converted, blended));
}

std::vector<std::uint8_t> WriteGif(const WorkingImageSet& images, const ConversionOptions& options) {
    if (images.animation) return EncodeAnimatedGif(images, options);
    std::optional<Raster> converted, blended;
    return EncodeGif(OpaqueSrgbImage(images, options, converted, blended), options.gifAdaptivePalette);
}

std::vector<std::uint8_t> WriteJp2(const WorkingImageSet& images, const ConversionOptions& options) {
    // JPEG 2000 output runs one job at a time: its encoder takes the run's threads.
    return EncodeJp2(images.image, MaskOf(images), options.jpeg2000Quality, options.jpeg2000Lossless,
                     images.iccProfile, std::max(1, options.threads));
}

std::vector<std::uint8_t> WriteTga(const WorkingImageSet& images, const ConversionOptions&) {
    std::optional<Raster> converted;
    return EncodeTga(SrgbImage(images, converted), MaskOf(images));
}

std::vector<std::uint8_t> WriteWebp(const WorkingImageSet& images, const ConversionOptions& options) {
    if (images.animation) return EncodeAnimatedWebp(images, options);
    WebpSettings webp{options.webpQuality, options.webpLossless, options.webpEffort};
    webp.qualityTenths = options.qualityTenths;
    return EncodeWebp(images.image, MaskOf(images), webp, images.iccProfile);
}

std::vector<std::uint8_t> WriteJxl(const WorkingImageSet& images, const ConversionOptions& options) {
    JxlSettings jxl{options.jxlQuality, options.jxlLossless, options.jxlEffort};
    jxl.qualityTenths = options.qualityTenths;
    return EncodeJxl(images.image, MaskOf(images), jxl, images.iccProfile);
}

std::vector<std::uint8_t> WriteAvifWithExif(const WorkingImageSet& images, const ConversionOptions& options,
                                            std::span<const std::uint8_t> tiffBlock) {
    const AvifSettings avif{options.avifQuality, options.avifSpeed};
    return EncodeAvif(images.image, MaskOf(images), avif, images.iccProfile, tiffBlock);
}

std::vector<std::uint8_t> WriteAvif(const WorkingImageSet& images, const ConversionOptions& options) {
    return WriteAvifWithExif(images, options, {});
}

//                         number ext    caption      alpha  palette exif   alone
constexpr std::array kFormats{
    OutputFormat{0, "JPG", "JPEG", false, false, true, false, WriteJpeg},
    OutputFormat{1, "PNG", "PNG", true, true, false, false, WritePng},
    OutputFormat{2, "BMP", "BMP", false, true, false, false, WriteBmp},
    OutputFormat{3, "GIF", "GIF", false, true, false, false, WriteGif},
    OutputFormat{4, "JP2", "JPEG 2000", true, false, false, true, WriteJp2},
    OutputFormat{5, "TGA", "TGA", true, false, false, false, WriteTga},
    OutputFormat{6, "WEBP", "WebP", true, false, true, false, WriteWebp, WebpWithExif},
    OutputFormat{7, "AVIF", "AVIF", true, false, true, false, WriteAvif, nullptr, WriteAvifWithExif},
    OutputFormat{8, "JXL", "JPEG XL", true, false, true, false, WriteJxl, JxlWithExif},
};

const OutputFormat& Jpeg() { return kFormats[0]; }
const OutputFormat& Png() { return kFormats[1]; }

}  // namespace

std::span<const OutputFormat> OutputFormats() { return kFormats; }

const OutputFormat* FindOutputFormat(int number) {
    for (const OutputFormat& format : kFormats)
        if (format.number == number) return &format;
    return nullptr;
}

const OutputFormat* FindOutputFormat(std::string_view extension) {
    if (!extension.empty() && extension.front() == '.') extension.remove_prefix(1);
    for (const OutputFormat& format : kFormats)
        if (EqualsIgnoreCase(format.extension, extension)) return &format;
    return nullptr;
}

std::optional<std::vector<std::uint8_t>> RecompressedSource(const OutputFormat& format, const ConversionOptions& options,
                                                            const std::string& sourcePath) {
    if (format.extension != "JXL" || !options.jxlRecompressJpeg || !IsJpegSource(sourcePath)) return std::nullopt;
    // A quality asked for is a wish to encode the pixels at it, unless recompression is asked for too.
    if (JxlQualityAsked(options) && !options.jxlRecompressGiven) return std::nullopt;
    try {
        std::vector<std::uint8_t> jpeg = ReadFileBytes(sourcePath);
        // With Exif off no output carries the source's EXIF block: the JPEG goes in without its
        // EXIF segment, so that the one rebuilt from the output is the source less that segment,
        // its coded picture untouched. A Metadata choice other than all does the same: the segment
        // inside must stay as the source has it, so it cannot be trimmed, only left out.
        if (!options.keepExif || options.metadata != kAllMetadata) jpeg = JpegWithoutExif(jpeg);
        return JxlFromJpeg(jpeg, options.jxlEffort);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    } catch (const Error&) {
        return std::nullopt;  // a JPEG libjxl cannot take (CMYK, damaged): its pixels go as usual
    }
}

AutoFormatChoice ChooseAutoFormat(const WorkingImageSet& images, const ConversionOptions& options,
                                  const std::string& sourcePath) {
    // The candidates have settings of their own, a baseline JPEG and the smallest plain PNG, and
    // are written as the chosen format would be: the JPEG over the background colour, the PNG
    // with the opacity.
    std::vector<std::uint8_t> jpeg = EncodeJpegOf(images, options, false);
    std::vector<std::uint8_t> png;
    const bool pngCandidate = !SkipsPngCandidate(ExtractFileExt(sourcePath));
    if (pngCandidate) png = EncodePng(images.image, MaskOf(images), PngSettings{9, true, false}, images.iccProfile);

    AutoFormatChoice choice;
    std::size_t best = kAutoFormatCeiling;
    if (jpeg.size() < best) {
        best = jpeg.size();
        choice.winner = &Jpeg();
        choice.bytes = std::move(jpeg);
    }
    if (pngCandidate && png.size() < best) {
        choice.winner = &Png();
        choice.bytes = std::move(png);
    }
    return choice;
}

}  // namespace zelvan
