#include "engine/extensions.h"

#include <array>
#include <vector>

#include "base/path_util.h"

namespace zelvan {
namespace {

constexpr std::array<std::string_view, 11> kRaw{".crw", ".cr2", ".nef", ".orf", ".raf", ".dng",
                                                ".mrw", ".pef", ".srf", ".arw", ".rw2"};

constexpr std::array<std::string_view, 13> kCommon{".jpg", ".bmp", ".gif", ".png", ".jpeg",
                                                   ".tif", ".tiff", ".ico", ".emf", ".wmf",
                                                   ".jp2", ".j2k", ".jpc"};

constexpr std::array<std::string_view, 54> kReaderList{
    "bmp", "ico", "wmf", "emf", "jfif", "jpg", "jpe", "jpeg", "rle", "dib", "win", "vst", "vda",
    "tga", "icb", "tiff", "tif", "fax", "eps", "pcx", "pcc", "scr", "rpf", "rla", "sgi", "rgba",
    "rgb", "bw", "psd", "pdd", "ppm", "pgm", "pbm", "cel", "pic", "pcd", "cut", "psp", "png",
    "gif", "jp2", "j2k", "jpc", "crw", "cr2", "nef", "orf", "raf", "dng", "mrw", "pef", "srf",
    "arw", "rw2"};

// The formats of phones and the web, read through their own libraries.
constexpr std::array<std::string_view, 6> kModern{".heic", ".heif", ".hif", ".avif", ".webp", ".jxl"};

const std::vector<std::string>& Accepted() {
    static const std::vector<std::string> list = [] {
        std::vector<std::string> v;
        for (std::string_view e : kRaw) v.emplace_back(e);
        for (std::string_view e : kCommon) v.emplace_back(e);
        for (std::string_view e : kModern) v.emplace_back(e);
        for (std::string_view e : kReaderList) v.push_back("." + std::string(e));
        return v;
    }();
    return list;
}

}  // namespace

std::span<const std::string_view> RawExtensions() { return kRaw; }
std::span<const std::string> AcceptedExtensions() { return Accepted(); }
std::span<const std::string_view> ReaderExtensions() { return kReaderList; }

bool IsRawExtension(std::string_view extension) {
    for (std::string_view e : kRaw)
        if (EqualsIgnoreCase(e, extension)) return true;
    return false;
}

bool IsAcceptedExtension(std::string_view extension) {
    if (extension.empty()) return false;
    for (const std::string& e : Accepted())
        if (EqualsIgnoreCase(e, extension)) return true;
    return false;
}

bool SkipsPngCandidate(std::string_view extension) {
    return EqualsIgnoreCase(extension, ".jpg") || EqualsIgnoreCase(extension, ".jpeg");
}

}  // namespace zelvan
