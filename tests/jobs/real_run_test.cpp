// A whole run with real jobs on real threads, driven like the timers drive it: the place where
// races between jobs, counters and the error list would show (build with ZELVAN_SANITIZE=thread).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "jobs/scheduler.h"
#include "support/fixtures.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

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
    ConversionOptions options = DefaultConversionOptions();
    options.threads = 3;
    options.outputFormat = 1;
    options.pngCompression = 1;
    options.outputFolder = dir / "out";
    options.renameEnabled = false;
    ASSERT_EQ(PrepareRunOptions(options, sources.size()), PrepareResult::Ok);
    scheduler.BeginRun(options, sources, "Done:");

    std::size_t maxJobs = 0;
    auto lastCompletion = std::chrono::steady_clock::now();
    for (;;) {
        if (scheduler.StartTimerOn()) scheduler.StartTick();
        maxJobs = std::max(maxJobs, scheduler.RunningJobs());
        if (scheduler.ReapTimerOn()) scheduler.ReapTick();
        auto now = std::chrono::steady_clock::now();
        if (scheduler.CompletionTimerOn() && now - lastCompletion > std::chrono::milliseconds(250)) {
            lastCompletion = now;
            if (scheduler.CompletionTick()) break;
        }
        // The progress display reads the counters meanwhile, without a lock.
        (void)scheduler.Counters().processed.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
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

}  // namespace
}  // namespace zelvan
