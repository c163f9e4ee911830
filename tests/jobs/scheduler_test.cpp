#include "jobs/scheduler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "support/fixtures.h"
#include "support/job_holder.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using namespace std::chrono_literals;

// A scheduler whose jobs are held by the test: each worker waits with its job until the test lets
// it end, so that what the pool starts, and when, can be checked.
class SchedulerTest : public ::testing::Test {
protected:
    SchedulerTest() : scheduler(lifetime, errors, "/nonexistent/rawdll.so") {
        scheduler.SetJobRunner(held.Runner());
        scheduler.SetMemoryLoadSource([this] { return memoryLoad.load(); });
    }

    ConversionOptions Options(int threads, int format = 0) {
        ConversionOptions o = DefaultConversionOptions();
        o.threads = threads;
        o.outputFormat = format;
        o.outputFolder = out.path().string() + "/";
        return o;
    }

    static std::vector<std::string> Paths(int n) {
        std::vector<std::string> v;
        for (int i = 0; i < n; ++i) v.push_back("/src/photo" + std::to_string(i) + ".jpeg");
        return v;
    }

    // Lets every job end as it starts until the run completes.
    void RunToCompletion() {
        held.EndAllUnrun(scheduler.Counters());
        ASSERT_TRUE(scheduler.WaitUntilFinished(10s)) << "the run never completed";
    }

    test::TempDir out;
    LifetimeCounters lifetime;
    ErrorList errors;
    Scheduler scheduler;
    test::JobHolder held;  // after the scheduler: it lets waiting workers go first
    std::atomic<int> memoryLoad{10};
};

TEST_F(SchedulerTest, NeverRunsMoreJobsThanTheLimit) {
    struct Case {
        int threads;
        int format;
        std::size_t expectedMax;
    };
    for (Case c : {Case{3, 0, 3}, Case{3, 4, 1}, Case{1, 1, 1}}) {
        SCOPED_TRACE("threads " + std::to_string(c.threads) + " format " + std::to_string(c.format));
        test::JobHolder jobs;
        scheduler.SetJobRunner(jobs.Runner());
        scheduler.BeginRun(Options(c.threads, c.format), Paths(10), "Done:");
        EXPECT_EQ(scheduler.JobLimit(), c.expectedMax);
        ASSERT_TRUE(jobs.WaitForCount(c.expectedMax));
        // Given time, no further job starts while these run.
        EXPECT_FALSE(jobs.WaitForCount(c.expectedMax + 1, 100ms));
        EXPECT_EQ(scheduler.RunningJobs(), c.expectedMax);
        jobs.EndAllUnrun(scheduler.Counters());
        ASSERT_TRUE(scheduler.WaitUntilFinished(10s));
        EXPECT_EQ(scheduler.Counters().processed.load(), 10);
        EXPECT_EQ(jobs.Started(), 10u);
    }
}

TEST_F(SchedulerTest, JobsGetPathsAndNumbersFromOneInEveryRun) {
    for (int run = 0; run < 2; ++run) {
        scheduler.BeginRun(Options(2, 1), {"/a/photo.jpeg", "/b/noext"}, "Done:");
        ASSERT_TRUE(held.WaitForCount(2));
        const std::vector<ConversionJob*> started = held.HeldByNumber();
        EXPECT_EQ(started[0]->jobNumber, 1);
        EXPECT_EQ(started[1]->jobNumber, 2);
        EXPECT_EQ(started[0]->sourcePath, "/a/photo.jpeg");
        ASSERT_EQ(started[0]->outputs.size(), 1u);
        EXPECT_EQ(started[0]->outputs[0].destinationPath, out.path().string() + "/photo.PNG");
        EXPECT_EQ(started[1]->outputs[0].destinationPath, out.path().string() + "/noext.PNG");
        EXPECT_EQ(started[0]->outputs[0].format->extension, "PNG");
        for (ConversionJob* job : started) held.EndUnrun(job, scheduler.Counters());
        ASSERT_TRUE(scheduler.WaitUntilFinished(10s));
    }
}

