#include "app/cli.h"

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
#include "base/program_folder.h"
#include "engine/conversion_options.h"
#include "engine/extensions.h"
#include "engine/output_formats.h"
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
    "  --list-options    list every KEY with its type, default and range\n"
    "  --help            show this text\n"
    "  --version         show the version\n"
    "\n"
    "Short forms, each the same as its --set, applied in order:\n"
    "  -f, --format FMT  jpeg, png, bmp, gif, jp2, tga (Output_format), or auto (Auto_format)\n"
    "  -q, --quality N   the quality of the output format the command line chooses\n"
    "  --resize WxH      fit into W x H, keeping proportions; --resize N% scales by N percent\n"
    "  --filter NAME     nearest, bilinear, hermite, bell, bspline, lanczos3, mitchell\n"
    "  --rename MASK     rename outputs by MASK ([N] name, [C] counter, [W]x[H] size, [E] ext)\n"
    "  --overwrite       replace existing outputs (Overwrite=1)\n"
    "  -j, --threads N   convert N files at once\n"
    "  --metadata WHICH  all, no-location (no GPS), minimal (copyright, artist, camera, dates)\n"
    "                    or none: the source's metadata the outputs carry (Metadata)\n"
    "\n"
    "Runs for scripts and clusters:\n"
    "  --dry-run         write nothing; print one line per file: what would happen (write,\n"
    "                    replace, skip, refuse, clash), the source and the output path(s)\n"
    "  --json            print one JSON object per finished file and a summary object\n"
    "                    instead of the error list\n"
    "  -0, --null        paths read with - are separated by NUL bytes (find -print0)\n"
    "  --keep-tree       mirror each folder PATH's tree below the output folder\n"
    "  --skip-existing   skip files whose final output exists (resume a stopped run)\n"
    "  --shard I/N       convert only the files at places p with p mod N = I (0 <= I < N)\n"
    "                    of the whole list, numbered as in one run of the whole list\n"
    "\n"
    "Examples:\n"
    "  zelvan-cli -f png -o out photos/\n"
    "  zelvan-cli -f jpeg -q 80 --resize 1600x1600 --rename '[N]_small[E]' -o out a.tif b.bmp\n"
    "  find photos -name '*.jpg' -print0 | zelvan-cli -0 --keep-tree --skip-existing --json -o out -\n"
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

struct Shard {
    std::size_t index = 0;
    std::size_t count = 1;
};

struct Arguments {
    std::optional<std::string> settingsFile;
    // --set and the short forms, in the order given.
    std::vector<std::pair<std::string, std::string>> sets;
    // -q: resolved against the format the whole command line chooses.
    std::optional<std::string> quality;
    std::vector<std::string> paths;
    std::optional<Shard> shard;
    bool help = false;
    bool version = false;
    bool listOptions = false;
    bool dryRun = false;
    bool json = false;
    bool nullSeparated = false;
    bool keepTree = false;
    bool skipExisting = false;
};

// The resampling filters by the names of the window's list, in its order.
constexpr std::array<std::string_view, 7> kFilterNames{"nearest", "bilinear", "hermite", "bell",
                                                        "bspline", "lanczos3", "mitchell"};

std::optional<int> ParseCount(std::string_view text) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    int n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
    }
    return n;
}

// -f: a format of the registry by its extension or its name ("jpeg", "JPEG 2000"), or "auto".
void AddFormat(Arguments& a, const std::string& name) {
    const std::string wanted = ToLowerAscii(name);
    if (wanted == "auto") {
        a.sets.emplace_back("Auto_format", "1");
        return;
    }
    auto compact = [](std::string_view text) {
        std::string out;
        for (char c : text)
            if (c != ' ' && c != '-') out += c;
        return ToLowerAscii(out);
    };
    for (const OutputFormat& format : OutputFormats()) {
        if (compact(format.extension) == compact(wanted) || compact(format.caption) == compact(wanted) ||
            (format.extension == "JP2" && wanted == "j2k")) {
            a.sets.emplace_back("Output_format", std::to_string(format.number));
            a.sets.emplace_back("Auto_format", "0");
            return;
        }
    }
    std::string known;
    for (const OutputFormat& format : OutputFormats()) known += " " + ToLowerAscii(format.extension);
    throw UsageError("unknown format \"" + name + "\" (known:" + known + ", auto)");
}

