#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
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

// What became of one job, for drivers that report file by file (the command line's --json).
// The job fills it on its own thread; read it after `completed`.
struct JobResult {
    enum class Status { Converted, Failed, Skipped };
    Status status = Status::Converted;
    // The output written, or the existing output a skipped job found; empty for none.
    std::string outputPath;
    // The first failure the job reported: its kind and message.
    std::optional<JobError> error;
    std::string errorMessage;
    std::int64_t inputBytes = -1;   // the source file's size; -1 when it cannot be measured
    std::int64_t outputBytes = -1;  // the output's size; -1 without one
    std::int64_t milliseconds = 0;  // from the job's start to its end
};

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
    // A run that resumes skips a file whose final output exists already, and the run's options
    // then never replace a file. `existingOutput`, when set, names that output before any
    // decoding where it can tell; a final name found taken at the write is a skip as well, not
    // a failure.
    bool skipExisting = false;
    std::function<std::optional<std::string>(const ConversionJob&)> existingOutput;
    JobResult result;
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
    bool ConvertColoursToSrgb(WorkingImageSet& images);
    void StampText(WorkingImageSet& images);
    void Rename(const WorkingImageSet& images);
    bool EncodeAndWrite(const WorkingImageSet& images);
    bool WriteAutomaticFormat(const WorkingImageSet& images);
    bool WriteChosenFormat(const WorkingImageSet& images);
    bool WriteOutput(const std::string& path, std::span<const std::uint8_t> bytes);
    std::optional<std::string> AddExif(const OutputFormat& output, const WorkingImageSet& images,
                                       std::vector<std::uint8_t>& bytes);
    std::vector<std::uint8_t> EncodeWithExif(const OutputFormat& output, const WorkingImageSet& images,
                                             std::optional<std::string>& exifFailure);
    template <typename Step>
    bool Encoding(JobError error, Step step);
    void CountOutput();

    void Report(JobError error, const std::string& path, const std::string& message);
    void FinishResult(bool wentToTheEnd);


    JobEnvironment env_;
    const ConversionOptions& options_;
    bool reported_ = false;
    bool foundTaken_ = false;  // with skipExisting: the final name was taken at the write
    bool pixelsTurned_ = false;  // Orient turned them: a carried Orientation tag must say 1
    // No step changed the source's pixels or dropped its profile: a lossless recompression of the
    // source file itself may stand for them.
    bool sourcePixelsKept_ = false;
    std::thread thread_;
};

}  // namespace zelvan
