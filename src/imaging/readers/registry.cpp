#include <array>

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

}  // namespace

ReaderFn FindReader(std::string_view extension) {
    if (!extension.empty() && extension.front() == '.') extension.remove_prefix(1);
    for (const Registration& r : kReaders)
        if (EqualsIgnoreCase(r.extension, extension)) return r.read;
    return nullptr;
}

}  // namespace zelvan
