// The baseline of the paced benchmarks: a plain client doing a transfer's bare
// work (a 1 ms timerfd, one packet written per tick, the echo read back) on a
// pseudo-terminal whose far end echoes, and the echo peers themselves, in a
// child process forked before anything else starts, so that getrusage of the
// benchmark counts the client's CPU only. Also what every such benchmark
// prints beside its figures: CPU seconds and the load average.
#pragma once

#include <cstddef>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>

namespace vx::bench {

constexpr std::size_t kPacedPacket = 2048;

// CPU seconds (user and system) of the process, or of the calling thread.
double CpuSeconds(int who = RUSAGE_SELF);
std::string LoadAverage();

// What a paced run did over its measured window.
struct PacedFigures {
  double ticksPerSecond = 0;
  double packetsPerSecond = 0;  // whole packets' worth of bytes written
  double writtenMbPerSecond = 0;
  double echoedMbPerSecond = 0;
  double cpuPerMb = 0;  // CPU seconds per MB written (and echoed)
};

// Two echo peers in a child process; their device paths come back on a pipe.
// Start before any thread exists. The child ends with this object.
class EchoPeerProcess {
 public:
  EchoPeerProcess() = default;
  EchoPeerProcess(const EchoPeerProcess&) = delete;
  EchoPeerProcess& operator=(const EchoPeerProcess&) = delete;
  ~EchoPeerProcess();

  bool Start();
  const std::string& PlainPath() const { return plainPath_; }    // for the plain client
  const std::string& ClientPath() const { return clientPath_; }  // for the client measured

 private:
  pid_t pid_ = -1;
  int hold_ = -1;  // the child runs until this end of a pipe is closed
  std::string plainPath_, clientPath_;
};

// Runs the plain client on `device` for `warmup` then `seconds` more, measured.
// Missed ticks are dropped, as the dialog's timer drops them.
PacedFigures PlainPacedClient(const std::string& device, double warmup, double seconds);

}  // namespace vx::bench
