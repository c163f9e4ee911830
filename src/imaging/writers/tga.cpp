#include "base/error.h"
#include "imaging/writers/writers.h"

namespace zelvan {

std::vector<std::uint8_t> EncodeTga(const Raster&, const Raster*) { throw Error("tga: writer not built yet"); }

}  // namespace zelvan
