// One read or write on a non-blocking descriptor, with the results a Backend
// gives: bytes moved, 0 when nothing can move now, or -1 with *error set when
// the device has failed or gone. An interrupted call is made again. Each kind
// of descriptor says which errno means its far side has gone (`failure`).
#pragma once

#include "platform/win32.h"

#include <cerrno>
#include <cstddef>
#include <sys/types.h>

namespace vx::comm {

// `call()` reads at most `size` bytes. A read of nothing when something was
// asked for means the far side has closed (a tty in raw mode with VMIN 1 and
// a stream socket read 0 bytes only then).
template <class Call, class Failure>
long ReadAvailable(Call call, std::size_t size, DWORD* error, Failure failure) {
  for (;;) {
    const ssize_t n = call();
    if (n > 0) return n;
    if (n == 0) {
      if (size == 0) return 0;
      *error = ERROR_DEVICE_NOT_CONNECTED;
      return -1;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return 0;
    *error = failure(errno);
    return -1;
  }
}

template <class Call, class Failure>
long WriteAvailable(Call call, DWORD* error, Failure failure) {
  for (;;) {
    const ssize_t n = call();
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return 0;
    *error = failure(errno);
    return -1;
  }
}

}  // namespace vx::comm
