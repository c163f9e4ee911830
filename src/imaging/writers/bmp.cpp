#include "base/error.h"
#include "imaging/writers/writers.h"

namespace zelvan {

std::vector<std::uint8_t> EncodeBmp(const Raster&) { throw Error("bmp: writer not built yet"); }

}  // namespace zelvan
