#include <algorithm>
#include <array>
#include <cstddef>

#include "base/path_util.h"
#include "imaging/readers/readers.h"

namespace zelvan {
namespace {

struct Registration {
    std::string_view extension;
    ReaderFn read;
};

// One line per extension; a new format is a reader file and its lines here.
constexpr std::array kReaders{
    Registration{"jpg", ReadJpeg},  Registration{"jpeg", ReadJpeg}, Registration{"jpe", ReadJpeg},
    Registration{"jfif", ReadJpeg}, Registration{"png", ReadPng},   Registration{"gif", ReadGif},
    Registration{"bmp", ReadBmp},   Registration{"dib", ReadBmp},   Registration{"rle", ReadBmp},
    Registration{"tif", ReadTiff},  Registration{"tiff", ReadTiff}, Registration{"fax", ReadTiff},
    Registration{"tga", ReadTga},   Registration{"vda", ReadTga},   Registration{"icb", ReadTga},
    Registration{"vst", ReadTga},   Registration{"win", ReadTga},   Registration{"ico", ReadIco},
    Registration{"pnm", ReadPnm},   Registration{"ppm", ReadPnm},   Registration{"pgm", ReadPnm},
    Registration{"pbm", ReadPnm},   Registration{"pcx", ReadPcx},   Registration{"pcc", ReadPcx},
    Registration{"sgi", ReadSgi},   Registration{"rgb", ReadSgi},   Registration{"rgba", ReadSgi},
    Registration{"bw", ReadSgi},    Registration{"jp2", ReadJpeg2000}, Registration{"j2k", ReadJpeg2000},
    Registration{"jpc", ReadJpeg2000}, Registration{"webp", ReadWebp}, Registration{"jxl", ReadJxl},
    Registration{"heic", ReadHeif}, Registration{"heif", ReadHeif}, Registration{"hif", ReadHeif},
    Registration{"avif", ReadAvif},
};

struct Signature {
    std::size_t offset;
    std::string_view bytes;
    ReaderFn read;
};

using namespace std::string_view_literals;

// Formats whose files begin with a distinctive mark. Targa, ICO, PCX and PNM have too weak a mark
// to be told by it. An ISO base media file is told by its brand, after "ftyp".
constexpr std::array kSignatures{
    Signature{0, "\xFF\xD8\xFF"sv, ReadJpeg},
    Signature{0, "\x89PNG\r\n\x1A\n"sv, ReadPng},
    Signature{0, "GIF87a"sv, ReadGif},
    Signature{0, "GIF89a"sv, ReadGif},
    Signature{0, "BM"sv, ReadBmp},
    Signature{0, "II*\0"sv, ReadTiff},
    Signature{0, "MM\0*"sv, ReadTiff},
    Signature{8, "WEBP"sv, ReadWebp},
    Signature{0, "\0\0\0\x0CjP  \r\n\x87\n"sv, ReadJpeg2000},
    Signature{0, "\xFF\x4F\xFF\x51"sv, ReadJpeg2000},
    Signature{0, "\xFF\x0A"sv, ReadJxl},
    Signature{0, "\0\0\0\x0CJXL \r\n\x87\n"sv, ReadJxl},
    Signature{0, "\x01\xDA"sv, ReadSgi},
    Signature{4, "ftypavif"sv, ReadAvif},
    Signature{4, "ftypavis"sv, ReadAvif},
    Signature{4, "ftypheic"sv, ReadHeif},
    Signature{4, "ftypheix"sv, ReadHeif},
    Signature{4, "ftypmif1"sv, ReadHeif},
    Signature{4, "ftypmsf1"sv, ReadHeif},
};

}  // namespace

ReaderFn FindReaderBySignature(std::span<const std::uint8_t> bytes) {
    for (const Signature& s : kSignatures) {
        if (bytes.size() < s.offset + s.bytes.size()) continue;
        if (std::equal(s.bytes.begin(), s.bytes.end(), bytes.begin() + static_cast<std::ptrdiff_t>(s.offset),
                       [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }))
            return s.read;
    }
    return nullptr;
}

bool ReaderNeedsSignature(ReaderFn read) {
    // TIFF (BigTIFF's mark is not listed), BMP (OS/2 arrays), SGI and the ISO base media formats
    // (brands beyond those listed) are left to their readers.
    return read == ReadJpeg || read == ReadPng || read == ReadGif || read == ReadWebp || read == ReadJpeg2000 ||
           read == ReadJxl;
}

ReaderFn FindReader(std::string_view extension) {
    if (!extension.empty() && extension.front() == '.') extension.remove_prefix(1);
    for (const Registration& r : kReaders)
        if (EqualsIgnoreCase(r.extension, extension)) return r.read;
    return nullptr;
}

}  // namespace zelvan
