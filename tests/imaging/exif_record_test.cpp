#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <optional>
#include <random>
#include <sstream>

#include "base/error.h"
#include "imaging/exif_record.h"
#include "imaging/readers/readers.h"
#include "imaging/writers/writers.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Text(std::string_view s) { return Bytes(s.begin(), s.end()); }

const Bytes kSoi = {0xFF, 0xD8};

Bytes Segment(std::uint8_t marker, const Bytes& data) {
    const std::size_t length = data.size() + 2;
    return Concat({{0xFF, marker, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)}, data});
}

Bytes ExifSegment(const Bytes& tiff) { return Segment(0xE1, Concat({Text(std::string_view("Exif\0\0", 6)), tiff})); }

Bytes XmpSegment(std::string_view packet) {
    return Segment(0xE1, Concat({Text(std::string_view("http://ns.adobe.com/xap/1.0/\0", 29)), Text(packet)}));
}

// A baseline JFIF from the project's encoder: SOI, APP0, DQT, SOF0, DHT, SOS, data, EOI.
Bytes FreshJpeg(int width, int height) {
    Raster image(width, height, 24);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width * 3; ++x) image.row(y)[x] = static_cast<std::uint8_t>(x + 3 * y);
    return EncodeJpeg(image, 85, false);
}

// The encoder's APP0 segment and everything after it (DQT onwards).
struct JpegParts {
    Bytes app0;
    Bytes tail;
};

JpegParts Split(const Bytes& fresh) {
    EXPECT_EQ(fresh[3], 0xE0);
    const std::size_t end = 4 + (std::size_t{fresh[4]} << 8 | fresh[5]);
    return {Bytes(fresh.begin() + 2, fresh.begin() + static_cast<std::ptrdiff_t>(end)),
            Bytes(fresh.begin() + static_cast<std::ptrdiff_t>(end), fresh.end())};
}

// The segments up to the first scan, by name: "SOI", "APP0", "APP1 Exif", "APP1 XMP", "DQT"...
std::vector<std::string> SegmentNames(const Bytes& jpeg) {
    std::vector<std::string> names;
    if (jpeg.size() < 2 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return {"no SOI"};
    names.push_back("SOI");
    std::size_t pos = 2;
    while (pos + 4 <= jpeg.size()) {
        if (jpeg[pos] != 0xFF) return names.push_back("junk"), names;
        const std::uint8_t marker = jpeg[pos + 1];
        if (marker == 0xDA) return names.push_back("SOS"), names;
        const std::size_t length = std::size_t{jpeg[pos + 2]} << 8 | jpeg[pos + 3];
        const std::string data(jpeg.begin() + static_cast<std::ptrdiff_t>(pos + 4),
                               jpeg.begin() + static_cast<std::ptrdiff_t>(std::min(jpeg.size(), pos + 2 + length)));
        std::string name;
        if (marker >= 0xE0 && marker <= 0xEF) {
            name = "APP" + std::to_string(marker - 0xE0);
            if (data.starts_with(std::string_view("Exif\0\0", 6))) name += " Exif";
            if (data.starts_with(std::string_view("http://ns.adobe.com/xap/1.0/\0", 29))) name += " XMP";
        } else {
            switch (marker) {
                case 0xDB: name = "DQT"; break;
                case 0xC4: name = "DHT"; break;
                case 0xC0: name = "SOF0"; break;
                case 0xFE: name = "COM"; break;
                default: name = "marker " + std::to_string(marker);
            }
        }
        names.push_back(name);
        pos += 2 + length;
    }
    names.push_back("cut short");
    return names;
}

// The payload of the first segment whose name SegmentNames gives as `name`.
std::string SegmentData(const Bytes& jpeg, std::string_view name) {
    std::size_t pos = 2;
    for (const std::string& n : SegmentNames(jpeg)) {
        if (n == "SOI") continue;
        if (n == "SOS" || pos + 4 > jpeg.size()) break;
        const std::size_t length = std::size_t{jpeg[pos + 2]} << 8 | jpeg[pos + 3];
        if (n == name)
            return std::string(jpeg.begin() + static_cast<std::ptrdiff_t>(pos + 4),
                               jpeg.begin() + static_cast<std::ptrdiff_t>(pos + 2 + length));
        pos += 2 + length;
    }
    return {};
}

// A TIFF structure for an EXIF segment: the main directory and, when given, the EXIF
// sub-directory, each value laid out after its directory.
struct Field {
    std::uint16_t tag;
    std::uint16_t type;  // 1 BYTE, 2 ASCII, 3 SHORT, 4 LONG, 7 UNDEFINED
    std::uint32_t count;
    Bytes raw;                 // BYTE, ASCII and UNDEFINED
    std::uint32_t number = 0;  // SHORT and LONG
};

Field Ascii(std::uint16_t tag, std::string_view s) {
    return {tag, 2, static_cast<std::uint32_t>(s.size() + 1), Concat({Text(s), {0}})};
}
Field Short(std::uint16_t tag, std::uint32_t v) { return {tag, 3, 1, {}, v}; }
Field Long(std::uint16_t tag, std::uint32_t v) { return {tag, 4, 1, {}, v}; }
Field Undefined(std::uint16_t tag, const Bytes& b) { return {tag, 7, static_cast<std::uint32_t>(b.size()), b}; }

void Put(Bytes& b, std::uint32_t v, int size, bool big) {
    for (int i = 0; i < size; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * (big ? size - 1 - i : i))));
}

