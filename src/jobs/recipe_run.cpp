#include "jobs/recipe_run.h"

#include <filesystem>
#include <system_error>

#include "base/file_io.h"
#include "base/path_util.h"

namespace zelvan {

std::vector<RunOutput> ResolveRecipe(const Recipe& recipe, const ConversionOptions& runOptions) {
    std::vector<RunOutput> outputs;
    for (const RecipeOutput& output : recipe.outputs) {
        RunOutput run;
        run.name = output.name;
        run.subfolder = output.subfolder;
        ConversionOptions options;
        try {
            options = OutputOptions(runOptions, output);
        } catch (const Error& e) {
            throw Error("recipe " + recipe.name + ", output [" + output.name + "]: " + e.what());
        }
        if (options.renameEnabled) {
            options.renameMask = CompleteRenameMask(options.renameMask);
            // The rename mask would replace tokens in the folder's name too.
            if (HasRenameTokens(output.subfolder))
                throw Error("recipe " + recipe.name + ", output [" + output.name + "]: the subfolder \"" +
                            output.subfolder + "\" holds rename tokens; with renaming on, tokens belong in the rename mask");
        }
        run.format = FindOutputFormat(options.outputFormat);
        run.options = std::make_shared<const ConversionOptions>(std::move(options));
        outputs.push_back(std::move(run));
    }
    return outputs;
}

bool AnyOutputAloneAtATime(const std::vector<RunOutput>& outputs) {
    for (const RunOutput& output : outputs)
        if (output.format && output.format->oneJobAtATime) return true;
    return false;
}

std::string RecipeDestinationPath(const RunOutput& output, const QueuedFile& file) {
    QueuedFile below = file;
    below.outputSubfolder += output.subfolder;
    return InitialDestinationPath(*output.options, output.format, below);
}

void AddRecipeOutputs(ConversionJob& job, const std::vector<RunOutput>& outputs, const QueuedFile& file) {
    for (const RunOutput& output : outputs) {
        const std::string destination = RecipeDestinationPath(output, file);
        if (!output.subfolder.empty()) {
            std::error_code ec;
            std::filesystem::create_directories(ExtractFilePath(destination), ec);
        }
        JobOutput& added = job.AddOutput(output.format, destination);
        added.name = output.name;
        added.options = output.options;
    }
}

std::vector<PlannedOutput> PlanRecipeOutputs(const std::vector<RunOutput>& outputs, const QueuedFile& file,
                                             const MaskDateConventions& dates, const QDateTime& now) {
    std::vector<PlannedOutput> planned;
    // The header is read once for all outputs that need the size, and only when one does.
    std::optional<std::optional<ImageSize>> shown;
    for (const RunOutput& output : outputs) {
        PlannedOutput p;
        p.output = &output;
        p.destinationPath = RecipeDestinationPath(output, file);
        std::optional<ImageSize> size;
        if (NameNeedsPixelSize(*output.options)) {
            if (!shown) shown = HeaderSize(file.sourcePath, output.options->autoRotate);
            size = *shown;
        }
        p.plan = PlanOutput(*output.options, file.sourcePath, p.destinationPath, file.jobNumber, size, dates, now);
        if (!p.plan.sizeUnknown) {
            for (const PlannedOutput& earlier : planned) {
                if (earlier.plan.sizeUnknown || !p.clashesWith.empty()) continue;
                for (const std::string& path : p.plan.paths)
                    for (const std::string& other : earlier.plan.paths)
                        if (path == other) p.clashesWith = earlier.output->name;
            }
        }
        planned.push_back(std::move(p));
    }
    return planned;
}

std::vector<OutputClash> FindRecipeClashes(const std::vector<RunOutput>& outputs, const std::vector<QueuedFile>& files) {
    const MaskDateConventions dates = MaskDateConventions::System();
    const QDateTime now = QDateTime::currentDateTime();
    std::vector<OutputClash> clashes;
    for (const QueuedFile& file : files) {
        for (const PlannedOutput& p : PlanRecipeOutputs(outputs, file, dates, now))
            if (!p.clashesWith.empty())
                clashes.push_back({file.sourcePath, p.clashesWith, p.output->name, p.plan.paths.front()});
    }
    return clashes;
}

std::string ClashText(const OutputClash& clash) {
    return clash.sourcePath + ": outputs " + clash.firstOutput + " and " + clash.secondOutput +
           " would both be written to " + clash.path;
}

}  // namespace zelvan
