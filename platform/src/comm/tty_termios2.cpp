// Kept apart from the rest of the tty code: the kernel's termios2 header and
// the C library's <termios.h> cannot be included together.
#include "tty_termios2.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cstring>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace vx::comm {

bool SetRates(int fd, DWORD input, DWORD output) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ispeed = input;
  t.c_ospeed = output;
  return ioctl(fd, TCSETS2, &t) == 0;
}

bool SetArbitraryRate(int fd, DWORD baud) { return SetRates(fd, baud, baud); }

DWORD ReadArbitraryRate(int fd) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return 0;
  return t.c_ospeed;
}

DWORD ReadInputRate(int fd) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return 0;
  return t.c_ispeed ? t.c_ispeed : t.c_ospeed;
}

static_assert(sizeof(termios2) <= sizeof(SavedLine::state), "SavedLine must hold a termios2");

SavedLine SaveLine(int fd) {
  SavedLine line{};
  struct termios2 t {};
  line.valid = ioctl(fd, TCGETS2, &t) == 0;
  std::memcpy(line.state, &t, sizeof t);
  return line;
}

bool RestoreLine(int fd, const SavedLine& line) {
  if (!line.valid) return false;
  struct termios2 t {};
  std::memcpy(&t, line.state, sizeof t);
  return ioctl(fd, TCSETS2, &t) == 0;
}

}  // namespace vx::comm
