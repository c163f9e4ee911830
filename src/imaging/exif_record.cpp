#include "imaging/exif_record.h"

#include <exiv2/exiv2.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "base/error.h"
#include "base/file_io.h"
#include "imaging/jpeg_segments.h"

namespace zelvan {
namespace {

constexpr const char* kInvalidHeader = "JPEG header is not valid";

// An APP1 segment holds at most 65533 data bytes after its length field.
constexpr std::size_t kMaxSegmentData = 65533;
constexpr std::uint8_t kExifSignature[6] = {'E', 'x', 'i', 'f', 0, 0};
// The XMP namespace identifier and its terminating zero.
constexpr char kXmpSignature[] = "http://ns.adobe.com/xap/1.0/";
constexpr std::size_t kXmpSignatureSize = sizeof kXmpSignature;  // 29, the zero included

// What one record reads at most from a bare block; Exiv2 takes 32-bit sizes.
constexpr std::size_t kMaxTiffBlock = std::size_t{16} << 20;

constexpr std::uint16_t kTagPadding = 0xEA1C;
constexpr std::uint16_t kTagOffsetSchema = 0xEA1D;

const char* const kKeyDateTime = "Exif.Image.DateTime";
const char* const kKeySubSecTime = "Exif.Photo.SubSecTime";
const char* const kKeyPixelX = "Exif.Photo.PixelXDimension";
const char* const kKeyPixelY = "Exif.Photo.PixelYDimension";
const char* const kKeyXmlPacket = "Exif.Image.XMLPacket";
const char* const kKeyOrientation = "Exif.Image.Orientation";

// Exiv2 warns on standard error about every odd tag; this program reports failures through
// its own error lines instead. The XMP toolkit must be set up once before any use.
void InitialiseLibrary() {
    static std::once_flag once;
    std::call_once(once, [] {
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        Exiv2::XmpParser::initialize();
    });
}

// Every call into Exiv2 goes through here: whatever it throws comes out as Error.
template <class F>
auto Fenced(F&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const Error&) {
        throw;
    } catch (const Exiv2::AnyError& e) {
        throw Error(std::string("EXIF: ") + e.what());
    } catch (const std::bad_alloc&) {
        throw Error("EXIF: not enough memory for the EXIF data");
    } catch (const std::exception& e) {
        throw Error(std::string("EXIF: ") + e.what());
    }
}

bool IsTiffHeader(const std::uint8_t* tiff, std::size_t size) {
    return size >= 4 && ((tiff[0] == 'I' && tiff[1] == 'I' && tiff[2] == 42 && tiff[3] == 0) ||
                         (tiff[0] == 'M' && tiff[1] == 'M' && tiff[2] == 0 && tiff[3] == 42));
}

bool HasExifSignature(const std::uint8_t* data, std::size_t size) {
    return size >= sizeof kExifSignature && std::memcmp(data, kExifSignature, sizeof kExifSignature) == 0;
}

bool IsExifBlock(const std::uint8_t* data, std::size_t size) {
    return HasExifSignature(data, size) &&
           IsTiffHeader(data + sizeof kExifSignature, size - sizeof kExifSignature);
}

bool IsXmpPacket(const std::uint8_t* data, std::size_t size) {
    return size >= kXmpSignatureSize && std::memcmp(data, kXmpSignature, kXmpSignatureSize) == 0;
}

struct FrameSize {
    std::uint32_t width;
    std::uint32_t height;
};

std::optional<FrameSize> FirstFrameSize(std::span<const std::uint8_t> jpeg, const JpegHeaderSegments& layout) {
    for (const JpegSegment& s : layout.segments)
        if (IsStartOfFrame(s.marker) && s.dataSize() > 5) {
            const std::uint8_t* d = jpeg.data() + s.dataBegin;  // precision, height, width
            return FrameSize{std::uint32_t{d[3]} << 8 | d[4], std::uint32_t{d[1]} << 8 | d[2]};
        }
    return std::nullopt;
}

std::size_t ReadUpTo(std::istream& in, std::uint8_t* to, std::size_t count) {
    in.read(reinterpret_cast<char*>(to), static_cast<std::streamsize>(count));
    return static_cast<std::size_t>(in.gcount());
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int Digits(std::string_view s, std::size_t at, std::size_t count) {
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) value = value * 10 + (s[i] - '0');
    return value;
}

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int year, int month) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// "YYYY:MM:DD hh:mm:ss"; writers that use "-" between the date's fields or "T" before the
// time are accepted too. Trailing blanks are ignored.
std::optional<ExifDateTime> ParseDateTime(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.remove_suffix(1);
    if (s.size() != 19) return std::nullopt;
    for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18})
        if (!IsDigit(s[i])) return std::nullopt;
    if (!((s[4] == ':' && s[7] == ':') || (s[4] == '-' && s[7] == '-'))) return std::nullopt;
    if ((s[10] != ' ' && s[10] != 'T') || s[13] != ':' || s[16] != ':') return std::nullopt;
    ExifDateTime t;
    t.year = Digits(s, 0, 4);
    t.month = Digits(s, 5, 2);
    t.day = Digits(s, 8, 2);
    t.hour = Digits(s, 11, 2);
    t.minute = Digits(s, 14, 2);
    t.second = Digits(s, 17, 2);
    if (t.year < 1 || t.month < 1 || t.month > 12 || t.day < 1 || t.day > DaysInMonth(t.year, t.month) ||
        t.hour > 23 || t.minute > 59 || t.second > 59)
        return std::nullopt;
    return t;
}

