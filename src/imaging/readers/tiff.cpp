#include "base/error.h"
#include "imaging/readers/readers.h"

namespace zelvan {

DecodedPicture ReadTiff(std::span<const std::uint8_t>) { throw Error("tiff: reader not built yet"); }

}  // namespace zelvan
