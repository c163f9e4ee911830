#include "base/error.h"
#include "imaging/writers/writers.h"

namespace zelvan {

std::vector<std::uint8_t> EncodeGif(const Raster&) { throw Error("gif: writer not built yet"); }

}  // namespace zelvan
