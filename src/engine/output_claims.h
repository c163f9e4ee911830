#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace zelvan {

// The output files the jobs of one run are writing or have written, by final path: two jobs of
// a run never write the same file, whether or not outputs may replace older files. Shared by
// the run's jobs; every method is safe from any thread.
// An output path planned before the run, held for the job at the earliest place of the whole
// list that takes it (a shard of the list holds it even when another shard runs that job).
struct OutputReservation {
    std::string path;
    std::string sourcePath;
    std::int32_t jobNumber = 0;  // the place in the whole list, from 1
};

class OutputClaims {
public:
    // Claims `path` for the job converting `sourcePath`; when another job holds it already, or
    // it is reserved for another job, nothing changes and that job's source is returned. The
    // job a path is reserved for (by its number) claims it.
    std::optional<std::string> Claim(const std::string& path, const std::string& sourcePath, std::int32_t jobNumber = 0);
    // Gives up a claim whose file was not written after all.
    void Release(const std::string& path);
    // Clears every claim and holds these paths for their jobs.
    void Clear(const std::vector<OutputReservation>& reservations = {});

private:
    struct Holder {
        std::string sourcePath;
        std::int32_t reservedFor = 0;  // the job held for, until it claims; 0: claimed
    };
    std::mutex mutex_;
    std::unordered_map<std::string, Holder> holders_;  // path -> the source written there
};

}  // namespace zelvan
