#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "app/cli_arguments.h"
#include "jobs/scheduler.h"

namespace zelvan {

// A file of the run and where its output goes.
struct FoundFile {
    std::string path;
    std::string subfolder;  // --keep-tree: its folder below the scanned folder argument
};

// The files of the run in the order given; folders in the order of their scan.
std::vector<FoundFile> CollectFiles(const Arguments& a, bool renaming, std::istream& in, std::ostream& err);

// The files this process converts: all, or its shard's, numbered by their places in the list.
std::vector<QueuedFile> QueueOf(const std::vector<FoundFile>& files, const std::optional<Shard>& shard);

}  // namespace zelvan
