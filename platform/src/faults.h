// The layer's side of fault injection: each Win32 entry point asks Check()
// first. The unarmed case is one relaxed atomic load.
#pragma once

#include "platform/hooks.h"

#include <atomic>

namespace vx::fault {

struct Action {
  bool act = false;
  DWORD error = 0;
  bool overrideResult = false;
  DWORD result = 0;
  explicit operator bool() const { return act; }
};

extern std::atomic<bool> armed;
Action CheckSlow(const char* function);

// When a rule matches: blocks first if the rule says so (until released), then
// returns what the call must do.
inline Action Check(const char* function) {
  if (!armed.load(std::memory_order_relaxed)) return {};
  return CheckSlow(function);
}

}  // namespace vx::fault
