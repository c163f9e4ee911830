#include "engine/output_naming.h"

#include "base/path_util.h"

namespace zelvan {

std::string RenamedDestinationPath(const ConversionOptions& options, const MaskSubject& subject,
                                   const MaskDateConventions& dates) {
    const std::string text = ExtractFilePath(subject.destinationPath) + options.renameMask;
    return ExpandMask(text, subject, MaskKind::Rename, dates, options.counterDigits);
}

std::string OutputExtension(const ConversionOptions& options, std::string_view formatExtension) {
    std::string extension = "." + std::string(formatExtension);
    if (options.lowerCaseExtension)
        for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return extension;
}

}  // namespace zelvan
