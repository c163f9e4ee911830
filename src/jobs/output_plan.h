#pragma once

#include <QDateTime>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/conversion_options.h"
#include "engine/output_claims.h"
#include "engine/mask_language.h"
#include "engine/resize_planning.h"

namespace zelvan {

// Where a job's output will go, worked out before the job runs and without decoding: for the
// dry run, and for skipping outputs that exist already before any work is spent on them.

// The size the working image has when the rename mask is expanded: the picture as shown (turned
// by its orientation when Auto_rotate is on), sized by the resize mode as the resize step sizes
// it. Pure arithmetic.
ImageSize PlannedWorkingSize(ImageSize shown, const ConversionOptions& options);

// The picture's size as shown, read from the file's header without decoding: JPEG, PNG, BMP/DIB
// and PNM headers through Qt's image reader, turned by the EXIF orientation (JPEG APP1, PNG
// eXIf) when Auto_rotate is on. Nothing for other formats, for unreadable headers and for
// RAW files: their size is known only once the job has decoded them.
std::optional<ImageSize> HeaderSize(const std::string& sourcePath, bool autoRotate);

// True when the options' rename mask uses the pixel size ([W] or [H]) and renaming is on.
bool NameNeedsPixelSize(const ConversionOptions& options);

struct OutputPlan {
    // The final output path; with Auto_format, one per candidate (JPEG first, then PNG unless
    // the source is a JPEG file), since the encoder's choice is known only after encoding.
    std::vector<std::string> paths;
    // The name needs the pixel size and the header gave none: [W] and [H] are left in the paths
    // as written.
    bool sizeUnknown = false;
};

// The final output path(s) of a job: `destinationPath` is the path the scheduler gives the job
// (output folder + source name + the format's extension), renamed by the mask as the job renames
// it (with the job number, the source's dates and `now`), then given the automatic format's
// extensions. `shown` is the picture's size as shown when known.
OutputPlan PlanOutput(const ConversionOptions& options, const std::string& sourcePath,
                      const std::string& destinationPath, std::int32_t jobNumber, std::optional<ImageSize> shown,
                      const MaskDateConventions& dates, const QDateTime& now);

// For a run that skips existing outputs: the first planned path that exists, reading the header
// only when the name needs the size. Nothing when none exists or the size is unknown (the job
// then finds out when it writes).
std::optional<std::string> ExistingPlannedOutput(const ConversionOptions& options, const std::string& sourcePath,
                                                 const std::string& destinationPath, std::int32_t jobNumber,
                                                 const MaskDateConventions& dates);

struct QueuedFile;

// The whole list's planned outputs that more than one of its jobs take, each held for the job
// at the earliest place (files numbered by their places, as QueuedFile::jobNumber). Names whose
// size is not known before decoding are left to the jobs.
std::vector<OutputReservation> PlanSharedOutputs(const ConversionOptions& options, const std::vector<QueuedFile>& files);

}  // namespace zelvan
