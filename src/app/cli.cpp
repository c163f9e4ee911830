#include "app/cli.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <thread>

#include "base/error.h"
#include "base/file_io.h"
#include "base/ini.h"
#include "base/path_util.h"
#include "base/program_folder.h"
#include "engine/conversion_options.h"
#include "engine/extensions.h"
#include "jobs/error_list.h"
#include "jobs/folder_scan.h"
#include "jobs/language.h"
#include "jobs/scheduler.h"

#ifndef ZELVAN_VERSION
#define ZELVAN_VERSION "0"
#endif
#ifndef ZELVAN_DATA_DIR
#define ZELVAN_DATA_DIR "/usr/local/share/zelvan"
#endif

namespace zelvan {
namespace {

constexpr const char* kUsage =
    "Usage: zelvan-cli [--settings FILE] [--set KEY=VALUE]... [-o DIR] [PATH | -]...\n"
    "\n"
    "Converts image files and folder trees as one run, the way Zelvan's Convert does.\n"
    "\n"
    "  PATH              a file with an accepted extension, or a folder (scanned recursively)\n"
    "  -                 read paths from standard input, one per line\n"
    "  --settings FILE   read options from FILE (sections [Settings] and [Text_Font])\n"
    "  --set KEY=VALUE   set one option by its settings key (letter case ignored)\n"
    "  -o DIR            the output folder (the same as --set Output_path=DIR)\n"
    "  --help            show this text\n"
    "  --version         show the version\n"
    "\n"
    "Standard output lists the run's errors, then a separator and the summary line.\n"
    "Exit status: 0 when every file converted, 1 when some failed, 2 for a usage error.\n";

constexpr const char* kDefaultSummary = "Files processed:";

struct UsageError : Error {
    using Error::Error;
};

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

struct Arguments {
    std::optional<std::string> settingsFile;
    std::vector<std::pair<std::string, std::string>> sets;
    std::vector<std::string> paths;
    bool help = false;
    bool version = false;
};

Arguments ParseArguments(const std::vector<std::string>& args) {
    Arguments a;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto next = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw UsageError("option " + arg + " needs a value");
            return args[++i];
        };
        if (optionsEnded || arg == "-" || arg.empty() || arg[0] != '-') {
            a.paths.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--help" || arg == "-h") {
            a.help = true;
        } else if (arg == "--version") {
            a.version = true;
        } else if (arg == "--settings") {
            a.settingsFile = next();
        } else if (arg == "--set") {
            const std::string& kv = next();
            std::size_t eq = kv.find('=');
            if (eq == std::string::npos || eq == 0) throw UsageError("--set needs KEY=VALUE, not \"" + kv + "\"");
            a.sets.emplace_back(kv.substr(0, eq), kv.substr(eq + 1));
        } else if (arg == "-o") {
            a.sets.emplace_back("Output_path", next());
        } else {
            throw UsageError("unknown option " + arg);
        }
    }
    return a;
}

// The files of the run in the order given; folders in the order of their scan.
std::vector<std::string> CollectFiles(const std::vector<std::string>& paths, std::istream& in, std::ostream& err) {
    std::vector<std::string> files;
    auto addPath = [&](const std::string& given) {
        // Jobs name their sources by full path, as the file list does.
        std::string path = std::filesystem::absolute(given).lexically_normal().string();
        if (DirectoryExists(path)) {
            ScanFolder(path, {[&](const std::string& file) {
                                  files.push_back(file);
                                  return true;
                              },
                              nullptr});
        } else if (!FileExists(path)) {
            err << "zelvan-cli: " << given << ": no such file or folder, skipped\n";
        } else if (!IsAcceptedExtension(ExtractFileExt(path))) {
            err << "zelvan-cli: " << given << ": not an accepted image file, skipped\n";
        } else {
            files.push_back(path);
        }
    };
    for (const std::string& path : paths) {
        if (path == "-") {
            std::string line;
            while (std::getline(in, line)) {
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (!line.empty()) addPath(line);
            }
        } else {
            addPath(path);
        }
    }
    return files;
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
    for (const auto& [key, value] : a.sets) {
        // The language names the summary line's texts: it is a setting of the file, not an option.
        if (EqualsIgnoreCase(key, "Language")) {
            language = value;
            CheckLanguage(lang, language);
        } else {
            SetOption(options, key, value);
        }
    }
    if (a.paths.empty()) throw UsageError("no PATH given (see --help)");

    std::vector<std::string> files = CollectFiles(a.paths, in, err);
    switch (PrepareRunOptions(options, files.size())) {
        case PrepareResult::NoFiles: throw UsageError("nothing to convert");
        case PrepareResult::DirectoryCreateError:
            throw UsageError("the output folder \"" + options.outputFolder + "\" cannot be created");
        case PrepareResult::FolderHasTokens:
            throw UsageError("the output folder \"" + options.outputFolder +
                             "\" holds rename tokens such as [W]; with renaming on, tokens belong in the rename mask");
        case PrepareResult::Ok: break;
    }

    LifetimeCounters lifetime;
    ErrorList errors;
    Scheduler scheduler(lifetime, errors, ProgramFolder() + "rawdll.so");
    const std::size_t total = files.size();
    scheduler.BeginRun(options, std::move(files), SummaryText(lang, language));

    ProgressLine line(err, progress);
    using Clock = std::chrono::steady_clock;
    auto lastProgress = Clock::now();
    for (;;) {
        if (scheduler.StartTimerOn() && scheduler.StartTick() == Scheduler::StartResult::StartFailed) {
            err << "zelvan-cli: Error creating thread!\n";
            scheduler.Cancel();
        }
        if (scheduler.ReapTimerOn()) scheduler.ReapTick();
        // Without a window to keep responsive there is no reason to wait for a 250 ms timer:
        // the completion check runs as soon as it is due.
        if (scheduler.CompletionTimerOn() && scheduler.CompletionTick()) break;
        auto now = Clock::now();
        if (now - lastProgress >= std::chrono::milliseconds(100)) {
            lastProgress = now;
            line.Show(scheduler, total);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    line.Clear();

    for (const std::string& l : errors.Lines()) out << l << '\n';
    out.flush();
    const RunCounters& counters = scheduler.State().counters;
    const bool allConverted = counters.failed.load() == 0 && counters.processed.load() == static_cast<std::int32_t>(total);
    return allConverted ? 0 : 1;
}

}  // namespace

int RunCommandLine(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
                   bool progressOnTerminal) {
    try {
        Arguments a = ParseArguments(args);
        if (a.help) {
            out << kUsage;
            return 0;
        }
        if (a.version) {
            out << "zelvan-cli " << ZELVAN_VERSION << '\n';
            return 0;
        }
        return Run(a, in, out, err, progressOnTerminal);
    } catch (const Error& e) {
        err << "zelvan-cli: " << e.what() << '\n';
        return 2;
    }
}

}  // namespace zelvan
