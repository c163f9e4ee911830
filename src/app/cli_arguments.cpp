#include "app/cli_arguments.h"

#include <algorithm>
#include <cmath>

#include "base/path_util.h"
#include "engine/conversion_options.h"
#include "engine/output_formats.h"

namespace zelvan {
namespace {

constexpr const char* kUsage =
    "Usage: zelvan-cli [--settings FILE] [--set KEY=VALUE]... [-o DIR | -o FILE] [PATH | -]...\n"
    "\n"
    "Converts image files and folder trees as one run, the way Zelvan's Convert does.\n"
    "\n"
    "  PATH              a file with an accepted extension, or a folder (scanned recursively)\n"
    "  -                 read paths from standard input, one per line\n"
    "  --settings FILE   read options from FILE (sections [Settings] and [Text_Font])\n"
    "  --set KEY=VALUE   set one option by its settings key (letter case ignored)\n"
    "  -o DIR            the output folder (the same as --set Output_path=DIR); without -o,\n"
    "                    outputs go to ~/zelvan-output/\n"
    "  -o FILE           with one input file: write FILE, a name ending in a format's\n"
    "                    extension (photo.webp); the format is the extension's unless -f\n"
    "                    says otherwise\n"
    "  --list-options    list every KEY with its type, default and range\n"
    "  --help            show this text\n"
    "  --version         show the version\n"
    "\n"
    "Short forms, each the same as its --set, applied in order:\n"
    "  -f, --format FMT  @FORMATS@ (Output_format),\n"
    "                    or auto, the smaller of JPEG and PNG (Auto_format)\n"
    "  -q, --quality N   the quality of the output format the command line chooses\n"
    "  --resize WxH      fit into W x H, keeping proportions; --resize N% scales by N percent\n"
    "  --filter NAME     nearest, bilinear, hermite, bell, bspline, lanczos3, mitchell\n"
    "  --rename MASK     rename outputs by MASK ([N] name, [C] counter, [W]x[H] size, [E] ext);\n"
    "                    without --rename, --settings or --set Rename_*, an output keeps its\n"
    "                    source's name with the format's extension in lower case\n"
    "  --overwrite       replace existing outputs (Overwrite=1)\n"
    "  -j, --threads N   convert up to N files at once (at most one per processor)\n"
    "  --metadata WHICH  all, no-location (no GPS), minimal (copyright, artist, camera, dates)\n"
    "                    or none: the source's metadata the outputs carry (Metadata)\n"
    "  --target-size N   JPEG, WebP, AVIF, JPEG XL: the best quality whose file is at most N\n"
    "                    bytes (200000, 200K, 1.5M; counted in whole KiB, rounded down); a\n"
    "                    file larger even at the lowest quality is written at it, with a line\n"
    "                    saying so (Target_mode=1, Target_size in KiB)\n"
    "  --target-quality S  the same formats: the smallest file whose SSIMULACRA 2 score is at\n"
    "                    least S (90 visually lossless, 80 high, 70 web; Target_mode=2)\n"
    "  --memory-budget N the memory the files converted at once may take together by their\n"
    "                    estimates, in MiB or with M or G (4096, 4G); a file needing more\n"
    "                    than all of it fails; 0: 3/4 of the machine's (Memory_budget)\n"
    "\n"
    "Runs for scripts and clusters:\n"
    "  --dry-run         write nothing; print one line per file: what would happen (write,\n"
    "                    replace, skip, refuse, clash), the source and the output path(s)\n"
    "  --json            print one JSON object per finished file and a summary object\n"
    "                    instead of the error list\n"
    "  -0, --null        paths read with - are separated by NUL bytes (find -print0)\n"
    "  --keep-tree       mirror each folder PATH's tree below the output folder; paths read\n"
    "                    with - keep their folders relative to --base DIR (default: the\n"
    "                    common folder of those paths)\n"
    "  --base DIR        the folder that --keep-tree mirrors paths read with - from\n"
    "  --skip-existing   skip files whose final output exists (resume a stopped run)\n"
    "  --shard I/N       convert only the files at places p with p mod N = I (0 <= I < N)\n"
    "                    of the whole list, numbered as in one run of the whole list\n"
    "\n"
    "Several outputs from one decoding of each source (--dry-run, --json: one per output):\n"
    "  --recipe NAME|FILE  make every output of a recipe: a name is looked up in\n"
    "                    ~/.config/Zelvan/recipes/, then the shipped ones (web, email,\n"
    "                    archive); the other flags set what its outputs inherit\n"
    "  --output KEYS     add one output, KEYS 'KEY=VALUE,...' (repeatable): format, quality,\n"
    "                    width, height, resize, filter, rename, metadata, target-size, name,\n"
    "                    subfolder, or a KEY of --list-options; a comma in a value is \\,\n"
    "                    [O] in a rename mask is the output's name\n"
    "  --manifest FILE   write each source's outputs (path, format, width, height, bytes)\n"
    "                    into FILE as JSON, with a srcset per type for outputs of several widths\n"
    "\n"
    "Examples:\n"
    "  zelvan-cli -f png -o out photos/\n"
    "  zelvan-cli -f jpeg -q 80 --resize 1600x1600 --rename '[N]_small[E]' -o out a.tif b.bmp\n"
    "  find photos -name '*.jpg' -print0 | zelvan-cli -0 --keep-tree --skip-existing --json -o out -\n"
    "\n"
    "Standard output lists the run's errors, then a separator and the summary line.\n"
    "A file given twice is converted once; a missing or unreadable file is a failed file.\n"
    "Exit status: 0 when every file converted, 1 when some failed, 2 for a usage error.\n"
    "The manual page (man zelvan-cli) describes the --json records field by field.\n";

std::optional<int> ParseCount(std::string_view text) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    int n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
    }
    return n;
}

