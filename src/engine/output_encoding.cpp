#include "engine/output_encoding.h"

#include "base/path_util.h"
#include "imaging/writers/writers.h"

namespace zelvan {
namespace {

const Raster* MaskOf(const WorkingImageSet& images) {
    return images.alphaMask ? &*images.alphaMask : nullptr;
}

}  // namespace

std::vector<std::uint8_t> EncodeForExtension(const std::string& outputExtension, const WorkingImageSet& images,
                                             const ConversionOptions& options) {
    if (outputExtension == "JPG") return EncodeJpeg(images.image, options.JPG_quality, options.JPG_progressive);
    if (outputExtension == "PNG") {
        PngSettings png{options.PNG_compression, options.Png_filter, options.Png_interlace};
        // An indexed source keeps its key colour, which rules out the mask (they never meet).
        return EncodePng(images.image, images.keyColour ? nullptr : MaskOf(images), images.keyColour, png);
    }
    if (outputExtension == "BMP") return EncodeBmp(images.image);
    if (outputExtension == "GIF") return EncodeGif(images.image);
    if (outputExtension == "TGA") return EncodeTga(images.image, MaskOf(images));
    // The opacity mask is not used: a 32-bit image that was not resized keeps its own fourth byte.
    if (outputExtension == "JP2") return EncodeJp2(images.image, options.J2K_quality, options.J2K_Lossless);
    return {};
}

AutoFormatChoice ChooseAutoFormat(const WorkingImageSet& images, const ConversionOptions& options,
                                  const std::string& sourcePath) {
    std::vector<std::uint8_t> jpeg = EncodeJpeg(images.image, options.JPG_quality, false);
    std::vector<std::uint8_t> png;
    std::string sourceExtension = ToUpperAscii(ExtractFileExt(sourcePath));
    bool pngCandidate = sourceExtension != ".JPG" && sourceExtension != ".JPEG";
    if (pngCandidate) png = EncodePng(images.image, MaskOf(images), std::nullopt, PngSettings{9, true, false});

    AutoFormatChoice choice;
    std::size_t best = kAutoFormatCeiling;
    if (jpeg.size() < best) {
        best = jpeg.size();
        choice.winner = AutoFormatChoice::Winner::Jpeg;
    }
    if (pngCandidate && png.size() < best) choice.winner = AutoFormatChoice::Winner::Png;

    if (choice.winner == AutoFormatChoice::Winner::Jpeg) {
        choice.bytes = std::move(jpeg);
        choice.extension = ".JPG";
    } else if (choice.winner == AutoFormatChoice::Winner::Png) {
        choice.bytes = std::move(png);
        choice.extension = ".PNG";
    }
    return choice;
}

}  // namespace zelvan