// SubSecTime holds the decimal fraction of the second: "5" is 500 ms, "063" is 63 ms.
int ParseMilliseconds(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    int ms = 0;
    bool inDigits = true;  // anything after the leading digits ends the fraction
    for (std::size_t i = 0; i < 3; ++i) {
        inDigits = inDigits && i < s.size() && IsDigit(s[i]);
        ms = ms * 10 + (inDigits ? s[i] - '0' : 0);
    }
    return ms;
}

void SetAscii(Exiv2::ExifData& exif, const Exiv2::ExifKey& key, const std::string& text) {
    // A damaged block can hold a tag twice; one value is written.
    for (auto it = exif.findKey(key); it != exif.end(); it = exif.findKey(key)) exif.erase(it);
    const Exiv2::AsciiValue value(text);
    exif.add(key, &value);
}

// A pixel dimension keeps the tag's own type, SHORT or LONG.
void SetDimension(Exiv2::ExifData& exif, const char* key, std::uint32_t size, Exiv2::TypeId type) {
    const Exiv2::ExifKey exifKey(key);
    for (auto it = exif.findKey(exifKey); it != exif.end(); it = exif.findKey(exifKey)) exif.erase(it);
    if (type == Exiv2::unsignedShort && size <= 0xFFFF) {
        Exiv2::UShortValue value;
        value.value_.push_back(static_cast<std::uint16_t>(size));
        exif.add(exifKey, &value);
    } else {
        Exiv2::ULongValue value;
        value.value_.push_back(size);
        exif.add(exifKey, &value);
    }
}

void AppendSegment(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> signature,
                   std::span<const std::uint8_t> data) {
    const std::size_t length = 2 + signature.size() + data.size();
    out.push_back(0xFF);
    out.push_back(0xE1);
    out.push_back(static_cast<std::uint8_t>(length >> 8));
    out.push_back(static_cast<std::uint8_t>(length));
    out.insert(out.end(), signature.begin(), signature.end());
    out.insert(out.end(), data.begin(), data.end());
}

}  // namespace

struct ExifRecord::State {
    Exiv2::ExifData exif;
    Exiv2::ByteOrder byteOrder = Exiv2::littleEndian;
    // The XMP packet the EXIF block carried: parsed, and as read. It is written as read until
    // a property changes.
    Exiv2::XmpData xmp;
    std::string xmpPacket;
    bool xmpChanged = false;

    // The TIFF structure, its header checked by the caller.
    void Decode(const std::uint8_t* tiff, std::size_t size);
    void TakeXmpPacket();
};

