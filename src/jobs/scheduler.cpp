#include "jobs/scheduler.h"

#include <filesystem>
#include <system_error>

#include "base/file_io.h"
#include "base/path_util.h"
#include "engine/memory_estimate.h"
#include "engine/output_naming.h"
#include "engine/mask_language.h"
#include "jobs/memory_load.h"
#include "jobs/output_plan.h"
#include "jobs/recipe_run.h"

namespace zelvan {

std::string CompleteRenameMask(const std::string& mask) {
    if (mask.find("[C]") == std::string::npos && mask.find("[N]") == std::string::npos) return "[C]_" + mask;
    return mask;
}

// The subject's values do not matter.
bool HasRenameTokens(const std::string& text) {
    MaskSubject subject;
    subject.sourcePath = "/n.x";
    subject.destinationPath = "/n.x";
    subject.now = QDateTime(QDate(2000, 1, 1), QTime(0, 0));
    const MaskDateConventions dates = MaskDateConventions::FromPatterns(QLocale::c(), "dd.MM.yyyy", "HH:mm");
    return ExpandMask(text, subject, MaskKind::Rename, dates, 1) != text;
}

PrepareResult PrepareRunOptions(ConversionOptions& options, std::size_t entryCount, bool createFolder) {
    if (options.threads <= 0) options.threads = 1;
    if (options.renameEnabled) options.renameMask = CompleteRenameMask(options.renameMask);
    if (entryCount == 0) return PrepareResult::NoFiles;
    if (options.outputFolder.empty()) return PrepareResult::DirectoryCreateError;
    if (options.renameEnabled && HasRenameTokens(options.outputFolder)) return PrepareResult::FolderHasTokens;
    if (options.outputFolder.back() != '/') options.outputFolder += '/';
    if (!createFolder) {
        // A dry run writes nothing: it only refuses a folder that could never be made, one
        // whose nearest existing ancestor is not a folder.
        std::filesystem::path existing = std::filesystem::path(options.outputFolder).parent_path();
        std::error_code ec;
        while (!existing.empty() && !std::filesystem::exists(existing, ec) && existing != existing.parent_path())
            existing = existing.parent_path();
        return existing.empty() || DirectoryExists(existing.string()) ? PrepareResult::Ok
                                                                       : PrepareResult::DirectoryCreateError;
    }
    std::error_code ec;
    std::filesystem::create_directories(options.outputFolder, ec);
    // Whatever creation said, the folder must exist now.
    if (!DirectoryExists(options.outputFolder)) return PrepareResult::DirectoryCreateError;
    return PrepareResult::Ok;
}

std::string OutputFolderProblem(const std::string& folder) {
    namespace fs = std::filesystem;
    std::string trimmed = folder;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    std::error_code ec;
    // The nearest part of the path that exists decides, before the system's reason does.
    for (fs::path p = trimmed; !p.empty(); p = p.parent_path()) {
        const fs::file_status self = fs::symlink_status(p, ec);
        if (fs::exists(self)) {
            const fs::file_status target = fs::status(p, ec);
            if (fs::is_symlink(self) && !fs::exists(target)) return "\"" + p.string() + "\" is a link to nothing";
            if (!fs::is_directory(target)) return "\"" + p.string() + "\" is not a folder";
            break;
        }
        if (p == p.parent_path()) break;
    }
    fs::create_directories(trimmed, ec);
    return ec ? ec.message() : std::string();
}

std::string InitialDestinationPath(const ConversionOptions& options, const OutputFormat* format,
                                   const QueuedFile& file) {
    if (!file.outputName.empty()) return options.outputFolder + file.outputSubfolder + file.outputName;
    const std::string extension = format ? OutputExtension(options, format->extension) : ".";
    return options.outputFolder + file.outputSubfolder + ChangeFileExt(ExtractFileName(file.sourcePath), extension);
}

Scheduler::Scheduler(LifetimeCounters& lifetime, ErrorList& errors, std::string rawPluginPath)
    : lifetime_(lifetime),
      errors_(errors),
      rawPluginPath_(std::move(rawPluginPath)),
      memoryLoad_(MemoryLoadPercent),
      threadMaker_([](std::function<void()> body) { return std::thread(std::move(body)); }) {
    previewGate.SetOpenedListener([this] {
        // Under the lock, so that a worker between its check and its wait cannot miss it.
        std::lock_guard<std::mutex> lock(mutex_);
        wake_.notify_all();
    });
}

Scheduler::~Scheduler() {
    previewGate.SetOpenedListener({});
    Cancel();
    JoinWorkers();
}

void Scheduler::JoinWorkers() {
    for (std::thread& worker : workers_)
        if (worker.joinable()) worker.join();
    workers_.clear();
}

bool Scheduler::BeginRun(const ConversionOptions& options, std::vector<std::string> sourcePaths,
                         std::string summaryText) {
    std::vector<QueuedFile> files;
    files.reserve(sourcePaths.size());
    for (std::string& path : sourcePaths) files.push_back({std::move(path), {}, 0});
    return BeginRun(options, std::move(files), std::move(summaryText), false);
}

bool Scheduler::BeginRun(const ConversionOptions& options, std::vector<QueuedFile> files, std::string summaryText,
                         bool skipExisting) {
    // The workers of the last run have all left (it completed); their threads are joined here.
    JoinWorkers();
    auto runOptions = std::make_shared<ConversionOptions>(options);
    // Resuming never replaces a file: what exists is skipped, and what appears meanwhile too.
    if (skipExisting) runOptions->overwrite = false;
    options_ = std::move(runOptions);
    skipExisting_ = skipExisting;
    maskDates_ = std::make_shared<const MaskDateConventions>(MaskDateConventions::System());
    outputFormat_ = FindOutputFormat(options.outputFormat);
    summaryText_ = std::move(summaryText);
    errors_.Clear();
    claims_.Clear(reservations_);
    state_.counters.processed.store(0);
    state_.counters.inputKiB.store(0);
    state_.counters.outputKiB.store(0);
    state_.counters.failed.store(0);
    state_.startedAt = std::chrono::steady_clock::now();

    std::unique_lock<std::mutex> lock(mutex_);
    queue_.assign(std::make_move_iterator(files.begin()), std::make_move_iterator(files.end()));
    nextJobNumber_ = 1;
    accepting_ = true;
    inProgress_ = true;
    completed_ = false;
    ended_ = false;
    closeWhenDone_ = false;
    admitting_ = false;
    budgetBytes_ = MemoryBudgetBytes(options_->memoryBudgetMiB, PhysicalMemoryBytes());
    reservedBytes_ = 0;
    // No more workers than files: a worker would only start to leave again.
    poolSize_ = std::min(JobLimit(), std::max<std::size_t>(queue_.size(), 1));
    liveWorkers_ = 0;
    for (std::size_t i = 0; i < poolSize_; ++i) {
        try {
            workers_.push_back(threadMaker_([this] { Work(); }));
            ++liveWorkers_;
        } catch (const std::system_error&) {
            // The run goes on with the workers there are.
            break;
        }
    }
    if (liveWorkers_ > 0) return true;
    // Not one worker: the run ends at once, as a cancelled one with nothing done.
    accepting_ = false;
    closeWhenDone_ = true;
    CompleteRunLocked(lock);
    return false;
}

std::size_t Scheduler::JobLimit() const {
    if (!options_) return 1;
    if (outputFormat_ && outputFormat_->oneJobAtATime && !recipeOutputs_) return 1;
    if (recipeOutputs_ && AnyOutputAloneAtATime(*recipeOutputs_)) return 1;
    return static_cast<std::size_t>(options_->threads > 0 ? options_->threads : 1);
}

bool Scheduler::InProgress() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return inProgress_;
}

