// Kept apart from the rest of the tty code: the kernel's termios2 header and
// the C library's <termios.h> cannot be included together.
#include "tty_rate.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace vx::comm {

bool SetArbitraryRate(int fd, DWORD baud) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ispeed = baud;
  t.c_ospeed = baud;
  return ioctl(fd, TCSETS2, &t) == 0;
}

DWORD ReadArbitraryRate(int fd) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return 0;
  return t.c_ospeed;
}

}  // namespace vx::comm
