#include "base/error.h"
#include "imaging/readers/readers.h"

namespace zelvan {

DecodedPicture ReadSgi(std::span<const std::uint8_t>) { throw Error("sgi: reader not built yet"); }

}  // namespace zelvan
