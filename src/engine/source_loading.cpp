#include "engine/source_loading.h"

#include <dlfcn.h>

#include <climits>
#include <utility>

#include "base/file_io.h"
#include "base/path_util.h"
#include "engine/animation_steps.h"
#include "engine/extensions.h"
#include "imaging/colour_profile.h"
#include "imaging/orientation.h"
#include "imaging/transparency.h"
#include "imaging/readers/readers.h"
#include "rawdll.h"

namespace zelvan {
namespace {

class PluginLibrary {
public:
    explicit PluginLibrary(const std::string& path) : handle_(::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {}
    ~PluginLibrary() {
        if (handle_) ::dlclose(handle_);
    }
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;
    bool loaded() const { return handle_ != nullptr; }
    void* Entry(const char* name) const { return ::dlsym(handle_, name); }

private:
    void* handle_;
};

LoadedSource LoadRaw(const std::string& sourcePath, const std::string& rawPluginPath) {
    PluginLibrary library(rawPluginPath);
    if (!library.loaded()) throw LoadFailure(LoadFailure::Kind::RawLibraryMissing, kRawLibraryError);
    auto raw2bmp = reinterpret_cast<Raw2BmpMemFn>(library.Entry("Raw2BmpMem"));
    auto freeMemory = reinterpret_cast<FreeMemoryFn>(library.Entry("FreeMemory"));
    if (!raw2bmp || !freeMemory)
        throw LoadFailure(LoadFailure::Kind::RawPlugin, "the RAW plug-in lacks its Raw2BmpMem or FreeMemory entry");

    RawBitmapResult result{};
    raw2bmp(sourcePath.c_str(), &result);
    // The buffer is the plug-in's: it is read in place and always handed back.
    struct Release {
        FreeMemoryFn free;
        ~Release() { free(); }
    } release{freeMemory};

    LoadedSource loaded;
    loaded.sourceSize = result.Size;
    if (!result.Data || result.Size <= 0) {
        result.Message[sizeof result.Message - 1] = '\0';
        throw LoadFailure(LoadFailure::Kind::RawPlugin,
                          result.Message[0] ? result.Message : "the RAW plug-in returned no picture");
    }
    try {
        loaded.picture = ReadBmp({static_cast<const std::uint8_t*>(result.Data), static_cast<std::size_t>(result.Size)});
    } catch (const Error& e) {
        throw LoadFailure(LoadFailure::Kind::RawPlugin, e.what());
    }
    return loaded;
}

LoadedSource LoadPicture(const std::string& sourcePath, const DecodeReductionFn& chooseReduction) {
    std::string extension = ExtractFileExt(sourcePath);
    ReaderFn reader = FindReader(extension);
    LoadedSource loaded;
    try {
        // A file that begins with no format's mark, named for a format that always has one, is
        // refused with its reader's own message before the rest of it is read.
        std::vector<std::uint8_t> bytes = ReadFileBytes(sourcePath, kMaxReadBytes, [&](std::span<const std::uint8_t> start) {
            if (reader && ReaderNeedsSignature(reader) && !FindReaderBySignature(start)) reader(start);
        });
        // Only libjpeg can decode a picture smaller at less cost; every other reader decodes it whole.
        auto decode = [&](ReaderFn read) {
            return chooseReduction && read == ReadJpeg ? ReadJpegReduced(bytes, chooseReduction) : read(bytes);
        };
        // The extension's reader first; where it has none or fails, the reader the file's first
        // bytes name (a JPEG saved as "photo.png" or without extension), with the extension's
        // message kept when both fail.
        ReaderFn bySignature = FindReaderBySignature(bytes);
        if (!reader && !bySignature) {
            if (EqualsIgnoreCase(extension, ".emf") || EqualsIgnoreCase(extension, ".wmf"))
                throw LoadFailure(LoadFailure::Kind::Picture, "Windows metafiles cannot be read on this system");
            throw LoadFailure(LoadFailure::Kind::Picture,
                              extension.empty() ? std::string("No image reader for a file without extension")
                                                : "No image reader for the extension \"" + extension + "\"");
        }
        if (!reader) {
            loaded.picture = decode(bySignature);
        } else if (!bySignature || bySignature == reader) {
            loaded.picture = decode(reader);
        } else {
            try {
                loaded.picture = decode(reader);
            } catch (const Error& first) {
                try {
                    loaded.picture = decode(bySignature);
                } catch (const Error&) {
                    throw Error(first.what());
                }
            }
        }
        loaded.sourceSize = bytes.size() > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(bytes.size());
    } catch (const LoadFailure&) {
        throw;
    } catch (const Error& e) {
        throw LoadFailure(LoadFailure::Kind::Picture, e.what());
    } catch (const std::bad_alloc&) {
        throw LoadFailure(LoadFailure::Kind::Picture, "not enough memory to decode the file");
    }
    return loaded;
}

// A bitmap's fourth byte that is zero everywhere is padding, not transparency: such files are
// written by programs that leave it unused, and meant to be seen.
bool FourthByteIsPadding(const DecodedPicture& picture) {
    if (picture.kind == PictureKind::Png || picture.targaAlpha || picture.raster.bitsPerPixel() != 32) return false;
    const Raster& image = picture.raster;
    for (int y = 0; y < image.height(); ++y) {
        const std::uint8_t* row = image.row(y);
        for (int x = 0; x < image.width(); ++x)
            if (row[4 * x + 3] != 0) return false;
    }
    return true;
}

}  // namespace

LoadedSource LoadSource(const std::string& sourcePath, const std::string& rawPluginPath,
                        const DecodeReductionFn& chooseReduction) {
    if (IsRawExtension(ExtractFileExt(sourcePath))) return LoadRaw(sourcePath, rawPluginPath);
    return LoadPicture(sourcePath, chooseReduction);
}

WorkingImageSet PrepareWorkingImage(DecodedPicture&& picture, ColourProfileChoice colourProfile) {
    WorkingImageSet set;
    set.orientation = picture.orientation;
    set.reducedFrom = picture.reducedFrom;
    if (colourProfile != kStripColourProfile) set.iccProfile = SettleColourProfile(picture);
    const Raster& source = picture.raster;
    if (source.empty()) throw Error("the decoded picture is empty");
    if (picture.animation) set.animation = PrepareAnimation(std::move(*picture.animation));

    if (picture.IsIndexedPng() && !picture.paletteOpacity.empty()) {
        // Transparency per palette entry: the image keeps its indices beside the mask.
        set.alphaMask = PaletteOpacityMask(source, picture.paletteOpacity);
        set.image = std::move(picture.raster);
        return set;
    }

    // An animation's opacity is always meant, even where the first frame is clear everywhere.
    if (picture.HasAlpha() && (picture.animation || !FourthByteIsPadding(picture))) {
        Raster image = std::move(picture.raster);
        if (image.bitsPerPixel() != 32) {
            // Every reader that reports alpha delivers 32 bits; anything else is made opaque.
            Raster wide = Raster::Uninitialised(image.width(), image.height(), 32);
            std::vector<std::uint8_t> bgr(static_cast<std::size_t>(image.width()) * 3);
            for (int y = 0; y < image.height(); ++y) {
                image.ExpandRowToBgr(y, bgr.data());
                std::uint8_t* dst = wide.row(y);
                for (int x = 0; x < image.width(); ++x) {
                    dst[4 * x] = bgr[3 * x];
                    dst[4 * x + 1] = bgr[3 * x + 1];
                    dst[4 * x + 2] = bgr[3 * x + 2];
                    dst[4 * x + 3] = 255;
                }
            }
            image = std::move(wide);
        }
        Raster mask(image.width(), image.height(), 24);
        for (int y = 0; y < image.height(); ++y) {
            const std::uint8_t* src = image.row(y);
            std::uint8_t* dst = mask.row(y);
            for (int x = 0; x < image.width(); ++x) dst[3 * x + 2] = src[4 * x + 3];
        }
        set.image = std::move(image);
        set.alphaMask = std::move(mask);
    } else {
        set.image = std::move(picture.raster);
    }
    return set;
}

void OrientWorkingImage(WorkingImageSet& images) {
    if (images.orientation == kOrientationAsStored) return;
    Raster image = Oriented(images.image, images.orientation);
    std::optional<Raster> mask;
    if (images.alphaMask) mask = Oriented(*images.alphaMask, images.orientation);
    images.image = std::move(image);
    images.alphaMask = std::move(mask);
    if (images.reducedFrom && OrientationSwapsSides(images.orientation))
        std::swap(images.reducedFrom->width, images.reducedFrom->height);
    images.orientation = kOrientationAsStored;
}

}  // namespace zelvan
