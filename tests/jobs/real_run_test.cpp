// Whole runs with real jobs on the scheduler's workers, watched from the driving thread as the
// windows watch them: the place where races between jobs, counters and the error list would show
// (build with ZELVAN_SANITIZE=thread).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>

#include "jobs/scheduler.h"
#include "support/fixtures.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

// Quick PNG outputs into `folder` under the sources' own names.
ConversionOptions PngRunOptions(const std::string& folder, int threads) {
    ConversionOptions options = DefaultConversionOptions();
    options.threads = threads;
    options.outputFormat = 1;
    options.pngCompression = 1;
    options.outputFolder = folder;
    options.renameEnabled = false;
    return options;
}

TEST(RealRun, ConvertsEveryFileAndCountsEachOnce) {
    test::TempDir dir;
    std::vector<std::string> sources;
    for (int i = 0; i < 12; ++i) {
        std::string path = dir / ("photo" + std::to_string(i) + (i == 5 ? ".png" : ".bmp"));
        if (i == 5) test::WriteBytes(path, std::vector<std::uint8_t>{1, 2, 3});  // broken
        else test::WriteBytes(path, test::MakeBmp24(300 + i, 200, [i](int x, int y) {
                 return test::Rgba{static_cast<std::uint8_t>(x + i), static_cast<std::uint8_t>(y), 77};
             }));
        sources.push_back(path);
    }
    LifetimeCounters lifetime;
    ErrorList errors;
    Scheduler scheduler(lifetime, errors, "");
    ConversionOptions options = PngRunOptions(dir / "out", 3);
    ASSERT_EQ(PrepareRunOptions(options, sources.size()), PrepareResult::Ok);
    scheduler.BeginRun(options, sources, "Done:");

    std::size_t maxJobs = 0;
    while (!scheduler.WaitUntilFinished(std::chrono::milliseconds(1))) {
        maxJobs = std::max(maxJobs, scheduler.RunningJobs());
        // The progress display reads the counters meanwhile, without a lock.
        (void)scheduler.Counters().processed.load();
    }
    EXPECT_LE(maxJobs, 3u);
    EXPECT_EQ(scheduler.Counters().processed.load(), 12);
    EXPECT_EQ(lifetime.processedFiles.load(), 11);
    std::vector<std::string> lines = errors.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("AFO:" + sources[5] + ": ", 0), 0u);
    EXPECT_EQ(lines[2], "Done: 12");
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(std::filesystem::exists(dir / ("out/photo" + std::to_string(i) + ".PNG")), i != 5) << i;
}

// Many small files on more workers than cores: each file is converted and reported exactly once,
// the counters add up, and the summary is the list's last line.
TEST(RealRun, ManySmallFilesOnAPoolReportEachFileOnce) {
    test::TempDir dir;
    std::vector<std::string> sources;
    for (int i = 0; i < 300; ++i) {
        std::string path = dir / ("in/p" + std::to_string(i) + (i % 50 == 7 ? ".png" : ".bmp"));
        std::filesystem::create_directories(dir / "in");
        if (i % 50 == 7) test::WriteBytes(path, std::vector<std::uint8_t>{1, 2, 3});  // broken
        else test::WriteBytes(path, test::MakeBmp24(16 + i % 7, 12, [i](int x, int y) {
                 return test::Rgba{static_cast<std::uint8_t>(x * 9 + i), static_cast<std::uint8_t>(y * 13), 40};
             }));
        sources.push_back(path);
    }
    LifetimeCounters lifetime;
    ErrorList errors;
    Scheduler scheduler(lifetime, errors, "");
    std::mutex seenLock;
    std::map<std::string, int> finished;
    scheduler.SetJobFinished([&](const ConversionJob& job) {
        std::lock_guard<std::mutex> lock(seenLock);
        ++finished[job.sourcePath];
    });
    ConversionOptions options = PngRunOptions(dir / "out", 4);
    ASSERT_EQ(PrepareRunOptions(options, sources.size()), PrepareResult::Ok);
    ASSERT_TRUE(scheduler.BeginRun(options, sources, "Done:"));
    ASSERT_TRUE(scheduler.WaitUntilFinished(std::chrono::seconds(60)));

    EXPECT_EQ(scheduler.Counters().processed.load(), 300);
    EXPECT_EQ(scheduler.Counters().failed.load(), 6);
    EXPECT_EQ(lifetime.processedFiles.load(), 294);
    const std::vector<std::string> lines = errors.Lines();
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[7], "Done: 300");
    std::lock_guard<std::mutex> lock(seenLock);
    ASSERT_EQ(finished.size(), 300u);
    for (const auto& [source, times] : finished) EXPECT_EQ(times, 1) << source;
    for (int i = 0; i < 300; ++i)
        EXPECT_EQ(std::filesystem::exists(dir / ("out/p" + std::to_string(i) + ".PNG")), i % 50 != 7) << i;
}

}  // namespace
}  // namespace zelvan
