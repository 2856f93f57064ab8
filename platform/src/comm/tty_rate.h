// Line rates that termios has no Bnnn constant for (250000, 3000000 on some
// adapters, ...), set and read through termios2 and BOTHER.
#pragma once

#include "platform/win32.h"

namespace vx::comm {

// Applies the settings already made with tcsetattr, with `baud` as the rate in
// both directions. False, with errno set, when the driver refuses.
bool SetArbitraryRate(int fd, DWORD baud);
// The output rate in bits a second, however it was set; 0 when unknown.
DWORD ReadArbitraryRate(int fd);

}  // namespace vx::comm
