// What a user types: the packet-size field and the port name. The packet size
// must agree with a plain reading of decimal digits; a port name, with any
// settings after it, must map to a device path or a port kind, or be refused
// with a reason, without ever misbehaving.
#include "framework/src/text_store.h"
#include "platform/hooks.h"
#include "platform/src/comm/port_name.h"

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
  vx::comm::PortName port;
  std::string why;
  if (vx::comm::ParsePortName(name.c_str(), &port, &why)) {
    if (port.kind == vx::comm::NameKind::Path) {
      // The name as typed, or without its settings, or COMn mapped to a tty.
      std::string base = name.substr(0, name.find('?'));
      bool com = port.path.rfind("/dev/ttyS", 0) == 0 && port.path != base && port.path != name;
      if (!com && port.path != base && port.path != name) std::abort();
    }
    if (!why.empty()) std::abort();
  } else if (why.empty()) {
    std::abort();  // a refusal always says why
  }
  if (vx::PortNameProblem(name.c_str()) != why) std::abort();
  return 0;
}
