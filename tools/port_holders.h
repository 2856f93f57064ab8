// Other programs that have a port open. The port layer's exclusivity (flock,
// TIOCEXCL) keeps out only those that open it later; one that had it open
// before takes bytes meant for the run, and the run would blame the line.
#pragma once

#include <string>
#include <vector>

namespace vx::tools {

struct PortHolder {
  long pid = 0;
  std::string command;  // as the kernel names the process (/proc/PID/comm)
  // How it has the port open: a program that only writes takes no byte
  // from the run, one that only reads puts none in.
  bool reads = true;
  bool writes = true;
};

// The processes that hold the device file `path` open (matched by device
// number, so any name of it will do), as far as /proc lets this user see,
// leaving out this process and the program that made the pseudo-terminal
// `path` is, if it is one: a harness keeps the far side's slave open in the
// process that holds the master, and that takes nothing from the line.
// *unseen: some processes could not be looked at (another user's, to a user
// who is not root), so one of them may hold it too.
std::vector<PortHolder> Holders(const std::string& path, bool* unseen = nullptr);

// "1234 (cat), 5678 (python3, write-only)".
std::string HoldersText(const std::vector<PortHolder>& holders);

// Whether `path` is the slave side of a pseudo-terminal.
bool IsPseudoTerminal(const std::string& path);

}  // namespace vx::tools
