#include "jobs/folder_scan.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <utility>
#include <vector>

#include "base/path_util.h"
#include "engine/extensions.h"

namespace zelvan {
namespace {

class Scan {
public:
    explicit Scan(const FolderScanCallbacks& callbacks) : callbacks_(callbacks) {}

    // Returns false when the scan was stopped.
    bool Folder(const std::string& folder) {
        struct stat st {};
        if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return true;
        if (!visited_.insert({st.st_dev, st.st_ino}).second) return true;

        std::vector<std::string> files;
        std::vector<std::string> folders;
        if (DIR* dir = ::opendir(folder.c_str())) {
            while (dirent* entry = ::readdir(dir)) {
                std::string name = entry->d_name;
                if (name == "." || name == "..") continue;
                std::string path = folder + name;
                struct stat es {};
                if (::stat(path.c_str(), &es) != 0) continue;  // dangling link, no access
                if (S_ISREG(es.st_mode)) files.push_back(std::move(name));
                else if (S_ISDIR(es.st_mode) && name.front() != '.') folders.push_back(std::move(name));
            }
            ::closedir(dir);
        }
        std::sort(files.begin(), files.end());
        std::sort(folders.begin(), folders.end());

        for (const std::string& name : files) {
            if (IsAcceptedExtension(ExtractFileExt(name)) && callbacks_.addFile && !callbacks_.addFile(folder + name))
                return false;
            if (++examined_ % 21 == 0 && callbacks_.keepAlive) callbacks_.keepAlive();
        }
        for (const std::string& name : folders)
            if (!Folder(folder + name + "/")) return false;
        if (callbacks_.keepAlive) callbacks_.keepAlive();
        return true;
    }

private:
    const FolderScanCallbacks& callbacks_;
    std::set<std::pair<dev_t, ino_t>> visited_;
    unsigned long examined_ = 0;
};

}  // namespace

void ScanFolder(const std::string& folder, const FolderScanCallbacks& callbacks) {
    std::string start = folder.empty() || folder.back() == '/' ? folder : folder + "/";
    Scan(callbacks).Folder(start);
}

}  // namespace zelvan
