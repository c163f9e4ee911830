#include "imaging/readers/avif_coded_size.h"

#include <cstring>
#include <string>
#include <vector>

#include "base/error.h"
#include "imaging/raster.h"
#include "imaging/readers/iso_boxes.h"

namespace zelvan {
namespace {

using Bytes = std::span<const std::uint8_t>;

class BitReader {
public:
    explicit BitReader(Bytes bytes) : bytes_(bytes) {}
    // nullopt past the end.
    std::optional<std::uint32_t> Bits(int n) {
        std::uint32_t v = 0;
        for (int i = 0; i < n; ++i) {
            if (bit_ >= bytes_.size() * 8) return std::nullopt;
            v = v << 1 | ((bytes_[bit_ / 8] >> (7 - bit_ % 8)) & 1u);
            ++bit_;
        }
        return v;
    }
    bool Skip(std::size_t n) {
        bit_ += n;
        return bit_ <= bytes_.size() * 8;
    }
    // An unsigned variable-length code (uvlc), only skipped.
    bool SkipUvlc() {
        int leadingZeros = 0;
        for (;;) {
            const auto bit = Bits(1);
            if (!bit) return false;
            if (*bit) break;
            if (++leadingZeros >= 32) return true;  // the value is 2^32 - 1; nothing follows
        }
        return Skip(static_cast<std::size_t>(leadingZeros));
    }

private:
    Bytes bytes_;
    std::size_t bit_ = 0;
};

// The frame size of a sequence header OBU's payload.
std::optional<CodedSize> SequenceHeaderFrameSize(Bytes payload) {
    BitReader bits(payload);
    const auto profileAndFlags = bits.Bits(5);  // seq_profile (3), still_picture, reduced header
    if (!profileAndFlags) return std::nullopt;
    if (*profileAndFlags & 1) {
        if (!bits.Skip(5)) return std::nullopt;  // seq_level_idx[0]
    } else {
        const auto timingInfo = bits.Bits(1);
        if (!timingInfo) return std::nullopt;
        bool decoderModelInfo = false;
        std::uint32_t bufferDelayBits = 0;
        if (*timingInfo) {
            if (!bits.Skip(64)) return std::nullopt;  // num_units_in_display_tick, time_scale
            const auto equalPictureInterval = bits.Bits(1);
            if (!equalPictureInterval || (*equalPictureInterval && !bits.SkipUvlc())) return std::nullopt;
            const auto present = bits.Bits(1);
            if (!present) return std::nullopt;
            decoderModelInfo = *present != 0;
            if (decoderModelInfo) {
                const auto delayLength = bits.Bits(5);
                if (!delayLength || !bits.Skip(32 + 5 + 5)) return std::nullopt;
                bufferDelayBits = *delayLength + 1;
            }
        }
        const auto initialDisplayDelay = bits.Bits(1);
        const auto operatingPoints = bits.Bits(5);
        if (!initialDisplayDelay || !operatingPoints) return std::nullopt;
        for (std::uint32_t i = 0; i <= *operatingPoints; ++i) {
            if (!bits.Skip(12)) return std::nullopt;  // operating_point_idc
            const auto level = bits.Bits(5);
            if (!level || (*level > 7 && !bits.Skip(1))) return std::nullopt;
            if (decoderModelInfo) {
                const auto present = bits.Bits(1);
                if (!present || (*present && !bits.Skip(2 * bufferDelayBits + 1))) return std::nullopt;
            }
            if (*initialDisplayDelay) {
                const auto present = bits.Bits(1);
                if (!present || (*present && !bits.Skip(4))) return std::nullopt;
            }
        }
    }
    const auto widthBits = bits.Bits(4), heightBits = bits.Bits(4);
    if (!widthBits || !heightBits) return std::nullopt;
    const auto width = bits.Bits(static_cast<int>(*widthBits) + 1), height = bits.Bits(static_cast<int>(*heightBits) + 1);
    if (!width || !height) return std::nullopt;
    return CodedSize{std::uint64_t{*width} + 1, std::uint64_t{*height} + 1};
}

// The frame sizes of every sequence header among the OBUs, up to the first unit that does not
// fit (AVIF stores them with their sizes, one item after another).
std::vector<CodedSize> SequenceFrameSizes(Bytes obus) {
    constexpr unsigned kSequenceHeader = 1;
    std::vector<CodedSize> sizes;
    while (!obus.empty()) {
        const std::uint8_t header = obus[0];
        if (header & 0x80) break;  // forbidden bit
        const unsigned type = header >> 3 & 15;
        std::size_t at = (header & 0x04) ? 2 : 1;  // extension byte
        std::uint64_t size = obus.size();
        if (header & 0x02) {
            size = 0;
            for (int i = 0;; ++i) {
                if (i == 8 || at >= obus.size()) return sizes;
                size |= std::uint64_t{obus[at] & 0x7Fu} << (7 * i);
                if (!(obus[at++] & 0x80)) break;
            }
        } else {
            size = obus.size() - std::min(at, obus.size());
        }
        if (at > obus.size() || size > obus.size() - at) break;
        const Bytes payload = obus.subspan(at, static_cast<std::size_t>(size));
        if (type == kSequenceHeader)
            if (const auto frame = SequenceHeaderFrameSize(payload)) sizes.push_back(*frame);
        obus = obus.subspan(at + static_cast<std::size_t>(size));
    }
    return sizes;
}

std::uint64_t RoundedUpToBlocks(std::uint64_t v) { return (v + 63) / 64 * 64; }

std::string SizeText(CodedSize s) { return std::to_string(s.width) + "x" + std::to_string(s.height); }

// The payload of the first box of that type on the level.
std::optional<Bytes> Child(Bytes level, const char* type) {
    const std::optional<IsoBox> box = IsoChild(level, type);
    if (!box) return std::nullopt;
    return box->payload;
}

std::optional<std::uint32_t> Number(Bytes b, std::size_t at, std::size_t bytes) {
    if (at > b.size() || b.size() - at < bytes) return std::nullopt;
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < bytes; ++i) v = v << 8 | b[at + i];
    return v;
}

}  // namespace

