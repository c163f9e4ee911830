#include "jobs/scheduler.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/test_support.h"

namespace zelvan {
namespace {

// Drives a scheduler whose jobs never run a thread: the test finishes them by hand, so every
// tick's effect can be checked on its own.
class SchedulerTest : public ::testing::Test {
protected:
    SchedulerTest() : scheduler(lifetime, errors, "/nonexistent/rawdll.so") {
        scheduler.SetJobStarter([this](ConversionJob& job) {
            started.push_back(&job);
            maxRunning = std::max(maxRunning, scheduler.RunningJobs());
        });
        scheduler.SetMemoryLoadSource([this] { return memoryLoad; });
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

    // Finishes a started job as a job does at its end.
    void Finish(ConversionJob* job) {
        scheduler.Counters().processed.fetch_add(1);
        job->completed.store(true, std::memory_order_release);
        started.erase(std::find(started.begin(), started.end(), job));
    }

    // Ticks like the timers until the run completes, finishing jobs in start order.
    void RunToCompletion() {
        for (int guard = 0; guard < 100000; ++guard) {
            if (scheduler.StartTimerOn()) scheduler.StartTick();
            if (!started.empty()) Finish(started.front());
            if (scheduler.ReapTimerOn()) scheduler.ReapTick();
            if (scheduler.CompletionTimerOn() && scheduler.CompletionTick()) return;
        }
        FAIL() << "the run never completed";
    }

    test::TempDir out;
    LifetimeCounters lifetime;
    ErrorList errors;
    Scheduler scheduler;
    std::vector<ConversionJob*> started;
    std::size_t maxRunning = 0;
    int memoryLoad = 10;
};

TEST_F(SchedulerTest, NeverRunsMoreJobsThanTheLimit) {
    struct Case {
        int threads;
        int format;
        std::size_t expectedMax;
    };
    for (Case c : {Case{3, 0, 3}, Case{3, 4, 1}, Case{1, 1, 1}}) {
        maxRunning = 0;
        scheduler.BeginRun(Options(c.threads, c.format), Paths(10), "Done:");
        // Start as often as possible before any job ends.
        for (int i = 0; i < 20; ++i) scheduler.StartTick();
        EXPECT_EQ(maxRunning, c.expectedMax) << "threads " << c.threads << " format " << c.format;
        RunToCompletion();
        EXPECT_EQ(scheduler.Counters().processed.load(), 10);
    }
}

TEST_F(SchedulerTest, JobsGetPathsAndNumbersFromOneInEveryRun) {
    for (int run = 0; run < 2; ++run) {
        scheduler.BeginRun(Options(2, 1), {"/a/photo.jpeg", "/b/noext"}, "Done:");
        scheduler.StartTick();
        scheduler.StartTick();
        ASSERT_EQ(started.size(), 2u);
        EXPECT_EQ(started[0]->jobNumber, 1);
        EXPECT_EQ(started[1]->jobNumber, 2);
        EXPECT_EQ(started[0]->sourcePath, "/a/photo.jpeg");
        EXPECT_EQ(started[0]->destinationPath, out.path().string() + "/photo.PNG");
        EXPECT_EQ(started[1]->destinationPath, out.path().string() + "/noext.PNG");
        EXPECT_EQ(started[0]->format->extension, "PNG");
        RunToCompletion();
    }
}

TEST_F(SchedulerTest, CompletionAppendsSeparatorAndSummaryAfterJobLines) {
    scheduler.BeginRun(Options(2), Paths(3), "Files processed:");
    errors.AppendLine("AFO:/src/photo0.jpeg: broken");
    RunToCompletion();
    EXPECT_TRUE(scheduler.Finished());
    EXPECT_FALSE(scheduler.CloseWhenDone());
    EXPECT_EQ(errors.Lines(), (std::vector<std::string>{"AFO:/src/photo0.jpeg: broken", "-----------------------",
                                                        "Files processed: 3"}));
    // A new run starts with an empty list.
    scheduler.BeginRun(Options(2), Paths(1), "Files processed:");
    EXPECT_EQ(errors.Count(), 0u);
}

TEST_F(SchedulerTest, CancelLetsRunningJobsFinishAndSkipsTheQueue) {
    scheduler.BeginRun(Options(2), Paths(7), "Done:");
    scheduler.StartTick();
    scheduler.StartTick();
    ASSERT_EQ(started.size(), 2u);
    scheduler.Cancel();
    EXPECT_FALSE(scheduler.StartTimerOn());
    EXPECT_TRUE(scheduler.CompletionTimerOn());
    EXPECT_EQ(scheduler.StartTick(), Scheduler::StartResult::Nothing);
    EXPECT_FALSE(scheduler.CompletionTick()) << "jobs are still running";
    Finish(started.front());
    Finish(started.front());
    scheduler.ReapTick();
    scheduler.ReapTick();
    EXPECT_TRUE(scheduler.CompletionTick());
    EXPECT_TRUE(scheduler.CloseWhenDone());
    EXPECT_EQ(errors.Lines().back(), "Done: 2");
    EXPECT_EQ(scheduler.State().queue.size(), 5u);
}

TEST_F(SchedulerTest, ReapsFinishedJobsOutOfOrderOnePerTick) {
    scheduler.BeginRun(Options(3), Paths(3), "Done:");
    for (int i = 0; i < 3; ++i) scheduler.StartTick();
    std::vector<ConversionJob*> jobs = started;
    Finish(jobs[2]);
    Finish(jobs[1]);
    EXPECT_TRUE(scheduler.ReapTick());
    EXPECT_EQ(scheduler.RunningJobs(), 2u);
    EXPECT_EQ(scheduler.State().jobs[0].get(), jobs[0]);
    EXPECT_EQ(scheduler.State().jobs[1].get(), jobs[2]) << "the first finished job in start order goes first";
    EXPECT_TRUE(scheduler.ReapTick());
    EXPECT_FALSE(scheduler.ReapTick());
    EXPECT_EQ(scheduler.RunningJobs(), 1u);
}

TEST_F(SchedulerTest, HoldsBackJobsWhilePreviewLoadsOrMemoryIsShort) {
    scheduler.BeginRun(Options(4), Paths(4), "Done:");
    scheduler.previewIdle = false;
    EXPECT_EQ(scheduler.StartTick(), Scheduler::StartResult::Nothing);
    scheduler.previewIdle = true;
    memoryLoad = 95;
    // With nothing running the first job still starts, or the run would wait for ever.
    EXPECT_EQ(scheduler.StartTick(), Scheduler::StartResult::Started);
    EXPECT_EQ(scheduler.StartTick(), Scheduler::StartResult::Nothing);
    memoryLoad = 90;
    EXPECT_EQ(scheduler.StartTick(), Scheduler::StartResult::Nothing);
    memoryLoad = 89;
    EXPECT_EQ(scheduler.StartTick(), Scheduler::StartResult::Started);
}

TEST_F(SchedulerTest, FailedStartStopsTheRunWhichStillCompletes) {
    scheduler.BeginRun(Options(2), Paths(5), "Done:");
    scheduler.StartTick();
    ASSERT_EQ(started.size(), 1u);
    scheduler.SetJobStarter([](ConversionJob&) { throw std::system_error(EAGAIN, std::generic_category()); });
    EXPECT_EQ(scheduler.StartTick(), Scheduler::StartResult::StartFailed);
    EXPECT_EQ(scheduler.RunningJobs(), 1u) << "a job that never started holds no entry";
    EXPECT_FALSE(scheduler.State().running);
    EXPECT_FALSE(scheduler.StartTimerOn());
    EXPECT_FALSE(scheduler.ReapTimerOn());
    scheduler.Cancel();
    Finish(started.front());
    EXPECT_FALSE(scheduler.CompletionTick());  // reaps the finished job
    EXPECT_TRUE(scheduler.CompletionTick());
    EXPECT_EQ(errors.Lines().back(), "Done: 1");
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
