#include "base/program_folder.h"

#include <climits>
#include <unistd.h>

#include "base/file_io.h"
#include "base/path_util.h"

namespace zelvan {

std::string ProgramFolder() {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) return {};
    return ExtractFilePath(std::string(buffer, static_cast<std::size_t>(n)));
}

std::string DataFolder(const std::string& configured) {
    if (DirectoryExists(configured)) return configured;
    const std::string programs = ProgramFolder();
    return programs.empty() ? configured : programs + "../../share/zelvan";
}

}  // namespace zelvan