// --resize WxH fits into the box keeping proportions; --resize N% scales.
void AddResize(Arguments& a, const std::string& value) {
    if (!value.empty() && value.back() == '%') {
        std::optional<int> percent = ParseCount(std::string_view(value).substr(0, value.size() - 1));
        if (!percent) throw UsageError("--resize needs WxH or N%, not \"" + value + "\"");
        a.sets.emplace_back("Selected_mode", "2");
        a.sets.emplace_back("Resize_percent", std::to_string(*percent));
        return;
    }
    const std::size_t x = ToLowerAscii(value).find('x');
    std::optional<int> w = x == std::string::npos ? std::nullopt : ParseCount(std::string_view(value).substr(0, x));
    std::optional<int> h = x == std::string::npos ? std::nullopt : ParseCount(std::string_view(value).substr(x + 1));
    if (!w || !h) throw UsageError("--resize needs WxH or N%, not \"" + value + "\"");
    a.sets.emplace_back("Selected_mode", "1");
    a.sets.emplace_back("Resize_proportional", "1");
    a.sets.emplace_back("Resize_width", std::to_string(*w));
    a.sets.emplace_back("Resize_height", std::to_string(*h));
}

void AddFilter(Arguments& a, const std::string& name) {
    std::string wanted = ToLowerAscii(name);
    if (wanted == "b-spline") wanted = "bspline";
    for (std::size_t i = 0; i < kFilterNames.size(); ++i) {
        if (kFilterNames[i] == wanted) {
            a.sets.emplace_back("Resampling_filter", std::to_string(i));
            return;
        }
    }
    std::string known;
    for (std::string_view f : kFilterNames) known += " " + std::string(f);
    throw UsageError("unknown filter \"" + name + "\" (known:" + known + ")");
}

// --metadata: the Metadata choice by name, in the choice's order.
void AddMetadata(Arguments& a, const std::string& name) {
    static constexpr std::array<std::string_view, 4> kNames{"all", "no-location", "minimal", "none"};
    const std::string wanted = ToLowerAscii(name);
    for (std::size_t i = 0; i < kNames.size(); ++i) {
        if (kNames[i] == wanted) {
            a.sets.emplace_back("Metadata", std::to_string(i));
            return;
        }
    }
    throw UsageError("unknown metadata choice \"" + name + "\" (known: all no-location minimal none)");
}

Shard ParseShard(const std::string& value) {
    const std::size_t slash = value.find('/');
    std::optional<int> index = slash == std::string::npos ? std::nullopt : ParseCount(std::string_view(value).substr(0, slash));
    std::optional<int> count = slash == std::string::npos ? std::nullopt : ParseCount(std::string_view(value).substr(slash + 1));
    if (!index || !count || *count < 1 || *index >= *count)
        throw UsageError("--shard needs I/N with 0 <= I < N, not \"" + value + "\"");
    return {static_cast<std::size_t>(*index), static_cast<std::size_t>(*count)};
}

