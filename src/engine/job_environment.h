#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "engine/conversion_options.h"
#include "engine/mask_language.h"
#include "engine/output_claims.h"

namespace zelvan {

// The counters of one run. Jobs change them only by atomic add and increment; the progress
// display reads them without a lock.
struct RunCounters {
    std::atomic<std::int32_t> processed{0};
    std::atomic<std::int64_t> inputKiB{0};
    std::atomic<std::int64_t> outputKiB{0};
    std::atomic<std::int32_t> failed{0};  // jobs that put a line into the error list
};

// Totals over the program's whole life, kept in the settings file.
struct LifetimeCounters {
    std::atomic<std::int64_t> processedFiles{0};
    std::atomic<std::int64_t> processedKiB{0};
};

// Where a job's error lines go: the run's error list. Callable from any thread; it must never
// wait for a job, since a job may append while it holds the job lock.
class JobReporter {
public:
    virtual ~JobReporter() = default;
    virtual void AppendLine(const std::string& line) = 0;
};

// What every job of a run shares: the options (read only), the counters, the error list, the
// output paths taken and the job lock that lets one job at a time load a RAW source, read and
// write EXIF, draw text and rename.
struct JobEnvironment {
    std::shared_ptr<const ConversionOptions> options;
    RunCounters* run = nullptr;
    LifetimeCounters* lifetime = nullptr;
    JobReporter* errors = nullptr;
    std::mutex* jobLock = nullptr;
    OutputClaims* claims = nullptr;  // the run's output paths; none: nothing is checked
    std::string rawPluginPath;  // rawdll.so beside the program
    // The locale's date conventions for the masks, made once per run; the system's when unset.
    std::shared_ptr<const MaskDateConventions> maskDates;
};

}  // namespace zelvan
