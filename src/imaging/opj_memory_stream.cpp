#include "imaging/opj_memory_stream.h"

#include <algorithm>
#include <cstring>

namespace zelvan {
namespace {

constexpr OPJ_SIZE_T kChunk = 1 << 20;

OPJ_SIZE_T Read(void* buffer, OPJ_SIZE_T n, void* user) {
    auto* s = static_cast<OpjReadState*>(user);
    std::size_t left = s->bytes.size() - s->position;
    if (left == 0) return static_cast<OPJ_SIZE_T>(-1);
    std::size_t take = std::min<std::size_t>(n, left);
    std::memcpy(buffer, s->bytes.data() + s->position, take);
    s->position += take;
    return take;
}

OPJ_OFF_T SkipRead(OPJ_OFF_T n, void* user) {
    auto* s = static_cast<OpjReadState*>(user);
    if (n < 0) {
        if (static_cast<std::uint64_t>(-n) > s->position) return -1;
        s->position -= static_cast<std::size_t>(-n);
        return n;
    }
    std::size_t left = s->bytes.size() - s->position;
    std::size_t skip = std::min<std::uint64_t>(static_cast<std::uint64_t>(n), left);
    s->position += skip;
    return static_cast<OPJ_OFF_T>(skip);
}

OPJ_BOOL SeekRead(OPJ_OFF_T n, void* user) {
    auto* s = static_cast<OpjReadState*>(user);
    if (n < 0 || static_cast<std::uint64_t>(n) > s->bytes.size()) return OPJ_FALSE;
    s->position = static_cast<std::size_t>(n);
    return OPJ_TRUE;
}

OPJ_SIZE_T Write(void* buffer, OPJ_SIZE_T n, void* user) {
    auto* s = static_cast<OpjWriteState*>(user);
    if (s->position + n > s->bytes.size()) s->bytes.resize(s->position + n);
    std::memcpy(s->bytes.data() + s->position, buffer, n);
    s->position += n;
    return n;
}

OPJ_OFF_T SkipWrite(OPJ_OFF_T n, void* user) {
    auto* s = static_cast<OpjWriteState*>(user);
    if (n < 0 && static_cast<std::uint64_t>(-n) > s->position) return -1;
    s->position = static_cast<std::size_t>(static_cast<OPJ_OFF_T>(s->position) + n);
    if (s->position > s->bytes.size()) s->bytes.resize(s->position);
    return n;
}

OPJ_BOOL SeekWrite(OPJ_OFF_T n, void* user) {
    auto* s = static_cast<OpjWriteState*>(user);
    if (n < 0) return OPJ_FALSE;
    s->position = static_cast<std::size_t>(n);
    if (s->position > s->bytes.size()) s->bytes.resize(s->position);
    return OPJ_TRUE;
}

}  // namespace

opj_stream_t* CreateOpjReadStream(OpjReadState& state) {
    opj_stream_t* stream = opj_stream_create(kChunk, OPJ_TRUE);
    if (!stream) return nullptr;
    opj_stream_set_user_data(stream, &state, nullptr);
    opj_stream_set_user_data_length(stream, state.bytes.size());
    opj_stream_set_read_function(stream, Read);
    opj_stream_set_skip_function(stream, SkipRead);
    opj_stream_set_seek_function(stream, SeekRead);
    return stream;
}

opj_stream_t* CreateOpjWriteStream(OpjWriteState& state) {
    opj_stream_t* stream = opj_stream_create(kChunk, OPJ_FALSE);
    if (!stream) return nullptr;
    opj_stream_set_user_data(stream, &state, nullptr);
    opj_stream_set_write_function(stream, Write);
    opj_stream_set_skip_function(stream, SkipWrite);
    opj_stream_set_seek_function(stream, SeekWrite);
    return stream;
}

}  // namespace zelvan
