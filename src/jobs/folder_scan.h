#pragma once

#include <functional>
#include <string>

namespace zelvan {

struct FolderScanCallbacks {
    // Called for every file with an accepted extension; returning false stops the whole scan.
    std::function<bool(const std::string& path)> addFile;
    // Called after every 21 files examined and after each folder, so that a window stays alive.
    std::function<void()> keepAlive;
};

// Adds every accepted file of a folder tree: first the files of a folder (by name), then its
// subfolders (by name), skipping folders whose names begin with "." and any folder already
// visited (symbolic links never lead into a loop). Names are bytes: names that are not valid
// UTF-8 are found too. A folder that cannot be read is passed over silently.
void ScanFolder(const std::string& folder, const FolderScanCallbacks& callbacks);

}  // namespace zelvan
