#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/conversion_job.h"
#include "engine/job_environment.h"

namespace zelvan::test {

// Holds the jobs a scheduler's workers start, so that a test decides when each one runs: the
// worker waits in the runner until the test lets its job run (on that worker) or end unrun.
// Install it with Scheduler::SetJobRunner(holder.Runner()) before the run begins. Declare it
// after the scheduler: it lets every waiting worker go when it goes.
class JobHolder {
public:
    JobHolder() : state_(std::make_shared<State>()) {}
    ~JobHolder() {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->mode = Mode::EndUnrun;
        state_->counters = nullptr;
        for (Entry& e : state_->waiting)
            if (e.decision == Decision::Wait) e.decision = Decision::EndUnrun;
        state_->changed.notify_all();
    }
    JobHolder(const JobHolder&) = delete;
    JobHolder& operator=(const JobHolder&) = delete;

    std::function<void(ConversionJob&)> Runner() {
        return [state = state_](ConversionJob& job) { Hold(*state, job); };
    }

    // The jobs waiting now, in the order they arrived.
    std::vector<ConversionJob*> Held() const {
        std::lock_guard<std::mutex> lock(state_->mutex);
        std::vector<ConversionJob*> jobs;
        for (const Entry& e : state_->waiting) jobs.push_back(e.job);
        return jobs;
    }
    // The jobs waiting now, by job number.
    std::vector<ConversionJob*> HeldByNumber() const {
        std::vector<ConversionJob*> jobs = Held();
        std::sort(jobs.begin(), jobs.end(), [](auto* a, auto* b) { return a->jobNumber < b->jobNumber; });
        return jobs;
    }
    std::size_t Count() const { return Held().size(); }
    // Every job that ever reached the runner.
    std::size_t Started() const {
        std::lock_guard<std::mutex> lock(state_->mutex);
        return state_->started;
    }
    // Whether `count` jobs are waiting within the time.
    bool WaitForCount(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
        std::unique_lock<std::mutex> lock(state_->mutex);
        return state_->changed.wait_for(lock, timeout, [&] { return state_->waiting.size() == count; });
    }

    // Whether `count` jobs have reached the runner within the time, held or not.
    bool WaitUntilStarted(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
        std::unique_lock<std::mutex> lock(state_->mutex);
        return state_->changed.wait_for(lock, timeout, [&] { return state_->started >= count; });
    }

    // The job executes on its worker; returns once it has.
    void Run(ConversionJob* job) {
        std::unique_lock<std::mutex> lock(state_->mutex);
        Decide(job, Decision::RunAndTell);
        state_->changed.wait(lock, [&] { return std::count(state_->ran.begin(), state_->ran.end(), job) > 0; });
        // A later job may live at the same address.
        state_->ran.erase(std::find(state_->ran.begin(), state_->ran.end(), job));
    }
    // The job ends without running, counted as processed the way a job counts itself.
    void EndUnrun(ConversionJob* job, RunCounters& counters) {
        counters.processed.fetch_add(1);
        std::lock_guard<std::mutex> lock(state_->mutex);
        Decide(job, Decision::EndUnrun);
    }
    // Nothing is held any more: waiting jobs and every later one execute.
    void RunAll() { SetMode(Mode::Run, nullptr); }
    // Nothing is held any more: waiting jobs and every later one end unrun, counted as processed.
    void EndAllUnrun(RunCounters& counters) { SetMode(Mode::EndUnrun, &counters); }

private:
    enum class Decision { Wait, Run, RunAndTell, EndUnrun };
    enum class Mode { Hold, Run, EndUnrun };
    struct Entry {
        ConversionJob* job;
        Decision decision;
    };
    struct State {
        mutable std::mutex mutex;
        mutable std::condition_variable changed;
        std::vector<Entry> waiting;
        std::vector<ConversionJob*> ran;
        std::size_t started = 0;
        Mode mode = Mode::Hold;
        RunCounters* counters = nullptr;
    };

    void Decide(ConversionJob* job, Decision decision) {
        for (Entry& e : state_->waiting)
            if (e.job == job) e.decision = decision;
        state_->changed.notify_all();
    }

    void SetMode(Mode mode, RunCounters* counters) {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->mode = mode;
        state_->counters = counters;
        for (Entry& e : state_->waiting) {
            if (e.decision != Decision::Wait) continue;
            if (mode == Mode::EndUnrun && counters) counters->processed.fetch_add(1);
            e.decision = mode == Mode::Run ? Decision::Run : Decision::EndUnrun;
        }
        state_->changed.notify_all();
    }

    static void Hold(State& state, ConversionJob& job) {
        std::unique_lock<std::mutex> lock(state.mutex);
        ++state.started;
        Decision decision = Decision::Wait;
        if (state.mode == Mode::Run) {
            decision = Decision::Run;
        } else if (state.mode == Mode::EndUnrun) {
            if (state.counters) state.counters->processed.fetch_add(1);
            decision = Decision::EndUnrun;
        } else {
            state.waiting.push_back({&job, Decision::Wait});
            state.changed.notify_all();
            auto entry = [&] {
                return std::find_if(state.waiting.begin(), state.waiting.end(), [&](const Entry& e) { return e.job == &job; });
            };
            state.changed.wait(lock, [&] { return entry()->decision != Decision::Wait; });
            decision = entry()->decision;
            state.waiting.erase(entry());
            state.changed.notify_all();
        }
        if (decision == Decision::EndUnrun) return;
        lock.unlock();
        job.Execute();
        if (decision != Decision::RunAndTell) return;
        lock.lock();
        state.ran.push_back(&job);
        state.changed.notify_all();
    }

    std::shared_ptr<State> state_;
};

}  // namespace zelvan::test
