#pragma once

// What the job does with an animated source: its frames prepared like the first, each step
// applied to every frame, and the frames an output cannot hold dropped with a note.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/source_loading.h"
#include "imaging/animation.h"

namespace zelvan {

struct OutputFormat;
struct FrameToWrite;

// The further frames with their opacity masks (each frame is 32 bits with opacity, as readers
// deliver animations), the timing kept.
WorkingAnimation PrepareAnimation(Animation&& animation);

// Calls `step` on the set (its first frame) and then on each further frame, seen as a set of its
// own with the source's facts as they were before the step (orientation, profile, full size), so
// that every frame is changed alike. A step that throws leaves every frame in place.
void ForEachFrame(WorkingImageSet& images, const std::function<void(WorkingImageSet&)>& step);

// The output formats that write every frame with its timing.
bool HoldsAnimation(const OutputFormat& format);

// For an output that holds one picture (`format` nullptr: the automatic choice of JPEG or PNG):
// drops the further frames, before any work is spent on them, and returns the note the output's
// line and record carry ("first frame of 56"). Nothing for a still source or an animated output.
std::optional<std::string> KeepFirstFrameOnly(WorkingImageSet& images, const OutputFormat* format);

// Every frame of the set in order, for the writers: the set's own image first.
std::vector<FrameToWrite> FramesToWrite(const WorkingImageSet& images);

}  // namespace zelvan
