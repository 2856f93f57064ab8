#include "tools/stop_signals.h"

#include <csignal>
#include <initializer_list>

namespace vx::tools {

void CatchStopSignals(void (*handler)(int)) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  // The signals sent to ask a program to end, and those of the limits a
  // script or CI puts on it (CPU time, file size): a run ended by any of them
  // still reports what it found, and the port gets its settings back.
  // (SIGQUIT's core dump is given up for that; profilers' and real-time
  // signals are left alone.)
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGXCPU, SIGXFSZ}) {
    // A signal the run was started ignoring stays ignored: nohup's SIGHUP,
    // a background job's SIGINT.
    struct sigaction old {};
    if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(signal, &sa, nullptr);
  }
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, nullptr);
}

const char* StopSignalName(int signal) {
  switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    case SIGQUIT: return "SIGQUIT";
    case SIGUSR1: return "SIGUSR1";
    case SIGUSR2: return "SIGUSR2";
    case SIGALRM: return "SIGALRM";
    case SIGXCPU: return "SIGXCPU";
    case SIGXFSZ: return "SIGXFSZ";
  }
  return "";
}

}  // namespace vx::tools