void ExifRecord::State::Decode(const std::uint8_t* tiff, std::size_t size) {
    if (size > kMaxTiffBlock) throw Error("EXIF: the EXIF block is too large");
    Exiv2::ByteOrder order = Exiv2::ExifParser::decode(exif, tiff, static_cast<std::uint32_t>(size));
    byteOrder = order != Exiv2::invalidByteOrder ? order : tiff[0] == 'M' ? Exiv2::bigEndian : Exiv2::littleEndian;
    TakeXmpPacket();
}

// An XMP packet inside the EXIF block (tag 700) becomes the record's XMP packet and leaves the
// block, so that it is written once, in its own segment. A packet that does not parse is not
// carried: Exiv2's encoder drops tag 700 from every block it writes.
void ExifRecord::State::TakeXmpPacket() {
    auto pos = exif.findKey(Exiv2::ExifKey(kKeyXmlPacket));
    if (pos == exif.end() || pos->size() <= 0) return;
    std::string packet(static_cast<std::size_t>(pos->size()), '\0');
    pos->copy(reinterpret_cast<Exiv2::byte*>(packet.data()), byteOrder);
    const std::size_t start = packet.find('<');
    if (start == std::string::npos) return;
    packet.erase(0, start);
    Exiv2::XmpData parsed;
    try {
        if (Exiv2::XmpParser::decode(parsed, packet) != 0 || parsed.empty()) return;
    } catch (const std::exception&) {
        return;  // Exiv2::AnyError included: the packet is only carried, never needed
    }
    xmp = std::move(parsed);
    xmpPacket = std::move(packet);
    exif.erase(pos);
}

ExifRecord::ExifRecord() : state_(std::make_unique<State>()) { InitialiseLibrary(); }

ExifRecord::~ExifRecord() = default;

void ExifRecord::ReadFromJpegStream(std::istream& in) {
    Fenced([&] {
        std::uint8_t soi[2] = {};
        if (ReadUpTo(in, soi, 2) != 2 || soi[0] != 0xFF || soi[1] != 0xD8) throw Error(kInvalidHeader);
        auto fresh = std::make_unique<State>();
        std::vector<std::uint8_t> data;
        for (;;) {
            int c = in.get();
            if (c != 0xFF) break;  // the end, or not a marker: the header part is over
            do c = in.get();
            while (c == 0xFF);
            if (c == std::char_traits<char>::eof()) break;
            const auto marker = static_cast<std::uint8_t>(c);
            if (IsStandaloneMarker(marker)) continue;
            // APP segments come before the first scan; SOS and EOI end the search.
            if (marker == 0x00 || marker == 0xD8 || marker == 0xD9 || marker == 0xDA) break;
            std::uint8_t lengthBytes[2];
            if (ReadUpTo(in, lengthBytes, 2) != 2) break;
            const std::size_t length = std::size_t{lengthBytes[0]} << 8 | lengthBytes[1];
            if (length < 2) break;
            const std::size_t size = length - 2;  // at most kMaxSegmentData
            if (marker == 0xE1) {
                data.resize(size);
                const std::size_t got = ReadUpTo(in, data.data(), size);
                // A file cut short inside the block still gives what it holds.
                if (IsExifBlock(data.data(), got)) {
                    fresh->Decode(data.data() + sizeof kExifSignature, got - sizeof kExifSignature);
                    break;
                }
                if (got < size) break;
            } else {
                in.ignore(static_cast<std::streamsize>(size));
                if (static_cast<std::size_t>(in.gcount()) < size) break;
            }
        }
        state_ = std::move(fresh);
    });
}

void ExifRecord::ReadFromTiffBlock(std::span<const std::uint8_t> tiff) {
    Fenced([&] {
        auto fresh = std::make_unique<State>();
        if (!tiff.empty()) {
            if (!IsTiffHeader(tiff.data(), tiff.size())) throw Error("EXIF: the block is not an EXIF block");
            fresh->Decode(tiff.data(), tiff.size());
        }
        state_ = std::move(fresh);
    });
}

bool ExifRecord::Empty() const { return state_->exif.empty(); }

bool ExifRecord::HasXmpPacket() const { return !state_->xmp.empty(); }

