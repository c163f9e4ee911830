#include "jobs/memory_load.h"

#include <cstdio>
#include <cstring>

namespace zelvan {

int MemoryLoadPercent() {
    std::FILE* f = std::fopen("/proc/meminfo", "r");
    if (!f) return 0;
    unsigned long long total = 0, available = 0;
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
        unsigned long long value = 0;
        if (std::sscanf(line, "MemTotal: %llu", &value) == 1) total = value;
        else if (std::sscanf(line, "MemAvailable: %llu", &value) == 1) available = value;
    }
    std::fclose(f);
    if (total == 0 || available > total) return 0;
    return static_cast<int>(100 - (100 * available) / total);
}

}  // namespace zelvan
