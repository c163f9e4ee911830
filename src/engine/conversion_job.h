#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "engine/job_environment.h"
#include "engine/source_loading.h"

namespace zelvan {

struct OutputFormat;

// What a line of the run's error list says went wrong; each kind opens the line with its code.
enum class JobError {
    Source,          // "AFO:" the output exists already, or the source cannot be loaded or prepared
    RawPlugin,       // "RFO:" the RAW plug-in failed on the source
    Resize,          // "RE1:" resizing to the box failed
    PercentResize,   // "RE2:" resizing by percent failed (the job goes on unresized)
    AutoFormat,      // "AFE:" encoding the automatic format's candidates failed
    Save,            // "FSE:" encoding or writing the chosen format failed
    Write,           // no code: the RAW library is missing, or the automatic winner's write failed
};

// The code that opens a line of that kind: "AFO:", ..., or "" for JobError::Write.
std::string_view JobErrorCode(JobError error);
// The code, then path + ": " + message.
std::string ErrorLine(JobError error, const std::string& path, const std::string& message);

// One conversion job: one source file in, one output file out, on a worker thread of its own.
// The scheduler creates it, fills in the fields, starts it once and destroys it after
// `completed` is raised; destruction waits for the thread.
class ConversionJob {
public:
    explicit ConversionJob(const JobEnvironment& environment);
    ~ConversionJob();
    ConversionJob(const ConversionJob&) = delete;
    ConversionJob& operator=(const ConversionJob&) = delete;

    std::string sourcePath;
    std::string destinationPath;  // the output folder + the source's name with the format's extension
    const OutputFormat* format = nullptr;
    std::int32_t jobNumber = 0;
    // Raised with release semantics as the job's very last act, after every other effect
    // (output file, counters, error lines); read it with acquire semantics.
    std::atomic<bool> completed{false};

    // Starts Execute on the job's own thread. Throws std::system_error when no thread can be made.
    void Start();
    // The job's steps; every failure becomes an error line or ends the job, never an exception.
    void Execute();

private:
    // The steps in order; each returns false where the job ends.
    bool Convert();
    bool OutputMayBeWritten();
    std::optional<LoadedSource> Load();
    std::optional<WorkingImageSet> Prepare(LoadedSource&& loaded);
    bool Orient(WorkingImageSet& images);
    bool Resize(WorkingImageSet& images);
    void StampText(WorkingImageSet& images);
    void Rename(const WorkingImageSet& images);
    bool EncodeAndWrite(const WorkingImageSet& images);
    bool WriteAutomaticFormat(const WorkingImageSet& images);
    bool WriteChosenFormat(const WorkingImageSet& images);
    bool WriteOutput(const std::string& path, std::span<const std::uint8_t> bytes);
    void CarryExif();
    template <typename Step>
    bool Encoding(JobError error, Step step);
    void CountOutput();

    void Report(JobError error, const std::string& path, const std::string& message);

    JobEnvironment env_;
    const ConversionOptions& options_;
    bool reported_ = false;
    bool pixelsTurned_ = false;  // Orient turned them: a carried Orientation tag must say 1
    std::thread thread_;
};

}  // namespace zelvan
