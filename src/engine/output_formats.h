#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/conversion_options.h"
#include "engine/source_loading.h"

namespace zelvan {

// One output format: how the job names and encodes its output. A new format is a writer in
// imaging/writers/ and one entry of OutputFormats().
struct OutputFormat {
    int number;               // its Output_format value and its row in the format list
    std::string_view extension;  // the output's extension, upper case without the dot: "JPG"
    std::string_view caption;    // its row in the format list: "JPEG 2000"
    bool keepsAlpha;          // writes the opacity mask; the others show the image over the background colour
    bool keepsPalette;        // writes palette rasters with their palette and indices (the stamp keeps them)
    bool carriesExif;         // the source's EXIF block is put into the output
    bool oneJobAtATime;       // its encoder is too hungry to run beside others
    // The file's bytes for the working image with the options' settings. Throws Error.
    std::vector<std::uint8_t> (*encode)(const WorkingImageSet& images, const ConversionOptions& options);
    // For formats other than JPEG that carry EXIF: the encoded file with this EXIF block (the TIFF
    // structure) put in. Throws Error.
    std::vector<std::uint8_t> (*withExifBlock)(std::span<const std::uint8_t> encoded,
                                               std::span<const std::uint8_t> tiffBlock) = nullptr;
    // For formats whose encoder takes the EXIF block itself (AVIF): the file's bytes with the
    // block (the TIFF structure; empty for none) inside. The job calls it instead of `encode`.
    std::vector<std::uint8_t> (*encodeWithExif)(const WorkingImageSet& images, const ConversionOptions& options,
                                                std::span<const std::uint8_t> tiffBlock) = nullptr;
};

// Every output format, in the order of their numbers.
std::span<const OutputFormat> OutputFormats();
// The format with this Output_format number; nullptr for none.
const OutputFormat* FindOutputFormat(int number);
// The format with this extension ("png", ".PNG"; letter case ignored); nullptr for none.
const OutputFormat* FindOutputFormat(std::string_view extension);

// The source file itself recompressed without loss into the output format, for a source whose
// pixels the job left untouched: a JPEG source into JPEG XL when JXL_recompress_jpeg is on. The
// output keeps the source's metadata so that the JPEG can be rebuilt from it, less the EXIF
// segment when Exif is off.
// Nothing when that does not apply or the source cannot be taken that way (the pixels are then
// encoded as usual).
std::optional<std::vector<std::uint8_t>> RecompressedSource(const OutputFormat& format, const ConversionOptions& options,
                                                            const std::string& sourcePath);

// Candidates of this many bytes or more never win the automatic choice.
inline constexpr std::size_t kAutoFormatCeiling = 276447231;

struct AutoFormatChoice {
    const OutputFormat* winner = nullptr;  // the JPEG or PNG format; nullptr without a winner
    std::vector<std::uint8_t> bytes;
};

// Encodes a JPEG candidate (baseline) and, unless the source is a .jpg or .jpeg file, a PNG candidate
// (level 9, all filters, no interlace) in memory and keeps the smaller; JPEG wins a tie.
// Throws Error.
AutoFormatChoice ChooseAutoFormat(const WorkingImageSet& images, const ConversionOptions& options,
                                  const std::string& sourcePath);

}  // namespace zelvan