std::optional<ExifDateTime> ExifRecord::DateTime() const {
    return Fenced([&]() -> std::optional<ExifDateTime> {
        const Exiv2::ExifData& exif = state_->exif;
        auto pos = exif.findKey(Exiv2::ExifKey(kKeyDateTime));
        if (pos == exif.end()) return std::nullopt;
        std::optional<ExifDateTime> value = ParseDateTime(pos->toString());
        if (!value) return std::nullopt;
        auto subSec = exif.findKey(Exiv2::ExifKey(kKeySubSecTime));
        if (subSec != exif.end()) value->millisecond = ParseMilliseconds(subSec->toString());
        return value;
    });
}

void ExifRecord::SetDateTime(const ExifDateTime& t) {
    Fenced([&] {
        char text[64];
        std::snprintf(text, sizeof text, "%.4d:%.2d:%.2d %.2d:%.2d:%.2d", t.year, t.month, t.day, t.hour, t.minute,
                      t.second);
        Exiv2::ExifData& exif = state_->exif;
        SetAscii(exif, Exiv2::ExifKey(kKeyDateTime), text);
        // The sub-second tag is only kept up to date, never added.
        const Exiv2::ExifKey subSecKey(kKeySubSecTime);
        if (exif.findKey(subSecKey) != exif.end()) {
            std::snprintf(text, sizeof text, "%.3d", std::clamp(t.millisecond, 0, 999));
            SetAscii(exif, subSecKey, text);
        }
        Exiv2::XmpData& xmp = state_->xmp;
        auto pos = xmp.findKey(Exiv2::XmpKey("Xmp.tiff.DateTime"));
        if (pos != xmp.end()) {
            std::snprintf(text, sizeof text, "%.4d-%.2d-%.2dT%.2d:%.2d:%.2d", t.year, t.month, t.day, t.hour,
                          t.minute, t.second);
            pos->setValue(text);
            state_->xmpChanged = true;
        }
    });
}

void ExifRecord::SetText(std::uint16_t tag, std::string_view text) {
    Fenced([&] {
        const std::string value(text);
        SetAscii(state_->exif, Exiv2::ExifKey(tag, "Image"), value);
        if (tag != kExifTagSoftware) return;
        Exiv2::XmpData& xmp = state_->xmp;
        for (const char* key : {"Xmp.tiff.Software", "Xmp.xmp.CreatorTool"}) {
            auto pos = xmp.findKey(Exiv2::XmpKey(key));
            if (pos == xmp.end()) continue;
            pos->setValue(value);
            state_->xmpChanged = true;
        }
    });
}

std::optional<std::string> ExifRecord::Text(std::uint16_t tag) const {
    return Fenced([&]() -> std::optional<std::string> {
        const Exiv2::ExifData& exif = state_->exif;
        auto pos = exif.findKey(Exiv2::ExifKey(tag, "Image"));
        if (pos == exif.end()) return std::nullopt;
        return pos->toString();
    });
}

std::optional<int> ExifRecord::Orientation() const {
    return Fenced([&]() -> std::optional<int> {
        const Exiv2::ExifData& exif = state_->exif;
        auto pos = exif.findKey(Exiv2::ExifKey(kKeyOrientation));
        if (pos == exif.end() || pos->count() < 1) return std::nullopt;
        return static_cast<int>(pos->toLong(0));
    });
}

void ExifRecord::SetUpright() {
    Fenced([&] {
        Exiv2::ExifData& exif = state_->exif;
        const Exiv2::ExifKey key(kKeyOrientation);
        if (exif.findKey(key) != exif.end()) {
            // A damaged block can hold the tag twice; one value is written.
            for (auto it = exif.findKey(key); it != exif.end(); it = exif.findKey(key)) exif.erase(it);
            Exiv2::UShortValue value;
            value.value_.push_back(1);
            exif.add(key, &value);
        }
        Exiv2::XmpData& xmp = state_->xmp;
        auto pos = xmp.findKey(Exiv2::XmpKey("Xmp.tiff.Orientation"));
        if (pos != xmp.end()) {
            pos->setValue("1");
            state_->xmpChanged = true;
        }
    });
}

