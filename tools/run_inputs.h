// The files a run reads and writes, checked before it starts: a run that
// cannot judge its file, or cannot leave its report, is a bad argument found
// at once, not a failure found after a long soak.
#pragma once

#include <string>

namespace vx::tools {

// Why `path` cannot be sent and judged, or "" when it can.
std::string SourceFileProblem(const std::string& path);

// Why the JSON report cannot go to `target` (not "-"), or "" when it can.
// `source` is the file to send, which the report must not overwrite.
std::string ReportTargetProblem(const std::string& target, const std::string& source);

}  // namespace vx::tools
