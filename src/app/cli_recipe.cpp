#include "app/cli_recipe.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <ostream>
#include <unordered_map>

#include "app/json_text.h"
#include "base/file_io.h"
#include "base/ini.h"
#include "base/line_escape.h"
#include "base/path_util.h"
#include "engine/output_formats.h"

namespace zelvan {
namespace {

// The items of an --output value: split at commas not written "\,".
std::vector<std::string> OutputItems(const std::string& text) {
    std::vector<std::string> items(1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == ',') {
            items.back() += ',';
            ++i;
        } else if (text[i] == ',') {
            items.emplace_back();
        } else {
            items.back() += text[i];
        }
    }
    return items;
}

std::optional<int> SideLength(std::string_view text) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    const int n = std::stoi(std::string(text));
    return n >= 1 ? std::optional(n) : std::nullopt;
}

// The quality key of the output's format, as -q chooses it for a run.
std::optional<std::string> QualityKeyOf(const ConversionOptions& options) {
    const OutputFormat* format = options.autoFormat ? FindOutputFormat("JPG") : FindOutputFormat(options.outputFormat);
    if (!format) return std::nullopt;
    if (format->extension == "JPG") return "JPG_quality";
    if (format->extension == "JP2") return "J2K_quality";
    const std::string key = std::string(format->extension) + "_quality";
    if (FindOption(key)) return key;
    return std::nullopt;
}

std::string FormatName(const std::string& path) {
    std::string extension = ToLowerAscii(ExtractFileExt(path));
    return extension.empty() ? extension : extension.substr(1);
}

}  // namespace

RecipeOutput ParseOutputText(const std::string& text, int index, const ConversionOptions& runOptions) {
    const std::string where = "--output " + std::to_string(index) + " (" + text + ")";
    RecipeOutput output;
    std::optional<std::string> quality;
    std::optional<int> width, height;
    for (const std::string& item : OutputItems(text)) {
        const std::string_view trimmed = TrimBlanks(item);
        if (trimmed.empty()) continue;
        const std::size_t eq = trimmed.find('=');
        if (eq == std::string_view::npos || eq == 0) throw UsageError(where + ": \"" + std::string(trimmed) + "\" is not KEY=VALUE");
        const std::string key(TrimBlanks(trimmed.substr(0, eq)));
        const std::string value(TrimBlanks(trimmed.substr(eq + 1)));
        const std::string shortName = ToLowerAscii(key);
        if (shortName == "name") {
            if (std::string problem = OutputNameProblem(value); !problem.empty()) throw UsageError(where + ": " + problem);
            output.name = value;
        } else if (shortName == "subfolder") {
            try {
                output.subfolder = NormalisedSubfolder(value);
            } catch (const Error& e) {
                throw UsageError(where + ": " + e.what());
            }
        } else if (shortName == "quality") {
            quality = value;
        } else if (shortName == "width" || shortName == "height") {
            std::optional<int> side = SideLength(value);
            if (!side) throw UsageError(where + ": " + shortName + " needs a number of pixels, not \"" + value + "\"");
            (shortName == "width" ? width : height) = side;
        } else if (const OptionInfo* info = FindOption(key)) {
            output.SetChange(info->key, value);
        } else {
            // A flag's own name: its value means what it means after the flag.
            Arguments flag;
            try {
                flag = ParseArguments({"--" + shortName, value});
            } catch (const UsageError& e) {
                throw UsageError(where + ": " + e.what());
            }
            if (flag.sets.empty()) throw UsageError(where + ": \"" + key + "\" is not a setting of one output");
            for (const auto& [k, v] : flag.sets) output.SetChange(FindOption(k) ? FindOption(k)->key : k, v);
        }
    }
    if (width || height) {
        // One side given: the picture fits that side, the other is free.
        output.SetChange("Selected_mode", "1");
        output.SetChange("Resize_proportional", "1");
        output.SetChange("Resize_width", std::to_string(width.value_or(99999)));
        output.SetChange("Resize_height", std::to_string(height.value_or(99999)));
    }
    for (const auto& [key, value] : output.changes)
        if (std::string problem = RecipeChangeProblem(key, value); !problem.empty())
            throw UsageError(where + ": key " + key + " " + problem);
    if (quality) {
        const std::optional<std::string> key = QualityKeyOf(OutputOptions(runOptions, output));
        if (!key) throw UsageError(where + ": the output's format has no quality setting (see --list-options)");
        if (std::string problem = RecipeChangeProblem(*key, *quality); !problem.empty())
            throw UsageError(where + ": quality: " + problem);
        output.SetChange(*key, *quality);
    }
    if (output.name.empty()) {
        const ConversionOptions options = OutputOptions(runOptions, output);
        const OutputFormat* format = FindOutputFormat(options.outputFormat);
        output.name = options.autoFormat ? "auto" : format ? ToLowerAscii(format->extension) : "output";
        if (width) output.name += "-" + std::to_string(*width);
        else if (height) output.name += "-h" + std::to_string(*height);
    }
    return output;
}

