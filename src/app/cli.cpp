#include "app/cli.h"
#include "app/cli_arguments.h"
#include "app/cli_files.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "base/error.h"
#include "base/file_io.h"
#include "base/ini.h"
#include "base/line_escape.h"
#include "base/path_util.h"
#include "app/json_text.h"
#include "app/cli_recipe.h"
#include "base/program_folder.h"
#include "engine/conversion_options.h"
#include "engine/extensions.h"
#include "engine/output_formats.h"
#include "engine/target_encoding.h"
#include "jobs/error_list.h"
#include "jobs/folder_scan.h"
#include "jobs/language.h"
#include "jobs/output_plan.h"
#include "jobs/scheduler.h"

#ifndef ZELVAN_VERSION
#define ZELVAN_VERSION "0"
#endif
#ifndef ZELVAN_DATA_DIR
#define ZELVAN_DATA_DIR "/usr/local/share/zelvan"
#endif

namespace zelvan {
namespace {

constexpr const char* kDefaultSummary = "Files processed:";

std::string LangIniPath() { return FindLanguageFile(ProgramFolder(), DataFolder(ZELVAN_DATA_DIR)); }

// lang.ini as it is, or nothing when it is missing or unreadable: the command line then falls
// back on the English summary instead of refusing to convert.
std::optional<LanguageFile> LoadLanguageFile() {
    std::string path = LangIniPath();
    if (path.empty()) return std::nullopt;
    try {
        return LanguageFile::Load(path);
    } catch (const Error&) {
        return std::nullopt;
    }
}

// Throws Error when lang.ini is there and has no section for the language.
void CheckLanguage(const std::optional<LanguageFile>& lang, const std::string& language) {
    if (!lang || lang->HasLanguage(language)) return;
    std::string known;
    for (const std::string& l : lang->Languages()) known += (known.empty() ? "" : ", ") + l;
    throw Error("setting Language: \"" + language + "\" is not a language of " + LangIniPath() + " (" + known + ")");
}

std::string SummaryText(const std::optional<LanguageFile>& lang, const std::string& language) {
    if (!lang) return kDefaultSummary;
    LanguageFile texts = *lang;
    texts.SetCurrentLanguage(language);
    return texts.LookupText("AllProcessed");
}

std::string FormatKiB(std::int64_t kib) {
    char buffer[64];
    if (kib <= 1001) std::snprintf(buffer, sizeof buffer, "%lld KiB", static_cast<long long>(kib));
    else std::snprintf(buffer, sizeof buffer, "%.2f MiB", static_cast<double>(kib) / 1024.0);
    return buffer;
}

class ProgressLine {
public:
    ProgressLine(std::ostream& err, bool enabled) : err_(err), enabled_(enabled) {}
    void Show(const Scheduler& scheduler, std::size_t total) {
        if (!enabled_) return;
        const RunState& s = scheduler.State();
        auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - s.startedAt);
        err_ << "\r\033[K" << s.counters.processed.load() << "/" << total << "  in " << FormatKiB(s.counters.inputKiB.load())
             << "  out " << FormatKiB(s.counters.outputKiB.load()) << "  " << elapsed.count() << " s" << std::flush;
        shown_ = true;
    }
    void Clear() {
        if (shown_) err_ << "\r\033[K" << std::flush;
    }

private:
    std::ostream& err_;
    bool enabled_;
    bool shown_ = false;
};

// The key -q sets: the quality of the chosen format (the automatic choice's JPEG candidate).
std::string QualityKey(const ConversionOptions& options) {
    const OutputFormat* format = options.autoFormat ? FindOutputFormat("JPG") : FindOutputFormat(options.outputFormat);
    if (!format) throw UsageError("-q: no output format is chosen");
    if (format->extension == "JPG") return "JPG_quality";
    if (format->extension == "JP2") return "J2K_quality";
    const std::string key = std::string(format->extension) + "_quality";
    if (FindOption(key)) return key;
    throw UsageError("-q: the output format " + std::string(format->caption) +
                     " has no quality setting (see --list-options)");
}

// --list-options: one line per key, its fields separated by tabs: key, type, default, range.
void ListOptions(std::ostream& out) {
    const ConversionOptions defaults = DefaultConversionOptions();
    for (const OptionInfo& info : OptionTable()) {
        if (!info.IsOption()) {
            // The one key of the window's own that --set takes: the summary line's language.
            if (EqualsIgnoreCase(info.key, "Language")) {
                std::string languages;
                if (std::optional<LanguageFile> lang = LoadLanguageFile())
                    for (const std::string& l : lang->Languages()) languages += (languages.empty() ? "" : ", ") + l;
                out << info.key << "\ttext\tEnglish\ta language of lang.ini"
                    << (languages.empty() ? "" : ": " + languages) << '\n';
            }
            continue;
        }
        std::string type;
        std::string range;
        switch (info.kind) {
            case OptionInfo::Kind::Integer: {
                auto [lo, hi] = OptionRange(info);
                type = info.listIndex ? "choice" : "integer";
                range = std::to_string(lo) + "-" + std::to_string(hi);
                if (info.integer == &ConversionOptions::outputFormat) {
                    for (const OutputFormat& format : OutputFormats())
                        range += (format.number == 0 ? ": " : ", ") + std::to_string(format.number) + " " +
                                 std::string(format.caption);
                } else if (info.integer == &ConversionOptions::resamplingFilter) {
                    for (std::size_t i = 0; i < kFilterNames.size(); ++i)
                        range += (i == 0 ? ": " : ", ") + std::to_string(i) + " " + std::string(kFilterNames[i]);
                }
                break;
            }
            case OptionInfo::Kind::Boolean:
                type = "boolean";
                range = "0 or 1";
                break;
            case OptionInfo::Kind::Text:
                type = "text";
                range = "any text";
                break;
            case OptionInfo::Kind::Font:
                type = "font";
                range = "face,charset,colour,points,style";
                break;
            case OptionInfo::Kind::Colour:
                type = "colour";
                range = "#000000-#FFFFFF";
                break;
            case OptionInfo::Kind::Window: break;
        }
        out << info.key << '\t' << type << '\t' << OptionText(defaults, info) << '\t' << range << '\n';
    }
}

// "File already exists" says how a rerun goes on.
std::string WithNextStep(const std::string& message) {
    static constexpr std::string_view kExists = "File already exists";
    if (message.size() < kExists.size() || message.compare(message.size() - kExists.size(), kExists.size(), kExists) != 0)
        return message;
    return message + " (--overwrite replaces it, --skip-existing leaves it)";
}

// The dry run's verdict on one file, in the words of its output line.
struct PlannedFile {
    std::string source;
    OutputPlan plan;
    std::string action;   // write, replace, skip, refuse or clash
    std::string message;  // why a file would fail, as its error line would say
};

// Predicts each job's outcome from the names alone, in the order the real run checks: the
// resume test of the final path, the early test of the unrenamed path, another file of the run
// with the same output, and the final path taken.
int DryRun(const ConversionOptions& options, const std::vector<QueuedFile>& queue, bool skipExisting, bool json,
           std::ostream& out) {
    const OutputFormat* format = FindOutputFormat(options.outputFormat);
    const MaskDateConventions dates = MaskDateConventions::System();
    const QDateTime now = QDateTime::currentDateTime();
    const bool overwrite = options.overwrite && !skipExisting;
    std::unordered_map<std::string, std::string> claimed;  // planned output -> its source
    std::map<std::string, int> counts;
    bool someFail = false;
    for (const QueuedFile& file : queue) {
        const std::string destination = InitialDestinationPath(options, format, file);
        std::optional<ImageSize> shown;
        if (NameNeedsPixelSize(options)) shown = HeaderSize(file.sourcePath, options.autoRotate);
        PlannedFile planned{file.sourcePath,
                            PlanOutput(options, file.sourcePath, destination, file.jobNumber, shown, dates, now), "", ""};
        std::optional<std::string> existing;
        std::optional<std::string> clashWith;
        if (!planned.plan.sizeUnknown) {
            for (const std::string& path : planned.plan.paths) {
                if (!existing && FileExists(path)) existing = path;
                if (auto it = claimed.find(path); !clashWith && it != claimed.end()) clashWith = it->second;
            }
        }
        if (!FileExists(file.sourcePath)) {
            planned.action = "fail";
            planned.message = "no such file";
        } else if (skipExisting && existing) {
            planned.action = "skip";
        } else if (!overwrite && !skipExisting && FileExists(destination)) {
            planned.action = "refuse";
            planned.message = "File already exists";
        } else if (clashWith) {
            planned.action = "clash";
            planned.message = "Same output as " + *clashWith;
        } else if (existing) {
            planned.action = overwrite ? "replace" : "refuse";
            if (!overwrite) planned.message = "File already exists";
        } else {
            planned.action = "write";
        }
        if (planned.action == "write" || planned.action == "replace")
            for (const std::string& path : planned.plan.paths) claimed.emplace(path, file.sourcePath);
        someFail = someFail || !planned.message.empty();
        ++counts[planned.action];

        if (json) {
            std::string outputs = "[";
            for (const std::string& path : planned.plan.paths) outputs += (outputs.size() > 1 ? "," : "") + JsonString(path);
            JsonLine line;
            line.Text("source", planned.source)
                .Text("plan", planned.action)
                .Raw("outputs", outputs + "]")
                .Boolean("size_known", !planned.plan.sizeUnknown)
                .OptionalText("message", planned.message.empty() ? std::nullopt
                                                                 : std::optional(WithNextStep(planned.message)));
            out << line.Done() << '\n';
        } else {
            // Escaped, a name cannot add a tab field or a line of its own.
            out << planned.action << '\t' << EscapeControlCharacters(planned.source);
            for (const std::string& path : planned.plan.paths) out << '\t' << EscapeControlCharacters(path);
            out << '\n';
        }
    }
    if (json) {
        JsonLine summary;
        summary.Boolean("summary", true).Boolean("dry_run", true).Number("files", static_cast<std::int64_t>(queue.size()));
        for (const char* action : {"write", "replace", "skip", "refuse", "clash", "fail"}) summary.Number(action, counts[action]);
        out << summary.Done() << '\n';
    }
    out.flush();
    return someFail ? 1 : 0;
}

const char* StatusWord(JobResult::Status status) {
    switch (status) {
        case JobResult::Status::Converted: return "ok";
        case JobResult::Status::Failed: return "failed";
        case JobResult::Status::Skipped: return "skipped";
    }
    return "";
}

// --json: one object per output of a finished job.
std::string ScoreText(double score) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", score);
    return text;
}

