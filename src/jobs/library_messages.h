#pragma once

#include <memory>
#include <ostream>

namespace zelvan {

// Standard error for the program's own messages only. The codec libraries print their own
// diagnostics there (libjxl's JXL_FAILURE lines, libpng's warnings through Qt's image plug-ins),
// which under a batch system that joins standard error and output would break a JSON stream;
// every failure they stand for already reaches the file's own line through the reader's message.
class ProgramStandardError {
public:
    // From here on the process's standard error (descriptor 2) goes nowhere, and Qt's messages
    // of its own categories (qt.*) are dropped; the stream returned writes where standard error
    // went before. With ZELVAN_LIBRARY_MESSAGES=1 in the environment nothing changes (for
    // finding out what a library says).
    static ProgramStandardError Take();

    std::ostream& stream() { return *stream_; }
    // Whether the program's standard error is a terminal.
    bool isTerminal() const { return terminal_; }

    ProgramStandardError(ProgramStandardError&&) noexcept;
    ~ProgramStandardError();

private:
    ProgramStandardError() = default;
    struct Buffer;
    std::unique_ptr<Buffer> buffer_;
    std::ostream* stream_ = nullptr;
    bool terminal_ = false;
};

}  // namespace zelvan