// The driver hears of each finished job once and of the run's end once, after its summary line.
TEST_F(SchedulerTest, CompletionAppendsSeparatorAndSummaryAfterJobLines) {
    std::mutex seenLock;
    std::vector<std::string> finishedSources;
    int runsFinished = 0;
    std::size_t linesAtRunEnd = 0;
    scheduler.SetJobFinished([&](const ConversionJob& job) {
        std::lock_guard<std::mutex> lock(seenLock);
        finishedSources.push_back(job.sourcePath);
    });
    scheduler.SetRunFinished([&] {
        std::lock_guard<std::mutex> lock(seenLock);
        ++runsFinished;
        linesAtRunEnd = errors.Count();
    });
    scheduler.BeginRun(Options(2), Paths(3), "Files processed:");
    errors.AppendLine("AFO:/src/photo0.jpeg: broken");
    RunToCompletion();
    EXPECT_TRUE(scheduler.Finished());
    EXPECT_FALSE(scheduler.InProgress());
    EXPECT_FALSE(scheduler.CloseWhenDone());
    EXPECT_EQ(errors.Lines(), (std::vector<std::string>{"AFO:/src/photo0.jpeg: broken", "-----------------------",
                                                        "Files processed: 3"}));
    {
        std::lock_guard<std::mutex> lock(seenLock);
        std::sort(finishedSources.begin(), finishedSources.end());
        EXPECT_EQ(finishedSources, Paths(3));
        EXPECT_EQ(runsFinished, 1);
        EXPECT_EQ(linesAtRunEnd, 3u);
    }
    // A new run starts with an empty list.
    held.EndAllUnrun(scheduler.Counters());
    scheduler.SetRunFinished({});
    scheduler.SetJobFinished({});
    scheduler.BeginRun(Options(2), Paths(1), "Files processed:");
    ASSERT_TRUE(scheduler.WaitUntilFinished(10s));
    EXPECT_EQ(errors.Lines().back(), "Files processed: 1");
}

TEST_F(SchedulerTest, CancelLetsRunningJobsFinishAndSkipsTheQueue) {
    scheduler.BeginRun(Options(2), Paths(7), "Done:");
    ASSERT_TRUE(held.WaitForCount(2));
    scheduler.Cancel();
    EXPECT_TRUE(scheduler.CloseWhenDone());
    EXPECT_FALSE(scheduler.WaitUntilFinished(50ms)) << "jobs are still running";
    const std::vector<ConversionJob*> running = held.Held();
    held.EndUnrun(running[0], scheduler.Counters());
    EXPECT_FALSE(held.WaitUntilStarted(3, 100ms)) << "the freed worker starts nothing after Cancel";
    EXPECT_FALSE(scheduler.Finished());
    held.EndUnrun(running[1], scheduler.Counters());
    ASSERT_TRUE(scheduler.WaitUntilFinished(10s));
    EXPECT_TRUE(scheduler.CloseWhenDone());
    EXPECT_EQ(errors.Lines().back(), "Done: 2");
    EXPECT_EQ(scheduler.QueuedFiles(), 5u);
    EXPECT_EQ(held.Started(), 2u);
}

// A worker that is free takes the next file at once, whichever job ended: a slow file never keeps
// the others waiting.
TEST_F(SchedulerTest, AFreedWorkerTakesTheNextFileWhileOthersStillRun) {
    scheduler.BeginRun(Options(2), Paths(4), "Done:");
    ASSERT_TRUE(held.WaitForCount(2));
    std::vector<ConversionJob*> jobs = held.HeldByNumber();
    ConversionJob* slow = jobs[0];
    held.EndUnrun(jobs[1], scheduler.Counters());
    // The worker that ran it takes the third file; the first job still runs.
    ASSERT_TRUE(held.WaitUntilStarted(3));
    jobs = held.HeldByNumber();
    EXPECT_EQ(jobs[0], slow);
    EXPECT_EQ(jobs[1]->jobNumber, 3);
    EXPECT_EQ(jobs[1]->sourcePath, "/src/photo2.jpeg");
    RunToCompletion();
    EXPECT_EQ(errors.Lines().back(), "Done: 4");
}