std::string JobJson(const ConversionJob& job, const JobOutput& output) {
    const JobResult& r = output.result;
    std::optional<std::string> code;
    std::optional<std::string> message;
    if (r.error) {
        std::string_view c = JobErrorCode(*r.error);
        if (!c.empty()) code = std::string(c.substr(0, c.size() - 1));  // without its colon
        message = WithNextStep(r.errorMessage);
    }
    JsonLine line;
    line.Text("source", job.sourcePath)
        .OptionalText("name", output.name.empty() ? std::nullopt : std::optional(output.name))
        .OptionalText("output", r.outputPath.empty() ? std::nullopt : std::optional(r.outputPath))
        .Text("status", StatusWord(r.status))
        .OptionalText("code", code)
        .OptionalText("message", message)
        .Number("input_bytes", r.inputBytes)
        .Number("output_bytes", r.outputBytes)
        .Number("ms", r.milliseconds);
    // A JPEG XL output says whether it is the source JPEG recompressed or its pixels encoded.
    if (output.format && output.format->extension == "JXL") line.Boolean("jpeg_recompressed", r.recompressedSource);
    // A target size or visual quality: the quality chosen, the score reached, a target missed.
    if (r.chosenQuality) line.Raw("quality", QualityText(*r.chosenQuality));
    if (r.visualScore) line.Raw("score", ScoreText(*r.visualScore));
    line.OptionalText("note", r.note.empty() ? std::nullopt : std::optional(r.note));
    return line.Done();
}

