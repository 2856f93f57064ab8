#include "framework/unsigned_field.h"

#include <cctype>

namespace vx::fw {

bool ParseUnsignedField(const std::string& text, unsigned* value) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  std::size_t digits = i;
  unsigned long long v = 0;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
    v = v * 10 + static_cast<unsigned>(text[i] - '0');
    if (v > 0xFFFFFFFFull) return false;
    ++i;
  }
  if (i == digits) return false;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (i != text.size()) return false;
  *value = static_cast<unsigned>(v);
  return true;
}

}  // namespace vx::fw
