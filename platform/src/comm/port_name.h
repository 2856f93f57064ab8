// Port names: which kind of port a name opens, and the line settings that may
// follow it as a query ("/dev/ttyUSB0?baud=115200&format=8N1&flow=rtscts").
#pragma once

#include "platform/win32.h"

#include <string>

namespace vx::comm {

enum class NameKind { Path, Loopback, Tcp, Rfc2217 };

// Settings given in a query; what is not given keeps what the port holds.
struct LineQuery {
  bool hasBaud = false;
  DWORD baud = 0;
  bool hasFormat = false;
  BYTE byteSize = 8;
  BYTE parity = NOPARITY;
  BYTE stopBits = ONESTOPBIT;
  enum class Flow { None, RtsCts, XonXoff };
  bool hasFlow = false;
  Flow flow = Flow::None;

  bool Empty() const { return !hasBaud && !hasFormat && !hasFlow; }
  void ApplyTo(DCB* dcb) const;
};

struct PortName {
  NameKind kind = NameKind::Path;
  // A Path: what to open (COMn already mapped to /dev/ttyS(n-1)); Tcp and
  // Rfc2217: "host:port".
  std::string path;
  LineQuery query;
};

// Splits `name` into its kind, target and settings. False, with `*why` naming
// the bad key or value, when the query cannot be understood. A name that
// exists as it stands on disk is never split, so a file may hold a '?'.
bool ParsePortName(const char* name, PortName* out, std::string* why);

}  // namespace vx::comm
