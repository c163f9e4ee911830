#include "base/error.h"
#include "imaging/writers/writers.h"

namespace zelvan {

std::vector<std::uint8_t> EncodeJpeg(const Raster&, int, bool) { throw Error("jpeg: writer not built yet"); }

}  // namespace zelvan