bool Scheduler::Finished() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return completed_;
}

bool Scheduler::CloseWhenDone() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closeWhenDone_;
}

std::size_t Scheduler::QueuedFiles() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

// The memory guard and the budget hold back further jobs while memory is short; with no job
// running they would only stall the run for good, so a job that fits the budget always may start
// then.
bool Scheduler::MayStartLocked(std::uint64_t estimate) {
    if (!previewGate.IsOpen()) return false;
    if (runningJobs_.load(std::memory_order_relaxed) == 0) return true;
    if (memoryLoad_() >= 90) return false;
    return budgetBytes_ == 0 || reservedBytes_ + estimate <= budgetBytes_;
}

// The picture's size from its header and every output the job will make; 0 when the header
// gives no size.
std::uint64_t Scheduler::EstimatePeakBytes(const QueuedFile& file) const {
    if (memoryEstimator_) return memoryEstimator_(file);
    const std::optional<ImageSize> shown = HeaderSize(file.sourcePath, options_->autoRotate);
    if (!shown) return 0;
    std::vector<EstimatedOutput> outputs;
    if (recipeOutputs_) {
        for (const RunOutput& output : *recipeOutputs_)
            outputs.push_back({output.format ? output.format->number : output.options->outputFormat,
                               output.options.get()});
    } else {
        outputs.push_back({outputFormat_ ? outputFormat_->number : options_->outputFormat, options_.get()});
    }
    return EstimateJobPeakBytes(*shown, outputs);
}

