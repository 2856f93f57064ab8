// What the two network port kinds share: a connected non-blocking TCP socket
// as the line, and a DCB kept on this side.
#pragma once

#include "port.h"

#include <mutex>

namespace vx::comm {

class SocketBackend : public Backend {
 public:
  explicit SocketBackend(int fd);
  ~SocketBackend() override;

  int Fd() const override { return fd_; }
  bool IsCommDevice() const override { return true; }
  BOOL ReadState(DCB* dcb) override;
  BOOL WriteState(const DCB& dcb) override;
  DWORD InQueue() override;
  DWORD OutQueue() override;

 protected:
  // Bytes received (0 when none are there now), or -1 with *error set once
  // the far end has closed or failed: a hang-up, as when a device goes away.
  long Receive(void* buffer, std::size_t size, DWORD* error);
  // Bytes the socket took (0 when it has no room now), or -1 as above.
  long Transmit(const void* buffer, std::size_t size, DWORD* error);

  const int fd_;
  std::mutex stateLock_;
  DCB dcb_{};  // guarded by stateLock_
};

std::unique_ptr<Backend> MakeTcpBackend(int fd);
// Agrees the COM-PORT option with the server and learns its line settings;
// null with *error set when the server does not speak it.
std::unique_ptr<Backend> MakeRfc2217Backend(int fd, DWORD* error);

}  // namespace vx::comm
