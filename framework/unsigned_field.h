// Reading a number typed into a dialog field, as DDX_Text does for UINT.
#pragma once

#include <string>

namespace vx::fw {

// An unsigned number as a dialog field holds it: digits, with blanks allowed
// around them; no sign, no other characters, nothing past 32 bits.
bool ParseUnsignedField(const std::string& text, unsigned* value);

}  // namespace vx::fw
