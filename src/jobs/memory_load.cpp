#include "jobs/memory_load.h"

#include <cstdio>
#include <cstring>

namespace zelvan {

namespace {

// MemTotal and MemAvailable in KiB; 0 for what cannot be read.
struct MemInfo {
    unsigned long long totalKiB = 0;
    unsigned long long availableKiB = 0;
};

MemInfo ReadMemInfo() {
    MemInfo info;
    std::FILE* f = std::fopen("/proc/meminfo", "r");
    if (!f) return info;
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
        unsigned long long value = 0;
        if (std::sscanf(line, "MemTotal: %llu", &value) == 1) info.totalKiB = value;
        else if (std::sscanf(line, "MemAvailable: %llu", &value) == 1) info.availableKiB = value;
    }
    std::fclose(f);
    return info;
}

}  // namespace

int MemoryLoadPercent() {
    const MemInfo info = ReadMemInfo();
    if (info.totalKiB == 0 || info.availableKiB > info.totalKiB) return 0;
    return static_cast<int>(100 - (100 * info.availableKiB) / info.totalKiB);
}

std::uint64_t PhysicalMemoryBytes() {
    return static_cast<std::uint64_t>(ReadMemInfo().totalKiB) * 1024;
}

}  // namespace zelvan