std::unique_ptr<ConversionJob> Scheduler::MakeJob(QueuedFile file, std::int32_t number) {
    JobEnvironment env;
    env.options = options_;
    env.run = &state_.counters;
    env.lifetime = &lifetime_;
    env.errors = &errors_;
    env.jobLock = &jobLock_;
    env.claims = &claims_;
    env.rawPluginPath = rawPluginPath_;
    env.maskDates = maskDates_;
    if (!file.outputSubfolder.empty()) {
        // A folder that cannot be made shows as the job's failed write.
        std::error_code ec;
        std::filesystem::create_directories(options_->outputFolder + file.outputSubfolder, ec);
    }
    auto job = std::make_unique<ConversionJob>(env);
    job->sourcePath = file.sourcePath;
    job->jobNumber = file.jobNumber > 0 ? file.jobNumber : number;
    if (recipeOutputs_) AddRecipeOutputs(*job, *recipeOutputs_, file);
    else job->AddOutput(outputFormat_, InitialDestinationPath(*options_, outputFormat_, file));
    if (skipExisting_) {
        job->skipExisting = true;
        job->existingOutput = [options = options_, dates = maskDates_](const ConversionJob& j, const JobOutput& o) {
            return ExistingPlannedOutput(o.options ? *o.options : *options, j.sourcePath, o.destinationPath,
                                         j.jobNumber, *dates);
        };
    }
    return job;
}

// One worker: takes the next file while there is one and the rules let a job start, runs it, and
// leaves when the queue is empty or the run was cancelled. The last worker to leave completes the
// run.
void Scheduler::Work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return !accepting_ || queue_.empty() || (!admitting_ && previewGate.IsOpen()); });
        if (!accepting_ || queue_.empty()) break;
        QueuedFile file = std::move(queue_.front());
        queue_.pop_front();
        const std::int32_t number = nextJobNumber_++;
        admitting_ = true;
        // Reading the header takes the lock from no other worker.
        lock.unlock();
        std::uint64_t estimate = 0;
        try {
            estimate = EstimatePeakBytes(file);
        } catch (...) {
            // No estimate: the load rule alone holds the job back.
        }
        lock.lock();
        const bool neverFits = budgetBytes_ > 0 && estimate > budgetBytes_;
        wake_.wait(lock, [&] { return !accepting_ || neverFits || MayStartLocked(estimate); });
        admitting_ = false;
        wake_.notify_all();
        // Cancelled: the file stays unconverted with the rest of the queue.
        if (!accepting_) break;
        constexpr std::uint64_t kMiB = 1024 * 1024;
        std::string refusal;
        if (neverFits) {
            refusal = "needs about " + std::to_string((estimate + kMiB - 1) / kMiB) + " MiB, the budget is " +
                      std::to_string(budgetBytes_ / kMiB) + " MiB";
            estimate = 0;  // it runs no step: it holds nothing
        }
        runningJobs_.fetch_add(1, std::memory_order_relaxed);
        reservedBytes_ += estimate;
        lock.unlock();

        RunJob(std::move(file), number, std::move(refusal));

        lock.lock();
        runningJobs_.fetch_sub(1, std::memory_order_relaxed);
        reservedBytes_ -= estimate;
        // A job's end may let a worker held back by the memory rules start.
        wake_.notify_all();
    }
    if (--liveWorkers_ == 0) CompleteRunLocked(lock);
}

// A job refused before it starts reports its refusal through its own steps, never held by a
// test's runner.
void Scheduler::RunJob(QueuedFile file, std::int32_t number, std::string refusal) {
    try {
        std::unique_ptr<ConversionJob> job = MakeJob(std::move(file), number);
        job->refusal = std::move(refusal);
        if (runner_ && job->refusal.empty()) runner_(*job);
        else job->Execute();
        if (jobFinished_) {
            std::lock_guard<std::mutex> calls(finishedCallLock_);
            jobFinished_(*job);
        }
    } catch (...) {
        // Execute reports every failure itself; a job that could not even be made is lost
        // to the run's count, which then shows it as not converted.
    }
}

// Appends the separator and the summary, wakes whoever waits for the run, and tells the driver.
void Scheduler::CompleteRunLocked(std::unique_lock<std::mutex>& lock) {
    accepting_ = false;
    errors_.AppendLine(kErrorListSeparator);
    errors_.AppendLine(summaryText_ + " " + std::to_string(state_.counters.processed.load()));
    completed_ = true;
    inProgress_ = false;
    lock.unlock();
    if (runFinished_) runFinished_();
    lock.lock();
    // Waiting ends only once the driver has been told: it may then drop what the call used.
    ended_ = true;
    finished_.notify_all();
}

bool Scheduler::WaitUntilFinished(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return finished_.wait_for(lock, timeout, [this] { return ended_; });
}

void Scheduler::Cancel() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!inProgress_) return;
    accepting_ = false;
    closeWhenDone_ = true;
    wake_.notify_all();
}

}  // namespace zelvan
