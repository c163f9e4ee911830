#include "engine/output_claims.h"

namespace zelvan {

std::optional<std::string> OutputClaims::Claim(const std::string& path, const std::string& sourcePath) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto [it, claimed] = sources_.try_emplace(path, sourcePath);
    if (claimed) return std::nullopt;
    return it->second;
}

void OutputClaims::Release(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    sources_.erase(path);
}

void OutputClaims::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    sources_.clear();
}

}  // namespace zelvan
