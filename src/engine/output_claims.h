#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace zelvan {

// The output files the jobs of one run are writing or have written, by final path: two jobs of
// a run never write the same file, whether or not outputs may replace older files. Shared by
// the run's jobs; every method is safe from any thread.
class OutputClaims {
public:
    // Claims `path` for the job converting `sourcePath`; when another job holds it already,
    // nothing changes and that job's source is returned.
    std::optional<std::string> Claim(const std::string& path, const std::string& sourcePath);
    // Gives up a claim whose file was not written after all.
    void Release(const std::string& path);
    void Clear();

private:
    std::mutex mutex_;
    std::unordered_map<std::string, std::string> sources_;  // path -> the source written there
};

}  // namespace zelvan
