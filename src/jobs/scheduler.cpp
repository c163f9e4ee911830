#include "jobs/scheduler.h"

#include <filesystem>
#include <system_error>

#include "base/file_io.h"
#include "base/path_util.h"
#include "jobs/memory_load.h"

namespace zelvan {

std::string CompleteRenameMask(const std::string& mask) {
    if (mask.find("[C]") == std::string::npos && mask.find("[N]") == std::string::npos) return "[C]_" + mask;
    return mask;
}

PrepareResult PrepareRunOptions(ConversionOptions& options, std::size_t entryCount) {
    if (options.Threads <= 0) options.Threads = 1;
    if (options.Rename_enabled) options.Rename_mask = CompleteRenameMask(options.Rename_mask);
    if (entryCount == 0) return PrepareResult::NoFiles;
    if (options.Output_path.empty()) return PrepareResult::DirectoryCreateError;
    if (options.Output_path.back() != '/') options.Output_path += '/';
    std::error_code ec;
    std::filesystem::create_directories(options.Output_path, ec);
    // Whatever creation said, the folder must exist now.
    if (!DirectoryExists(options.Output_path)) return PrepareResult::DirectoryCreateError;
    return PrepareResult::Ok;
}

Scheduler::Scheduler(LifetimeCounters& lifetime, ErrorList& errors, std::string rawPluginPath)
    : lifetime_(lifetime), errors_(errors), rawPluginPath_(std::move(rawPluginPath)), memoryLoad_(MemoryLoadPercent) {}

Scheduler::~Scheduler() { state_.Jobs.clear(); }

void Scheduler::BeginRun(const ConversionOptions& options, std::vector<std::string> sourcePaths,
                         std::string summaryText) {
    options_ = std::make_shared<const ConversionOptions>(options);
    maskDates_ = std::make_shared<const MaskDateConventions>(MaskDateConventions::System());
    outputExtension_ = OutputExtensionFor(options.Output_format);
    summaryText_ = std::move(summaryText);
    finished_ = false;
    closeWhenDone_ = false;
    state_.Counters.ProcessedCount.store(0);
    state_.Queue.assign(std::make_move_iterator(sourcePaths.begin()), std::make_move_iterator(sourcePaths.end()));
    startTimerOn_ = true;
    reapTimerOn_ = true;
    completionTimerOn_ = false;
    state_.Running = true;
    errors_.Clear();
    state_.StartTick = std::chrono::steady_clock::now();
    state_.Counters.InputKiB.store(0);
    state_.Counters.OutputKiB.store(0);
    state_.NextJobNumber = 1;
}

std::size_t Scheduler::JobLimit() const {
    if (!options_) return 1;
    // JPEG 2000 output runs one job at a time.
    if (options_->Output_format == static_cast<int>(OutputFormat::Jpeg2000)) return 1;
    return static_cast<std::size_t>(options_->Threads > 0 ? options_->Threads : 1);
}

Scheduler::StartResult Scheduler::StartTick() {
    std::lock_guard<std::mutex> lock(startLock_);
    if (!state_.Running || !PreviewIdle.load() || state_.Jobs.size() >= JobLimit()) return StartResult::Nothing;
    // The memory guard holds back further jobs while memory is short; with no job running it
    // would only stall the run for good, so the first job always may start.
    if (!state_.Jobs.empty() && memoryLoad_() >= 90) return StartResult::Nothing;

    if (state_.Queue.empty()) {
        startTimerOn_ = false;
        completionTimerOn_ = true;
        return StartResult::QueueEmpty;
    }

    try {
        JobEnvironment env;
        env.options = options_;
        env.run = &state_.Counters;
        env.lifetime = &lifetime_;
        env.errors = &errors_;
        env.jobLock = &jobLock_;
        env.rawPluginPath = rawPluginPath_;
        env.maskDates = maskDates_;
        auto job = std::make_unique<TConversionThread>(env);
        job->SourcePath = state_.Queue.front();
        job->OutputExtension = outputExtension_;
        job->DestinationPath =
            options_->Output_path + ChangeFileExt(ExtractFileName(job->SourcePath), "." + outputExtension_);
        job->JobNumber = state_.NextJobNumber++;
        job->Completed.store(false);
        state_.Queue.pop_front();
        TConversionThread& started = *job;
        state_.Jobs.push_back(std::move(job));
        try {
            if (starter_) starter_(started);
            else started.Start();
        } catch (...) {
            // A job that never started never occupies an entry.
            state_.Jobs.pop_back();
            throw;
        }
    } catch (...) {
        state_.Running = false;
        startTimerOn_ = false;
        reapTimerOn_ = false;
        return StartResult::StartFailed;
    }
    return StartResult::Started;
}

bool Scheduler::ReapTick() {
    std::lock_guard<std::mutex> lock(reapLock_);
    for (std::size_t i = 0; i < state_.Jobs.size(); ++i) {
        if (state_.Jobs[i]->Completed.load(std::memory_order_acquire)) {
            // Destroying the job waits for its thread to end.
            state_.Jobs.erase(state_.Jobs.begin() + static_cast<std::ptrdiff_t>(i));
            return true;
        }
    }
    return false;
}

bool Scheduler::CompletionTick() {
    if (!state_.Jobs.empty()) {
        // After a failed start the reap timer is off; reaping goes on here so that the run
        // still completes once its last job ends.
        if (!reapTimerOn_) ReapTick();
        return false;
    }
    completionTimerOn_ = false;
    reapTimerOn_ = false;
    finished_ = true;
    errors_.AppendLine(kErrorListSeparator);
    errors_.AppendLine(summaryText_ + " " + std::to_string(state_.Counters.ProcessedCount.load()));
    return true;
}

void Scheduler::Cancel() {
    closeWhenDone_ = true;
    state_.Running = false;
    startTimerOn_ = false;
    completionTimerOn_ = true;
}

}  // namespace zelvan
