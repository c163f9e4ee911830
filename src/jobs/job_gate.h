#pragma once

#include <atomic>
#include <functional>
#include <mutex>

namespace zelvan {

// Lets conversion jobs start, or holds them back while something else needs the machine (the
// preview closes it while it loads a picture). Opening it wakes the run's idle workers.
class JobGate {
public:
    bool IsOpen() const { return open_.load(std::memory_order_acquire); }
    void Close() { open_.store(false, std::memory_order_release); }
    void Open() {
        open_.store(true, std::memory_order_release);
        std::lock_guard<std::mutex> lock(mutex_);
        if (opened_) opened_();
    }
    // Called on the opening thread after each Open.
    void SetOpenedListener(std::function<void()> listener) {
        std::lock_guard<std::mutex> lock(mutex_);
        opened_ = std::move(listener);
    }

private:
    std::atomic<bool> open_{true};
    std::mutex mutex_;
    std::function<void()> opened_;
};

}  // namespace zelvan