std::optional<CodedSize> Av1SequenceFrameSize(std::span<const std::uint8_t> obus) {
    const std::vector<CodedSize> sizes = SequenceFrameSizes(obus);
    if (sizes.empty()) return std::nullopt;
    return sizes.front();
}

bool AvifPrimaryIsGrid(std::span<const std::uint8_t> file) {
    const auto meta = Child(file, "meta");
    if (!meta || meta->size() < 4) return false;
    const Bytes boxes = meta->subspan(4);  // after the version and flags
    const auto pitm = Child(boxes, "pitm");
    const auto iinf = Child(boxes, "iinf");
    if (!pitm || !iinf || pitm->empty() || iinf->empty()) return false;
    const auto primary = Number(*pitm, 4, (*pitm)[0] == 0 ? 2 : 4);
    if (!primary) return false;
    for (const IsoBox& infe : IsoBoxes(iinf->subspan(std::min(iinf->size(), std::size_t{(*iinf)[0] == 0 ? 6u : 8u})))) {
        if (std::memcmp(infe.type, "infe", 4) != 0 || infe.payload.empty() || infe.payload[0] < 2) continue;
        const std::size_t idBytes = infe.payload[0] == 2 ? 2 : 4;
        const auto id = Number(infe.payload, 4, idBytes);
        const std::size_t typeAt = 4 + idBytes + 2;  // after the protection index
        if (!id || *id != *primary || infe.payload.size() < typeAt + 4) continue;
        return std::memcmp(infe.payload.data() + typeAt, "grid", 4) == 0;
    }
    return false;
}

void CheckAvifCodedSize(std::span<const std::uint8_t> coded, CodedSize declared, bool grid) {
    for (const CodedSize& frame : SequenceFrameSizes(coded)) {
        if (frame.width > kMaxPixels || frame.height > kMaxPixels || frame.width * frame.height > kMaxPixels ||
            frame.width > RoundedUpToBlocks(declared.width) || frame.height > RoundedUpToBlocks(declared.height))
            throw Error("AVIF: the coded picture declares " + SizeText(frame) + " pixels for a picture of " +
                        SizeText(declared));
        if (!grid && (frame.width < declared.width || frame.height < declared.height))
            throw Error("AVIF: the container declares " + SizeText(declared) + " pixels for a coded picture of " +
                        SizeText(frame));
    }
}

}  // namespace zelvan
