#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "base/error.h"

namespace zelvan {

// Bounds-checked reading of a file image in memory for the program's own readers. Every read
// past the end throws Error("<format>: file is truncated"), so a reader never needs its own
// length arithmetic to stay inside the buffer.
class ByteReader {
public:
    ByteReader(std::span<const std::uint8_t> bytes, const char* format)
        : bytes_(bytes), format_(format) {}

    std::size_t size() const { return bytes_.size(); }
    std::size_t position() const { return pos_; }
    std::size_t remaining() const { return bytes_.size() - pos_; }
    std::span<const std::uint8_t> bytes() const { return bytes_; }

    void Seek(std::size_t pos) {
        if (pos > bytes_.size()) Truncated();
        pos_ = pos;
    }
    void Skip(std::size_t n) {
        if (n > remaining()) Truncated();
        pos_ += n;
    }
    std::uint8_t U8() {
        if (pos_ >= bytes_.size()) Truncated();
        return bytes_[pos_++];
    }
    std::uint16_t U16LE() {
        const std::uint8_t* p = Take(2);
        return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
    }
    std::uint16_t U16BE() {
        const std::uint8_t* p = Take(2);
        return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
    }
    std::uint32_t U32LE() {
        const std::uint8_t* p = Take(4);
        return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
               (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
    }
    std::uint32_t U32BE() {
        const std::uint8_t* p = Take(4);
        return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
               (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
    }
    std::int32_t I32LE() { return static_cast<std::int32_t>(U32LE()); }
    // n bytes at the current position, which then moves past them.
    const std::uint8_t* Take(std::size_t n) {
        if (n > remaining()) Truncated();
        const std::uint8_t* p = bytes_.data() + pos_;
        pos_ += n;
        return p;
    }

    [[noreturn]] void Fail(const std::string& message) const {
        throw Error(std::string(format_) + ": " + message);
    }
    [[noreturn]] void Truncated() const { Fail("file is truncated"); }

private:
    std::span<const std::uint8_t> bytes_;
    const char* format_;
    std::size_t pos_ = 0;
};

}  // namespace zelvan
