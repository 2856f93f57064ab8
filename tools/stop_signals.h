// The signals that end a run early: each run stops as it would at its end,
// restores its port and still reports what it checked.
#pragma once

namespace vx::tools {

// Sends the signals that ask a program to end (SIGINT, SIGTERM, SIGHUP for a
// closed terminal or session, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM) or end it
// at a limit (SIGXCPU, SIGXFSZ) to `handler`, but for those the program was
// started ignoring (nohup, a background job), and ignores SIGPIPE, so that
// output to a reader that has gone fails as an error instead of killing the
// run with its port unrestored.
void CatchStopSignals(void (*handler)(int));

// "SIGINT", "SIGTERM", ...: the name of a signal CatchStopSignals catches;
// "" for any other.
const char* StopSignalName(int signal);

}  // namespace vx::tools
