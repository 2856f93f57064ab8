// Test data that holds every byte value many times over, in an order that
// does not repeat within a few hundred bytes, so that a byte lost, doubled,
// moved or changed shows in a comparison.
#pragma once

#include <cstddef>
#include <string>

namespace vx::test {

inline std::string EveryByteValue(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
  return s;
}

}  // namespace vx::test