TEST_F(SchedulerTest, HoldsBackJobsWhilePreviewLoadsOrMemoryIsShort) {
    scheduler.previewGate.Close();
    scheduler.BeginRun(Options(4), Paths(5), "Done:");
    EXPECT_FALSE(held.WaitForCount(1, 100ms)) << "no job starts while the preview loads";
    memoryLoad = 95;
    scheduler.previewGate.Open();
    // With nothing running the first job still starts, or the run would wait for ever.
    ASSERT_TRUE(held.WaitForCount(1));
    EXPECT_FALSE(held.WaitForCount(2, 100ms));
    memoryLoad = 90;
    held.EndUnrun(held.Held()[0], scheduler.Counters());
    // The end of a job is when the workers look again: one starts, as none runs.
    ASSERT_TRUE(held.WaitUntilStarted(2));
    EXPECT_FALSE(held.WaitUntilStarted(3, 100ms));
    memoryLoad = 89;
    held.EndUnrun(held.HeldByNumber().back(), scheduler.Counters());
    ASSERT_TRUE(held.WaitUntilStarted(5)) << "memory is no longer short: the other workers start";
    EXPECT_TRUE(held.WaitForCount(3));
    RunToCompletion();
    EXPECT_EQ(errors.Lines().back(), "Done: 5");
}

constexpr std::uint64_t kMiB = 1024 * 1024;

// Jobs start in order while their estimates fit what the budget has left beside the running
// ones; a job that ends frees its share.
TEST_F(SchedulerTest, StartsJobsWhileTheirEstimatesFitTheBudget) {
    const std::map<std::string, std::uint64_t> estimates = {{"/src/photo0.jpeg", 60 * kMiB},
                                                            {"/src/photo1.jpeg", 60 * kMiB},
                                                            {"/src/photo2.jpeg", 30 * kMiB},
                                                            {"/src/photo3.jpeg", 10 * kMiB},
                                                            {"/src/photo4.jpeg", 1}};
    scheduler.SetMemoryEstimator([&](const QueuedFile& f) { return estimates.at(f.sourcePath); });
    ConversionOptions options = Options(4);
    options.memoryBudgetMiB = 100;
    scheduler.BeginRun(options, Paths(5), "Done:");
    EXPECT_EQ(scheduler.MemoryBudget(), 100 * kMiB);
    ASSERT_TRUE(held.WaitForCount(1));
    EXPECT_FALSE(held.WaitForCount(2, 100ms)) << "60 + 60 MiB exceed the budget";
    held.EndUnrun(held.Held()[0], scheduler.Counters());
    // 60 + 30 + 10 fill the budget exactly; one byte more waits.
    ASSERT_TRUE(held.WaitUntilStarted(4));
    EXPECT_TRUE(held.WaitForCount(3));
    EXPECT_FALSE(held.WaitUntilStarted(5, 100ms));
    std::vector<std::string> started;
    for (ConversionJob* job : held.HeldByNumber()) started.push_back(job->sourcePath);
    EXPECT_EQ(started, (std::vector<std::string>{"/src/photo1.jpeg", "/src/photo2.jpeg", "/src/photo3.jpeg"}));
    held.EndUnrun(held.HeldByNumber()[2], scheduler.Counters());
    ASSERT_TRUE(held.WaitUntilStarted(5)) << "the 10 MiB freed let the last job start";
    RunToCompletion();
    EXPECT_EQ(errors.Lines().back(), "Done: 5");
    EXPECT_EQ(scheduler.Counters().failed.load(), 0);
}

// A job that could never fit fails at once with its line, even while others run, and the run
// goes on; a size the header does not give (a missing file here) is left to the load rule.
TEST_F(SchedulerTest, AJobNeedingMoreThanTheWholeBudgetFailsAtOnce) {
    const std::string large = out / "large.png";
    // 3000 x 3000 pixels of one colour: a small file whose decoding alone would take 34 MiB.
    test::WritePngFile(large, 3000, 3000, test::PngKind::Rgb, [](int, int) { return test::Rgba{9, 9, 9}; });
    ConversionOptions options = Options(2);
    options.memoryBudgetMiB = 20;
    options.outputFolder = out.path().string() + "/converted/";
    scheduler.BeginRun(options, {"/src/unknown-size.webp", large, "/src/after.jpeg"}, "Done:");
    // The large file does not wait for the running job: it fails, and the next one starts while
    // the first is still held.
    ASSERT_TRUE(held.WaitForCount(2));
    std::vector<std::string> started;
    for (ConversionJob* job : held.HeldByNumber()) started.push_back(job->sourcePath);
    EXPECT_EQ(started, (std::vector<std::string>{"/src/unknown-size.webp", "/src/after.jpeg"}));
    std::vector<std::string> lines = errors.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(lines[0].starts_with("AFO:" + large + ": needs about ")) << lines[0];
    EXPECT_TRUE(lines[0].ends_with(" MiB, the budget is 20 MiB")) << lines[0];
    const std::uint64_t needed = std::stoull(lines[0].substr(("AFO:" + large + ": needs about ").size()));
    EXPECT_GE(needed, 3000ull * 3000 * 4 / kMiB) << "at least the decoded raster";
    EXPECT_EQ(scheduler.Counters().failed.load(), 1);
    EXPECT_FALSE(std::filesystem::exists(options.outputFolder + "large.jpg"));
    RunToCompletion();
    EXPECT_EQ(errors.Lines().back(), "Done: 3");
}

