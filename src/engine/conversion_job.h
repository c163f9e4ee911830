#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "engine/job_environment.h"

namespace zelvan {

// One conversion job: one source file in, one output file out, on a worker thread of its own.
// The scheduler creates it, fills in the fields, starts it once and destroys it after
// `Completed` is raised; destruction waits for the thread.
class TConversionThread {
public:
    explicit TConversionThread(const JobEnvironment& environment);
    ~TConversionThread();
    TConversionThread(const TConversionThread&) = delete;
    TConversionThread& operator=(const TConversionThread&) = delete;

    std::string SourcePath;
    std::string DestinationPath;
    std::string OutputExtension;
    std::int32_t JobNumber = 0;
    // Raised with release semantics as the job's very last act, after every other effect
    // (output file, counters, error lines); read it with acquire semantics.
    std::atomic<bool> Completed{false};

    // Starts Execute on the job's own thread. Throws std::system_error when no thread can be made.
    void Start();
    // The job's steps; every failure becomes an error line or ends the job, never an exception.
    void Execute();

private:
    bool RunSteps();
    void Report(const std::string& code, const std::string& path, const std::string& message);

    JobEnvironment env_;
    std::thread thread_;
};

// "AFO:" + path + ": " + message, and the other codes alike; an empty code gives path + ": " + message.
std::string ErrorLine(const std::string& code, const std::string& path, const std::string& message);

}  // namespace zelvan
