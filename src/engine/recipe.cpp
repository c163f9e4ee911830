#include "engine/recipe.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <system_error>

#include "base/file_io.h"
#include "base/ini.h"
#include "base/path_util.h"
#include "engine/mask_language.h"
#include "engine/settings_file.h"

namespace zelvan {
namespace {

// Options that only the whole run can have: one pool of workers and one output folder, and the
// source is loaded, turned and given its colour profile once for all outputs.
constexpr std::string_view kRunOnlyKeys[] = {"Threads", "Output_path", "Auto_rotate", "Colour_profile"};

constexpr std::string_view kOutputNameToken = "[O]";

// "web.ini" -> "web".
std::string Stem(std::string_view path) { return ChangeFileExt(ExtractFileName(path), ""); }

bool HasControlCharacters(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

// "file.ini, line 7, [webp-960], key Quality: ..." — as much of the place as is known.
std::string Place(const std::string& fileName, int line, std::string_view section, std::string_view key) {
    std::string place = fileName;
    if (line > 0) place += ", line " + std::to_string(line);
    if (!section.empty()) place += ", [" + std::string(section) + "]";
    if (!key.empty()) place += ", key " + std::string(key);
    return place;
}

}  // namespace

const std::string* RecipeOutput::Change(std::string_view key) const {
    for (const auto& [k, v] : changes)
        if (EqualsIgnoreCase(k, key)) return &v;
    return nullptr;
}

void RecipeOutput::SetChange(std::string_view key, const std::string& value) {
    auto it = std::find_if(changes.begin(), changes.end(), [&](const auto& c) { return EqualsIgnoreCase(c.first, key); });
    if (value.empty()) {
        if (it != changes.end()) changes.erase(it);
    } else if (it != changes.end()) {
        it->second = value;
    } else {
        changes.emplace_back(std::string(key), value);
    }
}

std::string RecipeChangeProblem(std::string_view key, std::string_view value) {
    const OptionInfo* info = FindOption(key);
    if (!info) {
        return FindSettingsKey(key) ? "is the window's own setting, not an option of an output"
                                    : "is not an option (see --list-options)";
    }
    for (std::string_view runOnly : kRunOnlyKeys)
        if (EqualsIgnoreCase(runOnly, key))
            return "applies to the whole run, not to one output: set it outside the recipe";
    ConversionOptions probe;
    try {
        SetOption(probe, key, value);
    } catch (const Error& e) {
        return e.what();
    }
    return {};
}

std::string OutputNameProblem(std::string_view name) {
    if (name.empty()) return "an output needs a name";
    if (name == "." || name == "..") return "\"" + std::string(name) + "\" cannot be part of a file name";
    if (HasControlCharacters(name) || name.find_first_of("/[]") != std::string_view::npos)
        return "an output's name cannot hold \"/\", \"[\", \"]\" or control characters";
    return {};
}

std::string NormalisedSubfolder(std::string_view value) {
    value = TrimBlanks(value);
    if (value.empty()) return {};
    if (HasControlCharacters(value)) throw Error("a subfolder cannot hold control characters");
    if (value.front() == '/') throw Error("the subfolder must lie below the output folder, not at \"" + std::string(value) + "\"");
    std::string folder;
    for (const auto& part : std::filesystem::path(std::string(value))) {
        const std::string piece = part.string();
        if (piece.empty() || piece == ".") continue;
        if (piece == "..") throw Error("the subfolder must lie below the output folder: \"..\" leaves it");
        folder += piece + "/";
    }
    return folder;
}

Recipe ParseRecipe(std::string_view text, const std::string& fileName) {
    Recipe recipe;
    RecipeOutput* current = nullptr;
    int lineNumber = 0;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = TrimBlanks(text.substr(pos, end - pos));
        pos = end + 1;
        ++lineNumber;
        if (lineNumber == 1 && line.substr(0, 3) == "\xEF\xBB\xBF") line = TrimBlanks(line.substr(3));
        if (line.empty() || line.front() == ';' || line.front() == '#') continue;
        if (line.front() == '[') {
            if (line.back() != ']')
                throw RecipeError(Place(fileName, lineNumber, {}, {}) + ": a section's name must end with \"]\"");
            const std::string name(TrimBlanks(line.substr(1, line.size() - 2)));
            if (std::string problem = OutputNameProblem(name); !problem.empty())
                throw RecipeError(Place(fileName, lineNumber, name, {}) + ": " + problem);
            for (const RecipeOutput& o : recipe.outputs)
                if (EqualsIgnoreCase(o.name, name))
                    throw RecipeError(Place(fileName, lineNumber, name, {}) + ": a second output of this name");
            current = &recipe.outputs.emplace_back();
            current->name = name;
            continue;
        }
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            throw RecipeError(Place(fileName, lineNumber, current ? current->name : "", {}) +
                              ": \"" + std::string(line) + "\" is not KEY=VALUE");
        const std::string key(TrimBlanks(line.substr(0, eq)));
        const std::string value(TrimBlanks(line.substr(eq + 1)));
        if (!current)
            throw RecipeError(Place(fileName, lineNumber, {}, key) + ": keys belong in an output's [section]");
        if (EqualsIgnoreCase(key, kSubfolderKey)) {
            try {
                current->subfolder = NormalisedSubfolder(value);
            } catch (const Error& e) {
                throw RecipeError(Place(fileName, lineNumber, current->name, key) + ": " + e.what());
            }
            continue;
        }
        if (std::string problem = RecipeChangeProblem(key, value); !problem.empty())
            throw RecipeError(Place(fileName, lineNumber, current->name, key) + ": " + problem);
        const std::string canonical = FindOption(key)->key;
        if (current->Change(canonical))
            throw RecipeError(Place(fileName, lineNumber, current->name, key) + ": given twice in this output");
        current->changes.emplace_back(canonical, value);
    }
    if (recipe.outputs.empty()) throw RecipeError(fileName + ": the recipe has no outputs (no [section])");
    recipe.name = Stem(fileName);
    return recipe;
}

Recipe LoadRecipe(const std::string& path) {
    std::vector<std::uint8_t> bytes;
    try {
        // A recipe is a few lines; anything near this size is not one.
        bytes = ReadFileBytes(path, std::uint64_t{1} << 20);
    } catch (const Error& e) {
        throw RecipeError(path + ": " + e.what());
    }
    Recipe recipe = ParseRecipe(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), path);
    recipe.name = Stem(path);
    return recipe;
}

