// One libFuzzer target per reader: ZELVAN_FUZZ_READER names the reader function.
#include <cstddef>
#include <cstdint>

#include "base/error.h"
#include "imaging/readers/readers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        zelvan::DecodedPicture picture = zelvan::ZELVAN_FUZZ_READER({data, size});
        // Touch every row so that a raster smaller than it claims shows up under ASan.
        const zelvan::Raster& r = picture.raster;
        volatile std::uint8_t sink = 0;
        for (int y = 0; y < r.height(); ++y) sink = sink ^ r.row(y)[r.stride() - 1];
    } catch (const zelvan::Error&) {
    }
    return 0;
}
