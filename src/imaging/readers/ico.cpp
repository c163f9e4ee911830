#include "base/error.h"
#include "imaging/readers/readers.h"

namespace zelvan {

DecodedPicture ReadIco(std::span<const std::uint8_t>) { throw Error("ico: reader not built yet"); }

}  // namespace zelvan
