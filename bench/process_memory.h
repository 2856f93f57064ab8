// The process's memory as the kernel counts it: the resident size now and at
// its peak, and a fresh start for the peak so that one case is measured alone.
#pragma once

#include <cstring>
#include <fstream>
#include <malloc.h>
#include <string>

namespace vx::bench {

// A "...: N kB" field of /proc/self/status (VmRSS:, VmHWM:), in KiB.
inline long StatusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
  return 0;
}

// Gives back to the system what was freed before (else it stays resident and
// hides what comes next), and makes VmHWM start again from the present size.
inline void ResetPeak() {
  malloc_trim(0);
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}

}  // namespace vx::bench
