// The signals that end a run early: each run stops as it would at its end,
// restores its port and still reports what it checked.
#pragma once

namespace vx::tools {

// Sends SIGINT, SIGTERM and SIGHUP (a closed terminal or session) to
// `handler`, but for those the program was started ignoring (nohup, a
// background job), and ignores SIGPIPE, so that output to a reader that has
// gone fails as an error instead of killing the run with its port unrestored.
void CatchStopSignals(void (*handler)(int));

// "SIGINT", "SIGTERM" or "SIGHUP"; "" for any other.
const char* StopSignalName(int signal);

}  // namespace vx::tools
