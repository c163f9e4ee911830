#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <memory>
#include <vector>

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
    int outputWidth = 0;  // the output's pixels, once resized; 0 before
    int outputHeight = 0;
    std::int64_t milliseconds = 0;  // from the job's start to its end
    // The output is the source file recompressed without loss (a JPEG into JPEG XL), not its
    // pixels encoded.
    bool recompressedSource = false;
    // A target size or visual quality: the quality the search chose, and the score of the
    // output written (visual quality only).
    std::optional<double> chosenQuality;
    std::optional<double> visualScore;
    // What the output's line says beside a success (a target not reached); empty for nothing.
    std::string note;
};

// One output of a source: how it is made (its options: the run's, or a recipe's changes to them),
// its format, where it goes, and what became of it.
struct JobOutput {
    std::string name;  // the output's name in a recipe; empty for a run's single output
    std::shared_ptr<const ConversionOptions> options;  // none: the run's
    const OutputFormat* format = nullptr;
    // The output folder + the source's name with the format's extension; the job renames it and
    // leaves the final path here.
    std::string destinationPath;
    JobResult result;
};

// One conversion job: one source file in, decoded, turned upright and prepared once, then made
// into each of its outputs (resize, colour, stamp, name and encoder of the output's own). A
// failure of one output does not stop the others; each gets its own line and result. A pool
// worker (or a test) runs Execute once; the job shares with other jobs only what its
// environment holds.
class ConversionJob {
public:
    explicit ConversionJob(const JobEnvironment& environment);
    ConversionJob(const ConversionJob&) = delete;
    ConversionJob& operator=(const ConversionJob&) = delete;

    std::string sourcePath;
    std::int32_t jobNumber = 0;
    std::vector<JobOutput> outputs;
    // A run that resumes skips an output whose final path exists already, and the run's options
    // then never replace a file. `existingOutput`, when set, names that path before any
    // decoding where it can tell; a final name found taken at the write is a skip as well, not
    // a failure.
    bool skipExisting = false;
    std::function<std::optional<std::string>(const ConversionJob&, const JobOutput&)> existingOutput;
    // Set by the run when it will not start the job (it needs more memory than the run's whole
    // budget): Execute reports it as the source's failure and does no work.
    std::string refusal;

    // Adds an output in the run's options.
    JobOutput& AddOutput(const OutputFormat* format, std::string destinationPath);

    // The job's steps; every failure becomes an error line or ends an output, never an exception.
    void Execute();

private:
    // An output while the job makes it.
    struct OutputWork {
        JobOutput& output;
        const ConversionOptions& options;
        bool done = false;           // skipped, refused or failed: nothing more to do
        bool reported = false;       // it put a line into the error list
        bool wentToTheEnd = false;   // its file was written
        bool foundTaken = false;     // with skipExisting: the final name was taken at the write
        // No step changed the source's pixels or dropped its profile: a lossless recompression of
        // the source file itself may stand for them.
        bool sourcePixelsKept = false;
    };

    // The source's steps, once for all outputs.
    void ConvertSource(std::vector<OutputWork>& work);
    bool OutputMayBeWritten(OutputWork& work);
    std::optional<LoadedSource> Load(OutputWork& first);
    std::optional<WorkingImageSet> Prepare(LoadedSource&& loaded);
    bool Orient(WorkingImageSet& images);
    // The output's steps, each returning false where the output ends.
    bool ProduceOutput(OutputWork& work, WorkingImageSet images, bool pixelsAsDecoded, bool sourceProfile);
    bool Resize(OutputWork& work, WorkingImageSet& images);
    bool ConvertColoursToSrgb(OutputWork& work, WorkingImageSet& images);
    void StampText(OutputWork& work, WorkingImageSet& images);
    void Rename(OutputWork& work, const WorkingImageSet& images);
    bool EncodeAndWrite(OutputWork& work, const WorkingImageSet& images);
    bool WriteAutomaticFormat(OutputWork& work, const WorkingImageSet& images);
    bool WriteChosenFormat(OutputWork& work, const WorkingImageSet& images);
    bool WriteOutput(OutputWork& work, const std::string& path, std::span<const std::uint8_t> bytes);
    std::optional<std::string> AddExif(OutputWork& work, const OutputFormat& output, const WorkingImageSet& images,
                                       std::vector<std::uint8_t>& bytes);
    std::vector<std::uint8_t> EncodeWithExif(OutputWork& work, const OutputFormat& output,
                                             const WorkingImageSet& images, std::optional<std::string>& exifFailure,
                                             const ConversionOptions& options);
    template <typename Step>
    bool Encoding(OutputWork& work, JobError error, Step step);
    void CountOutput(const OutputWork& work);

    // A line for one output, or one line for the source that every output still pending shares.
    void Report(OutputWork& work, JobError error, const std::string& path, const std::string& message);
    void ReportSource(JobError error, const std::string& path, const std::string& message);
    // A line about an output that was still written: it does not count as a failure.
    void Note(OutputWork& work, const std::string& path, const std::string& message);
    static void FinishResult(OutputWork& work);

    JobEnvironment env_;
    // The run's options: what the source's steps (loading, profile, turning) follow.
    const ConversionOptions& options_;
    std::vector<OutputWork>* work_ = nullptr;  // the outputs while Execute runs
    bool pixelsTurned_ = false;  // Orient turned them: a carried Orientation tag must say 1
};

}  // namespace zelvan
