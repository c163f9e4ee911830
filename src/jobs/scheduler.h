#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/conversion_job.h"
#include "engine/conversion_options.h"
#include "engine/output_formats.h"
#include "jobs/error_list.h"

namespace zelvan {

// One file of a run's queue.
struct QueuedFile {
    std::string sourcePath;
    // Below the output folder, ending in "/": a scanned folder's tree mirrored; empty for none.
    std::string outputSubfolder;
    // The rename mask's counter; 0 gives the next number in start order. A shard of a list
    // numbers its files by their places in the whole list.
    std::int32_t jobNumber = 0;
};

// The path a job starts from: the output folder (options prepared by PrepareRunOptions), the
// file's subfolder, and the source's name with the format's extension ("." without a format).
std::string InitialDestinationPath(const ConversionOptions& options, const OutputFormat* format,
                                   const QueuedFile& file);

// The state of one run. Everything but the counters is touched only by the thread that drives
// the ticks; the counters are shared with the jobs.
struct RunState {
    bool running = false;
    std::vector<std::unique_ptr<ConversionJob>> jobs;  // started, not yet reaped, in start order
    std::deque<QueuedFile> queue;                           // files not yet handed out
    RunCounters counters;
    std::chrono::steady_clock::time_point startedAt{};
    std::int32_t nextJobNumber = 1;
};

enum class PrepareResult { Ok, NoFiles, DirectoryCreateError, FolderHasTokens };

// The checks Convert makes before a run, on the options it is about to use: at least one
// thread; "[C]_" put in front of a rename mask that has neither a counter nor a name; the
// output folder ending in "/" and created with its parents. With renaming on, an output folder
// that holds rename tokens ("out[W]") is refused: the jobs would replace them in the folder's
// name too and write into folders that do not exist.
// A dry run passes createFolder false: a folder that does not exist yet is then accepted.
PrepareResult PrepareRunOptions(ConversionOptions& options, std::size_t entryCount, bool createFolder = true);
std::string CompleteRenameMask(const std::string& mask);
// Whether expanding the text as a rename mask would change it ("out[W]").
bool HasRenameTokens(const std::string& text);

// Runs a list of files as parallel jobs. A driver (the main window's timers, or the command
// line's loop) calls the three ticks while their timers are on; nothing here knows windows.
// Every method is called from that one driving thread (the main window's, or the command
// line's), so the scheduler's own state needs no lock; only the jobs run elsewhere, and they
// share nothing with it but the counters, the error list and the job lock.
class Scheduler {
public:
    Scheduler(LifetimeCounters& lifetime, ErrorList& errors, std::string rawPluginPath);
    ~Scheduler();  // waits for every job still running
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // Starts a run over the given source paths with a copy of the options (prepared by
    // PrepareRunOptions). summaryText is the text of the run's closing line.
    void BeginRun(const ConversionOptions& options, std::vector<std::string> sourcePaths, std::string summaryText);
    // The same over files with their own subfolders and numbers. With skipExisting, a file whose
    // final output exists already is skipped (not a failure) and no output is ever replaced.
    void BeginRun(const ConversionOptions& options, std::vector<QueuedFile> files, std::string summaryText,
                  bool skipExisting);

    enum class StartResult { Nothing, Started, QueueEmpty, StartFailed };
    // Starts at most one job, or switches to the completion timer when the queue is empty.
    StartResult StartTick();
    // Destroys at most one finished job; true when one was reaped.
    bool ReapTick();
    // Completes the run once no job is left: timers off, the separator and the summary line
    // appended. True in the tick that completed the run.
    bool CompletionTick();
    // Stops new jobs; running jobs run to their end and the run then completes.
    void Cancel();

    bool StartTimerOn() const { return startTimerOn_; }
    bool ReapTimerOn() const { return reapTimerOn_; }
    bool CompletionTimerOn() const { return completionTimerOn_; }
    bool Finished() const { return finished_; }
    bool CloseWhenDone() const { return closeWhenDone_; }

    const RunState& State() const { return state_; }
    RunCounters& Counters() { return state_.counters; }
    std::size_t RunningJobs() const { return state_.jobs.size(); }
    std::size_t JobLimit() const;

    // False while a preview loads: no job starts then.
    std::atomic<bool> previewIdle{true};

    // For tests and special drivers: the memory-load reading and the job starter.
    void SetMemoryLoadSource(std::function<int()> source) { memoryLoad_ = std::move(source); }
    void SetJobStarter(std::function<void(ConversionJob&)> starter) { starter_ = std::move(starter); }
    // Called on the driving thread with each finished job just before it is reaped: its
    // source, paths and result are final then.
    void SetJobFinished(std::function<void(const ConversionJob&)> finished) { jobFinished_ = std::move(finished); }

private:
    LifetimeCounters& lifetime_;
    ErrorList& errors_;
    std::string rawPluginPath_;
    std::mutex jobLock_;  // JobEnvironment::jobLock of every job
    OutputClaims claims_;  // the run's output paths, shared by its jobs
    std::shared_ptr<const ConversionOptions> options_;
    std::shared_ptr<const MaskDateConventions> maskDates_;
    const OutputFormat* outputFormat_ = nullptr;
    std::string summaryText_;
    RunState state_;
    bool startTimerOn_ = false;
    bool reapTimerOn_ = false;
    bool completionTimerOn_ = false;
    bool finished_ = false;
    bool closeWhenDone_ = false;
    std::function<int()> memoryLoad_;
    std::function<void(ConversionJob&)> starter_;
    std::function<void(const ConversionJob&)> jobFinished_;
    bool skipExisting_ = false;
};

}  // namespace zelvan
