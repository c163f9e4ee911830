#pragma once

#include <cstdint>
#include <span>

#include "engine/conversion_options.h"
#include "engine/resize_planning.h"

namespace zelvan {

// What a job will hold at its peak, worked out from sizes alone before it starts, so that the
// run's pool can keep its jobs together within the memory budget. Pure arithmetic: the figures
// are rounded up from peaks measured on a 20.4 MP photo (see EncoderBytesPerPixel).

// One output of a job: its Output_format number and the options it is made with.
struct EstimatedOutput {
    int format = 0;
    const ConversionOptions* options = nullptr;
};

// Bytes per pixel of the encoded picture that the format's encoder holds at its peak beyond the
// picture it is given, with the options' settings (lossless, effort, speed) for a picture of
// this many pixels (JPEG XL lowers its effort for large ones).
double EncoderBytesPerPixel(int format, const ConversionOptions& options, std::uint64_t pixels);

// The job's peak in bytes for a source of `shown` pixels (as the header gives it): the decoded
// raster and the working copy (4 bytes per pixel each), then for the hungriest output its resize
// (the resampler's intermediate rows and its result) and its encoder. Outputs are made one after
// another, so only the largest counts. 0 when the size is unknown (0 x 0).
std::uint64_t EstimateJobPeakBytes(ImageSize shown, std::span<const EstimatedOutput> outputs);

// The budget in bytes for a Memory_budget value in MiB; 0 means automatic: three quarters of the
// machine's memory (`physicalBytes`; 0 when unknown gives no budget: 0 is returned, and only the
// memory-load guard holds jobs back).
std::uint64_t MemoryBudgetBytes(int budgetMiB, std::uint64_t physicalBytes);

}  // namespace zelvan
