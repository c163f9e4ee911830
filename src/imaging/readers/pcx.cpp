#include "base/error.h"
#include "imaging/readers/readers.h"

namespace zelvan {

DecodedPicture ReadPcx(std::span<const std::uint8_t>) { throw Error("pcx: reader not built yet"); }

}  // namespace zelvan
