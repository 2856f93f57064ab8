// A terminal's rates in each direction as the kernel holds them, read and set
// through termios2, for tests that look at a line from its far side: termios
// without the 2 cannot carry a rate that has no Bnnn constant.
#pragma once

namespace vx::test {

bool SetLineRates(int fd, unsigned input, unsigned output);
bool GetLineRates(int fd, unsigned* input, unsigned* output);

}  // namespace vx::test
