// Whether a terminal holds the line settings it was given. A driver keeps
// only what it can make (a pseudo-terminal forces 8 data bits and no parity;
// USB adapters round the rate and drop what their chip lacks), and tcsetattr
// succeeds all the same.
#pragma once

#include "platform/win32.h"

#include <string>

namespace vx::comm {

// What of `given` the terminal behind `fd` does not hold, in words ("8 data
// bits and no parity where 7 data bits and even parity were set"); "" when it
// holds all of it, or cannot be read. Rates within 3 % are held, as a UART's
// divisor makes them.
std::string TtySettingsNotHeld(int fd, const DCB& given);

}  // namespace vx::comm
