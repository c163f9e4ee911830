#include "base/error.h"
#include "imaging/readers/readers.h"

namespace zelvan {

DecodedPicture ReadTga(std::span<const std::uint8_t>) { throw Error("tga: reader not built yet"); }

}  // namespace zelvan
