// Whether a line holds the settings it was given. A driver keeps only what it
// can make (a pseudo-terminal forces 8 data bits and no parity; USB adapters
// round the rate and drop what their chip lacks), and tcsetattr succeeds all
// the same.
#pragma once

#include "platform/win32.h"

#include <string>

namespace vx::comm {

// What of `given` a line that holds `held` (read back from its device, the
// rate as its output rate) and `heldInputRate` does not, in words: "8 data
// bits and no parity where 7 data bits and even parity were set"; "" when it
// holds all of it. Rates within 3 % are held (see RatesAgree).
std::string DescribeSettingsNotHeld(const DCB& held, DWORD heldInputRate, const DCB& given);

}  // namespace vx::comm
