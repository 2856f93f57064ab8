// varnelix-run's command line.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace vx::tools {

struct RunOptions {
  std::string port = "loop://";    // the port of this run
  std::vector<std::string> ports;  // every --port given, in order: more than one runs them all at once
  std::string file;
  unsigned packetSize = 256;
  bool stress = false;
  double duration = 0;       // seconds; 0 = until a one-shot transfer finishes
  double drainTimeout = 60;  // seconds at most spent waiting for the line after sending
  // Seconds the far end may fall silent while bytes are owed before they are
  // called lost; 0 = the default for the port (3, or 10 behind a network port).
  double maxPause = 0;
  std::string json;          // report file, "-" for standard output, empty for none
  bool help = false;
};

// False with a message on stderr when the arguments cannot be used.
bool ParseRunOptions(int argc, char** argv, RunOptions* options);
void PrintRunUsage(FILE* out);

}  // namespace vx::tools
