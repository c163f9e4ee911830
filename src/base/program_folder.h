#pragma once

#include <string>

namespace zelvan {

// The folder of the running executable, with a trailing "/". Empty when it cannot be found.
std::string ProgramFolder();

}  // namespace zelvan

namespace zelvan {

// The folder of lang.ini and the help pages once installed: the folder the build was configured
// for, or, when the installed tree has been moved (a staged package), the share/zelvan folder
// beside the programs' lib/zelvan.
std::string DataFolder(const std::string& configured);

}  // namespace zelvan
