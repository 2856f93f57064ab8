// Why a port cannot be opened, in the system's words: the dialog shows only
// "ERROR", so the runner opens the port once more itself and asks.
#pragma once

#include <string>

namespace vx::tools {

struct PortProblem {
  std::string reason;  // e.g. "permission denied on /dev/ttyUSB0"
  std::string hint;    // what to do about it
};

// `firstError`: the error of the dialog's own open, when known (0 if not):
// a server that took the connection and closed it may be gone by the time
// the port is opened again.
PortProblem ProbePort(const std::string& name, unsigned long firstError = 0);

}  // namespace vx::tools
