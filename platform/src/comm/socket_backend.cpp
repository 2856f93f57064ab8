#include "socket_backend.h"
#include "nonblocking_io.h"

#include <cerrno>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vx::comm {
namespace {

DWORD HangUpError(int e) {
  return e == ECONNRESET || e == EPIPE || e == ENOTCONN || e == ETIMEDOUT ? DWORD(ERROR_DEVICE_NOT_CONNECTED)
                                                                           : kernel::ErrnoToWin32(e);
}

}  // namespace

SocketBackend::SocketBackend(int fd) : fd_(fd) {
  dcb_.DCBlength = sizeof(DCB);
  dcb_.BaudRate = CBR_115200;
  dcb_.fBinary = TRUE;
  dcb_.fDtrControl = DTR_CONTROL_ENABLE;
  dcb_.fRtsControl = RTS_CONTROL_ENABLE;
  dcb_.ByteSize = 8;
  dcb_.Parity = NOPARITY;
  dcb_.StopBits = ONESTOPBIT;
  dcb_.XonChar = 0x11;
  dcb_.XoffChar = 0x13;
}

SocketBackend::~SocketBackend() { ::close(fd_); }

BOOL SocketBackend::ReadState(DCB* dcb) {
  std::lock_guard lock(stateLock_);
  *dcb = dcb_;
  return TRUE;
}

BOOL SocketBackend::WriteState(const DCB& dcb) {
  std::lock_guard lock(stateLock_);
  dcb_ = dcb;
  return TRUE;
}

DWORD SocketBackend::InQueue() {
  int n = 0;
  return ioctl(fd_, FIONREAD, &n) == 0 && n > 0 ? static_cast<DWORD>(n) : 0;
}

DWORD SocketBackend::OutQueue() {
  int n = 0;
  return ioctl(fd_, SIOCOUTQ, &n) == 0 && n > 0 ? static_cast<DWORD>(n) : 0;
}

long SocketBackend::Receive(void* buffer, std::size_t size, DWORD* error) {
  return ReadAvailable([&] { return ::recv(fd_, buffer, size, 0); }, size, error, HangUpError);
}

long SocketBackend::Transmit(const void* buffer, std::size_t size, DWORD* error) {
  return WriteAvailable([&] { return ::send(fd_, buffer, size, MSG_NOSIGNAL); }, error, HangUpError);
}

}  // namespace vx::comm
