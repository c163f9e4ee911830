#include "imaging/readers/heif_container_limits.h"

#include <cstring>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "base/error.h"
#include "imaging/raster.h"
#include "imaging/readers/iso_boxes.h"

namespace zelvan {
namespace {

using Bytes = std::span<const std::uint8_t>;

std::uint32_t Be(Bytes b, std::size_t at, int n) {
    std::uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | b[at + static_cast<std::size_t>(i)];
    return v;
}

using Box = IsoBox;

// Reads the bits of a NAL unit's payload with its emulation-prevention bytes (00 00 03) removed.
class BitReader {
public:
    explicit BitReader(Bytes nal) {
        int zeros = 0;
        for (std::uint8_t b : nal) {
            if (zeros >= 2 && b == 3) {
                zeros = 0;
                continue;
            }
            zeros = b == 0 ? zeros + 1 : 0;
            rbsp_.push_back(b);
        }
    }
    // nullopt past the end.
    std::optional<std::uint32_t> Bits(int n) {
        std::uint32_t v = 0;
        for (int i = 0; i < n; ++i) {
            if (bit_ >= rbsp_.size() * 8) return std::nullopt;
            v = v << 1 | ((rbsp_[bit_ / 8] >> (7 - bit_ % 8)) & 1u);
            ++bit_;
        }
        return v;
    }
    bool Skip(std::size_t n) {
        bit_ += n;
        return bit_ <= rbsp_.size() * 8;
    }
    // Exp-Golomb code; nullopt past the end or for a value beyond 32 bits.
    std::optional<std::uint64_t> Unsigned() {
        int leadingZeros = 0;
        for (;;) {
            const auto bit = Bits(1);
            if (!bit) return std::nullopt;
            if (*bit) break;
            if (++leadingZeros > 32) return std::nullopt;
        }
        const auto rest = Bits(leadingZeros);
        if (!rest) return std::nullopt;
        return (std::uint64_t{1} << leadingZeros) - 1 + *rest;
    }

private:
    std::vector<std::uint8_t> rbsp_;
    std::size_t bit_ = 0;
};

struct Size {
    std::uint64_t width = 0;
    std::uint64_t height = 0;
};

// pic_width_in_luma_samples and pic_height_in_luma_samples of a sequence parameter set NAL unit
// (its two-byte header included); nullopt when the unit ends before them.
std::optional<Size> SequencePictureSize(Bytes nal) {
    BitReader bits(nal);
    if (!bits.Skip(16 + 4)) return std::nullopt;  // NAL header, sps_video_parameter_set_id
    const auto maxSubLayersMinus1 = bits.Bits(3);
    if (!maxSubLayersMinus1 || !bits.Skip(1)) return std::nullopt;
    // profile_tier_level: the general profile (88 bits) and level (8 bits), then the sub-layers'.
    if (!bits.Skip(88 + 8)) return std::nullopt;
    bool profilePresent[8] = {}, levelPresent[8] = {};
    for (std::uint32_t i = 0; i < *maxSubLayersMinus1; ++i) {
        const auto p = bits.Bits(1), l = bits.Bits(1);
        if (!p || !l) return std::nullopt;
        profilePresent[i] = *p != 0;
        levelPresent[i] = *l != 0;
    }
    if (*maxSubLayersMinus1 > 0 && !bits.Skip(2 * (8 - *maxSubLayersMinus1))) return std::nullopt;
    for (std::uint32_t i = 0; i < *maxSubLayersMinus1; ++i)
        if (!bits.Skip((profilePresent[i] ? 88u : 0u) + (levelPresent[i] ? 8u : 0u))) return std::nullopt;
    if (!bits.Unsigned()) return std::nullopt;  // sps_seq_parameter_set_id
    const auto chromaFormat = bits.Unsigned();
    if (!chromaFormat || (*chromaFormat == 3 && !bits.Skip(1))) return std::nullopt;
    const auto width = bits.Unsigned(), height = bits.Unsigned();
    if (!width || !height) return std::nullopt;
    return Size{*width, *height};
}

// The picture sizes of the sequence parameter sets an hvcC box carries.
std::vector<Size> SequencePictureSizes(Bytes hvcC) {
    constexpr std::size_t kConfigurationBytes = 22;
    constexpr std::uint8_t kSequenceParameterSet = 33;
    std::vector<Size> sizes;
    if (hvcC.size() <= kConfigurationBytes) return sizes;
    std::size_t at = kConfigurationBytes;
    const std::uint8_t arrays = hvcC[at++];
    for (int a = 0; a < arrays; ++a) {
        if (hvcC.size() - at < 3) return sizes;
        const std::uint8_t type = hvcC[at] & 0x3f;
        const std::uint32_t count = Be(hvcC, at + 1, 2);
        at += 3;
        for (std::uint32_t n = 0; n < count; ++n) {
            if (hvcC.size() - at < 2) return sizes;
            const std::size_t length = Be(hvcC, at, 2);
            at += 2;
            if (hvcC.size() - at < length) return sizes;
            if (type == kSequenceParameterSet)
                if (const auto size = SequencePictureSize(hvcC.subspan(at, length))) sizes.push_back(*size);
            at += length;
        }
    }
    return sizes;
}

struct Item {
    char type[5] = {};
    std::optional<Size> container;  // ispe
    std::vector<Size> streams;      // the sequence parameter sets of an HEVC image
    std::optional<Size> canvas;     // the output size of a grid or an overlay
    std::vector<std::uint32_t> parts;  // dimg: the tiles of a grid, the pictures of an overlay
};

std::uint64_t Field(Bytes b, std::size_t& at, std::size_t bytes) {
    if (b.size() - at < bytes) throw std::out_of_range("box");
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < bytes; ++i) v = v << 8 | b[at + i];
    at += bytes;
    return v;
}

void ReadItemTypes(Bytes iinf, std::map<std::uint32_t, Item>& items) {
    std::size_t at = 0;
    const auto listVersion = Field(iinf, at, 4) >> 24;
    Field(iinf, at, listVersion == 0 ? 2 : 4);
    for (const Box& infe : IsoBoxes(iinf.subspan(at))) {
        if (std::memcmp(infe.type, "infe", 4) != 0) continue;
        std::size_t i = 0;
        const auto version = Field(infe.payload, i, 4) >> 24;
        if (version < 2) continue;
        const auto id = static_cast<std::uint32_t>(Field(infe.payload, i, version == 2 ? 2 : 4));
        Field(infe.payload, i, 2);
        if (infe.payload.size() - i < 4) continue;
        std::memcpy(items[id].type, infe.payload.data() + i, 4);
    }
}

void ReadProperties(Bytes iprp, std::map<std::uint32_t, Item>& items) {
    const auto ipco = IsoChild(iprp, "ipco");
    if (!ipco) return;
    const std::vector<Box> properties = IsoBoxes(ipco->payload);
    for (const Box& ipma : IsoBoxes(iprp)) {
        if (std::memcmp(ipma.type, "ipma", 4) != 0) continue;
        const Bytes p = ipma.payload;
        std::size_t at = 0;
        const auto versionAndFlags = Field(p, at, 4);
        const std::size_t idBytes = (versionAndFlags >> 24) < 1 ? 2 : 4;
        const std::size_t indexBytes = (versionAndFlags & 1) ? 2 : 1;
        const auto entries = Field(p, at, 4);
        for (std::uint64_t e = 0; e < entries; ++e) {
            Item& item = items[static_cast<std::uint32_t>(Field(p, at, idBytes))];
            const auto count = Field(p, at, 1);
            for (std::uint64_t a = 0; a < count; ++a) {
                const auto index = Field(p, at, indexBytes) & (indexBytes == 2 ? 0x7fffu : 0x7fu);
                if (index == 0 || index > properties.size()) continue;
                const Box& property = properties[index - 1];
                if (std::memcmp(property.type, "ispe", 4) == 0 && property.payload.size() >= 12)
                    item.container = Size{Be(property.payload, 4, 4), Be(property.payload, 8, 4)};
                else if (std::memcmp(property.type, "hvcC", 4) == 0)
                    for (const Size& s : SequencePictureSizes(property.payload)) item.streams.push_back(s);
            }
        }
    }
}

void ReadReferences(Bytes iref, std::map<std::uint32_t, Item>& items,
                    std::vector<std::pair<std::uint32_t, std::uint32_t>>& auxiliaries) {
    std::size_t at = 0;
    const std::size_t idBytes = (Field(iref, at, 4) >> 24) == 0 ? 2 : 4;
    for (const Box& reference : IsoBoxes(iref.subspan(at))) {
        std::size_t i = 0;
        const auto from = static_cast<std::uint32_t>(Field(reference.payload, i, idBytes));
        const auto count = Field(reference.payload, i, 2);
        for (std::uint64_t n = 0; n < count; ++n) {
            const auto to = static_cast<std::uint32_t>(Field(reference.payload, i, idBytes));
            if (std::memcmp(reference.type, "dimg", 4) == 0) items[from].parts.push_back(to);
            if (std::memcmp(reference.type, "auxl", 4) == 0) auxiliaries.emplace_back(from, to);
        }
    }
}

// The output size at the start of a grid's or an overlay's data, found through the item
// locations (in the file or in the idat box); only the first extent is looked at.
void ReadCanvasSizes(Bytes file, Bytes iloc, std::optional<Bytes> idat, std::map<std::uint32_t, Item>& items) {
    std::size_t at = 0;
    const auto version = Field(iloc, at, 4) >> 24;
    const auto sizes = Field(iloc, at, 2);
    const std::size_t offsetBytes = sizes >> 12 & 15, lengthBytes = sizes >> 8 & 15, baseBytes = sizes >> 4 & 15;
    const std::size_t indexBytes = version == 1 || version == 2 ? sizes & 15 : 0;
    const auto count = Field(iloc, at, version < 2 ? 2 : 4);
    for (std::uint64_t n = 0; n < count; ++n) {
        const auto id = static_cast<std::uint32_t>(Field(iloc, at, version < 2 ? 2 : 4));
        const auto method = version == 1 || version == 2 ? Field(iloc, at, 2) & 15 : 0;
        Field(iloc, at, 2);  // data_reference_index
        const auto base = Field(iloc, at, baseBytes);
        const auto extents = Field(iloc, at, 2);
        std::optional<std::pair<std::uint64_t, std::uint64_t>> first;
        for (std::uint64_t e = 0; e < extents; ++e) {
            Field(iloc, at, indexBytes);
            const auto offset = Field(iloc, at, offsetBytes);
            const auto length = Field(iloc, at, lengthBytes);
            if (!first) first = std::pair(offset, length);
        }
        const auto found = items.find(id);
        if (!first || found == items.end()) continue;
        const bool grid = std::memcmp(found->second.type, "grid", 4) == 0;
        const bool overlay = std::memcmp(found->second.type, "iovl", 4) == 0;
        if (!grid && !overlay) continue;
        const Bytes source = method == 0 ? file : method == 1 && idat ? *idat : Bytes{};
        const std::uint64_t start = base + first->first;
        if (start >= source.size()) continue;
        Bytes data = source.subspan(static_cast<std::size_t>(start));
        if (first->second != 0 && first->second < data.size()) data = data.first(static_cast<std::size_t>(first->second));
        std::size_t d = 0;
        Field(data, d, 1);
        const bool wide = Field(data, d, 1) & 1;
        Field(data, d, grid ? 2 : 8);  // rows and columns less one; an overlay's fill colour
        const auto width = Field(data, d, wide ? 4 : 2), height = Field(data, d, wide ? 4 : 2);
        found->second.canvas = Size{width, height};
    }
}

bool Fits(const Size& s) { return s.width <= kMaxPixels && s.height <= kMaxPixels && s.width * s.height <= kMaxPixels; }

std::uint64_t RoundedUpToCodingBlocks(std::uint64_t v) { return (v + 63) / 64 * 64; }

[[noreturn]] void Refuse(const std::string& what, const Size& s) {
    throw Error("HEIF: " + what + " declares " + std::to_string(s.width) + "x" + std::to_string(s.height) +
                " pixels, more than the program reads");
}

// The pixels decoding an item costs: its own picture and those of its parts, each part as
// often as it is referenced. Each item's cost is worked out once; a cycle of references fails.
class DecodingCost {
public:
    explicit DecodingCost(const std::map<std::uint32_t, Item>& items) : items_(items) {}