std::shared_ptr<const std::vector<RunOutput>> CommandLineOutputs(const Arguments& a, const ConversionOptions& runOptions,
                                                                 const std::vector<std::string>& folders) {
    if (!a.recipe && a.outputTexts.empty()) return nullptr;
    Recipe recipe;
    recipe.name = "--output";
    if (a.recipe) {
        try {
            recipe = LoadRecipe(FindRecipeFile(*a.recipe, folders));
        } catch (const Error& e) {
            throw UsageError(e.what());
        }
    }
    int index = 0;
    for (const std::string& text : a.outputTexts) {
        RecipeOutput output = ParseOutputText(text, ++index, runOptions);
        auto taken = [&recipe](const std::string& name) {
            return std::any_of(recipe.outputs.begin(), recipe.outputs.end(),
                               [&](const RecipeOutput& o) { return EqualsIgnoreCase(o.name, name); });
        };
        if (taken(output.name)) {
            if (text.find("name=") != std::string::npos || text.find("NAME=") != std::string::npos)
                throw UsageError("--output " + std::to_string(index) + ": a second output named " + output.name);
            // A made-up name gets a number instead.
            int n = 2;
            while (taken(output.name + "-" + std::to_string(n))) ++n;
            output.name += "-" + std::to_string(n);
        }
        recipe.outputs.push_back(std::move(output));
    }
    std::vector<RunOutput> outputs;
    try {
        outputs = ResolveRecipe(recipe, runOptions);
    } catch (const Error& e) {
        throw UsageError(e.what());
    }
    // Resuming never replaces a file, whatever an output asks.
    if (a.skipExisting) {
        for (RunOutput& output : outputs) {
            auto options = std::make_shared<ConversionOptions>(*output.options);
            options->overwrite = false;
            output.options = std::move(options);
        }
    }
    return std::make_shared<const std::vector<RunOutput>>(std::move(outputs));
}

// The outcome of each output in the order the real run checks: the resume test of the final
// path, the early test of the unrenamed path, another output with the same path, the final path
// taken.
int RecipeDryRun(const std::vector<RunOutput>& outputs, const std::vector<QueuedFile>& queue, bool skipExisting,
                 bool json, std::ostream& out) {
    const MaskDateConventions dates = MaskDateConventions::System();
    const QDateTime now = QDateTime::currentDateTime();
    std::unordered_map<std::string, std::string> claimed;  // planned output -> "source [output]"
    std::map<std::string, std::int64_t> counts;
    bool someFail = false;
    for (const QueuedFile& file : queue) {
        for (const PlannedOutput& p : PlanRecipeOutputs(outputs, file, dates, now)) {
            const bool overwrite = p.output->options->overwrite && !skipExisting;
            std::optional<std::string> existing, clashWith;
            if (!p.plan.sizeUnknown) {
                for (const std::string& path : p.plan.paths) {
                    if (!existing && FileExists(path)) existing = path;
                    if (auto it = claimed.find(path); !clashWith && it != claimed.end()) clashWith = it->second;
                }
            }
            std::string action, message;
            if (skipExisting && existing) {
                action = "skip";
            } else if (!overwrite && !skipExisting && FileExists(p.destinationPath)) {
                action = "refuse";
                message = "File already exists";
            } else if (!p.clashesWith.empty()) {
                action = "clash";
                message = "Same path as output " + p.clashesWith + " of this source";
            } else if (clashWith) {
                action = "clash";
                message = "Same output as " + *clashWith;
            } else if (existing) {
                action = overwrite ? "replace" : "refuse";
                if (!overwrite) message = "File already exists";
            } else {
                action = "write";
            }
            if (action == "write" || action == "replace")
                for (const std::string& path : p.plan.paths) claimed.emplace(path, file.sourcePath);
            someFail = someFail || !message.empty();
            ++counts[action];
            if (json) {
                std::string paths = "[";
                for (const std::string& path : p.plan.paths) paths += (paths.size() > 1 ? "," : "") + JsonString(path);
                JsonLine line;
                line.Text("source", file.sourcePath)
                    .Text("name", p.output->name)
                    .Text("plan", action)
                    .Raw("outputs", paths + "]")
                    .Boolean("size_known", !p.plan.sizeUnknown)
                    .OptionalText("message", message.empty() ? std::nullopt : std::optional(message));
                out << line.Done() << '\n';
            } else {
                out << action << '\t' << EscapeControlCharacters(file.sourcePath) << '\t' << p.output->name;
                for (const std::string& path : p.plan.paths) out << '\t' << EscapeControlCharacters(path);
                if (!p.clashesWith.empty()) out << "\t(" << message << ")";
                out << '\n';
            }
        }
    }
    if (json) {
        JsonLine summary;
        summary.Boolean("summary", true)
            .Boolean("dry_run", true)
            .Number("files", static_cast<std::int64_t>(queue.size()))
            .Number("outputs", static_cast<std::int64_t>(queue.size() * outputs.size()));
        for (const char* action : {"write", "replace", "skip", "refuse", "clash"}) summary.Number(action, counts[action]);
        out << summary.Done() << '\n';
    }
    out.flush();
    return someFail ? 1 : 0;
}