// --target-size: bytes, or KiB and MiB with K or M ("200K", "1.5M").
void AddTargetSize(Arguments& a, const std::string& text) {
    const std::string bad = "--target-size needs a size in bytes, or with K or M (200K), not \"" + text + "\"";
    std::string number = text;
    double unit = 1;
    if (!number.empty() && (number.back() == 'K' || number.back() == 'k')) unit = 1024;
    if (!number.empty() && (number.back() == 'M' || number.back() == 'm')) unit = 1024 * 1024;
    if (unit != 1) number.pop_back();
    if (number.empty() || number.find_first_not_of("0123456789.") != std::string::npos ||
        number.find('.') != number.rfind('.') || number == ".")
        throw UsageError(bad);
    // The option counts whole KiB: a size in bytes is rounded down, so the file stays within it.
    const double kib = std::floor(std::stod(number) * unit / 1024);
    if (!(kib >= 1) || kib > 2097151) throw UsageError(bad + ": at least 1K, less than 2G");
    a.sets.emplace_back("Target_mode", "1");
    a.sets.emplace_back("Target_size", std::to_string(static_cast<long long>(kib)));
}

// --memory-budget: MiB, or with M or G ("4096", "4G").
void AddMemoryBudget(Arguments& a, const std::string& text) {
    const std::string bad = "--memory-budget needs a size in MiB, or with M or G (4G), not \"" + text + "\"";
    std::string number = text;
    long long unit = 1;
    if (!number.empty() && (number.back() == 'G' || number.back() == 'g')) unit = 1024;
    if (!number.empty() && (number.back() == 'M' || number.back() == 'm' || unit != 1)) number.pop_back();
    const std::optional<int> n = ParseCount(number);
    if (!n) throw UsageError(bad);
    const long long mib = *n * unit;
    if (mib > 2097151) throw UsageError(bad + ": at most 2047G");
    a.sets.emplace_back("Memory_budget", std::to_string(mib));
}

// -j N: any N from 1 on, clamped to the processors; above the cap the run says what it uses.
void AddThreads(Arguments& a, const std::string& value) {
    std::optional<int> n = ParseCount(value);
    if (!n || *n < 1) throw UsageError("-j needs a number of files at once, 1 or more, not \"" + value + "\"");
    if (*n > kThreadsCap) a.threadsAbove = *n;
    a.sets.emplace_back("Threads", std::to_string(std::min(*n, ProcessorCount())));
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

}  // namespace

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
            if (EqualsIgnoreCase(kv.substr(0, std::min<std::size_t>(eq, 7)), "Rename_")) a.namingGiven = true;
        } else if (arg == "-o") {
            a.outputArgument = next();
            a.sets.emplace_back("Output_path", *a.outputArgument);
        } else if (arg == "-f" || arg == "--format") {
            AddFormat(a, next());
            a.formatGiven = true;
        } else if (arg == "-q" || arg == "--quality") {
            a.quality = next();
        } else if (arg == "--resize") {
            AddResize(a, next());
        } else if (arg == "--filter") {
            AddFilter(a, next());
        } else if (arg == "--rename") {
            a.sets.emplace_back("Rename_enabled", "1");
            a.sets.emplace_back("Rename_mask", next());
            a.namingGiven = true;
        } else if (arg == "--overwrite") {
            a.sets.emplace_back("Overwrite", "1");
        } else if (arg == "-j" || arg == "--threads") {
            AddThreads(a, next());
        } else if (arg == "--metadata") {
            AddMetadata(a, next());
        } else if (arg == "--target-size") {
            AddTargetSize(a, next());
        } else if (arg == "--target-quality") {
            a.sets.emplace_back("Target_mode", "2");
            a.sets.emplace_back("Target_quality", next());
        } else if (arg == "--memory-budget") {
            AddMemoryBudget(a, next());
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
        } else if (arg == "--base") {
            a.base = next();
        } else if (arg == "--shard") {
            a.shard = ParseShard(next());
        } else if (arg == "--recipe") {
            a.recipe = next();
        } else if (arg == "--output") {
            a.outputTexts.push_back(next());
        } else if (arg == "--manifest") {
            a.manifest = next();
        } else {
            throw UsageError("unknown option " + arg);
        }
        if (attached) throw UsageError("option " + arg + " takes no value");
    }
    return a;
}


std::string UsageText() {
    std::string formats;
    for (const OutputFormat& format : OutputFormats()) formats += (formats.empty() ? "" : ", ") + ToLowerAscii(format.extension);
    std::string text = kUsage;
    const std::string placeholder = "@FORMATS@";
    text.replace(text.find(placeholder), placeholder.size(), formats);
    return text;
}

}  // namespace zelvan
