#include "jobs/error_list.h"

namespace zelvan {

void ErrorList::AppendLine(const std::string& line) {
    std::function<void(const std::string&)> listener;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(line);
        listener = listener_;
    }
    if (listener) listener(line);
}

void ErrorList::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

std::vector<std::string> ErrorList::Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

std::size_t ErrorList::Count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.size();
}

std::vector<std::string> ErrorList::LinesFrom(std::size_t from) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (from >= lines_.size()) return {};
    return {lines_.begin() + static_cast<std::ptrdiff_t>(from), lines_.end()};
}

void ErrorList::SetListener(std::function<void(const std::string&)> listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = std::move(listener);
}

}  // namespace zelvan
