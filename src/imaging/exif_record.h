#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zelvan {

// A local date and time as EXIF stores it: no time zone.
struct ExifDateTime {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
    friend bool operator==(const ExifDateTime&, const ExifDateTime&) = default;
};

// Main-directory tags the job writes by number.
inline constexpr std::uint16_t kExifTagSoftware = 305;
inline constexpr std::uint16_t kExifTagDateTime = 306;

// The EXIF metadata of one source file, read from a JPEG's EXIF segment (or from the bare block
// another format keeps) and written into another JPEG file or block: every directory and the thumbnail as read, plus the XMP packet that the EXIF block
// carried. Parsing and encoding the directories is Exiv2's; the segment layout is ours.
//
// Not thread-safe, and Exiv2 keeps process-wide state: the job runs every operation of every
// record under its job lock. Failures throw Error; Exiv2's own errors come out as Error too.
class ExifRecord {
public:
    // An empty record: no directories, no thumbnail, no XMP packet.
    ExifRecord();
    ~ExifRecord();
    ExifRecord(const ExifRecord&) = delete;
    ExifRecord& operator=(const ExifRecord&) = delete;

    // Loads the first APP1 segment that carries an EXIF block; other segments are skipped and
    // a JPEG without one leaves the record empty. Only the segment headers and that one segment
    // are read. Throws Error "JPEG header is not valid" when the stream does not start with
    // FF D8, and Error for a block the library cannot parse.
    void ReadFromJpegStream(std::istream& in);
    // Loads a bare EXIF block: the TIFF structure from its "II*\0" or "MM\0*" header on, as other
    // formats keep it in a box or chunk of their own. An empty block leaves the record empty.
    // Throws Error for anything else and for a block the library cannot parse; the record then
    // stays as it was.
    void ReadFromTiffBlock(std::span<const std::uint8_t> tiff);

    bool Empty() const;

    // Tag 306 with the milliseconds of SubSecTime (37520) when that tag is there; nothing
    // when the tag is missing or holds no valid date and time.
    std::optional<ExifDateTime> DateTime() const;
    // Stores 306 as "YYYY:MM:DD hh:mm:ss", SubSecTime as three digits of milliseconds only when
    // that tag already exists, and the XMP packet's tiff:DateTime only when it has one.
    void SetDateTime(const ExifDateTime& value);

    // Stores an ASCII tag of the main directory. For Software (305) the XMP packet's
    // tiff:Software and xmp:CreatorTool are updated too, each only when present.
    void SetText(std::uint16_t tag, std::string_view text);
    // An ASCII tag of the main directory as stored, without its terminating zero.
    std::optional<std::string> Text(std::uint16_t tag) const;

    // The main directory's Orientation as a number; nothing when the tag is missing.
    std::optional<int> Orientation() const;
    // For pixels already turned as the tag said: Orientation becomes 1 (as stored), and the XMP
    // packet's tiff:Orientation too, each only when present.
    void SetUpright();

    // Removes every GPS tag (the GPS directory) and the XMP packet's exif:GPS properties.
    void RemoveLocation();
    // Keeps only copyright, artist, camera maker and model, the dates (with their fractions of a
    // second and time zones) and the orientation; everything else goes, the thumbnail, the maker
    // notes, the location and the XMP packet among them.
    void KeepOnlyEssentials();
    // Removes the embedded thumbnail (the second directory's picture and its tags).
    void DropThumbnail();
    bool HasThumbnail() const;
    // Puts this JPEG picture in as the thumbnail, in place of any earlier one.
    void SetThumbnail(std::span<const std::uint8_t> jpeg);

    bool HasXmpPacket() const;

    // Rewrites the JPEG file at path so that it carries this record: SOI, the file's APP0
    // segments, the EXIF block, the XMP packet, then the rest of the file without its first
    // EXIF and first XMP segment. PixelXDimension and PixelYDimension, when the record has
    // either, are set to the file's frame size first. The file is replaced only once the new
    // content is complete; on failure it stays as it was. Throws Error.
    void WriteIntoJpegFile(const std::string& path);
    // The same rewrite in memory.
    std::vector<std::uint8_t> RewriteJpeg(std::span<const std::uint8_t> jpeg);

    // The record as a bare EXIF block (the TIFF structure, as WebP's EXIF chunk and JPEG XL's
    // Exif box hold it) for an image of this size: PixelXDimension and PixelYDimension, when the
    // record has either, are set to it, as RewriteJpeg does. The XMP packet is not part of it.
    std::vector<std::uint8_t> TiffBlock(std::uint32_t width, std::uint32_t height);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The JPEG file without its EXIF segments (every APP1 segment that opens with "Exif\0\0" before
// the first scan); every other byte stays as it was. Anything that does not start with FF D8 comes
// back unchanged. Needs no Exiv2, and so no job lock.
std::vector<std::uint8_t> JpegWithoutExif(std::span<const std::uint8_t> jpeg);

}  // namespace zelvan
