// What only termios2 can do for a tty: rates that termios has no Bnnn
// constant for (250000, 3000000 on some adapters, ...), an input rate apart
// from the output one, and the whole line state given back exactly.
#pragma once

#include "platform/win32.h"

namespace vx::comm {

// Applies the settings already made with tcsetattr, with `baud` as the rate in
// both directions. False, with errno set, when the driver refuses.
bool SetArbitraryRate(int fd, DWORD baud);
// The same with a rate of its own in each direction.
bool SetRates(int fd, DWORD input, DWORD output);
// The output rate in bits a second, however it was set; 0 when unknown.
DWORD ReadArbitraryRate(int fd);
// The input rate likewise: the output rate where it has none of its own.
DWORD ReadInputRate(int fd);

// A terminal's settings as found, to be given back exactly: termios without
// the 2 cannot carry a rate that has no Bnnn constant, nor an input rate of
// its own, and a tty given back that way keeps the rate the port last set.
struct SavedLine {
  unsigned char state[64];
  bool valid = false;
};
SavedLine SaveLine(int fd);
bool RestoreLine(int fd, const SavedLine& line);

}  // namespace vx::comm