Arguments ParseArguments(const std::vector<std::string>& args) {
    Arguments a;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        // "--name=value" and "-qVALUE" carry their values with them.
        std::optional<std::string> attached;
        if (!optionsEnded && arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
            attached = arg.substr(arg.find('=') + 1);
            arg.erase(arg.find('='));
        } else if (!optionsEnded && arg.size() > 2 && arg[0] == '-' && arg[1] != '-' &&
                   std::string_view("fqjo").find(arg[1]) != std::string_view::npos) {
            attached = arg.substr(2);
            arg.erase(2);
        }
        auto next = [&]() -> std::string {
            if (attached) {
                std::string value = *attached;
                attached.reset();
                return value;
            }
            if (i + 1 >= args.size()) throw UsageError("option " + arg + " needs a value");
            return args[++i];
        };
        if (optionsEnded || arg == "-" || arg.empty() || arg[0] != '-') {
            a.paths.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--help" || arg == "-h") {
            a.help = true;
        } else if (arg == "--version") {
            a.version = true;
        } else if (arg == "--settings") {
            a.settingsFile = next();
        } else if (arg == "--set") {
            const std::string kv = next();
            std::size_t eq = kv.find('=');
            if (eq == std::string::npos || eq == 0) throw UsageError("--set needs KEY=VALUE, not \"" + kv + "\"");
            a.sets.emplace_back(kv.substr(0, eq), kv.substr(eq + 1));
        } else if (arg == "-o") {
            a.sets.emplace_back("Output_path", next());
        } else if (arg == "-f" || arg == "--format") {
            AddFormat(a, next());
        } else if (arg == "-q" || arg == "--quality") {
            a.quality = next();
        } else if (arg == "--resize") {
            AddResize(a, next());
        } else if (arg == "--filter") {
            AddFilter(a, next());
        } else if (arg == "--rename") {
            a.sets.emplace_back("Rename_enabled", "1");
            a.sets.emplace_back("Rename_mask", next());
        } else if (arg == "--overwrite") {
            a.sets.emplace_back("Overwrite", "1");
        } else if (arg == "-j" || arg == "--threads") {
            a.sets.emplace_back("Threads", next());
        } else if (arg == "--metadata") {
            AddMetadata(a, next());
        } else if (arg == "--list-options") {
            a.listOptions = true;
        } else if (arg == "--dry-run") {
            a.dryRun = true;
        } else if (arg == "--json") {
            a.json = true;
        } else if (arg == "-0" || arg == "--null") {
            a.nullSeparated = true;
        } else if (arg == "--keep-tree") {
            a.keepTree = true;
        } else if (arg == "--skip-existing") {
            a.skipExisting = true;
        } else if (arg == "--shard") {
            a.shard = ParseShard(next());
        } else {
            throw UsageError("unknown option " + arg);
        }
        if (attached) throw UsageError("option " + arg + " takes no value");
    }
    return a;
}

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

// A file of the run and where its output goes.
struct FoundFile {
    std::string path;
    std::string subfolder;  // --keep-tree: its folder below the scanned folder argument
};

// The files of the run in the order given; folders in the order of their scan.
std::vector<FoundFile> CollectFiles(const Arguments& a, bool renaming, std::istream& in, std::ostream& err) {
    std::vector<FoundFile> files;
    auto addPath = [&](const std::string& given) {
        // Jobs name their sources by full path, as the file list does.
        std::string path = std::filesystem::absolute(given).lexically_normal().string();
        if (DirectoryExists(path)) {
            const std::string root = path.empty() || path.back() == '/' ? path : path + "/";
            ScanFolder(path, {[&](const std::string& file) {
                                  std::string subfolder;
                                  if (a.keepTree) subfolder = ExtractFilePath(std::string_view(file).substr(root.size()));
                                  // The rename mask would replace tokens in the folder's name too.
                                  if (renaming && HasRenameTokens(subfolder)) {
                                      err << "zelvan-cli: " << file
                                          << ": its folder's name holds rename tokens, skipped\n";
                                      return true;
                                  }
                                  files.push_back({file, std::move(subfolder)});
                                  return true;
                              },
                              nullptr});
        } else if (!FileExists(path)) {
            err << "zelvan-cli: " << given << ": no such file or folder, skipped\n";
        } else if (!IsAcceptedExtension(ExtractFileExt(path))) {
            err << "zelvan-cli: " << given << ": not an accepted image file, skipped\n";
        } else {
            files.push_back({path, {}});
        }
    };
    for (const std::string& path : a.paths) {
        if (path != "-") {
            addPath(path);
            continue;
        }
        std::string line;
        while (std::getline(in, line, a.nullSeparated ? '\0' : '\n')) {
            if (!a.nullSeparated && !line.empty() && line.back() == '\r') line.pop_back();
            if (!line.empty()) addPath(line);
        }
    }
    return files;
}

