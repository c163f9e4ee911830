#include "jobs/scheduler.h"

#include <filesystem>
#include <system_error>

#include "base/file_io.h"
#include "base/path_util.h"
#include "engine/mask_language.h"
#include "jobs/memory_load.h"

namespace zelvan {

std::string CompleteRenameMask(const std::string& mask) {
    if (mask.find("[C]") == std::string::npos && mask.find("[N]") == std::string::npos) return "[C]_" + mask;
    return mask;
}

namespace {

// Whether expanding the text as a rename mask changes it; the subject's values do not matter.
bool HasRenameTokens(const std::string& text) {
    MaskSubject subject;
    subject.sourcePath = "/n.x";
    subject.destinationPath = "/n.x";
    subject.now = QDateTime(QDate(2000, 1, 1), QTime(0, 0));
    const MaskDateConventions dates = MaskDateConventions::FromPatterns(QLocale::c(), "dd.MM.yyyy", "HH:mm");
    return ExpandMask(text, subject, MaskKind::Rename, dates, 1) != text;
}

}  // namespace

PrepareResult PrepareRunOptions(ConversionOptions& options, std::size_t entryCount) {
    if (options.threads <= 0) options.threads = 1;
    if (options.renameEnabled) options.renameMask = CompleteRenameMask(options.renameMask);
    if (entryCount == 0) return PrepareResult::NoFiles;
    if (options.outputFolder.empty()) return PrepareResult::DirectoryCreateError;
    if (options.renameEnabled && HasRenameTokens(options.outputFolder)) return PrepareResult::FolderHasTokens;
    if (options.outputFolder.back() != '/') options.outputFolder += '/';
    std::error_code ec;
    std::filesystem::create_directories(options.outputFolder, ec);
    // Whatever creation said, the folder must exist now.
    if (!DirectoryExists(options.outputFolder)) return PrepareResult::DirectoryCreateError;
    return PrepareResult::Ok;
}

Scheduler::Scheduler(LifetimeCounters& lifetime, ErrorList& errors, std::string rawPluginPath)
    : lifetime_(lifetime), errors_(errors), rawPluginPath_(std::move(rawPluginPath)), memoryLoad_(MemoryLoadPercent) {}

Scheduler::~Scheduler() { state_.jobs.clear(); }

void Scheduler::BeginRun(const ConversionOptions& options, std::vector<std::string> sourcePaths,
                         std::string summaryText) {
    options_ = std::make_shared<const ConversionOptions>(options);
    maskDates_ = std::make_shared<const MaskDateConventions>(MaskDateConventions::System());
    outputFormat_ = FindOutputFormat(options.outputFormat);
    summaryText_ = std::move(summaryText);
    finished_ = false;
    closeWhenDone_ = false;
    state_.counters.processed.store(0);
    state_.queue.assign(std::make_move_iterator(sourcePaths.begin()), std::make_move_iterator(sourcePaths.end()));
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
        auto job = std::make_unique<ConversionJob>(env);
        job->sourcePath = state_.queue.front();
        job->format = outputFormat_;
        const std::string extension = outputFormat_ ? "." + std::string(outputFormat_->extension) : ".";
        job->destinationPath = options_->outputFolder + ChangeFileExt(ExtractFileName(job->sourcePath), extension);
        job->jobNumber = state_.nextJobNumber++;
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
