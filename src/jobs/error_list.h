#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "engine/job_environment.h"

namespace zelvan {

inline constexpr const char* kErrorListSeparator = "-----------------------";

// The run's error list: whole lines in the order they were appended, from any thread. An
// append takes a short lock of its own and never waits for a job.
class ErrorList : public JobReporter {
public:
    void AppendLine(const std::string& line) override;
    void Clear();
    std::vector<std::string> Lines() const;
    std::size_t Count() const;
    // Lines from index `from` on: lets a display fetch only what it has not shown yet.
    std::vector<std::string> LinesFrom(std::size_t from) const;

    // Called after each append, on the appending thread (a window posts it to its own thread).
    void SetListener(std::function<void(const std::string&)> listener);

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    std::function<void(const std::string&)> listener_;
};

}  // namespace zelvan