void ExifRecord::RemoveLocation() {
    Fenced([&] {
        Exiv2::ExifData& exif = state_->exif;
        for (auto it = exif.begin(); it != exif.end();)
            it = it->groupName() == "GPSInfo" || it->key() == "Exif.Image.GPSTag" ? exif.erase(it) : std::next(it);
        Exiv2::XmpData& xmp = state_->xmp;
        for (auto it = xmp.begin(); it != xmp.end();) {
            if (it->key().rfind("Xmp.exif.GPS", 0) == 0) {
                it = xmp.erase(it);
                state_->xmpChanged = true;
            } else {
                ++it;
            }
        }
    });
}

void ExifRecord::KeepOnlyEssentials() {
    // Who made it (copyright, artist), with what (camera maker and model), when (the dates with
    // their fractions and time zones), and how it stands (orientation, which the pixels may still
    // need).
    static constexpr std::string_view kKept[] = {
        "Exif.Image.Copyright",         "Exif.Image.Artist",           "Exif.Image.Make",
        "Exif.Image.Model",             "Exif.Image.DateTime",         "Exif.Image.Orientation",
        "Exif.Photo.DateTimeOriginal",  "Exif.Photo.DateTimeDigitized", "Exif.Photo.SubSecTime",
        "Exif.Photo.SubSecTimeOriginal", "Exif.Photo.SubSecTimeDigitized", "Exif.Photo.OffsetTime",
        "Exif.Photo.OffsetTimeOriginal", "Exif.Photo.OffsetTimeDigitized",
    };
    Fenced([&] {
        Exiv2::ExifData& exif = state_->exif;
        for (auto it = exif.begin(); it != exif.end();) {
            const std::string key = it->key();
            const bool kept = std::find(std::begin(kKept), std::end(kKept), key) != std::end(kKept);
            it = kept ? std::next(it) : exif.erase(it);
        }
        state_->xmp.clear();
        state_->xmpPacket.clear();
        state_->xmpChanged = false;
    });
}

void ExifRecord::DropThumbnail() {
    Fenced([&] { Exiv2::ExifThumb(state_->exif).erase(); });
}

bool ExifRecord::HasThumbnail() const {
    return Fenced([&] { return Exiv2::ExifThumbC(state_->exif).copy().size_ > 0; });
}

void ExifRecord::SetThumbnail(std::span<const std::uint8_t> jpeg) {
    Fenced([&] {
        Exiv2::ExifThumb thumb(state_->exif);
        thumb.erase();
        thumb.setJpegThumbnail(jpeg.data(), static_cast<long>(jpeg.size()));
    });
}

std::vector<std::uint8_t> ExifRecord::TiffBlock(std::uint32_t width, std::uint32_t height) {
    return Fenced([&] {
        Exiv2::ExifData& exif = state_->exif;
        auto x = exif.findKey(Exiv2::ExifKey(kKeyPixelX));
        auto y = exif.findKey(Exiv2::ExifKey(kKeyPixelY));
        if (x != exif.end() || y != exif.end()) {
            const Exiv2::TypeId xType = x != exif.end() ? x->typeId() : y->typeId();
            const Exiv2::TypeId yType = y != exif.end() ? y->typeId() : x->typeId();
            SetDimension(exif, kKeyPixelX, width, xType);
            SetDimension(exif, kKeyPixelY, height, yType);
        }
        for (auto it = exif.begin(); it != exif.end();)
            it = it->tag() == kTagPadding || it->tag() == kTagOffsetSchema ? exif.erase(it) : std::next(it);
        Exiv2::Blob block;
        if (!exif.empty()) Exiv2::ExifParser::encode(block, state_->byteOrder, exif);
        return std::vector<std::uint8_t>(block.begin(), block.end());
    });
}

