#pragma once

#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/cli_arguments.h"
#include "engine/conversion_job.h"
#include "engine/recipe.h"
#include "jobs/recipe_run.h"

namespace zelvan {

// zelvan-cli's several outputs per source: --recipe NAME|FILE and --output 'KEY=VALUE,...'.

// One --output as a recipe output. Short names are the flags' own (format, quality, resize,
// filter, rename, metadata, target-size, ...) plus width, height, name and subfolder; any key of
// --list-options is taken as well. A comma inside a value is written "\,". `index` (from 1)
// names the output in messages. Throws UsageError.
RecipeOutput ParseOutputText(const std::string& text, int index, const ConversionOptions& runOptions);

// The outputs of the command line's recipe and --output flags over the run's options (prepared),
// or nullptr when neither is given. `folders` are searched for a recipe given by name. Throws
// UsageError for a recipe that cannot be read and for outputs that cannot be made.
std::shared_ptr<const std::vector<RunOutput>> CommandLineOutputs(const Arguments& a, const ConversionOptions& runOptions,
                                                                 const std::vector<std::string>& folders);

// --dry-run with several outputs: one line (or JSON object) per output of each file.
int RecipeDryRun(const std::vector<RunOutput>& outputs, const std::vector<QueuedFile>& queue, bool skipExisting,
                 bool json, std::ostream& out);

// --manifest FILE: what the run wrote for each source, gathered from the finished jobs (on the
// workers, one at a time) and written as one JSON document at the end.
class Manifest {
public:
    explicit Manifest(std::string outputFolder) : outputFolder_(std::move(outputFolder)) {}
    void Add(const ConversionJob& job);
    // {"<source>": {"outputs": [{name, path, url, format, width, height, bytes}], "srcset": {...}}}
    // in the order of the run's list; url is the path below the output folder, URL-escaped.
    std::string Document() const;
    // Written whole or not at all; throws Error.
    void Write(const std::string& path) const;

private:
    struct Entry {
        std::string name;
        std::string path;
        int width = 0;
        int height = 0;
        std::int64_t bytes = -1;
    };
    struct Source {
        std::int32_t jobNumber = 0;
        std::string path;
        std::vector<Entry> outputs;
    };
    std::string outputFolder_;
    mutable std::mutex mutex_;
    std::vector<Source> sources_;
};

// The MIME type of an output file by its extension ("image/webp"); "" for none known.
std::string MimeTypeOf(const std::string& path);
// A path below a folder as a URL path: bytes other than letters, digits and "-._~/" escaped.
std::string UrlPath(const std::string& path);

}  // namespace zelvan
