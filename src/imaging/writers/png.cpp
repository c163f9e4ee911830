#include "base/error.h"
#include "imaging/writers/writers.h"

namespace zelvan {

std::vector<std::uint8_t> EncodePng(const Raster&, const Raster*, const std::optional<Rgb>&, const PngSettings&) { throw Error("png: writer not built yet"); }

}  // namespace zelvan
