// Apart from the tests themselves: the kernel's termios2 header and the C
// library's <termios.h> cannot be included together.
#include "line_rates.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace vx::test {

bool SetLineRates(int fd, unsigned input, unsigned output) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ispeed = input;
  t.c_ospeed = output;
  return ioctl(fd, TCSETS2, &t) == 0;
}

bool GetLineRates(int fd, unsigned* input, unsigned* output) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  *input = t.c_ispeed;
  *output = t.c_ospeed;
  return true;
}

}  // namespace vx::test
