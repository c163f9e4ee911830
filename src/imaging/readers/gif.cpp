#include "base/error.h"
#include "imaging/readers/readers.h"

namespace zelvan {

DecodedPicture ReadGif(std::span<const std::uint8_t>) { throw Error("gif: reader not built yet"); }

}  // namespace zelvan
