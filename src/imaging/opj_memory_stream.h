#pragma once

#include <openjpeg.h>

#include <cstdint>
#include <span>
#include <vector>

namespace zelvan {

// OpenJPEG streams over memory: decoding reads a caller's buffer, encoding appends to a vector.
// The state objects must outlive the stream.
struct OpjReadState {
    std::span<const std::uint8_t> bytes;
    std::size_t position = 0;
};
opj_stream_t* CreateOpjReadStream(OpjReadState& state);

struct OpjWriteState {
    std::vector<std::uint8_t> bytes;
    std::size_t position = 0;
};
opj_stream_t* CreateOpjWriteStream(OpjWriteState& state);

// Releases OpenJPEG objects on every path.
struct OpjCodecDeleter {
    void operator()(opj_codec_t* c) const { opj_destroy_codec(c); }
};
struct OpjStreamDeleter {
    void operator()(opj_stream_t* s) const { opj_stream_destroy(s); }
};
struct OpjImageDeleter {
    void operator()(opj_image_t* i) const { opj_image_destroy(i); }
};

}  // namespace zelvan