// SIGINT and SIGTERM during a run cancel it as the window's Cancel does: no new jobs, the running
// ones finish their files (each is written whole or not at all), the error list so far is
// printed, and the exit status is 128 + the signal's number. A second signal ends the program at
// once: outputs are written into unnamed files until complete, so that leaves nothing behind.
class InterruptWatch {
public:
    InterruptWatch() {
        received_.store(0);
        struct sigaction action {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        // Restarted calls: the libraries the jobs use do not all retry an interrupted read.
        action.sa_flags = SA_RESTART;
        Watch(SIGINT, action, previousInt_);
        Watch(SIGTERM, action, previousTerm_);
    }
    ~InterruptWatch() {
        ::sigaction(SIGINT, &previousInt_, nullptr);
        ::sigaction(SIGTERM, &previousTerm_, nullptr);
    }
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    // The first signal received, or 0.
    int Received() const { return received_.load(); }

private:
    // A signal the program was started to ignore (a background job's SIGINT, nohup) stays ignored.
    static void Watch(int signalNumber, const struct sigaction& action, struct sigaction& previous) {
        ::sigaction(signalNumber, nullptr, &previous);
        if (previous.sa_handler != SIG_IGN) ::sigaction(signalNumber, &action, nullptr);
    }

    static void OnSignal(int signalNumber) {
        int none = 0;
        if (!received_.compare_exchange_strong(none, signalNumber)) {
            ::signal(signalNumber, SIG_DFL);
            ::raise(signalNumber);
        }
    }

    static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");
    static inline std::atomic<int> received_{0};
    struct sigaction previousInt_ {};
    struct sigaction previousTerm_ {};
};

// The totals of a --json run, gathered as the jobs are reaped.
struct JsonTotals {
    std::int64_t converted = 0;
    std::int64_t failed = 0;
    std::int64_t skipped = 0;
    std::int64_t inputBytes = 0;
    std::int64_t outputBytes = 0;

