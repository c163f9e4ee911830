#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/conversion_job.h"
#include "engine/conversion_options.h"
#include "engine/output_formats.h"
#include "jobs/error_list.h"
#include "jobs/job_gate.h"

namespace zelvan {

struct RunOutput;

// One file of a run's queue.
struct QueuedFile {
    std::string sourcePath;
    // Below the output folder, ending in "/": a scanned folder's tree mirrored; empty for none.
    std::string outputSubfolder;
    // The rename mask's counter; 0 gives the next number in start order. A shard of a list
    // numbers its files by their places in the whole list.
    std::int32_t jobNumber = 0;
    // The output's file name as the caller chose it (zelvan-cli -o photo.webp); empty: the
    // source's name with the format's extension.
    std::string outputName = {};
};

// The path a job starts from: the output folder (options prepared by PrepareRunOptions), the
// file's subfolder, and the source's name with the format's extension ("." without a format).
std::string InitialDestinationPath(const ConversionOptions& options, const OutputFormat* format,
                                   const QueuedFile& file);

// What a run shows while it goes: its counters (shared with the jobs) and its start.
struct RunState {
    RunCounters counters;
    std::chrono::steady_clock::time_point startedAt{};
};

enum class PrepareResult { Ok, NoFiles, DirectoryCreateError, FolderHasTokens };

// The checks Convert makes before a run, on the options it is about to use: at least one
// thread; "[C]_" put in front of a rename mask that has neither a counter nor a name; the
// output folder ending in "/" and created with its parents. With renaming on, an output folder
// that holds rename tokens ("out[W]") is refused: the jobs would replace them in the folder's
// name too and write into folders that do not exist.
// A dry run passes createFolder false: a folder that does not exist yet is then accepted.
PrepareResult PrepareRunOptions(ConversionOptions& options, std::size_t entryCount, bool createFolder = true);
// Why an output folder cannot be made, for the line that refuses the run: a part of its path
// that is not a folder, a symbolic link to nothing, or the system's reason; empty when none is
// found.
std::string OutputFolderProblem(const std::string& folder);
std::string CompleteRenameMask(const std::string& mask);
// Whether expanding the text as a rename mask would change it ("out[W]").
bool HasRenameTokens(const std::string& text);

// Runs a list of files on a pool of `Threads` workers that lives for the run: each worker takes
// the next file from the queue the moment it is free, so nothing polls and no thread is made per
// file. Drivers hear of the run through callbacks, which run on the worker that caused them (the
// window posts them to its own thread) or wait for it (the command line).
//
// Files start in queue order: one free worker at a time takes the next file, estimates its peak
// memory from its header (EstimateJobPeakBytes) and waits until the rules let it start: the
// preview's gate is open; and, unless no job runs at all (else a run would stall for good), memory
// load is below 90 % and the estimate fits what the memory budget has left beside the running
// jobs' estimates. A file whose estimate exceeds the whole budget fails at once ("needs about N
// MiB, the budget is M MiB"); one whose size the header does not give is held back by the load
// rule only. A worker held back waits until a job ends or the gate opens. A format whose encoder
// is too hungry to run beside others (JPEG 2000) gets a pool of one worker.
class Scheduler {
public:
    Scheduler(LifetimeCounters& lifetime, ErrorList& errors, std::string rawPluginPath);
    ~Scheduler();  // cancels the run and waits for its workers
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // Starts a run over the given source paths with a copy of the options (prepared by
    // PrepareRunOptions). summaryText is the text of the run's closing line. False when no worker
    // could be made: the run has then completed at once, as a cancelled run with nothing done.
    // A run must have finished before the next begins.
    bool BeginRun(const ConversionOptions& options, std::vector<std::string> sourcePaths, std::string summaryText);
    // The same over files with their own subfolders and numbers. With skipExisting, a file whose
    // final output exists already is skipped (not a failure) and no output is ever replaced.
    bool BeginRun(const ConversionOptions& options, std::vector<QueuedFile> files, std::string summaryText,
                  bool skipExisting);

    // Stops new jobs; running jobs run to their end and the run then completes. Any thread.
    void Cancel();
    // Waits until the run has completed and its driver has been told, at most `timeout`; true when
    // it has (or when no run was begun).
    bool WaitUntilFinished(std::chrono::milliseconds timeout);

    // A run has begun and not yet completed.
    bool InProgress() const;
    // The run has completed: its separator and summary line are in the error list.
    bool Finished() const;
    // Cancel stopped the run: a window closes once it completes.
    bool CloseWhenDone() const;
    std::size_t RunningJobs() const { return runningJobs_.load(std::memory_order_relaxed); }
    std::size_t QueuedFiles() const;
    // The workers of the current run's pool.
    std::size_t JobLimit() const;

