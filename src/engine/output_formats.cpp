#include "engine/output_formats.h"

#include <array>

#include "base/path_util.h"
#include "engine/exif_step.h"
#include "imaging/colour_profile.h"
#include "imaging/writers/writers.h"

namespace zelvan {
namespace {

const Raster* MaskOf(const WorkingImageSet& images) { return images.alphaMask ? &*images.alphaMask : nullptr; }

// The image in sRGB, for outputs that cannot carry a colour profile: the image itself when it has
// none, else a converted copy kept in `converted` (the image may still go to other encoders).
const Raster& SrgbImage(const WorkingImageSet& images, std::optional<Raster>& converted) {
    if (images.iccProfile.empty()) return images.image;
    converted = images.image;
    ConvertToSrgb(*converted, images.iccProfile);
    return *converted;
}

std::vector<std::uint8_t> WriteJpeg(const WorkingImageSet& images, const ConversionOptions& options) {
    return EncodeJpeg(images.image, options.jpegQuality, options.jpegProgressive, images.iccProfile);
}

std::vector<std::uint8_t> WritePng(const WorkingImageSet& images, const ConversionOptions& options) {
    PngSettings png{options.pngCompression, options.pngAllFilters, options.pngInterlace};
    // An indexed source keeps its key colour, which rules out the mask (they never meet).
    return EncodePng(images.image, images.keyColour ? nullptr : MaskOf(images), images.keyColour, png,
                     images.iccProfile);
}

std::vector<std::uint8_t> WriteBmp(const WorkingImageSet& images, const ConversionOptions&) {
    std::optional<Raster> converted;
    return EncodeBmp(SrgbImage(images, converted));
}

std::vector<std::uint8_t> WriteGif(const WorkingImageSet& images, const ConversionOptions&) {
    std::optional<Raster> converted;
    return EncodeGif(SrgbImage(images, converted));
}

// The opacity mask is not used: a 32-bit image that was not resized keeps its own fourth byte.
std::vector<std::uint8_t> WriteJp2(const WorkingImageSet& images, const ConversionOptions& options) {
    return EncodeJp2(images.image, options.jpeg2000Quality, options.jpeg2000Lossless, images.iccProfile);
}

std::vector<std::uint8_t> WriteTga(const WorkingImageSet& images, const ConversionOptions&) {
    std::optional<Raster> converted;
    return EncodeTga(SrgbImage(images, converted), MaskOf(images));
}

//                         number ext    caption      alpha  palette exif   alone
constexpr std::array kFormats{
    OutputFormat{0, "JPG", "JPEG", false, false, true, false, WriteJpeg},
    OutputFormat{1, "PNG", "PNG", true, false, false, false, WritePng},
    OutputFormat{2, "BMP", "BMP", false, true, false, false, WriteBmp},
    OutputFormat{3, "GIF", "GIF", false, true, false, false, WriteGif},
    OutputFormat{4, "JP2", "JPEG 2000", true, false, false, true, WriteJp2},
    OutputFormat{5, "TGA", "TGA", true, false, false, false, WriteTga},
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

AutoFormatChoice ChooseAutoFormat(const WorkingImageSet& images, const ConversionOptions& options,
                                  const std::string& sourcePath) {
    // The candidates have settings of their own: a baseline JPEG, and the smallest plain PNG
    // with the mask (a key colour is not used).
    std::vector<std::uint8_t> jpeg = EncodeJpeg(images.image, options.jpegQuality, false, images.iccProfile);
    std::vector<std::uint8_t> png;
    const bool pngCandidate = !IsJpegSource(sourcePath);
    if (pngCandidate)
        png = EncodePng(images.image, MaskOf(images), std::nullopt, PngSettings{9, true, false}, images.iccProfile);

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
