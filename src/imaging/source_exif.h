#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace zelvan {

// The largest EXIF block taken from a source file. Cameras and phones write a few dozen KiB (a
// JPEG segment holds 64 KiB at most); a block past this is not a camera's record and is left out.
inline constexpr std::size_t kMaxSourceExifBytes = std::size_t{1} << 20;

// Where a source file keeps its EXIF block when it is not a JPEG file: a box, item or chunk of
// its own, holding the bare TIFF structure (sometimes after a prefix).
enum class ExifContainer {
    None,    // no EXIF block is read from these sources (JPEG files have their own path)
    Heif,    // the primary image's "Exif" item: a 4-byte offset to the TIFF header, then the block
    Avif,    // the same item, read by libavif
    Webp,    // the "EXIF" chunk, some writers putting "Exif\0\0" first
    JpegXl,  // the "Exif" box (or a Brotli-compressed "brob" one): a 4-byte offset, then the block
    Png,     // the "eXIf" chunk
};

// The container of a source with this extension ("heic" or ".HEIC"), decided as the reader for
// the extension is chosen.
ExifContainer ExifContainerOf(std::string_view extension);

// HEIF and AVIF files turn their picture by boxes of the container (irot, imir), which their
// readers apply: the decoded picture is already upright, and the EXIF Orientation inside such a
// file only repeats those boxes.
bool PictureComesUpright(ExifContainer container);

// The bare EXIF block (the TIFF structure, from "II*\0" or "MM\0*" on) of a source file held in
// memory. The file's structure is only parsed, never its pixels decoded. Empty when the file has
// no block, when the block is larger than kMaxSourceExifBytes, or when anything on the way is
// damaged: a source's EXIF block only travels along and is never a reason to fail. Every library
// object is released on every path. Only std::bad_alloc escapes.
std::vector<std::uint8_t> SourceExifBlock(ExifContainer container, std::span<const std::uint8_t> file);

}  // namespace zelvan
