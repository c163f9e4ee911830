#pragma once

#include <string>

namespace zelvan {

// The folder of the running executable, with a trailing "/". Empty when it cannot be found.
std::string ProgramFolder();

}  // namespace zelvan
