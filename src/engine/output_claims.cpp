#include "engine/output_claims.h"

namespace zelvan {

std::optional<std::string> OutputClaims::Claim(const std::string& path, const std::string& sourcePath,
                                               std::int32_t jobNumber) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto [it, claimed] = holders_.try_emplace(path, Holder{sourcePath, 0});
    if (claimed) return std::nullopt;
    if (jobNumber != 0 && it->second.reservedFor == jobNumber) {
        it->second.reservedFor = 0;
        return std::nullopt;
    }
    return it->second.sourcePath;
}

void OutputClaims::Release(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    holders_.erase(path);
}

void OutputClaims::Clear(const std::vector<OutputReservation>& reservations) {
    std::lock_guard<std::mutex> lock(mutex_);
    holders_.clear();
    for (const OutputReservation& r : reservations) holders_.try_emplace(r.path, Holder{r.sourcePath, r.jobNumber});
}

}  // namespace zelvan