std::size_t OutOfLine(const Field& f) { return f.raw.size() > 4 ? (f.raw.size() + 1) / 2 * 2 : 0; }

std::size_t IfdSize(const std::vector<Field>& fields) {
    std::size_t size = 2 + 12 * fields.size() + 4;
    for (const Field& f : fields) size += OutOfLine(f);
    return size;
}

void WriteIfd(Bytes& out, std::vector<Field> fields, bool big) {
    std::sort(fields.begin(), fields.end(), [](const Field& a, const Field& b) { return a.tag < b.tag; });
    std::size_t data = out.size() + 2 + 12 * fields.size() + 4;
    Put(out, static_cast<std::uint32_t>(fields.size()), 2, big);
    for (const Field& f : fields) {
        Put(out, f.tag, 2, big);
        Put(out, f.type, 2, big);
        Put(out, f.count, 4, big);
        if (f.type == 3) {
            Put(out, f.number, 2, big);
            Put(out, 0, 2, big);
        } else if (f.type == 4) {
            Put(out, f.number, 4, big);
        } else if (f.raw.size() <= 4) {
            Bytes inline4 = f.raw;
            inline4.resize(4);
            out.insert(out.end(), inline4.begin(), inline4.end());
        } else {
            Put(out, static_cast<std::uint32_t>(data), 4, big);
            data += OutOfLine(f);
        }
    }
    Put(out, 0, 4, big);
    for (const Field& f : fields)
        if (OutOfLine(f)) {
            out.insert(out.end(), f.raw.begin(), f.raw.end());
            if (f.raw.size() % 2) out.push_back(0);
        }
}

Bytes TiffBlock(std::vector<Field> main, const std::vector<Field>& exif = {}, bool big = false) {
    Bytes out = big ? Bytes{'M', 'M', 0, 42} : Bytes{'I', 'I', 42, 0};
    Put(out, 8, 4, big);
    if (!exif.empty()) main.push_back(Long(0x8769, static_cast<std::uint32_t>(8 + IfdSize(main) + 12)));
    WriteIfd(out, main, big);
    if (!exif.empty()) WriteIfd(out, exif, big);
    return out;
}

// A JPEG file: SOI, the given segments, then the fresh file's tables and scan.
Bytes JpegWith(std::initializer_list<Bytes> segments, const Bytes& tail) {
    Bytes out = kSoi;
    for (const Bytes& s : segments) out.insert(out.end(), s.begin(), s.end());
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

void Read(ExifRecord& record, const Bytes& jpeg) {
    std::istringstream in(std::string(jpeg.begin(), jpeg.end()));
    record.ReadFromJpegStream(in);
}

using test::ExifToolTags;

// Runs body and aborts the whole program when it has not ended in time: a hang must fail the
// run, not stall it.
template <class F>
void WithinSeconds(int seconds, const std::string& what, F body) {
    auto done = std::async(std::launch::async, body);
    if (done.wait_for(std::chrono::seconds(seconds)) == std::future_status::timeout) {
        std::fprintf(stderr, "%s: still running after %d seconds\n", what.c_str(), seconds);
        std::abort();
    }
    done.get();
}

const ExifDateTime kStamp{2024, 1, 5, 9, 3, 7, 45};

constexpr std::string_view kXmpWithSoftware =
    R"(<?xpacket begin="" id="W5M0MpCehiHzreSzNTczkc9d"?><x:xmpmeta xmlns:x="adobe:ns:meta/">)"
    R"(<rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#"><rdf:Description rdf:about="")"
    R"( xmlns:tiff="http://ns.adobe.com/tiff/1.0/" xmlns:xmp="http://ns.adobe.com/xap/1.0/")"
    R"( xmlns:dc="http://purl.org/dc/elements/1.1/" tiff:Software="Firmware 1.0" xmp:CreatorTool="Firmware 1.0">)"
    R"(<dc:title><rdf:Alt><rdf:li xml:lang="x-default">Harbour</rdf:li></rdf:Alt></dc:title>)"
    R"(</rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end="w"?>)";

constexpr std::string_view kXmpWithDateTime =
    R"(<?xpacket begin="" id="W5M0MpCehiHzreSzNTczkc9d"?><x:xmpmeta xmlns:x="adobe:ns:meta/">)"
    R"(<rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#"><rdf:Description rdf:about="")"
    R"( xmlns:tiff="http://ns.adobe.com/tiff/1.0/" xmlns:dc="http://purl.org/dc/elements/1.1/")"
    R"( tiff:DateTime="2019-03-04T05:06:07"><dc:title><rdf:Alt><rdf:li xml:lang="x-default">Harbour</rdf:li>)"
    R"(</rdf:Alt></dc:title></rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end="w"?>)";