// The files this process converts: all, or its shard's, numbered by their places in the list.
std::vector<QueuedFile> QueueOf(const std::vector<FoundFile>& files, const std::optional<Shard>& shard) {
    std::vector<QueuedFile> queue;
    for (std::size_t p = 0; p < files.size(); ++p) {
        if (shard && p % shard->count != shard->index) continue;
        queue.push_back({files[p].path, files[p].subfolder, static_cast<std::int32_t>(p + 1)});
    }
    return queue;
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
        if (skipExisting && existing) {
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
                .OptionalText("message", planned.message.empty() ? std::nullopt : std::optional(planned.message));
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
        for (const char* action : {"write", "replace", "skip", "refuse", "clash"}) summary.Number(action, counts[action]);
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
std::string JobJson(const ConversionJob& job, const JobOutput& output) {
    const JobResult& r = output.result;
    std::optional<std::string> code;
    std::optional<std::string> message;
    if (r.error) {
        std::string_view c = JobErrorCode(*r.error);
        if (!c.empty()) code = std::string(c.substr(0, c.size() - 1));  // without its colon
        message = r.errorMessage;
    }
    JsonLine line;
    line.Text("source", job.sourcePath)
        .OptionalText("output", r.outputPath.empty() ? std::nullopt : std::optional(r.outputPath))
        .Text("status", StatusWord(r.status))
        .OptionalText("code", code)
        .OptionalText("message", message)
        .Number("input_bytes", r.inputBytes)
        .Number("output_bytes", r.outputBytes)
        .Number("ms", r.milliseconds);
    // A JPEG XL output says whether it is the source JPEG recompressed or its pixels encoded.
    if (output.format && output.format->extension == "JXL") line.Boolean("jpeg_recompressed", r.recompressedSource);
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
    if (a.quality) SetOption(options, QualityKey(options), *a.quality);
    if (a.paths.empty()) throw UsageError("no PATH given (see --help)");

    std::vector<FoundFile> found = CollectFiles(a, options.renameEnabled, in, err);
    // Every shard refuses an empty list alike; a shard left without files has simply nothing to do.
    switch (PrepareRunOptions(options, found.size(), !a.dryRun)) {
        case PrepareResult::NoFiles: throw UsageError("nothing to convert");
        case PrepareResult::DirectoryCreateError:
            throw UsageError("the output folder \"" + options.outputFolder + "\" cannot be created");
        case PrepareResult::FolderHasTokens:
            throw UsageError("the output folder \"" + options.outputFolder +
                             "\" holds rename tokens such as [W]; with renaming on, tokens belong in the rename mask");
        case PrepareResult::Ok: break;
    }
    std::vector<QueuedFile> queue = QueueOf(found, a.shard);
    if (a.dryRun) return DryRun(options, queue, a.skipExisting, a.json, out);

    LifetimeCounters lifetime;
    ErrorList errors;
    Scheduler scheduler(lifetime, errors, ProgramFolder() + "rawdll.so");
    const std::size_t total = queue.size();
    JsonTotals totals;
    if (a.json) {
        // On the workers, one call at a time.
        scheduler.SetJobFinished([&](const ConversionJob& job) {
            for (const JobOutput& output : job.outputs) {
                totals.Add(output.result);
                out << JobJson(job, output) << '\n';
            }
            out.flush();
        });
    }
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
            .Number("ms", std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() -
                                                                                 scheduler.State().startedAt)
                              .count());
        out << summary.Done() << '\n';
    } else {
        // The list keeps names as they are; printed, a name's control characters are escaped,
        // so each line stays one line and only the real separator and summary end the list.
        for (const std::string& l : errors.Lines()) out << EscapeControlCharacters(l) << '\n';
    }
    out.flush();
    const bool allConverted = counters.failed.load() == 0 && counters.processed.load() == static_cast<std::int32_t>(total);
    if (const int signalNumber = interrupt.Received()) return 128 + signalNumber;
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
