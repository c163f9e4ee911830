#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.h"

namespace zelvan {

// A misuse of the command line: one line on standard error and exit status 2.
struct UsageError : Error {
    using Error::Error;
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
    // --recipe NAME|FILE and --output 'KEY=VALUE,...': several outputs per source (cli_recipe.cpp);
    // --manifest FILE: the run's outputs per source as one JSON document.
    std::optional<std::string> recipe;
    std::vector<std::string> outputTexts;
    std::optional<std::string> manifest;
    // -o as given: a folder, or with one input file a file name whose extension names a format.
    std::optional<std::string> outputArgument;
    // -f given: it chooses the format even where -o names a file.
    bool formatGiven = false;
    // --rename or a --set Rename_* key: the window's naming instead of the command line's.
    bool namingGiven = false;
    // --base DIR: --keep-tree mirrors paths read with - relative to DIR.
    std::optional<std::string> base;
    // -j beyond the cap, for the note that says what the run uses instead.
    std::optional<int> threadsAbove;
};

// The most workers -j takes before it says it uses fewer; up to it, -j is quietly clamped to
// the processor count, so a script written for a bigger machine runs unchanged.
inline constexpr int kThreadsCap = 1024;

// The resampling filters by the names of the window's list, in its order.
inline constexpr std::array<std::string_view, 7> kFilterNames{"nearest", "bilinear", "hermite", "bell",
                                                        "bspline", "lanczos3", "mitchell"};


// The command line as given: flags become --set pairs in order, the rest are paths. Throws
// UsageError for an unknown flag or a value it cannot take.
Arguments ParseArguments(const std::vector<std::string>& args);

// The text of --help.
std::string UsageText();

}  // namespace zelvan