    std::uint64_t Of(std::uint32_t id, int depth = 0) {
        const auto found = items_.find(id);
        if (found == items_.end()) return 0;
        if (const auto known = known_.find(id); known != known_.end()) {
            if (!known->second) throw Error("HEIF: images refer to each other in a circle");
            return *known->second;
        }
        if (depth > 8) throw Error("HEIF: images are nested too deeply");
        known_[id] = std::nullopt;
        const Item& item = found->second;
        std::uint64_t cost = 0;
        for (const Size& s : item.streams) cost += s.width * s.height;
        if (item.canvas) cost += item.canvas->width * item.canvas->height;
        if (cost == 0 && item.container) cost = item.container->width * item.container->height;
        for (std::uint32_t part : item.parts) {
            cost += Of(part, depth + 1);
            if (cost > kMaxCost) break;
        }
        known_[id] = cost;
        return cost;
    }

    // Four times the largest picture: room for tiles that overhang the picture and an alpha
    // plane, not for a picture decoded a thousand times over.
    static constexpr std::uint64_t kMaxCost = 4 * kMaxPixels;

private:
    const std::map<std::uint32_t, Item>& items_;
    std::map<std::uint32_t, std::optional<std::uint64_t>> known_;
};

}  // namespace

void CheckHeifContainerLimits(std::span<const std::uint8_t> file) {
    const auto meta = IsoChild(file, "meta");
    if (!meta || meta->payload.size() < 4) return;
    const Bytes metaBoxes = meta->payload.subspan(4);
    std::map<std::uint32_t, Item> items;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> auxiliaries;
    std::optional<std::uint32_t> primary;
    // A box cut short stops the reading of that box only: libheif refuses the file on its own,
    // and what was read is still checked.
    const auto tolerant = [](auto read) {
        try {
            read();
        } catch (const std::out_of_range&) {
        }
    };
    std::optional<Bytes> idat;
    if (const auto box = IsoChild(metaBoxes, "idat")) idat = box->payload;
    if (const auto pitm = IsoChild(metaBoxes, "pitm"))
        tolerant([&] {
            std::size_t at = 0;
            const auto version = Field(pitm->payload, at, 4) >> 24;
            primary = static_cast<std::uint32_t>(Field(pitm->payload, at, version == 0 ? 2 : 4));
        });
    if (const auto iinf = IsoChild(metaBoxes, "iinf")) tolerant([&] { ReadItemTypes(iinf->payload, items); });
    if (const auto iprp = IsoChild(metaBoxes, "iprp")) tolerant([&] { ReadProperties(iprp->payload, items); });
    if (const auto iref = IsoChild(metaBoxes, "iref")) tolerant([&] { ReadReferences(iref->payload, items, auxiliaries); });
    if (const auto iloc = IsoChild(metaBoxes, "iloc")) tolerant([&] { ReadCanvasSizes(file, iloc->payload, idat, items); });

    for (const auto& [id, item] : items) {
        for (const Size& s : item.streams) {
            if (!Fits(s)) Refuse("an image's stream", s);
            if (item.container && (s.width > RoundedUpToCodingBlocks(item.container->width) ||
                                   s.height > RoundedUpToCodingBlocks(item.container->height)))
                throw Error("HEIF: an image's stream declares " + std::to_string(s.width) + "x" +
                            std::to_string(s.height) + " pixels for a picture of " +
                            std::to_string(item.container->width) + "x" + std::to_string(item.container->height));
        }
        if (item.canvas && !Fits(*item.canvas)) Refuse("a grid or overlay", *item.canvas);
    }
    if (!primary) return;
    DecodingCost decoding(items);
    std::uint64_t cost = decoding.Of(*primary);
    for (const auto& [from, to] : auxiliaries)
        if (to == *primary) cost += decoding.Of(from);
    if (cost > DecodingCost::kMaxCost)
        throw Error("HEIF: the picture's parts add up to more pixels than the program reads");
}

}  // namespace zelvan