std::vector<std::uint8_t> ExifRecord::RewriteJpeg(std::span<const std::uint8_t> jpeg) {
    if (jpeg.size() < 2 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) throw Error(kInvalidHeader);
    const JpegHeaderSegments layout = ScanJpegSegments(jpeg);

    return Fenced([&] {
        Exiv2::ExifData& exif = state_->exif;

        // The pixel-dimension tags describe the image they travel with, not the source.
        auto x = exif.findKey(Exiv2::ExifKey(kKeyPixelX));
        auto y = exif.findKey(Exiv2::ExifKey(kKeyPixelY));
        if (x != exif.end() || y != exif.end()) {
            if (std::optional<FrameSize> frame = FirstFrameSize(jpeg, layout)) {
                const Exiv2::TypeId xType = x != exif.end() ? x->typeId() : y->typeId();
                const Exiv2::TypeId yType = y != exif.end() ? y->typeId() : x->typeId();
                SetDimension(exif, kKeyPixelX, frame->width, xType);
                SetDimension(exif, kKeyPixelY, frame->height, yType);
            }
        }

        // Padding tags only reserve room for in-place editors; they are left out.
        for (auto it = exif.begin(); it != exif.end();)
            it = it->tag() == kTagPadding || it->tag() == kTagOffsetSchema ? exif.erase(it) : std::next(it);

        Exiv2::Blob block;
        if (!exif.empty()) {
            Exiv2::ExifParser::encode(block, state_->byteOrder, exif);
            if (block.size() > kMaxSegmentData - sizeof kExifSignature)
                throw Error("EXIF: the EXIF data is too large for a JPEG segment");
        }

        std::string packet;
        if (!state_->xmp.empty()) {
            if (!state_->xmpChanged) {
                packet = state_->xmpPacket;
            } else {
                // No padding for editing in place: the segment is always rewritten whole.
                if (Exiv2::XmpParser::encode(packet, state_->xmp, Exiv2::XmpParser::useCompactFormat, 1) != 0)
                    throw Error("EXIF: the XMP packet cannot be encoded");
            }
            if (packet.size() > kMaxSegmentData - kXmpSignatureSize)
                throw Error("EXIF: the XMP packet is too large for a JPEG segment");
        }

        std::vector<std::uint8_t> out;
        out.reserve(jpeg.size() + block.size() + packet.size() + 64);
        out.push_back(0xFF);
        out.push_back(0xD8);
        for (const JpegSegment& s : layout.segments)
            if (s.marker == 0xE0) out.insert(out.end(), jpeg.begin() + s.begin, jpeg.begin() + s.end);
        if (!block.empty()) AppendSegment(out, kExifSignature, block);
        if (!packet.empty())
            AppendSegment(out, {reinterpret_cast<const std::uint8_t*>(kXmpSignature), kXmpSignatureSize},
                          {reinterpret_cast<const std::uint8_t*>(packet.data()), packet.size()});

        bool exifLeftOut = false;
        bool xmpLeftOut = false;
        for (const JpegSegment& s : layout.segments) {
            if (s.marker == 0xE0) continue;
            if (s.marker == 0xE1) {
                const std::uint8_t* data = jpeg.data() + s.dataBegin;
                if (!exifLeftOut && IsExifBlock(data, s.dataSize())) {
                    exifLeftOut = true;
                    continue;
                }
                if (!xmpLeftOut && IsXmpPacket(data, s.dataSize())) {
                    xmpLeftOut = true;
                    continue;
                }
            }
            out.insert(out.end(), jpeg.begin() + s.begin, jpeg.begin() + s.end);
        }
        out.insert(out.end(), jpeg.begin() + layout.restBegin, jpeg.end());
        return out;
    });
}

std::vector<std::uint8_t> JpegWithoutExif(std::span<const std::uint8_t> jpeg) {
    if (jpeg.size() < 2 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return {jpeg.begin(), jpeg.end()};
    const JpegHeaderSegments layout = ScanJpegSegments(jpeg);
    std::vector<std::uint8_t> out;
    out.reserve(jpeg.size());
    out.insert(out.end(), jpeg.begin(), jpeg.begin() + 2);
    for (const JpegSegment& s : layout.segments) {
        if (s.marker == 0xE1 && HasExifSignature(jpeg.data() + s.dataBegin, s.dataSize())) continue;
        out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(s.begin),
                   jpeg.begin() + static_cast<std::ptrdiff_t>(s.end));
    }
    out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(layout.restBegin), jpeg.end());
    return out;
}

void ExifRecord::WriteIntoJpegFile(const std::string& path) {
    const std::vector<std::uint8_t> jpeg = ReadFileBytes(path);
    const std::vector<std::uint8_t> rewritten = RewriteJpeg(jpeg);
    WriteFileAtomically(path, rewritten);
}

}  // namespace zelvan
