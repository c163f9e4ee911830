#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/error.h"
#include "engine/conversion_options.h"
#include "imaging/decoded_picture.h"
#include "imaging/readers/readers.h"

namespace zelvan {

// How loading failed decides the job's line: the picture readers ("AFO:"), the RAW plug-in
// ("RFO:"), or the plug-in library itself missing (a line with the destination path).
class LoadFailure : public Error {
public:
    enum class Kind { Picture, RawPlugin, RawLibraryMissing };
    LoadFailure(Kind kind, const std::string& message) : Error(message), kind_(kind) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

inline constexpr const char* kRawLibraryError = "rawdll.so error.";

struct LoadedSource {
    DecodedPicture picture;
    // The source file's size, or the size of the plug-in's bitmap for a RAW source; -1 when
    // the file cannot be measured.
    std::int32_t sourceSize = -1;
};

// Decodes a source: RAW extensions through the plug-in library at rawPluginPath (loaded and
// unloaded for this one call), everything else through the reader registered for the
// extension. Throws LoadFailure. The caller holds the job lock for RAW sources (the plug-in keeps
// one buffer of its own); picture readers run side by side.
// With `chooseReduction`, a JPEG source may be decoded smaller than it is stored, as that function
// answers once the header is read (the picture's `reducedFrom` then says so); other sources,
// RAW and JPEG 2000 among them, are always decoded whole.
LoadedSource LoadSource(const std::string& sourcePath, const std::string& rawPluginPath,
                        const DecodeReductionFn& chooseReduction = {});

// A frame of an animation after the first, prepared as the first is: its image, its opacity
// mask (the same layout as the set's), and how long it shows.
struct WorkingFrame {
    Raster image;
    std::optional<Raster> alphaMask;
    int durationMs = 0;
};

// An animation's timing and the frames after the set's own image, which is the first.
struct WorkingAnimation {
    int firstDurationMs = 0;
    int loopCount = 0;  // times played; 0 for ever
    std::vector<WorkingFrame> furtherFrames;
    std::int64_t FrameCount() const { return 1 + static_cast<std::int64_t>(furtherFrames.size()); }
};

// The raster every later step works on, with the source's transparency.
struct WorkingImageSet {
    Raster image;
    std::optional<Raster> alphaMask;  // 24-bit, opacity in the third byte of each pixel
    int orientation = 1;              // the turn the pixels still owe the source's Orientation tag
    // The RGB profile the pixels are in, kept in outputs that carry one; empty means sRGB.
    std::vector<std::uint8_t> iccProfile;
    // While the image is a reduced decoding of the source: the source's full size, turned with
    // the image. The resize plans from it, so that sizes come out as from the full picture.
    std::optional<StoredSize> reducedFrom;
    // An animated source's further frames; every step that changes `image` changes them alike.
    std::optional<WorkingAnimation> animation;

    std::int64_t FrameCount() const { return animation ? animation->FrameCount() : 1; }
};

// Takes the picture apart into the working image (no pixel copy) and builds the opacity mask
// from the transparency the file declares: an alpha channel, an indexed PNG's opacity per palette
// entry, a grey or RGB PNG's transparent colour. Nothing else is ever made transparent.
// The source's colour profile is settled as colour_profile.h says, or ignored when the choice is
// to strip it.
WorkingImageSet PrepareWorkingImage(DecodedPicture&& picture, ColourProfileChoice colourProfile);

// Turns the image and its opacity mask (and the full size of a reduced decoding) as the
// orientation says, which then becomes 1. Throws
// Error when memory runs out; the images are then as they were.
void OrientWorkingImage(WorkingImageSet& images);

}  // namespace zelvan
