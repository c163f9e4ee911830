#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "imaging/animation.h"
#include "imaging/raster.h"

namespace zelvan {

// Which decoder produced a picture: the loading rules ask different questions of each kind.
enum class PictureKind {
    Bitmap,    // BMP, DIB, RLE, and the RAW plug-in's bitmap
    Jpeg,
    Png,
    Gif,
    Tiff,
    Targa,
    Icon,
    Jpeg2000,
    Webp,
    JpegXl,
    Heif,      // HEIC/HEIF, the container's rotation and mirroring already applied
    Avif,      // the same for AVIF
    Other,     // PNM, PCX, SGI
};

// What the file's own samples are: the colour space an embedded ICC profile must describe.
enum class SampleColours { Rgb, Grey, Cmyk, Other };

// The size of a picture as its file stores it, before any turn.
struct StoredSize {
    int width = 0;
    int height = 0;
};

// What one reader produced: the raster and the facts about transparency the job needs.
// A reader delivers 32 bits per pixel only for files that store four bytes per pixel (or an
// alpha channel); JPEG pictures and still GIFs are never 32-bit.
struct DecodedPicture {
    PictureKind kind = PictureKind::Other;
    int pngColourType = -1;  // the IHDR colour type of a PNG file, -1 otherwise
    // A grey or RGB PNG whose tRNS chunk names a transparent colour: the raster then carries
    // that transparency as a fourth byte, 0 where the colour is and 255 elsewhere.
    bool pngTransparentColour = false;
    // An indexed PNG's tRNS chunk: the opacity of each palette entry (256 of them, 255 past the
    // chunk's end); empty when the file declares no transparency.
    std::vector<std::uint8_t> paletteOpacity;
    bool targaAlpha = false;  // a Targa file with an alpha channel
    // How `raster` must still be turned to show the picture as meant: an Orientation value, 1 to
    // 8 (imaging/orientation.h), from the file's EXIF or TIFF tag; 1 for files that carry none.
    int orientation = 1;
    SampleColours sampleColours = SampleColours::Rgb;
    // The file's embedded ICC profile as stored, empty without one; not yet checked (see
    // imaging/colour_profile.h).
    std::vector<std::uint8_t> iccProfile;
    Raster raster;
    // Set when the raster is a reduced decoding (a JPEG decoded at 1/2, 1/4 or 1/8 of its size):
    // the size the file stores, which every size planned from the picture refers to.
    std::optional<StoredSize> reducedFrom;
    // An animated file with more than one frame: `raster` is the first frame as shown on the
    // canvas (32 bits with opacity), the others and the timing are here.
    std::optional<Animation> animation;

    std::int64_t FrameCount() const { return animation ? animation->FrameCount() : 1; }
    bool IsIndexedPng() const { return kind == PictureKind::Png && pngColourType == 3; }
    bool IsPngWithAlpha() const {
        return kind == PictureKind::Png && (pngColourType == 4 || pngColourType == 6 || pngTransparentColour);
    }
    bool IsBitmap32() const {
        // A still GIF is a palette picture; an animation's frames are composed with their opacity.
        if (kind == PictureKind::Gif && !animation) return false;
        return kind != PictureKind::Jpeg && raster.bitsPerPixel() == 32;
    }
    // The source carries per-pixel opacity in a fourth byte; an indexed PNG never does (its
    // transparency is per palette entry).
    bool HasAlpha() const {
        if (IsIndexedPng()) return false;
        return IsPngWithAlpha() || (kind == PictureKind::Targa && targaAlpha) || IsBitmap32();
    }
};

}  // namespace zelvan