// Workers that cannot be made: the run goes on with those there are, and with none it ends at
// once as a cancelled run.
TEST_F(SchedulerTest, APoolShortOfThreadsStillRunsEveryFileAndNoneEndsTheRun) {
    std::atomic<int> made{0};
    scheduler.SetThreadMaker([&](std::function<void()> body) {
        if (made.fetch_add(1) >= 1) throw std::system_error(EAGAIN, std::generic_category());
        return std::thread(std::move(body));
    });
    EXPECT_TRUE(scheduler.BeginRun(Options(3), Paths(5), "Done:"));
    ASSERT_TRUE(held.WaitForCount(1));
    EXPECT_FALSE(held.WaitUntilStarted(2, 100ms));
    RunToCompletion();
    EXPECT_EQ(errors.Lines().back(), "Done: 5");
    EXPECT_FALSE(scheduler.CloseWhenDone());

    scheduler.SetThreadMaker([](std::function<void()>) -> std::thread {
        throw std::system_error(EAGAIN, std::generic_category());
    });
    int runsFinished = 0;
    scheduler.SetRunFinished([&] { ++runsFinished; });
    EXPECT_FALSE(scheduler.BeginRun(Options(2), Paths(5), "Done:"));
    EXPECT_TRUE(scheduler.Finished());
    EXPECT_TRUE(scheduler.CloseWhenDone());
    EXPECT_EQ(runsFinished, 1);
    EXPECT_EQ(errors.Lines(), (std::vector<std::string>{"-----------------------", "Done: 0"}));
}

TEST(PrepareRunOptions, CompletesMaskThreadsAndOutputFolder) {
    test::TempDir dir;
    ConversionOptions o = DefaultConversionOptions();
    o.threads = 0;
    o.renameMask = "photo";
    o.outputFolder = dir / "a/b";
    EXPECT_EQ(PrepareRunOptions(o, 0), PrepareResult::NoFiles);
    EXPECT_EQ(o.threads, 1) << "set even when the list is empty";
    EXPECT_EQ(o.renameMask, "[C]_photo");
    EXPECT_EQ(PrepareRunOptions(o, 1), PrepareResult::Ok);
    EXPECT_EQ(o.outputFolder, dir / "a/b/");
    EXPECT_TRUE(std::filesystem::is_directory(dir / "a/b"));

    for (const char* kept : {"[N]_small", "x[C]"}) EXPECT_EQ(CompleteRenameMask(kept), kept);
    o.renameEnabled = false;
    o.renameMask = "photo";
    PrepareRunOptions(o, 1);
    EXPECT_EQ(o.renameMask, "photo") << "untouched with renaming off";

    test::WriteBytes(dir / "file", std::vector<std::uint8_t>{1});
    o.outputFolder = dir / "file/sub";
    EXPECT_EQ(PrepareRunOptions(o, 1), PrepareResult::DirectoryCreateError);

    // Rename tokens in the folder would be replaced there too: refused with renaming on, a
    // plain name with renaming off.
    for (const char* folder : {"out[W]", "[n]/out", "out-[FCD]", "out[E]"}) {
        o.outputFolder = dir / folder;
        o.renameEnabled = true;
        EXPECT_EQ(PrepareRunOptions(o, 1), PrepareResult::FolderHasTokens) << folder;
        EXPECT_FALSE(std::filesystem::exists(dir / folder)) << folder;
        o.renameEnabled = false;
        EXPECT_EQ(PrepareRunOptions(o, 1), PrepareResult::Ok) << folder;
    }
    o.renameEnabled = true;
    o.outputFolder = dir / "out[1] [x]";
    EXPECT_EQ(PrepareRunOptions(o, 1), PrepareResult::Ok) << "brackets that are no token";
}

}  // namespace
}  // namespace zelvan