std::string GoexifDir() {
    return test::CorporaDir() + "/golang-github-rwcarlsen-goexif-dev/usr/share/gocode/src/github.com/rwcarlsen/goexif";
}

TEST(ExifRecord, RewriteKeepsTheSegmentOrder) {
    const JpegParts fresh = Split(FreshJpeg(16, 8));
    const Bytes otherApp0 = Segment(0xE0, Text(std::string_view("JFXX\0\x13", 6)));
    const Bytes oldExif = ExifSegment(TiffBlock({Ascii(305, "Old editor")}));
    const Bytes secondExif = ExifSegment(TiffBlock({Ascii(305, "Second block")}));
    const Bytes oldXmp = XmpSegment("<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"/>");
    const Bytes icc = Segment(0xE2, Text("ICC_PROFILE"));
    const Bytes comment = Segment(0xFE, Text("a comment"));
    const Bytes withXmp = JpegWith({ExifSegment(TiffBlock({Undefined(700, Text(kXmpWithSoftware))}))}, fresh.tail);

    struct Case {
        const char* name;
        Bytes file;
        Bytes recordSource;  // the JPEG the record is read from; none when empty
        bool stamped;        // Software and DateTime set
        std::vector<std::string> expected;
    };
    const std::vector<std::string> tables = {"DQT", "DQT", "SOF0", "DHT", "DHT", "DHT", "DHT", "SOS"};
    auto with = [&](std::vector<std::string> head) {
        head.insert(head.end(), tables.begin(), tables.end());
        return head;
    };
    ASSERT_EQ(SegmentNames(JpegWith({fresh.app0}, fresh.tail)), with({"SOI", "APP0"}));
    const std::vector<Case> cases = {
        {"fresh JFIF file, record stamped from nothing", JpegWith({fresh.app0}, fresh.tail), {}, true,
         with({"SOI", "APP0", "APP1 Exif"})},
        {"APP0 segments move forward, the first EXIF and XMP segments are replaced",
         JpegWith({oldXmp, fresh.app0, oldExif, icc, comment, secondExif, otherApp0}, fresh.tail), withXmp, true,
         with({"SOI", "APP0", "APP0", "APP1 Exif", "APP1 XMP", "APP2", "COM", "APP1 Exif"})},
        {"an empty record leaves the old block out", JpegWith({fresh.app0, oldExif, icc}, fresh.tail), {}, false,
         with({"SOI", "APP0", "APP2"})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ExifRecord record;
        if (!c.recordSource.empty()) Read(record, c.recordSource);
        if (c.stamped) {
            record.SetText(kExifTagSoftware, "Zelvan test");
            record.SetDateTime(kStamp);
        }
        const Bytes out = record.RewriteJpeg(c.file);
        EXPECT_EQ(SegmentNames(out), c.expected);
        // From the tables on, the file is copied byte for byte.
        ASSERT_GE(out.size(), fresh.tail.size());
        EXPECT_TRUE(std::equal(fresh.tail.begin(), fresh.tail.end(), out.end() - static_cast<std::ptrdiff_t>(fresh.tail.size())));
        if (c.stamped) {
            ExifRecord again;
            Read(again, out);
            EXPECT_EQ(again.Text(kExifTagSoftware), "Zelvan test");
        }
    }
    // The XMP segment written is the record's, not the file's old one.
    ExifRecord record;
    Read(record, withXmp);
    record.SetText(kExifTagSoftware, "Zelvan test");
    const std::string xmp = SegmentData(record.RewriteJpeg(cases[1].file), "APP1 XMP");
    EXPECT_NE(xmp.find("Zelvan test"), std::string::npos);
    EXPECT_NE(xmp.find("Harbour"), std::string::npos);
}

TEST(ExifRecord, CameraJpegKeepsItsTagsAndGetsTheNewStamp) {
    const std::string source = GoexifDir() + "/exif/sample1.jpg";
    ASSERT_TRUE(std::filesystem::exists(source)) << source;
    test::TempDir dir;
    const std::string output = dir / "out.jpg";
    test::WriteBytes(output, FreshJpeg(800, 600));

    ExifRecord record;
    std::ifstream in(source, std::ios::binary);
    record.ReadFromJpegStream(in);
    ASSERT_FALSE(record.Empty());
    record.SetText(kExifTagSoftware, "Zelvan v9.8.7");
    record.SetDateTime(kStamp);
    record.WriteIntoJpegFile(output);

    std::map<std::string, std::string> before = ExifToolTags(source);
    std::map<std::string, std::string> after = ExifToolTags(output);
    ASSERT_EQ(before["IFD0:Make"], "NIKON CORPORATION");
    ASSERT_EQ(before["ExifIFD:ExifImageWidth"], "500");
    EXPECT_EQ(after["IFD0:Software"], "Zelvan v9.8.7");
    EXPECT_EQ(after["IFD0:ModifyDate"], "2024:01:05 09:03:07");
    EXPECT_EQ(after["ExifIFD:SubSecTime"], "045");
    EXPECT_EQ(after["ExifIFD:ExifImageWidth"], "800");
    EXPECT_EQ(after["ExifIFD:ExifImageHeight"], "600");
    // Every other EXIF tag, GPS and the thumbnail included, is what the camera wrote. The
    // separate XMP segment of the source is not the record's.
    for (const auto& [tag, value] : before) {
        if (tag.starts_with("XMP") || tag == "IFD0:Software" || tag == "IFD0:ModifyDate" || tag == "ExifIFD:SubSecTime" ||
            tag == "ExifIFD:ExifImageWidth" || tag == "ExifIFD:ExifImageHeight" || tag == "IFD1:ThumbnailOffset")
            continue;
        EXPECT_EQ(after[tag], value) << tag;
    }
    EXPECT_EQ(after["IFD1:ThumbnailLength"], "4034");
    EXPECT_EQ(ReadJpeg(test::ReadBytes(output)).raster.width(), 800);
}

TEST(ExifRecord, SourceWithoutExifGetsOnlySoftwareAndDateTime) {
    test::TempDir dir;
    const std::string output = dir / "out.jpg";
    const Bytes fresh = FreshJpeg(40, 30);
    test::WriteBytes(output, fresh);

    ExifRecord record;
    Read(record, fresh);
    EXPECT_TRUE(record.Empty());
    EXPECT_FALSE(record.DateTime());
    record.SetText(kExifTagSoftware, "Zelvan v9.8.7");
    record.SetDateTime(kStamp);
    record.WriteIntoJpegFile(output);

    const std::map<std::string, std::string> expected = {{"IFD0:Software", "Zelvan v9.8.7"},
                                                         {"IFD0:ModifyDate", "2024:01:05 09:03:07"}};
    EXPECT_EQ(ExifToolTags(output), expected);
    EXPECT_EQ(SegmentNames(test::ReadBytes(output))[2], "APP1 Exif");
}

TEST(ExifRecord, FindsTheFirstApp1ThatCarriesExif) {
    const JpegParts fresh = Split(FreshJpeg(8, 8));
    const Bytes dated = ExifSegment(TiffBlock({Ascii(306, "2011:07:04 15:30:12")}));
    const Bytes otherDate = ExifSegment(TiffBlock({Ascii(306, "1999:01:01 00:00:00")}));
    // "Exif\0\0" followed by something that is not a TIFF header does not count.
    const Bytes notTiff = Segment(0xE1, Text(std::string_view("Exif\0\0XX*\0\x08\0\0\0", 14)));
    const Bytes xmp = XmpSegment(kXmpWithDateTime);
    const ExifDateTime expected{2011, 7, 4, 15, 30, 12, 0};
    struct Case {
        const char* name;
        Bytes file;
    };
    for (const Case& c : {Case{"after an XMP segment", JpegWith({fresh.app0, xmp, dated}, fresh.tail)},
                          Case{"after a bad signature", JpegWith({notTiff, dated}, fresh.tail)},
                          Case{"the first of two", JpegWith({dated, otherDate}, fresh.tail)},
                          Case{"big-endian", JpegWith({ExifSegment(TiffBlock({Ascii(306, "2011:07:04 15:30:12")}, {}, true))},
                                                      fresh.tail)},
                          Case{"after fill bytes and restart markers", Concat({kSoi, {0xFF, 0xFF, 0xD0}, {0xFF}, dated, fresh.tail})}}) {
        SCOPED_TRACE(c.name);
        ExifRecord record;
        Read(record, c.file);
        EXPECT_EQ(record.DateTime(), expected);
    }
    // EXIF after the first scan, or only in a separate XMP packet, is not looked for.
    for (const Bytes& file : {JpegWith({fresh.app0, xmp}, fresh.tail), Concat({JpegWith({}, fresh.tail), dated})}) {
        ExifRecord record;
        Read(record, file);
        EXPECT_TRUE(record.Empty());
    }
}

TEST(ExifRecord, DateTimeReadsTag306WithSubSecTime) {
    const JpegParts fresh = Split(FreshJpeg(8, 8));
    struct Case {
        std::string dateTime;
        std::optional<std::string> subSec;
        std::optional<ExifDateTime> expected;
    };
    const std::vector<Case> cases = {
        {"2011:07:04 15:30:12", std::nullopt, ExifDateTime{2011, 7, 4, 15, 30, 12, 0}},
        {"2011:07:04 15:30:12", "5", ExifDateTime{2011, 7, 4, 15, 30, 12, 500}},
        {"2011:07:04 15:30:12", "063", ExifDateTime{2011, 7, 4, 15, 30, 12, 63}},
        {"2011:07:04 15:30:12", "12345", ExifDateTime{2011, 7, 4, 15, 30, 12, 123}},
        {"2011:07:04 15:30:12", "abc", ExifDateTime{2011, 7, 4, 15, 30, 12, 0}},
        {"2024:02:29 23:59:59", std::nullopt, ExifDateTime{2024, 2, 29, 23, 59, 59, 0}},
        {"2023:02:29 10:00:00", std::nullopt, std::nullopt},
        {"0000:00:00 00:00:00", std::nullopt, std::nullopt},
        {"    :  :     :  :  ", std::nullopt, std::nullopt},
        {"2011:07:04 24:00:00", std::nullopt, std::nullopt},
        {"2011:07:04", std::nullopt, std::nullopt},
        {"", std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dateTime + " / " + c.subSec.value_or("none"));
        std::vector<Field> exif;
        if (c.subSec) exif.push_back(Ascii(37520, *c.subSec));
        ExifRecord record;
        Read(record, JpegWith({ExifSegment(TiffBlock({Ascii(306, c.dateTime), Ascii(271, "Maker")}, exif))}, fresh.tail));
        EXPECT_EQ(record.DateTime(), c.expected);
    }
    ExifRecord withoutTag;
    Read(withoutTag, JpegWith({ExifSegment(TiffBlock({Ascii(271, "Maker")}))}, fresh.tail));
    EXPECT_FALSE(withoutTag.Empty());
    EXPECT_FALSE(withoutTag.DateTime());
}

TEST(ExifRecord, DateTimeWritingUpdatesSubSecTimeOnlyWhenPresent) {
    const Bytes fresh = FreshJpeg(8, 8);
    const JpegParts parts = Split(fresh);
    test::TempDir dir;
    for (bool withSubSec : {true, false}) {
        SCOPED_TRACE(withSubSec ? "with SubSecTime" : "without SubSecTime");
        std::vector<Field> exif = {Ascii(36867, "2001:02:03 04:05:06")};
        if (withSubSec) exif.push_back(Ascii(37520, "63"));
        ExifRecord record;
        Read(record, JpegWith({ExifSegment(TiffBlock({Ascii(306, "2001:02:03 04:05:06")}, exif))}, parts.tail));
        record.SetDateTime(kStamp);
        EXPECT_EQ(record.Text(kExifTagDateTime), "2024:01:05 09:03:07");

        const std::string output = dir / "out.jpg";
        test::WriteBytes(output, fresh);
        record.WriteIntoJpegFile(output);
        std::map<std::string, std::string> tags = ExifToolTags(output);
        EXPECT_EQ(tags["IFD0:ModifyDate"], "2024:01:05 09:03:07");
        EXPECT_EQ(tags.count("ExifIFD:SubSecTime"), withSubSec ? 1u : 0u);
        if (withSubSec) {
            EXPECT_EQ(tags["ExifIFD:SubSecTime"], "045");
        }
        EXPECT_EQ(tags["ExifIFD:DateTimeOriginal"], "2001:02:03 04:05:06");

        ExifRecord again;
        Read(again, test::ReadBytes(output));
        EXPECT_EQ(again.DateTime(), (ExifDateTime{2024, 1, 5, 9, 3, 7, withSubSec ? 45 : 0}));
    }
}

TEST(ExifRecord, PixelDimensionsFollowTheWrittenFrame) {
    test::TempDir dir;
    const Bytes fresh = FreshJpeg(800, 600);
    const JpegParts parts = Split(fresh);
    struct Case {
        const char* name;
        std::vector<Field> exif;
        const char* width;  // nullptr: no tag afterwards
        const char* height;
    };
    const std::vector<Case> cases = {
        {"SHORT tags", {Short(40962, 4000), Short(40963, 3000)}, "800", "600"},
        {"LONG tags", {Long(40962, 4000), Long(40963, 3000)}, "800", "600"},
        {"only the width", {Long(40962, 4000)}, "800", "600"},
        {"neither", {Ascii(36867, "2001:02:03 04:05:06")}, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string output = dir / "out.jpg";
        test::WriteBytes(output, fresh);
        ExifRecord record;
        Read(record, JpegWith({ExifSegment(TiffBlock({Ascii(271, "Maker")}, c.exif))}, parts.tail));
        record.WriteIntoJpegFile(output);
        std::map<std::string, std::string> tags = ExifToolTags(output);
        EXPECT_EQ(tags.count("ExifIFD:ExifImageWidth") ? tags["ExifIFD:ExifImageWidth"] : "none", c.width ? c.width : "none");
        EXPECT_EQ(tags.count("ExifIFD:ExifImageHeight") ? tags["ExifIFD:ExifImageHeight"] : "none", c.height ? c.height : "none");
    }
}

TEST(ExifRecord, PaddingTagsAreLeftOut) {
    const JpegParts parts = Split(FreshJpeg(8, 8));
    ExifRecord record;
    Read(record, JpegWith({ExifSegment(TiffBlock({Ascii(271, "Maker"), Undefined(0xEA1C, Bytes(2060, 0))},
                                                 {Undefined(0xEA1C, Bytes(1000, 0)), Long(0xEA1D, 4000)}))},
                          parts.tail));
    const Bytes out = record.RewriteJpeg(JpegWith({parts.app0}, parts.tail));
    const std::string block = SegmentData(out, "APP1 Exif");
    EXPECT_LT(block.size(), 200u);
    EXPECT_NE(block.find("Maker"), std::string::npos);
}

TEST(ExifRecord, XmpPacketOfTheBlockIsUpdatedOnlyWherePresent) {
    test::TempDir dir;
    const Bytes fresh = FreshJpeg(8, 8);
    const JpegParts parts = Split(fresh);
    struct Case {
        const char* name;
        std::string_view packet;
        std::map<std::string, std::string> expected;  // "" for a property that must be absent
    };
    const std::vector<Case> cases = {
        {"Software and CreatorTool",
         kXmpWithSoftware,
         {{"XMP-tiff:Software", "Zelvan v9.8.7"},
          {"XMP-xmp:CreatorTool", "Zelvan v9.8.7"},
          {"XMP-tiff:DateTime", ""},
          {"XMP-dc:Title", "Harbour"}}},
        {"DateTime",
         kXmpWithDateTime,
         {{"XMP-tiff:Software", ""},
          {"XMP-xmp:CreatorTool", ""},
          {"XMP-tiff:DateTime", "2024:01:05 09:03:07"},
          {"XMP-dc:Title", "Harbour"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ExifRecord record;
        Read(record, JpegWith({ExifSegment(TiffBlock({Ascii(271, "Maker"), Undefined(700, Text(c.packet))}))}, parts.tail));
        EXPECT_TRUE(record.HasXmpPacket());
        record.SetText(kExifTagSoftware, "Zelvan v9.8.7");
        record.SetDateTime(kStamp);
        const std::string output = dir / "out.jpg";
        test::WriteBytes(output, fresh);
        record.WriteIntoJpegFile(output);
        std::map<std::string, std::string> tags = ExifToolTags(output);
        for (const auto& [tag, value] : c.expected) {
            if (value.empty()) EXPECT_EQ(tags.count(tag), 0u) << tag;
            else EXPECT_EQ(tags[tag], value) << tag;
        }
        // The packet travels once, in its own segment.
        const std::vector<std::string> names = SegmentNames(test::ReadBytes(output));
        EXPECT_EQ(std::count(names.begin(), names.end(), "APP1 XMP"), 1);
        EXPECT_EQ(SegmentData(test::ReadBytes(output), "APP1 Exif").find("xpacket"), std::string::npos);
    }
    // A packet that does not parse is no XMP packet: no XMP segment is written.
    ExifRecord broken;
    Read(broken, JpegWith({ExifSegment(TiffBlock({Undefined(700, Text("<x:xmpmeta <<< not xml"))}))}, parts.tail));
    EXPECT_FALSE(broken.HasXmpPacket());
    const std::vector<std::string> names = SegmentNames(broken.RewriteJpeg(fresh));
    EXPECT_EQ(std::count(names.begin(), names.end(), "APP1 XMP"), 0);
}

TEST(ExifRecord, JpegHeaderIsNotValid) {
    test::TempDir dir;
    const Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 0};
    for (const Bytes& notJpeg : {png, Bytes{}, Bytes{0xFF}, Bytes{0xD8, 0xFF, 0xE1}}) {
        ExifRecord record;
        try {
            Read(record, notJpeg);
            ADD_FAILURE() << "read without an error";
        } catch (const Error& e) {
            EXPECT_STREQ(e.what(), "JPEG header is not valid");
        }
        const std::string output = dir / "out.png";
        test::WriteBytes(output, notJpeg);
        record.SetText(kExifTagSoftware, "Zelvan test");
        try {
            record.WriteIntoJpegFile(output);
            ADD_FAILURE() << "written without an error";
        } catch (const Error& e) {
            EXPECT_STREQ(e.what(), "JPEG header is not valid");
        }
        EXPECT_EQ(test::ReadBytes(output), notJpeg);
    }
    ExifRecord record;
    EXPECT_THROW(record.WriteIntoJpegFile(dir / "missing.jpg"), Error);
    EXPECT_FALSE(std::filesystem::exists(dir / "missing.jpg"));
}

TEST(ExifRecord, ReadsABareBlockInEitherByteOrder) {
    for (const bool big : {false, true}) {
        SCOPED_TRACE(big ? "Motorola" : "Intel");
        const Bytes block = TiffBlock({Ascii(271, "Acme"), Short(0x0112, 6), Ascii(306, "2011:07:04 15:30:12")},
                                      {Ascii(37520, "5")}, big);
        ExifRecord record;
        record.ReadFromTiffBlock(block);
        EXPECT_EQ(record.Text(271), "Acme");
        EXPECT_EQ(record.Orientation(), 6);
        EXPECT_EQ(record.DateTime(), (ExifDateTime{2011, 7, 4, 15, 30, 12, 500}));
        // Written back in the byte order it was read in, the tags as they were.
        const Bytes written = record.TiffBlock(10, 20);
        ASSERT_GE(written.size(), 8u);
        EXPECT_EQ(written[0], big ? 'M' : 'I');
        ExifRecord again;
        again.ReadFromTiffBlock(written);
        EXPECT_EQ(again.Text(271), "Acme");
        EXPECT_EQ(again.Orientation(), 6);

        // Anything but a TIFF structure is refused, and the record keeps what it held.
        for (const Bytes& wrong : {Concat({Text(std::string_view("Exif\0\0", 6)), block}), Bytes{'I', 'I', 43, 0, 8, 0, 0, 0},
                                   Bytes{'M', 'M'}}) {
            EXPECT_THROW(record.ReadFromTiffBlock(wrong), Error);
            EXPECT_EQ(record.Text(271), "Acme");
        }
        record.ReadFromTiffBlock({});
        EXPECT_TRUE(record.Empty());
    }
}

TEST(ExifRecord, JpegWithoutExifLeavesOutOnlyTheExifSegments) {
    const JpegParts fresh = Split(FreshJpeg(16, 8));
    const Bytes exif = ExifSegment(TiffBlock({Ascii(271, "Acme")}));
    // Signed as EXIF but holding no TIFF structure: still the EXIF segment to a JPEG XL recompression.
    const Bytes brokenExif = Segment(0xE1, Text(std::string_view("Exif\0\0junk", 10)));
    const Bytes xmp = XmpSegment("<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"/>");
    const Bytes icc = Segment(0xE2, Text("ICC_PROFILE"));
    const Bytes comment = Segment(0xFE, Text("Exif\0\0 in a comment"));
    const Bytes otherApp1 = Segment(0xE1, Text("Exi"));
    struct Case {
        const char* name;
        Bytes file;
        Bytes expected;
    };
    const Case cases[] = {
        {"one EXIF segment among others", JpegWith({fresh.app0, exif, xmp, icc, comment}, fresh.tail),
         JpegWith({fresh.app0, xmp, icc, comment}, fresh.tail)},
        {"every EXIF segment, broken ones too", JpegWith({exif, fresh.app0, brokenExif, otherApp1, exif}, fresh.tail),
         JpegWith({fresh.app0, otherApp1}, fresh.tail)},
        {"no EXIF segment", JpegWith({fresh.app0, xmp}, fresh.tail), JpegWith({fresh.app0, xmp}, fresh.tail)},
        {"not a JPEG", Text("GIF89a"), Text("GIF89a")},
        {"cut short inside the segment", Concat({kSoi, Bytes(exif.begin(), exif.end() - 3)}),
         Concat({kSoi, Bytes(exif.begin(), exif.end() - 3)})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(JpegWithoutExif(c.file), c.expected);
    }
}

// Little-endian TIFF bytes written field by field, for blocks no writer would make.
struct Le {
    Bytes b = {'I', 'I', 42, 0};
    Le& u16(std::uint32_t v) { return Put(b, v, 2, false), *this; }
    Le& u32(std::uint32_t v) { return Put(b, v, 4, false), *this; }
    Le& entry(std::uint16_t tag, std::uint16_t type, std::uint32_t count, std::uint32_t value) {
        return u16(tag).u16(type).u32(count).u32(value);
    }
    Le& text(std::string_view s) { return b.insert(b.end(), s.begin(), s.end()), *this; }
};

Bytes RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 random(seed);
    Bytes out(n);
    for (auto& v : out) v = static_cast<std::uint8_t>(random());
    return out;
}

TEST(ExifRecord, HostileBlocksGiveAnErrorOrWhatTheyHoldAndNeverHang) {
    const Bytes fresh = FreshJpeg(16, 16);
    const JpegParts parts = Split(fresh);
    const std::string_view date("2011:07:04 15:30:12\0", 20);
    struct Case {
        std::string name;
        Bytes file;
        bool dateSurvives;  // the DateTime in front of the damage is still read
    };
    auto exif = [&](const Bytes& tiff) { return JpegWith({parts.app0, ExifSegment(tiff)}, parts.tail); };
    std::string nested;
    for (int i = 0; i < 1700; ++i) nested += "<rdf:Bag><rdf:li>";
    for (int i = 0; i < 1700; ++i) nested += "</rdf:li></rdf:Bag>";
    const Bytes deepXmp = Text(R"(<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">)"
                               R"(<rdf:Description rdf:about="" xmlns:dc="http://purl.org/dc/elements/1.1/"><dc:subject>)" +
                               nested + "</dc:subject></rdf:Description></rdf:RDF></x:xmpmeta>");
    // IFD0 at 8 with DateTime at 26 (one entry) or at 38 (two entries).
    const std::vector<Case> cases = {
        {"IFD0 whose next directory is itself", exif(Le().u32(8).u16(1).entry(306, 2, 20, 26).u32(8).text(date).b), true},
        {"EXIF sub-directory pointing back at IFD0",
         exif(Le().u32(8).u16(2).entry(306, 2, 20, 38).entry(0x8769, 4, 1, 8).u32(0).text(date).b), true},
        {"IFD1 looping back to IFD0 with a thumbnail past the end",
         exif(Le().u32(8).u16(1).entry(306, 2, 20, 26).u32(46).text(date)
                  .u16(2).entry(0x0201, 4, 1, 0xFFFFFF00).entry(0x0202, 4, 1, 0xFFFFFFFF).u32(8).b),
         true},
        {"entry count 65535 in a short block", exif(Le().u32(8).u16(0xFFFF).entry(306, 2, 20, 26).u32(0).b), false},
        {"offsets past the end",
         exif(Le().u32(8).u16(3).entry(306, 2, 20, 0xFFFFFFF0).entry(0x8769, 4, 1, 0x7FFFFFFF).entry(0x8825, 4, 1, 0xFFFFFFFF)
                  .u32(0xFFFFFF00).b),
         false},
        {"counts near 2^32",
         exif(Le().u32(8).u16(2).entry(271, 2, 0xFFFFFFFF, 8).entry(282, 5, 0x40000000, 8).u32(0).b), false},
        {"first directory past the end", exif(Le().u32(0xFFFFFFF8).b), false},
        {"header only", exif(Le().b), false},
        {"maker note of junk",
         exif(Le().u32(8).u16(3).entry(271, 2, 6, 50).entry(306, 2, 20, 56).entry(0x8769, 4, 1, 76).u32(0)
                  .text(std::string_view("NIKON\0", 6)).text(date)
                  .u16(1).entry(0x927C, 7, 200, 94).u32(0)
                  .text(std::string_view("Nikon\0\x02\x10\0\0MM\0*\0\0\0\x08\xFF\xFF", 20))
                  .text(std::string_view(reinterpret_cast<const char*>(RandomBytes(180, 7).data()), 180)).b),
         true},
        {"XMP packet nested 1700 deep",
         exif(TiffBlock({Ascii(306, "2011:07:04 15:30:12"), Undefined(700, deepXmp)})), true},
        {"a whole segment of noise", exif(Concat({Le().u32(8).b, RandomBytes(65533 - 6 - 8, 1)})), false},
        {"a whole segment of noise, second seed", exif(Concat({Le().u32(8).b, RandomBytes(65533 - 6 - 8, 2)})), false},
        {"file cut short inside the segment", Concat({kSoi, {0xFF, 0xE1, 0xFF, 0xFF}, Text(std::string_view("Exif\0\0", 6)),
                                                      Le().u32(8).u16(1).entry(306, 2, 20, 26).u32(0).text(date).b}),
         true},
        {"segment length below 2", Concat({kSoi, {0xFF, 0xE1, 0x00, 0x01}, ExifSegment(Le().b), parts.tail}), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WithinSeconds(20, c.name, [&] {
            ExifRecord record;
            try {
                Read(record, c.file);
                const std::optional<ExifDateTime> read = record.DateTime();
                if (c.dateSurvives) {
                    EXPECT_EQ(read, (ExifDateTime{2011, 7, 4, 15, 30, 12, 0}));
                }
            } catch (const Error& e) {
                EXPECT_FALSE(c.dateSurvives) << e.what();
                return;
            }
            record.SetText(kExifTagSoftware, "Zelvan test");
            record.SetDateTime(kStamp);
            try {
                const Bytes out = record.RewriteJpeg(fresh);
                const std::vector<std::string> names = SegmentNames(out);
                ASSERT_GE(names.size(), 3u);
                EXPECT_EQ(names[2], "APP1 Exif");
                EXPECT_EQ(names.back(), "SOS");
                ExifRecord again;
                Read(again, out);
                EXPECT_EQ(again.Text(kExifTagSoftware), "Zelvan test");
                EXPECT_EQ(ReadJpeg(out).raster.width(), 16);
            } catch (const Error& e) {
                EXPECT_STRNE(e.what(), "");
            }
        });
    }
}

TEST(ExifRecord, GoexifCorpusGoesThrough) {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(GoexifDir()))
        if (entry.path().extension() == ".jpg") files.push_back(entry.path().string());
    ASSERT_GE(files.size(), 60u) << GoexifDir();
    std::sort(files.begin(), files.end());
    const Bytes fresh = FreshJpeg(24, 16);
    int withDate = 0;
    int written = 0;
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        WithinSeconds(30, file, [&] {
            ExifRecord record;
            try {
                std::ifstream in(file, std::ios::binary);
                record.ReadFromJpegStream(in);
                if (record.DateTime()) ++withDate;
                record.SetText(kExifTagSoftware, "Zelvan test");
                record.SetDateTime(kStamp);
                const Bytes out = record.RewriteJpeg(fresh);
                ExifRecord again;
                Read(again, out);
                EXPECT_EQ(again.Text(kExifTagSoftware), "Zelvan test");
                std::optional<ExifDateTime> stamped = again.DateTime();
                ASSERT_TRUE(stamped);
                stamped->millisecond = 0;  // 45 where the source had SubSecTime
                EXPECT_EQ(*stamped, (ExifDateTime{2024, 1, 5, 9, 3, 7, 0}));
                EXPECT_EQ(ReadJpeg(out).raster.height(), 16);
                ++written;
            } catch (const Error& e) {
                EXPECT_STRNE(e.what(), "");
            }
        });
    }
    // Most of the corpus carries a readable date, and nearly every block is carried over.
    EXPECT_GE(withDate, 40);
    EXPECT_GE(written, 55);
}

}  // namespace
}  // namespace zelvan
