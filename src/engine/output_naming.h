#pragma once

#include <string>
#include <string_view>

#include "engine/conversion_options.h"
#include "engine/mask_language.h"

namespace zelvan {

// Where a job's output goes once the rename mask applies: the folder part of the subject's
// destination (up to and including its last "/") followed by options.renameMask, with the
// rename tokens replaced over the whole text, so tokens in the folder name are replaced too.
// No extension is added: the output has one only when the mask has [E] (or the automatic
// format choice adds one later). The job calls it with the job lock held, when
// options.renameEnabled is true.
std::string RenamedDestinationPath(const ConversionOptions& options, const MaskSubject& subject,
                                   const MaskDateConventions& dates);

// The extension, with its dot, that an output of the format with the given extension ("PNG")
// gets: in lower case when the options ask for it.
std::string OutputExtension(const ConversionOptions& options, std::string_view formatExtension);

}  // namespace zelvan
