#include "base/error.h"
#include "imaging/readers/readers.h"

namespace zelvan {

DecodedPicture ReadPnm(std::span<const std::uint8_t>) { throw Error("pnm: reader not built yet"); }

}  // namespace zelvan