std::string RecipeText(const Recipe& recipe) {
    std::string text;
    for (const RecipeOutput& output : recipe.outputs) {
        if (!text.empty()) text += "\n";
        text += "[" + output.name + "]\n";
        for (const auto& [key, value] : output.changes) text += key + "=" + value + "\n";
        if (!output.subfolder.empty()) text += std::string(kSubfolderKey) + "=" + output.subfolder + "\n";
    }
    return text;
}

void SaveRecipe(const Recipe& recipe, const std::string& path) {
    // What could not be read back is not written.
    ParseRecipe(RecipeText(recipe), path);
    const std::string text = RecipeText(recipe);
    EnsureFolderExists(ExtractFilePath(path));
    WriteFileAtomically(path, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, {.replace = true});
}

ConversionOptions OutputOptions(const ConversionOptions& run, const RecipeOutput& output) {
    ConversionOptions options = run;
    for (const auto& [key, value] : output.changes) SetOption(options, key, value);
    options.renameMask = ReplaceToken(options.renameMask, kOutputNameToken, output.name);
    options.textStampMask = ReplaceToken(options.textStampMask, kOutputNameToken, output.name);
    return options;
}

DecodeReductionFn SmallestDecodeReduction(const std::vector<const ConversionOptions*>& outputs) {
    std::vector<ConversionOptions> asked;
    for (const ConversionOptions* options : outputs) {
        if (!options->fastJpegDownscale) return {};
        asked.push_back(*options);
    }
    if (asked.empty()) return {};
    return [asked = std::move(asked)](StoredSize stored, int orientation) {
        int divisor = 8;
        for (const ConversionOptions& options : asked)
            divisor = std::min(divisor, DecodeReductionFor(stored, orientation, options));
        return divisor;
    };
}

std::vector<std::string> RecipeFolders(const std::string& programFolder, const std::string& dataFolder) {
    std::vector<std::string> folders{UserRecipeFolder()};
    auto add = [&folders](const std::string& base) {
        if (base.empty()) return;
        std::string folder = base + (base.back() == '/' ? "" : "/") + "recipes/";
        if (std::find(folders.begin(), folders.end(), folder) == folders.end()) folders.push_back(folder);
    };
    add(programFolder);
    add(dataFolder);
    return folders;
}

std::string UserRecipeFolder() { return SettingsFolder() + "recipes/"; }

std::string FindRecipeFile(const std::string& nameOrPath, const std::vector<std::string>& folders) {
    const bool isPath = nameOrPath.find('/') != std::string::npos ||
                        EqualsIgnoreCase(ExtractFileExt(nameOrPath), kRecipeExtension);
    if (isPath) {
        if (!IsRegularFile(nameOrPath)) throw RecipeError(nameOrPath + ": no such recipe file");
        return nameOrPath;
    }
    std::string looked;
    for (const std::string& folder : folders) {
        const std::string path = folder + nameOrPath + std::string(kRecipeExtension);
        if (IsRegularFile(path)) return path;
        looked += (looked.empty() ? "" : ", ") + folder;
    }
    throw RecipeError("no recipe \"" + nameOrPath + "\" in " + looked);
}

std::vector<std::pair<std::string, std::string>> ListRecipes(const std::vector<std::string>& folders) {
    std::map<std::string, std::string> found;
    for (const std::string& folder : folders) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
            const std::string path = entry.path().string();
            if (!EqualsIgnoreCase(ExtractFileExt(path), kRecipeExtension) || !IsRegularFile(path)) continue;
            found.emplace(Stem(path), path);
        }
    }
    return {found.begin(), found.end()};
}

}  // namespace zelvan
