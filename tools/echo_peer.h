// A peer on the master side of a pseudo-terminal: what the exerciser sees as
// the device at the other end of its serial line. It echoes, stays silent,
// chatters, can be paced to a line rate, and can hang up; to test a judge of
// the line it can also change, drop, add and delay bytes, and stall. It never
// loses a byte it was not asked to: with its backlog full it stops reading, and
// the pseudo-terminal holds the writer back. Used by the varnelix-echo tool and
// by the tests. POSIX only.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

namespace vx::tools {

class EchoPeer {
 public:
  struct Options {
    bool echo = true;           // send back every byte received
    std::uint32_t baud = 0;     // pace what is sent at 10 bits a byte; 0 = as fast as the pty takes it
    bool chatter = false;       // also send unasked text
    bool flood = false;         // send unasked text as fast as the line takes it
    std::uint32_t dropEvery = 0;  // drop every Nth received byte instead of echoing it (0 = never)
    std::size_t maxBacklog = 16u << 20;  // bytes held to send before reading stops
    std::uint32_t corruptEvery = 0;      // flip the lowest bit of every Nth received byte (0 = never)
    std::string banner = "";             // sent before the first echoed byte, as a device that boots
    std::uint32_t insertEvery = 0;       // after every Nth echoed byte, also send `insert` (0 = never)
    std::string insert = "~";
    std::uint32_t delayMs = 0;           // hold each echoed byte this long before sending it
    std::uint64_t hangUpAfter = 0;       // close the line once this many bytes were received (0 = never)
    std::uint64_t stallAfter = 0;        // stop reading once this many were received, and answer no more (0 = never)
  };

  EchoPeer() : EchoPeer(Options{}) {}
  explicit EchoPeer(const Options& options);
  ~EchoPeer();
  EchoPeer(const EchoPeer&) = delete;
  EchoPeer& operator=(const EchoPeer&) = delete;

  // Opens the pseudo-terminal and starts serving it. False with a message on failure.
  bool Start(std::string* error);
  // The device a client opens, e.g. /dev/pts/3.
  const std::string& DevicePath() const { return path_; }
  // Closes the master side: the client sees its device go away.
  void HangUp();
  // Stops taking bytes from the line (the client's writes then back up) or resumes.
  void PauseReading(bool paused) { paused_.store(paused); }
  void Stop();

  std::uint64_t Received() const { return received_.load(); }
  std::uint64_t Sent() const { return sent_.load(); }
  std::uint64_t Dropped() const { return dropped_.load(); }
  std::uint64_t Corrupted() const { return corrupted_.load(); }
  std::uint64_t Inserted() const { return inserted_.load(); }

 private:
  void Run();

  Options options_;
  int master_ = -1;
  int slave_ = -1;  // held open so that the master never reads EIO between clients
  int wake_[2] = {-1, -1};
  std::string path_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> paused_{false};
  std::atomic<std::uint64_t> received_{0}, sent_{0}, dropped_{0}, corrupted_{0}, inserted_{0};
};

}  // namespace vx::tools
