// What a user types: the packet-size field and the port name. The packet size
// must agree with a plain reading of decimal digits; a port name, with any
// settings after it, is judged without ever misbehaving.
#include "framework/unsigned_field.h"
#include "platform/hooks.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);

  unsigned value = 12345;
  bool ok = vx::fw::ParseUnsignedField(text, &value);
  // Reference: trim blanks, then all digits and at most 32 bits.
  std::size_t b = 0, e = text.size();
  while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
  std::string core = text.substr(b, e - b);
  bool digits = !core.empty();
  for (char c : core) digits &= std::isdigit(static_cast<unsigned char>(c)) != 0;
  std::size_t significant = core.find_first_not_of('0');
  bool fits = digits && (significant == std::string::npos || core.size() - significant < 10 ||
                         (core.size() - significant == 10 && core.substr(significant) <= "4294967295"));
  if (ok != fits) std::abort();
  if (ok && value != std::strtoull(core.c_str(), nullptr, 10)) std::abort();
  if (!ok && value != 12345) std::abort();

  std::string name(text.c_str());  // a port name is a C string
  // Whatever the name, judging its settings never misbehaves, and a name with
  // no settings and no scheme of its own is a path: nothing to object to.
  const std::string problem = vx::PortNameProblem(name.c_str());
  const bool scheme = name.rfind("loop://", 0) == 0 || name.rfind("tcp://", 0) == 0 || name.rfind("rfc2217://", 0) == 0;
  if (!scheme && name.find('?') == std::string::npos && !problem.empty()) std::abort();
  return 0;
}