void Manifest::Add(const ConversionJob& job) {
    Source source{job.jobNumber, job.sourcePath, {}};
    for (const JobOutput& output : job.outputs) {
        const JobResult& r = output.result;
        if (r.outputPath.empty() || r.status == JobResult::Status::Failed) continue;
        Entry entry{output.name, r.outputPath, 0, 0, r.outputBytes};
        // A skipped output was written by an earlier run: its size is on the disk, its pixels unread.
        if (r.status == JobResult::Status::Converted) {
            entry.width = r.outputWidth;
            entry.height = r.outputHeight;
        } else {
            std::error_code ec;
            const auto size = std::filesystem::file_size(r.outputPath, ec);
            entry.bytes = ec ? -1 : static_cast<std::int64_t>(size);
        }
        source.outputs.push_back(std::move(entry));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    sources_.push_back(std::move(source));
}

std::string Manifest::Document() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<const Source*> ordered;
    for (const Source& s : sources_) ordered.push_back(&s);
    std::stable_sort(ordered.begin(), ordered.end(), [](const Source* a, const Source* b) { return a->jobNumber < b->jobNumber; });
    std::string doc = "{";
    for (const Source* source : ordered) {
        doc += std::string(doc.size() > 1 ? ",\n" : "\n") + "  " + JsonString(source->path) + ": {\"outputs\": [";
        // srcset per type: each width once, narrowest first.
        std::map<std::string, std::map<int, std::string>> widths;
        bool first = true;
        for (const Entry& e : source->outputs) {
            const std::string below = e.path.rfind(outputFolder_, 0) == 0 ? e.path.substr(outputFolder_.size()) : e.path;
            JsonLine line;
            line.Text("name", e.name).Text("path", e.path).Text("url", UrlPath(below)).Text("format", FormatName(e.path));
            if (e.width > 0) line.Number("width", e.width).Number("height", e.height);
            line.Number("bytes", e.bytes);
            doc += std::string(first ? "\n" : ",\n") + "    " + line.Done();
            first = false;
            const std::string type = MimeTypeOf(e.path);
            if (e.width > 0 && !type.empty()) widths[type].emplace(e.width, UrlPath(below));
        }
        doc += first ? "]" : "\n  ]";
        std::string srcset;
        for (const auto& [type, byWidth] : widths) {
            // A srcset names several widths; a picture smaller than every width gives one.
            if (byWidth.size() < 2) continue;
            std::string value;
            for (const auto& [w, url] : byWidth) value += (value.empty() ? "" : ", ") + url + " " + std::to_string(w) + "w";
            srcset += std::string(srcset.empty() ? "" : ", ") + JsonString(type) + ": " + JsonString(value);
        }
        if (!srcset.empty()) doc += ", \"srcset\": {" + srcset + "}";
        doc += "}";
    }
    doc += ordered.empty() ? "}\n" : "\n}\n";
    return doc;
}

void Manifest::Write(const std::string& path) const {
    const std::string doc = Document();
    WriteFileAtomically(path, {reinterpret_cast<const std::uint8_t*>(doc.data()), doc.size()}, {.replace = true});
}

std::string MimeTypeOf(const std::string& path) {
    static const std::map<std::string, std::string> kTypes{
        {"jpg", "image/jpeg"}, {"jpeg", "image/jpeg"}, {"png", "image/png"}, {"webp", "image/webp"},
        {"avif", "image/avif"}, {"jxl", "image/jxl"},  {"gif", "image/gif"}, {"bmp", "image/bmp"},
        {"jp2", "image/jp2"},  {"tga", "image/x-tga"}};
    const auto it = kTypes.find(FormatName(path));
    return it == kTypes.end() ? std::string() : it->second;
}

std::string UrlPath(const std::string& path) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string url;
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
            std::string_view("-._~/").find(c) != std::string_view::npos) {
            url += c;
        } else {
            url += '%';
            url += kHex[byte >> 4];
            url += kHex[byte & 15];
        }
    }
    return url;
}

}  // namespace zelvan
