#include "jobs/output_plan.h"

#include <QByteArray>
#include <QFile>
#include <QImageReader>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <unordered_map>
#include <utility>

#include "base/file_io.h"
#include "base/path_util.h"
#include "engine/exif_step.h"
#include "engine/extensions.h"
#include "engine/output_naming.h"
#include "engine/output_formats.h"
#include "imaging/orientation.h"
#include "jobs/scheduler.h"

namespace zelvan {
namespace {

// Stands for [W] and [H] while a mask is expanded without the size, then put back; no token
// contains these bytes.
constexpr const char* kWidthStandIn = "\x01W\x01";
constexpr const char* kHeightStandIn = "\x01H\x01";

std::uint32_t BigEndian32(const unsigned char* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// Reads exactly `size` bytes at the stream's position; false at the end of the file.
bool ReadExactly(std::ifstream& in, void* into, std::size_t size) {
    in.read(static_cast<char*>(into), static_cast<std::streamsize>(size));
    return static_cast<std::size_t>(in.gcount()) == size;
}

// The first APP1 segment that holds EXIF, walking the markers up to the image data.
int JpegOrientation(std::ifstream& in) {
    unsigned char soi[2];
    if (!ReadExactly(in, soi, 2) || soi[0] != 0xFF || soi[1] != 0xD8) return kOrientationAsStored;
    for (;;) {
        unsigned char marker[2];
        if (!ReadExactly(in, marker, 2) || marker[0] != 0xFF) return kOrientationAsStored;
        while (marker[1] == 0xFF)
            if (!ReadExactly(in, marker + 1, 1)) return kOrientationAsStored;
        if (marker[1] == 0x01 || (marker[1] >= 0xD0 && marker[1] <= 0xD7)) continue;  // no length
        if (marker[1] == 0xDA || marker[1] == 0xD9) return kOrientationAsStored;       // scan data or end
        unsigned char length[2];
        if (!ReadExactly(in, length, 2)) return kOrientationAsStored;
        const std::size_t size = static_cast<std::size_t>(length[0] << 8 | length[1]);
        if (size < 2) return kOrientationAsStored;
        if (marker[1] == 0xE1) {
            std::vector<std::uint8_t> data(size - 2);
            if (!ReadExactly(in, data.data(), data.size())) return kOrientationAsStored;
            if (data.size() >= 6 && std::memcmp(data.data(), "Exif\0\0", 6) == 0) return ExifSegmentOrientation(data);
        } else {
            in.seekg(static_cast<std::streamoff>(size - 2), std::ios::cur);
        }
    }
}

// The first eXIf chunk, wherever it stands; chunk data is skipped, not read.
int PngOrientation(std::ifstream& in) {
    in.seekg(8);
    for (;;) {
        unsigned char head[8];
        if (!ReadExactly(in, head, 8)) return kOrientationAsStored;
        const std::uint32_t length = BigEndian32(head);
        if (length > 0x7FFFFFFFu || std::memcmp(head + 4, "IEND", 4) == 0) return kOrientationAsStored;
        if (std::memcmp(head + 4, "eXIf", 4) == 0) {
            if (length > (std::uint32_t{1} << 24)) return kOrientationAsStored;
            std::vector<std::uint8_t> data(length);
            if (!ReadExactly(in, data.data(), data.size())) return kOrientationAsStored;
            return ExifOrientation(data);
        }
        in.seekg(static_cast<std::streamoff>(length) + 4, std::ios::cur);  // data and CRC
    }
}

enum class HeaderKind { None, Jpeg, Png, Bmp, Pnm };

HeaderKind HeaderKindOf(const std::string& path) {
    const std::string ext = ToLowerAscii(ExtractFileExt(path));
    if (IsJpegSource(path)) return HeaderKind::Jpeg;
    if (ext == ".png") return HeaderKind::Png;
    if (ext == ".bmp" || ext == ".dib") return HeaderKind::Bmp;
    if (ext == ".pnm" || ext == ".ppm" || ext == ".pgm" || ext == ".pbm") return HeaderKind::Pnm;
    return HeaderKind::None;
}

const char* QtFormatOf(HeaderKind kind) {
    switch (kind) {
        case HeaderKind::Jpeg: return "jpeg";
        case HeaderKind::Png: return "png";
        case HeaderKind::Bmp: return "bmp";
        case HeaderKind::Pnm: return "ppm";
        case HeaderKind::None: break;
    }
    return "";
}

}  // namespace

ImageSize PlannedWorkingSize(ImageSize shown, const ConversionOptions& options) {
    const ImageSize box{options.resizeWidth, options.resizeHeight};
    switch (options.resizeMode) {
        case 1: {
            if (!options.keepProportions) return box;
            ImageSize area = shown;
            if (options.smartCrop)
                if (std::optional<PixelRect> crop = PlanSmartCrop(shown, box, options.enlargeSmaller))
                    area = {crop->width, crop->height};
            return FitIntoBox(area, box, options.enlargeSmaller);
        }
        case 2: return PercentageSize(shown, options.resizePercent);
        default: return shown;
    }
}

std::optional<ImageSize> HeaderSize(const std::string& sourcePath, bool autoRotate) {
    const HeaderKind kind = HeaderKindOf(sourcePath);
    // Opening a pipe to read its header would wait for a writer.
    if (kind == HeaderKind::None || !IsRegularFile(sourcePath)) return std::nullopt;
    // Opened by the path's bytes: Qt's file names would not carry names that are not UTF-8.
    std::ifstream in(sourcePath, std::ios::binary);
    FILE* handle = std::fopen(sourcePath.c_str(), "rb");
    if (!in || !handle) {
        if (handle) std::fclose(handle);
        return std::nullopt;
    }
    QFile byPath;
    if (!byPath.open(handle, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        std::fclose(handle);
        return std::nullopt;
    }
    QImageReader reader;
    reader.setDevice(&byPath);
    reader.setFormat(QtFormatOf(kind));
    reader.setAutoDetectImageFormat(false);
    const QSize size = reader.size();
    if (!size.isValid() || size.width() <= 0 || size.height() <= 0) return std::nullopt;
    ImageSize shown{size.width(), size.height()};
    if (autoRotate) {
        const int orientation = kind == HeaderKind::Jpeg ? JpegOrientation(in)
                                : kind == HeaderKind::Png ? PngOrientation(in)
                                                          : kOrientationAsStored;
        if (OrientationSwapsSides(orientation)) std::swap(shown.width, shown.height);
    }
    return shown;
}

bool NameNeedsPixelSize(const ConversionOptions& options) {
    if (!options.renameEnabled) return false;
    const std::string mask = ToUpperAscii(options.renameMask);
    return mask.find("[W]") != std::string::npos || mask.find("[H]") != std::string::npos;
}

OutputPlan PlanOutput(const ConversionOptions& options, const std::string& sourcePath,
                      const std::string& destinationPath, std::int32_t jobNumber, std::optional<ImageSize> shown,
                      const MaskDateConventions& dates, const QDateTime& now) {
    OutputPlan plan;
    std::string path = destinationPath;
    if (options.renameEnabled) {
        plan.sizeUnknown = !shown && NameNeedsPixelSize(options);
        const ImageSize working = shown ? PlannedWorkingSize(*shown, options) : ImageSize{};
        MaskSubject subject = MaskSubjectOf(sourcePath, destinationPath, jobNumber, working.width, working.height, now);
        ConversionOptions renaming = options;
        if (plan.sizeUnknown) {
            renaming.renameMask = ReplaceToken(ReplaceToken(renaming.renameMask, "[W]", kWidthStandIn), "[H]",
                                               kHeightStandIn);
        }
        path = RenamedDestinationPath(renaming, subject, dates);
        if (plan.sizeUnknown) path = ReplaceToken(ReplaceToken(path, kWidthStandIn, "[W]"), kHeightStandIn, "[H]");
    }
    if (options.autoFormat) {
        plan.paths.push_back(ChangeFileExt(path, OutputExtension(options, "JPG")));
        if (!SkipsPngCandidate(ExtractFileExt(sourcePath)))
            plan.paths.push_back(ChangeFileExt(path, OutputExtension(options, "PNG")));
    } else {
        plan.paths.push_back(path);
    }
    return plan;
}

std::optional<std::string> ExistingPlannedOutput(const ConversionOptions& options, const std::string& sourcePath,
                                                 const std::string& destinationPath, std::int32_t jobNumber,
                                                 const MaskDateConventions& dates) {
    std::optional<ImageSize> shown;
    if (NameNeedsPixelSize(options)) {
        shown = HeaderSize(sourcePath, options.autoRotate);
        if (!shown) return std::nullopt;
    }
    const OutputPlan plan =
        PlanOutput(options, sourcePath, destinationPath, jobNumber, shown, dates, QDateTime::currentDateTime());
    for (const std::string& path : plan.paths)
        if (FileExists(path)) return path;
    return std::nullopt;
}

std::vector<OutputReservation> PlanSharedOutputs(const ConversionOptions& options, const std::vector<QueuedFile>& files) {
    const OutputFormat* format = FindOutputFormat(options.outputFormat);
    const MaskDateConventions dates = MaskDateConventions::System();
    const QDateTime now = QDateTime::currentDateTime();
    const bool needsSize = NameNeedsPixelSize(options);
    // path -> the first file taking it, and whether a later one takes it too
    std::unordered_map<std::string, std::pair<const QueuedFile*, bool>> first;
    std::vector<std::string> order;
    for (const QueuedFile& file : files) {
        std::optional<ImageSize> shown;
        if (needsSize && !(shown = HeaderSize(file.sourcePath, options.autoRotate))) continue;
        const OutputPlan plan = PlanOutput(options, file.sourcePath, InitialDestinationPath(options, format, file),
                                           file.jobNumber, shown, dates, now);
        for (const std::string& path : plan.paths) {
            auto [it, added] = first.try_emplace(path, &file, false);
            if (added) order.push_back(path);
            else if (it->second.first != &file) it->second.second = true;
        }
    }
    std::vector<OutputReservation> shared;
    for (const std::string& path : order)
        if (const auto& [file, taken] = first.at(path); taken) shared.push_back({path, file->sourcePath, file->jobNumber});
    return shared;
}

}  // namespace zelvan
