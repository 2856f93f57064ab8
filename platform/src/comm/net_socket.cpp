#include "net_socket.h"

#include "../kernel.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vx::comm {
namespace {

// The send buffer a port's socket asks of the kernel (which doubles it, for
// its own bookkeeping as much as for the bytes).
constexpr int kSendBufferBytes = 4096;

bool SplitHostPort(const std::string& hostPort, std::string* host, std::string* port) {
  std::size_t colon;
  if (!hostPort.empty() && hostPort[0] == '[') {
    std::size_t close = hostPort.find(']');
    if (close == std::string::npos || close + 1 >= hostPort.size() || hostPort[close + 1] != ':') return false;
    *host = hostPort.substr(1, close - 1);
    colon = close + 1;
  } else {
    colon = hostPort.rfind(':');
    if (colon == std::string::npos) return false;
    *host = hostPort.substr(0, colon);
  }
  *port = hostPort.substr(colon + 1);
  if (host->empty() || port->empty() || port->size() > 5) return false;
  for (char c : *port)
    if (c < '0' || c > '9') return false;
  long n = std::stol(*port);
  return n > 0 && n < 65536;
}

}  // namespace

int ConnectTcp(const std::string& hostPort, int timeoutMs, DWORD* error) {
  std::string host, port;
  if (!SplitHostPort(hostPort, &host, &port)) {
    *error = ERROR_BAD_NETPATH;
    return -1;
  }
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || !found) {
    *error = ERROR_BAD_NETPATH;
    return -1;
  }
  *error = ERROR_CONNECTION_REFUSED;
  int fd = -1;
  for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      *error = kernel::ErrnoToWin32(errno);
      continue;
    }
    // A serial driver holds a few kilobytes on their way to the line; a
    // socket grows its buffer to megabytes, and a write it takes counts as
    // written. Kept small, a slow line behind a server holds the sender back
    // as a UART would, so what the exerciser calls written has nearly reached
    // the server.
    const int sendBuffer = kSendBufferBytes;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
    if (rc != 0 && errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      rc = ::poll(&p, 1, timeoutMs);
      if (rc == 0) {
        *error = ERROR_SEM_TIMEOUT;
        rc = -1;
      } else {
        int soError = 0;
        socklen_t len = sizeof soError;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
        rc = soError == 0 ? 0 : -1;
        if (soError == ECONNREFUSED) *error = ERROR_CONNECTION_REFUSED;
        else if (soError) *error = kernel::ErrnoToWin32(soError);
      }
    } else if (rc != 0) {
      *error = errno == ECONNREFUSED ? ERROR_CONNECTION_REFUSED : kernel::ErrnoToWin32(errno);
    }
    if (rc != 0) {
      ::close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  if (fd >= 0) {
    // Packets are small and paced: each should leave at once, not wait to be
    // joined with the next.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  return fd;
}

bool SendAll(int fd, const void* data, std::size_t size, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
    if (n > 0) {
      p += n;
      size -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd pfd{fd, POLLOUT, 0};
    ::poll(&pfd, 1, static_cast<int>(left.count()));
  }
  return true;
}

}  // namespace vx::comm
