#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "imaging/decoded_picture.h"

namespace zelvan {

// Every reader decodes a whole file image held in memory and throws Error with a readable
// message (beginning with the format's name) on anything it cannot decode.
using ReaderFn = DecodedPicture (*)(std::span<const std::uint8_t> bytes);

DecodedPicture ReadJpeg(std::span<const std::uint8_t> bytes);
DecodedPicture ReadPng(std::span<const std::uint8_t> bytes);
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

}  // namespace zelvan
