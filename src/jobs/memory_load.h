#pragma once

#include <cstdint>

namespace zelvan {

// The share of physical memory in use, 0 to 100: 100 - 100 x MemAvailable / MemTotal from
// /proc/meminfo; 0 when it cannot be read (a missing reading never holds a run back).
int MemoryLoadPercent();

// The machine's memory (MemTotal) in bytes; 0 when it cannot be read.
std::uint64_t PhysicalMemoryBytes();

}  // namespace zelvan
