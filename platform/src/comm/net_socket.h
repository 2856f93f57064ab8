// The TCP connection behind network serial ports (tcp:// and rfc2217://).
#pragma once

#include "platform/win32.h"

#include <string>

namespace vx::comm {

// Connects to "host:port" ("[::1]:port" for IPv6), waiting at most
// `timeoutMs`. A non-blocking socket with Nagle off, or -1 with *error set:
// ERROR_BAD_NETPATH for a name that is no host and port, ERROR_CONNECTION_REFUSED
// when nothing listens there, ERROR_SEM_TIMEOUT when nothing answers.
int ConnectTcp(const std::string& hostPort, int timeoutMs, DWORD* error);

// Sends all of `data` on the non-blocking socket `fd`, waiting for room at
// most `timeoutMs` in all; for the few bytes of control commands.
bool SendAll(int fd, const void* data, std::size_t size, int timeoutMs);

}  // namespace vx::comm