    void Add(const JobResult& r) {
        switch (r.status) {
            case JobResult::Status::Converted: ++converted; break;
            case JobResult::Status::Failed: ++failed; break;
            case JobResult::Status::Skipped: ++skipped; break;
        }
        if (r.status != JobResult::Status::Skipped) {
            inputBytes += std::max<std::int64_t>(r.inputBytes, 0);
            outputBytes += std::max<std::int64_t>(r.outputBytes, 0);
        }
    }
};

// The output format an -o name's extension names ("photo.webp", "photo.jpeg"), or none.
const OutputFormat* FormatOfFileName(const std::string& name) {
    std::string extension = ToLowerAscii(ExtractFileExt(name));
    if (extension.size() < 2) return nullptr;
    extension.erase(0, 1);
    if (extension == "jpeg") extension = "jpg";
    if (extension == "j2k") extension = "jp2";
    for (const OutputFormat& format : OutputFormats())
        if (ToLowerAscii(format.extension) == extension) return &format;
    return nullptr;
}

// -o FILE with one input file: the output's name, its folder made the output folder and the
// format the name's extension, unless -f chose one. None when -o names a folder.
std::optional<std::string> ChooseOutputFile(const Arguments& a, ConversionOptions& options) {
    if (!a.outputArgument || a.paths.size() != 1 || a.paths.front() == "-" || DirectoryExists(a.paths.front()))
        return std::nullopt;
    const std::string& given = *a.outputArgument;
    if (given.empty() || given.back() == '/' || DirectoryExists(given)) return std::nullopt;
    const OutputFormat* format = FormatOfFileName(given);
    if (!format) return std::nullopt;
    if (!a.formatGiven) {
        options.outputFormat = format->number;
        options.autoFormat = false;
    } else if (options.autoFormat) {
        throw UsageError("-o " + given + " names one file; -f auto would choose its extension by size");
    }
    const std::filesystem::path path = std::filesystem::absolute(given).lexically_normal();
    options.outputFolder = path.parent_path().string();
    // The name is written as given: the rename mask does not apply to it.
    options.renameEnabled = false;
    return path.filename().string();
}

int Run(const Arguments& a, std::istream& in, std::ostream& out, std::ostream& err, bool progress) {
    ConversionOptions options = DefaultConversionOptions();
    std::string language = "English";
    std::optional<LanguageFile> lang = LoadLanguageFile();
    if (a.settingsFile) {
        // The messages of reading and checking the file name it, as the user gave it.
        try {
            IniFile ini = IniFile::Load(*a.settingsFile);
            ApplySettingsFile(options, ini);
            if (std::optional<std::string> named = ini.Value("Settings", "Language")) {
                language = *named;
                CheckLanguage(lang, language);
            }
        } catch (const Error& e) {
            throw UsageError(*a.settingsFile + ": " + e.what());
        }
    }
    // The command line's own naming, as other command-line converters name their outputs, unless
    // the window's naming is asked for by a settings file or a rename flag.
    if (!a.settingsFile && !a.namingGiven) {
        options.renameEnabled = false;
        options.lowerCaseExtension = true;
    }
    for (const auto& [key, value] : a.sets) {
        // The language names the summary line's texts: it is a setting of the file, not an option.
        if (EqualsIgnoreCase(key, "Language")) {
            language = value;
            CheckLanguage(lang, language);
        } else {
            SetOption(options, key, value);
        }
    }
    const std::optional<std::string> outputName = ChooseOutputFile(a, options);
    if (a.quality) SetOption(options, QualityKey(options), *a.quality);
    if (a.paths.empty()) throw UsageError("no PATH given (see --help)");
    if (a.threadsAbove)
        err << "zelvan-cli: -j " << *a.threadsAbove << " is more than " << kThreadsCap << "; converting "
            << options.threads << " files at once\n";
    if (options.renameEnabled && ToLowerAscii(options.renameMask).find("[e]") == std::string::npos)
        err << "zelvan-cli: the rename mask \"" << options.renameMask
            << "\" has no [E]: the outputs get no extension\n";

    std::vector<FoundFile> found = CollectFiles(a, options.renameEnabled, in, err);
    // Every shard refuses an empty list alike; a shard left without files has simply nothing to do.
    switch (PrepareRunOptions(options, found.size(), !a.dryRun)) {
        case PrepareResult::NoFiles: throw UsageError("nothing to convert");
        case PrepareResult::DirectoryCreateError:
            throw UsageError("the output folder \"" + options.outputFolder + "\" cannot be created" + [&] {
                const std::string reason = OutputFolderProblem(options.outputFolder);
                return reason.empty() ? std::string() : ": " + reason;
            }());
        case PrepareResult::FolderHasTokens:
            throw UsageError("the output folder \"" + options.outputFolder +
                             "\" holds rename tokens such as [W]; with renaming on, tokens belong in the rename mask");
        case PrepareResult::Ok: break;
    }
    std::vector<QueuedFile> queue = QueueOf(found, a.shard);
    if (outputName)
        for (QueuedFile& file : queue) file.outputName = *outputName;
    // A recipe or --output: each source makes every one of these outputs (cli_recipe.cpp).
    const std::shared_ptr<const std::vector<RunOutput>> recipeOutputs =
        CommandLineOutputs(a, options, RecipeFolders(ProgramFolder(), DataFolder(ZELVAN_DATA_DIR)));
    if (recipeOutputs) {
        if (!queue.empty() && !queue.front().outputName.empty())
            throw UsageError("-o names one output file; several outputs need a folder");
        if (a.dryRun) return RecipeDryRun(*recipeOutputs, queue, a.skipExisting, a.json, out);
        if (const std::vector<OutputClash> clashes = FindRecipeClashes(*recipeOutputs, queue); !clashes.empty())
            throw UsageError(ClashText(clashes.front()) + " (" + std::to_string(clashes.size()) +
                             " in all, see --dry-run); put [O] in the rename mask or give the outputs subfolders");
    }
    std::optional<Manifest> manifest;
    if (a.manifest && !a.dryRun) manifest.emplace(options.outputFolder);
    if (a.dryRun) return DryRun(options, queue, a.skipExisting, a.json, out);

    LifetimeCounters lifetime;
    ErrorList errors;
    Scheduler scheduler(lifetime, errors, ProgramFolder() + "rawdll.so");
    const std::size_t total = queue.size();
    JsonTotals totals;
    // On the workers, one call at a time.
    scheduler.SetJobFinished([&](const ConversionJob& job) {
        for (const JobOutput& output : job.outputs) {
            totals.Add(output.result);
            if (a.json) out << JobJson(job, output) << '\n';
        }
        if (a.json) out.flush();
    });
    scheduler.SetRecipeOutputs(recipeOutputs);
    // Every shard plans the whole list: an output that a file at an earlier place also takes is
    // that file's, whichever process converts it.
    if (!recipeOutputs && !outputName)
        scheduler.SetOutputReservations(PlanSharedOutputs(options, QueueOf(found, std::nullopt)));
    if (manifest) scheduler.SetJobRunner([&manifest](ConversionJob& job) {
        job.Execute();
        manifest->Add(job);
    });
    using Clock = std::chrono::steady_clock;
    // Watching before the workers start: a signal during the run always cancels it.
    InterruptWatch interrupt;
    if (!scheduler.BeginRun(options, std::move(queue), SummaryText(lang, language), a.skipExisting))
        err << "zelvan-cli: Error creating thread!\n";
    // The workers run the whole list by themselves; this thread only passes a signal on and
    // redraws the progress line while it waits for the run's end.
    ProgressLine line(err, progress);
    bool cancelled = false;
    while (!scheduler.WaitUntilFinished(std::chrono::milliseconds(100))) {
        if (interrupt.Received() && !cancelled) {
            scheduler.Cancel();
            cancelled = true;
        }
        line.Show(scheduler, total);
    }
    line.Clear();
    bool manifestWritten = true;
    if (manifest) {
        try {
            manifest->Write(*a.manifest);
        } catch (const Error& e) {
            err << "zelvan-cli: --manifest " << *a.manifest << ": " << e.what() << '\n';
            manifestWritten = false;
        }
    }

    const RunCounters& counters = scheduler.State().counters;
    if (a.json) {
        JsonLine summary;
        summary.Boolean("summary", true)
            .Number("files", static_cast<std::int64_t>(total))
            .Number("processed", counters.processed.load())
            .Number("converted", totals.converted)
            .Number("failed", totals.failed)
            .Number("skipped", totals.skipped)
            .Number("input_bytes", totals.inputBytes)
            .Number("output_bytes", totals.outputBytes)
            .Boolean("cancelled", cancelled)
            .Number("ms", std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() -
                                                                                 scheduler.State().startedAt)
                              .count());
        out << summary.Done() << '\n';
    } else {
        // The list keeps names as they are; printed, a name's control characters are escaped,
        // so each line stays one line and only the real separator and summary end the list.
        const std::vector<std::string> lines = errors.Lines();
        for (std::size_t i = 0; i < lines.size(); ++i) {
            out << EscapeControlCharacters(WithNextStep(lines[i]));
            // The summary line, last, counts the files that failed and were skipped too.
            if (i + 1 == lines.size())
                out << ", failed: " << totals.failed << ", skipped: " << totals.skipped << (cancelled ? ", cancelled" : "");
            out << '\n';
        }
    }
    out.flush();
    const bool allConverted = counters.failed.load() == 0 && counters.processed.load() == static_cast<std::int32_t>(total);
    if (const int signalNumber = interrupt.Received()) return 128 + signalNumber;
    return allConverted && manifestWritten ? 0 : 1;
}

}  // namespace

int RunCommandLine(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
                   bool progressOnTerminal) {
    try {
        Arguments a = ParseArguments(args);
        if (a.help) {
            out << UsageText();
            return 0;
        }
        if (a.version) {
            out << "zelvan-cli " << ZELVAN_VERSION << '\n';
            return 0;
        }
        if (a.listOptions) {
            ListOptions(out);
            return 0;
        }
        return Run(a, in, out, err, progressOnTerminal);
    } catch (const Error& e) {
        err << "zelvan-cli: " << e.what() << '\n';
        return 2;
    }
}

}  // namespace zelvan
