#include "tools/stop_signals.h"

#include <csignal>
#include <initializer_list>

namespace vx::tools {

void CatchStopSignals(void (*handler)(int)) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
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
  }
  return "";
}

}  // namespace vx::tools
