// varnelix-run on several ports at once: one run of the exerciser per port,
// each in a process of its own with its own dialog, all at the same time.
#pragma once

#include "tools/run_options.h"

namespace vx::tools {

// Runs `options` once for each of its ports, concurrently, showing one status
// line per port and ending with a table. `self` is this program. Returns the
// worst of the runs' exit statuses.
int RunPortFleet(const char* self, const RunOptions& options);

}  // namespace vx::tools
