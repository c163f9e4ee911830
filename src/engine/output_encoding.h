#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/conversion_options.h"
#include "engine/source_loading.h"

namespace zelvan {

// Candidates of this many bytes or more never win the automatic choice.
inline constexpr std::size_t kAutoFormatCeiling = 276447231;

// The file bytes for one output extension ("JPG", "PNG", "BMP", "GIF", "JP2", "TGA") with the
// options' settings; an empty result for any other extension. Throws Error.
std::vector<std::uint8_t> EncodeForExtension(const std::string& outputExtension, const WorkingImageSet& images,
                                             const ConversionOptions& options);

struct AutoFormatChoice {
    enum class Winner { None, Jpeg, Png } winner = Winner::None;
    std::vector<std::uint8_t> bytes;
    std::string extension;  // ".JPG" or ".PNG"; empty without a winner
};

// Encodes a JPEG candidate and, unless the source is a JPEG file, a PNG candidate in memory and
// keeps the smaller; JPEG wins a tie. Throws Error.
AutoFormatChoice ChooseAutoFormat(const WorkingImageSet& images, const ConversionOptions& options,
                                  const std::string& sourcePath);

}  // namespace zelvan
