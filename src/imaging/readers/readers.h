#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "imaging/decoded_picture.h"

namespace zelvan {

// Every reader decodes a whole file image held in memory and throws Error with a readable
// message (beginning with the format's name) on anything it cannot decode.
using ReaderFn = DecodedPicture (*)(std::span<const std::uint8_t> bytes);

DecodedPicture ReadJpeg(std::span<const std::uint8_t> bytes);
// Asked by a reader that can decode a picture smaller than it is stored, once it has read the
// file's header: the stored size and the file's EXIF Orientation (1 to 8) in, the divisor to
// decode at out: 1 (full size), 2, 4 or 8; anything else counts as 1.
using DecodeReductionFn = std::function<int(StoredSize stored, int orientation)>;
// The JPEG reader decoding at 1/2, 1/4 or 1/8 of the size where `chooseReduction` asks for it
// (libjpeg's scaling in the DCT domain: far less work than decoding every pixel); the picture's
// `reducedFrom` then holds the stored size. Without a function it is ReadJpeg.
DecodedPicture ReadJpegReduced(std::span<const std::uint8_t> bytes, const DecodeReductionFn& chooseReduction);
DecodedPicture ReadPng(std::span<const std::uint8_t> bytes);
// ReadPng with the image data inflated a row at a time, as it is for large pictures.
DecodedPicture ReadPngInflatingInParts(std::span<const std::uint8_t> bytes);
DecodedPicture ReadGif(std::span<const std::uint8_t> bytes);
DecodedPicture ReadBmp(std::span<const std::uint8_t> bytes);
DecodedPicture ReadTiff(std::span<const std::uint8_t> bytes);
DecodedPicture ReadTga(std::span<const std::uint8_t> bytes);
DecodedPicture ReadIco(std::span<const std::uint8_t> bytes);
DecodedPicture ReadPnm(std::span<const std::uint8_t> bytes);
DecodedPicture ReadPcx(std::span<const std::uint8_t> bytes);
DecodedPicture ReadSgi(std::span<const std::uint8_t> bytes);
DecodedPicture ReadJpeg2000(std::span<const std::uint8_t> bytes);
DecodedPicture ReadWebp(std::span<const std::uint8_t> bytes);
DecodedPicture ReadJxl(std::span<const std::uint8_t> bytes);
DecodedPicture ReadHeif(std::span<const std::uint8_t> bytes);
DecodedPicture ReadAvif(std::span<const std::uint8_t> bytes);

// The reader registered for an extension ("jpg" or ".JPG": the dot is optional, letter case is
// ignored); nullptr when no reader knows it.
ReaderFn FindReader(std::string_view extension);
// The reader for a file's first bytes, for a file whose extension says nothing or the wrong
// thing (a JPEG named "photo.png"); nullptr when no signature matches.
ReaderFn FindReaderBySignature(std::span<const std::uint8_t> bytes);
// Whether the reader refuses every file that does not begin with its format's mark, so that a
// file whose first bytes match no mark can be refused before the rest of it is read.
bool ReaderNeedsSignature(ReaderFn read);

}  // namespace zelvan
