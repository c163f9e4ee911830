#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.h"
#include "engine/conversion_options.h"
#include "engine/resize_planning.h"

namespace zelvan {

// A recipe: a named list of outputs made from each source of a run after one decoding. Each
// output is the run's options with some keys changed, and may go to a folder below the output
// folder. Stored as an INI file people can write by hand:
//
//   ; three sizes for a web page
//   [webp-960]
//   Output_format=7
//   Selected_mode=1
//   Resize_width=960
//   Subfolder=960
//
// one section per output (the section's name is the output's name; [O] in the rename mask and
// the text stamp stands for it), keys as in Settings.ini and --list-options, plus Subfolder.

// One output of a recipe: its name, the keys it changes (in the table's spelling, in file order)
// and its subfolder ("" for the output folder itself, else a relative path ending in "/").
struct RecipeOutput {
    std::string name;
    std::vector<std::pair<std::string, std::string>> changes;
    std::string subfolder;

    // The value this output gives the key (letter case ignored), or nullptr when it inherits it.
    const std::string* Change(std::string_view key) const;
    // Sets (or adds) a change; an empty value removes it, so that the key is inherited again.
    void SetChange(std::string_view key, const std::string& value);
};

struct Recipe {
    std::string name;  // the file's name without ".ini"
    std::vector<RecipeOutput> outputs;
};

// A recipe that cannot be used; the message names the file, the line, the section and the key.
class RecipeError : public Error {
public:
    using Error::Error;
};

constexpr std::string_view kRecipeExtension = ".ini";
constexpr std::string_view kSubfolderKey = "Subfolder";

// Reads a recipe's text strictly: a line that is neither a comment, a section nor key=value, a
// key the option table does not know, a value the option refuses, a key that only the whole run
// can have (Threads, Output_path, and the source's own steps Auto_rotate and Colour_profile),
// a key given twice, two outputs of one name, an output name that cannot be part of a file name,
// a Subfolder that leaves the output folder, and a recipe without outputs are refused with a
// RecipeError naming `fileName`. Throws nothing else.
Recipe ParseRecipe(std::string_view text, const std::string& fileName);
// The file read and parsed; the recipe is named after the file.
Recipe LoadRecipe(const std::string& path);
// The INI text of a recipe, which ParseRecipe reads back to the same recipe.
std::string RecipeText(const Recipe& recipe);
// Written whole or not at all (a temporary file renamed into place); throws Error.
void SaveRecipe(const Recipe& recipe, const std::string& path);

// Checks one change as ParseRecipe does; the message without the file's name, or "" when fine.
std::string RecipeChangeProblem(std::string_view key, std::string_view value);
// Checks an output's name; the message, or "" when fine.
std::string OutputNameProblem(std::string_view name);
// A Subfolder value made relative and ending in "/" ("" stays ""); throws Error when it leaves
// the output folder (absolute, or ".." in it) or holds control characters.
std::string NormalisedSubfolder(std::string_view value);

// The options of one output: the run's, with the output's changes applied in order and [O] in
// the rename mask and the text-stamp mask replaced by the output's name. Throws Error for a
// change the option refuses.
ConversionOptions OutputOptions(const ConversionOptions& run, const RecipeOutput& output);

// A source is decoded once for all its outputs: reduced by JPEG's fast scaling only as far as the
// output that needs the most pixels allows. Empty (decode whole) when any output asks none.
DecodeReductionFn SmallestDecodeReduction(const std::vector<const ConversionOptions*>& outputs);

// Where recipes are looked for, in order: the user's (Settings folder + "recipes/"), then beside
// the program, then the installed data folder's; each with a trailing "/".
std::vector<std::string> RecipeFolders(const std::string& programFolder, const std::string& dataFolder);
// The user's own recipe folder, where the window saves new recipes.
std::string UserRecipeFolder();
// A recipe by its name (the first folder that has "<name>.ini") or by a path to a file (a name
// holding "/" or ending in ".ini"). Throws RecipeError when there is none, naming the folders.
std::string FindRecipeFile(const std::string& nameOrPath, const std::vector<std::string>& folders);
// The recipes of the folders by name, the first of each name winning, sorted by name.
std::vector<std::pair<std::string, std::string>> ListRecipes(const std::vector<std::string>& folders);

}  // namespace zelvan
