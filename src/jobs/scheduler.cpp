#include "jobs/scheduler.h"

#include <filesystem>
#include <system_error>

#include "base/file_io.h"
#include "base/path_util.h"
#include "engine/mask_language.h"
#include "jobs/memory_load.h"
#include "jobs/output_plan.h"

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

std::string InitialDestinationPath(const ConversionOptions& options, const OutputFormat* format,
                                   const QueuedFile& file) {
    const std::string extension = format ? "." + std::string(format->extension) : ".";
    return options.outputFolder + file.outputSubfolder + ChangeFileExt(ExtractFileName(file.sourcePath), extension);
}

Scheduler::Scheduler(LifetimeCounters& lifetime, ErrorList& errors, std::string rawPluginPath)
    : lifetime_(lifetime), errors_(errors), rawPluginPath_(std::move(rawPluginPath)), memoryLoad_(MemoryLoadPercent) {}

Scheduler::~Scheduler() { state_.jobs.clear(); }

void Scheduler::BeginRun(const ConversionOptions& options, std::vector<std::string> sourcePaths,
                         std::string summaryText) {
    std::vector<QueuedFile> files;
    files.reserve(sourcePaths.size());
    for (std::string& path : sourcePaths) files.push_back({std::move(path), {}, 0});
    BeginRun(options, std::move(files), std::move(summaryText), false);
}

void Scheduler::BeginRun(const ConversionOptions& options, std::vector<QueuedFile> files, std::string summaryText,
                         bool skipExisting) {
    auto runOptions = std::make_shared<ConversionOptions>(options);
    // Resuming never replaces a file: what exists is skipped, and what appears meanwhile too.
    if (skipExisting) runOptions->overwrite = false;
    options_ = std::move(runOptions);
    skipExisting_ = skipExisting;
    maskDates_ = std::make_shared<const MaskDateConventions>(MaskDateConventions::System());
    outputFormat_ = FindOutputFormat(options.outputFormat);
    summaryText_ = std::move(summaryText);
    finished_ = false;
    closeWhenDone_ = false;
    state_.counters.processed.store(0);
    state_.queue.assign(std::make_move_iterator(files.begin()), std::make_move_iterator(files.end()));
    startTimerOn_ = true;
    reapTimerOn_ = true;
    completionTimerOn_ = false;
    state_.running = true;
    errors_.Clear();
    state_.startedAt = std::chrono::steady_clock::now();
    state_.counters.inputKiB.store(0);
    state_.counters.outputKiB.store(0);
    state_.counters.failed.store(0);
    claims_.Clear();
    state_.nextJobNumber = 1;
}

std::size_t Scheduler::JobLimit() const {
    if (!options_) return 1;
    if (outputFormat_ && outputFormat_->oneJobAtATime) return 1;
    return static_cast<std::size_t>(options_->threads > 0 ? options_->threads : 1);
}

Scheduler::StartResult Scheduler::StartTick() {
    if (!state_.running || !previewIdle.load() || state_.jobs.size() >= JobLimit()) return StartResult::Nothing;
    // The memory guard holds back further jobs while memory is short; with no job running it
    // would only stall the run for good, so the first job always may start.
    if (!state_.jobs.empty() && memoryLoad_() >= 90) return StartResult::Nothing;

    if (state_.queue.empty()) {
        startTimerOn_ = false;
        completionTimerOn_ = true;
        return StartResult::QueueEmpty;
    }

    try {
        JobEnvironment env;
        env.options = options_;
        env.run = &state_.counters;
        env.lifetime = &lifetime_;
        env.errors = &errors_;
        env.jobLock = &jobLock_;
        env.claims = &claims_;
        env.rawPluginPath = rawPluginPath_;
        env.maskDates = maskDates_;
        const QueuedFile& file = state_.queue.front();
        if (!file.outputSubfolder.empty()) {
            // A folder that cannot be made shows as the job's failed write.
            std::error_code ec;
            std::filesystem::create_directories(options_->outputFolder + file.outputSubfolder, ec);
        }
        auto job = std::make_unique<ConversionJob>(env);
        job->sourcePath = file.sourcePath;
        job->format = outputFormat_;
        job->destinationPath = InitialDestinationPath(*options_, outputFormat_, file);
        job->jobNumber = file.jobNumber > 0 ? file.jobNumber : state_.nextJobNumber;
        ++state_.nextJobNumber;
        if (skipExisting_) {
            job->skipExisting = true;
            job->existingOutput = [options = options_, dates = maskDates_](const ConversionJob& j) {
                return ExistingPlannedOutput(*options, j.sourcePath, j.destinationPath, j.jobNumber, *dates);
            };
        }
        job->completed.store(false);
        state_.queue.pop_front();
        ConversionJob& started = *job;
        state_.jobs.push_back(std::move(job));
        try {
            if (starter_) starter_(started);
            else started.Start();
        } catch (...) {
            // A job that never started never occupies an entry.
            state_.jobs.pop_back();
            throw;
        }
    } catch (...) {
        state_.running = false;
        startTimerOn_ = false;
        reapTimerOn_ = false;
        return StartResult::StartFailed;
    }
    return StartResult::Started;
}

bool Scheduler::ReapTick() {
    for (std::size_t i = 0; i < state_.jobs.size(); ++i) {
        if (state_.jobs[i]->completed.load(std::memory_order_acquire)) {
            if (jobFinished_) jobFinished_(*state_.jobs[i]);
            // Destroying the job waits for its thread to end.
            state_.jobs.erase(state_.jobs.begin() + static_cast<std::ptrdiff_t>(i));
            return true;
        }
    }
    return false;
}

bool Scheduler::CompletionTick() {
    if (!state_.jobs.empty()) {
        // After a failed start the reap timer is off; reaping goes on here so that the run
        // still completes once its last job ends.
        if (!reapTimerOn_) ReapTick();
        return false;
    }
    completionTimerOn_ = false;
    reapTimerOn_ = false;
    finished_ = true;
    errors_.AppendLine(kErrorListSeparator);
    errors_.AppendLine(summaryText_ + " " + std::to_string(state_.counters.processed.load()));
    return true;
}

void Scheduler::Cancel() {
    closeWhenDone_ = true;
    state_.running = false;
    startTimerOn_ = false;
    completionTimerOn_ = true;
}

}  // namespace zelvan
