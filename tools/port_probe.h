// Why a port cannot be opened, in the system's words: the dialog shows only
// "ERROR", so the runner opens the port once more itself and asks.
#pragma once

#include <string>

namespace vx::tools {

struct PortProblem {
  std::string reason;  // e.g. "permission denied on /dev/ttyUSB0"
  std::string hint;    // what to do about it
};

PortProblem ProbePort(const std::string& name);

}  // namespace vx::tools
