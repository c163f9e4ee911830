#pragma once

#include <QDateTime>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/conversion_job.h"
#include "engine/conversion_options.h"
#include "engine/recipe.h"
#include "jobs/output_plan.h"
#include "jobs/scheduler.h"

namespace zelvan {

// One output of a recipe made ready for a run: its whole options, its format and its subfolder.
struct RunOutput {
    std::string name;
    std::shared_ptr<const ConversionOptions> options;
    const OutputFormat* format = nullptr;
    std::string subfolder;  // below the output folder: "" or ending in "/"
};

// The recipe's outputs over the run's options (prepared by PrepareRunOptions): each output's
// changes applied, its rename mask completed as the run's is. Throws Error (naming the output)
// for a change the option refuses or, with renaming on, a subfolder holding rename tokens.
std::vector<RunOutput> ResolveRecipe(const Recipe& recipe, const ConversionOptions& runOptions);

// Whether any output's format must be encoded one job at a time (JPEG 2000).
bool AnyOutputAloneAtATime(const std::vector<RunOutput>& outputs);

// The path an output of a queued file starts from: the output folder, the file's subfolder, the
// output's subfolder, and the source's name with the output format's extension.
std::string RecipeDestinationPath(const RunOutput& output, const QueuedFile& file);

// Gives the job one output per recipe output and makes their subfolders (a folder that cannot
// be made shows as that output's failed write).
void AddRecipeOutputs(ConversionJob& job, const std::vector<RunOutput>& outputs, const QueuedFile& file);

// Where each output of one source would go, planned from the names alone.
struct PlannedOutput {
    const RunOutput* output = nullptr;
    std::string destinationPath;  // before renaming
    OutputPlan plan;
    // The output of the same source that would write the same path first; empty for none.
    std::string clashesWith;
};

// The outputs of one source, in recipe order, with clashes between them marked (outputs whose
// names need the picture's size and whose header gives none are not compared).
std::vector<PlannedOutput> PlanRecipeOutputs(const std::vector<RunOutput>& outputs, const QueuedFile& file,
                                             const MaskDateConventions& dates, const QDateTime& now);

// A clash found before the run: two outputs of one source would be written to one path.
struct OutputClash {
    std::string sourcePath;
    std::string firstOutput;
    std::string secondOutput;
    std::string path;
};
// Every clash of the run's files; reads headers only where names need the picture's size.
std::vector<OutputClash> FindRecipeClashes(const std::vector<RunOutput>& outputs, const std::vector<QueuedFile>& files);
// "source: outputs A and B would both be written to PATH".
std::string ClashText(const OutputClash& clash);

}  // namespace zelvan
