#include "base/error.h"
#include "imaging/readers/readers.h"

namespace zelvan {

DecodedPicture ReadBmp(std::span<const std::uint8_t>) { throw Error("bmp: reader not built yet"); }

}  // namespace zelvan