    const RunState& State() const { return state_; }
    RunCounters& Counters() { return state_.counters; }

    // Closed while a preview loads: no job starts then.
    JobGate previewGate;

    // For tests and special drivers: the memory-load reading, and what a worker does with a job
    // (by default it executes it; a test may hold it first).
    void SetMemoryLoadSource(std::function<int()> source) { memoryLoad_ = std::move(source); }
    // For tests: a job's estimated peak in bytes in place of the one from the file's header.
    void SetMemoryEstimator(std::function<std::uint64_t(const QueuedFile&)> estimator) {
        memoryEstimator_ = std::move(estimator);
    }
    // The current run's memory budget in bytes (0: none could be worked out).
    std::uint64_t MemoryBudget() const { return budgetBytes_; }
    void SetJobRunner(std::function<void(ConversionJob&)> runner) { runner_ = std::move(runner); }
    // Makes a worker thread; tests make it fail.
    void SetThreadMaker(std::function<std::thread(std::function<void()>)> maker) { threadMaker_ = std::move(maker); }
    // Called with each finished job, one call at a time, on the worker that ran it: its source,
    // outputs and results are final then.
    void SetJobFinished(std::function<void(const ConversionJob&)> finished) { jobFinished_ = std::move(finished); }
    // Called once the run has completed (summary line appended), on the worker that completed
    // it, or on the thread of BeginRun when no worker could be made.
    void SetRunFinished(std::function<void()> finished) { runFinished_ = std::move(finished); }
    // Before BeginRun: every job makes these outputs (a recipe's) instead of the run's single one;
    // nullptr for the single one.
    void SetRecipeOutputs(std::shared_ptr<const std::vector<RunOutput>> outputs) { recipeOutputs_ = std::move(outputs); }
    // Before BeginRun: output paths held for the jobs of the whole list that take them first
    // (PlanSharedOutputs), so that a later job taking one says "Same output as" even when the
    // earlier job runs in another process.
    void SetOutputReservations(std::vector<OutputReservation> reservations) { reservations_ = std::move(reservations); }

private:
    void Work();
    bool MayStartLocked(std::uint64_t estimate);
    std::uint64_t EstimatePeakBytes(const QueuedFile& file) const;
    void RunJob(QueuedFile file, std::int32_t number, std::string refusal);
    std::unique_ptr<ConversionJob> MakeJob(QueuedFile file, std::int32_t number);
    void CompleteRunLocked(std::unique_lock<std::mutex>& lock);
    void JoinWorkers();

    LifetimeCounters& lifetime_;
    ErrorList& errors_;
    std::string rawPluginPath_;
    std::mutex jobLock_;  // JobEnvironment::jobLock of every job
    OutputClaims claims_;  // the run's output paths, shared by its jobs
    std::vector<OutputReservation> reservations_;
    std::shared_ptr<const ConversionOptions> options_;
    std::shared_ptr<const MaskDateConventions> maskDates_;
    const OutputFormat* outputFormat_ = nullptr;
    std::string summaryText_;
    bool skipExisting_ = false;
    RunState state_;

    // The pool's state, under mutex_.
    mutable std::mutex mutex_;
    std::condition_variable wake_;      // a worker may be able to start a job
    std::condition_variable finished_;  // the run has completed
    std::deque<QueuedFile> queue_;      // files not yet handed out
    std::int32_t nextJobNumber_ = 1;
    std::size_t liveWorkers_ = 0;
    std::size_t poolSize_ = 0;
    bool accepting_ = false;  // new jobs may start
    bool inProgress_ = false;
    bool completed_ = false;
    bool ended_ = true;  // completed and the run-finished call returned
    bool closeWhenDone_ = false;
    bool admitting_ = false;  // a worker holds the next file until the rules let it start
    std::uint64_t budgetBytes_ = 0;
    std::uint64_t reservedBytes_ = 0;  // the running jobs' estimates
    std::atomic<std::size_t> runningJobs_{0};
    std::vector<std::thread> workers_;
    std::mutex finishedCallLock_;  // one jobFinished_ call at a time

    std::function<int()> memoryLoad_;
    std::function<std::uint64_t(const QueuedFile&)> memoryEstimator_;
    std::function<void(ConversionJob&)> runner_;
    std::function<std::thread(std::function<void()>)> threadMaker_;
    std::function<void(const ConversionJob&)> jobFinished_;
    std::function<void()> runFinished_;
    std::shared_ptr<const std::vector<RunOutput>> recipeOutputs_;
};

}  // namespace zelvan
