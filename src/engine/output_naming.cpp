#include "engine/output_naming.h"

#include "base/path_util.h"

namespace zelvan {

std::string RenamedDestinationPath(const ConversionOptions& options, const MaskSubject& subject,
                                   const MaskDateConventions& dates) {
    const std::string text = ExtractFilePath(subject.destinationPath) + options.renameMask;
    return ExpandMask(text, subject, MaskKind::Rename, dates, options.counterDigits);
}

}  // namespace zelvan
