#pragma once

namespace zelvan {

// The share of physical memory in use, 0 to 100: 100 - 100 x MemAvailable / MemTotal from
// /proc/meminfo; 0 when it cannot be read (a missing reading never holds a run back).
int MemoryLoadPercent();

}  // namespace zelvan
