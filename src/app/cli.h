#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace zelvan {

// zelvan-cli: one run exactly as Convert runs it, without windows. Standard output carries the
// run's error list and nothing else; the exit status is 0 (no job failed), 1 (some job failed)
// or 2 (usage error or refused run).
int RunCommandLine(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err,
                   bool progressOnTerminal);

}  // namespace zelvan
