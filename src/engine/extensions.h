#pragma once

#include <span>
#include <string>
#include <string_view>

namespace zelvan {

// Extensions with their dot, matched ignoring letter case.
std::span<const std::string_view> RawExtensions();
// The extensions the file list takes: RAW first, then the common ones, then every extension
// of the readers' list with a dot put in front.
std::span<const std::string> AcceptedExtensions();
// The readers' extensions without a dot, in the add-files dialog's order.
std::span<const std::string_view> ReaderExtensions();

bool IsRawExtension(std::string_view extension);
bool IsAcceptedExtension(std::string_view extension);

// The automatic format keeps a source with this extension (".jpg", ".jpeg"; letter case ignored)
// as JPEG without trying PNG: an already lossy photo. Other JPEG extensions (.jfif, .jpe) are
// tried as PNG too.
bool SkipsPngCandidate(std::string_view extension);

}  // namespace zelvan
