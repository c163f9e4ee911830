#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "engine/conversion_job.h"
#include "engine/conversion_options.h"
#include "engine/output_formats.h"
#include "jobs/error_list.h"
#include "support/test_support.h"

namespace zelvan::test {

// Runs single jobs synchronously against real files in a temporary folder, with what the
// scheduler would share between them: the options (renaming off, so outputs keep the source's
// name; out() as the output folder), the counters, the error list and the job lock.
class SingleJobTest : public ::testing::Test {
protected:
    SingleJobTest() : options(std::make_shared<ConversionOptions>(DefaultConversionOptions())) {
        options->outputFolder = out();
        options->renameEnabled = false;
        std::filesystem::create_directories(out());
    }

    std::string src(const std::string& name) const { return dir / name; }
    std::string out() const { return dir / "out/"; }

    // One job the way the scheduler sets it up, into out() with the source's name and the
    // format's extension unless a destination is given; returns its final destination.
    std::string Run(const std::string& source, const std::string& extension, const std::string& destination = {}) {
        JobEnvironment env;
        env.options = options;
        env.run = &run;
        env.lifetime = &lifetime;
        env.errors = &errors;
        env.jobLock = &jobLock;
        env.rawPluginPath = dir / "no-plugin/rawdll.so";
        ConversionJob job(env);
        job.sourcePath = source;
        job.AddOutput(FindOutputFormat(extension),
                      destination.empty() ? out() + std::filesystem::path(source).stem().string() + "." + extension
                                          : destination);
        job.jobNumber = 1;
        const std::int32_t processedBefore = run.processed.load();
        job.Execute();
        EXPECT_EQ(run.processed.load(), processedBefore + 1) << "a job counts itself once";
        lastResult = job.outputs[0].result;
        return job.outputs[0].destinationPath;
    }

    TempDir dir;
    std::shared_ptr<ConversionOptions> options;
    RunCounters run;
    LifetimeCounters lifetime;
    ErrorList errors;
    std::mutex jobLock;
    JobResult lastResult;  // the last Run's
};

}  // namespace zelvan::test
