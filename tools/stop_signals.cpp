#include "tools/stop_signals.h"

#include <csignal>
#include <initializer_list>

namespace vx::tools {

void CatchStopSignals(void (*handler)(int)) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &sa, nullptr);
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
