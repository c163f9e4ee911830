#include "app/cli_files.h"

#include <filesystem>
#include <istream>
#include <ostream>
#include <unordered_set>
#include <utility>

#include "base/file_io.h"
#include "base/path_util.h"
#include "jobs/folder_scan.h"

namespace zelvan {
namespace {

std::string AbsolutePath(const std::string& given) {
    return std::filesystem::absolute(given).lexically_normal().string();
}

std::string WithSlash(std::string folder) {
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder;
}

// The folder both folders lie in ("/a/b/" and "/a/c/d/" give "/a/").
std::string CommonFolder(const std::string& a, const std::string& b) {
    std::size_t end = 0;
    for (std::size_t i = 0; i < a.size() && i < b.size() && a[i] == b[i]; ++i)
        if (a[i] == '/') end = i + 1;
    return a.substr(0, end);
}

}  // namespace

// The files of the run in the order given; folders in the order of their scan. A file named
// outright is queued whatever its state: a missing or unreadable one fails as its job, so that
// a mistyped path shows in the error list, the JSON records and the exit status.
std::vector<FoundFile> CollectFiles(const Arguments& a, bool renaming, std::istream& in, std::ostream& err) {
    if (a.base && !a.keepTree) throw UsageError("--base goes with --keep-tree");
    std::vector<FoundFile> files;
    // A path given twice ("a.jpg", "./a.jpg") is one file of the run; links under other names are
    // files of their own, with outputs of their own names.
    std::unordered_set<std::string> seen;
    // The rename mask would replace tokens in the folder's name too.
    auto subfolderUsable = [&](const std::string& file, const std::string& subfolder) {
        if (!renaming || !HasRenameTokens(subfolder)) return true;
        err << "zelvan-cli: " << file << ": its folder's name holds rename tokens, skipped\n";
        return false;
    };
    auto addFolder = [&](const std::string& path) {
        const std::string root = WithSlash(path);
        ScanFolder(path, {[&](const std::string& file) {
                              std::string subfolder;
                              if (a.keepTree) subfolder = ExtractFilePath(std::string_view(file).substr(root.size()));
                              if (subfolderUsable(file, subfolder) && seen.insert(file).second)
                                  files.push_back({file, std::move(subfolder)});
                              return true;
                          },
                          nullptr});
    };
    auto addFile = [&](const std::string& path, std::string subfolder) {
        if (subfolderUsable(path, subfolder) && seen.insert(path).second) files.push_back({path, std::move(subfolder)});
    };

    for (const std::string& given : a.paths) {
        if (given != "-") {
            // Jobs name their sources by full path, as the file list does.
            const std::string path = AbsolutePath(given);
            if (DirectoryExists(path)) addFolder(path);
            else addFile(path, "");
            continue;
        }
        // Paths read with -: all of them first, since --keep-tree mirrors them relative to the
        // folder they have in common when no --base is given.
        std::vector<std::string> listed;
        std::string line;
        while (std::getline(in, line, a.nullSeparated ? '\0' : '\n')) {
            if (!a.nullSeparated && !line.empty() && line.back() == '\r') line.pop_back();
            if (!line.empty()) listed.push_back(AbsolutePath(line));
        }
        std::string base;
        if (a.keepTree) {
            if (a.base) {
                base = WithSlash(AbsolutePath(*a.base));
            } else {
                bool first = true;
                for (const std::string& path : listed) {
                    const std::string folder = DirectoryExists(path) ? WithSlash(path) : ExtractFilePath(path);
                    base = first ? folder : CommonFolder(base, folder);
                    first = false;
                }
            }
        }
        for (const std::string& path : listed) {
            if (DirectoryExists(path)) {
                addFolder(path);
                continue;
            }
            std::string subfolder;
            if (a.keepTree) {
                if (path.compare(0, base.size(), base) != 0)
                    throw UsageError(path + " is not inside --base " + base + ": --keep-tree cannot mirror it");
                subfolder = ExtractFilePath(std::string_view(path).substr(base.size()));
            }
            addFile(path, std::move(subfolder));
        }
    }
    return files;
}

// The files this process converts: all, or its shard's, numbered by their places in the list.
std::vector<QueuedFile> QueueOf(const std::vector<FoundFile>& files, const std::optional<Shard>& shard) {
    std::vector<QueuedFile> queue;
    for (std::size_t p = 0; p < files.size(); ++p) {
        if (shard && p % shard->count != shard->index) continue;
        queue.push_back({files[p].path, files[p].subfolder, static_cast<std::int32_t>(p + 1), {}});
    }
    return queue;
}

}  // namespace zelvan
