#include "app/cli_files.h"

#include <filesystem>
#include <istream>
#include <ostream>

#include "base/file_io.h"
#include "base/path_util.h"
#include "engine/extensions.h"
#include "jobs/folder_scan.h"

namespace zelvan {

// The files of the run in the order given; folders in the order of their scan.
std::vector<FoundFile> CollectFiles(const Arguments& a, bool renaming, std::istream& in, std::ostream& err) {
    std::vector<FoundFile> files;
    auto addPath = [&](const std::string& given) {
        // Jobs name their sources by full path, as the file list does.
        std::string path = std::filesystem::absolute(given).lexically_normal().string();
        if (DirectoryExists(path)) {
            const std::string root = path.empty() || path.back() == '/' ? path : path + "/";
            ScanFolder(path, {[&](const std::string& file) {
                                  std::string subfolder;
                                  if (a.keepTree) subfolder = ExtractFilePath(std::string_view(file).substr(root.size()));
                                  // The rename mask would replace tokens in the folder's name too.
                                  if (renaming && HasRenameTokens(subfolder)) {
                                      err << "zelvan-cli: " << file
                                          << ": its folder's name holds rename tokens, skipped\n";
                                      return true;
                                  }
                                  files.push_back({file, std::move(subfolder)});
                                  return true;
                              },
                              nullptr});
        } else if (!FileExists(path)) {
            err << "zelvan-cli: " << given << ": no such file or folder, skipped\n";
        } else if (!IsAcceptedExtension(ExtractFileExt(path))) {
            err << "zelvan-cli: " << given << ": not an accepted image file, skipped\n";
        } else {
            files.push_back({path, {}});
        }
    };
    for (const std::string& path : a.paths) {
        if (path != "-") {
            addPath(path);
            continue;
        }
        std::string line;
        while (std::getline(in, line, a.nullSeparated ? '\0' : '\n')) {
            if (!a.nullSeparated && !line.empty() && line.back() == '\r') line.pop_back();
            if (!line.empty()) addPath(line);
        }
    }
    return files;
}

// The files this process converts: all, or its shard's, numbered by their places in the list.
std::vector<QueuedFile> QueueOf(const std::vector<FoundFile>& files, const std::optional<Shard>& shard) {
    std::vector<QueuedFile> queue;
    for (std::size_t p = 0; p < files.size(); ++p) {
        if (shard && p % shard->count != shard->index) continue;
        queue.push_back({files[p].path, files[p].subfolder, static_cast<std::int32_t>(p + 1)});
    }
    return queue;
}

}  // namespace zelvan
