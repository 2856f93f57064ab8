#include "port_name.h"

#include "platform/hooks.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>

namespace vx::comm {
namespace {

constexpr char kLoopPrefix[] = "loop://";
constexpr char kTcpPrefix[] = "tcp://";
constexpr char kRfc2217Prefix[] = "rfc2217://";

// COMn and \\.\COMn are /dev/ttyS(n-1); anything else is used as it stands.
std::string DevicePathOf(const std::string& name) {
  std::string bare = name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name;
  if (bare.size() > 3 && strncasecmp(bare.c_str(), "COM", 3) == 0) {
    const char* digits = bare.c_str() + 3;
    bool allDigits = *digits && digits[0] != '0' && std::strspn(digits, "0123456789") == std::strlen(digits);
    if (allDigits && std::strlen(digits) <= 3) return "/dev/ttyS" + std::to_string(std::atoi(digits) - 1);
  }
  return name;
}

bool ParseBaud(const std::string& v, DWORD* baud) {
  if (v.empty() || v.size() > 9 || std::strspn(v.c_str(), "0123456789") != v.size()) return false;
  unsigned long n = std::strtoul(v.c_str(), nullptr, 10);
  if (n < 50 || n > 20000000) return false;
  *baud = static_cast<DWORD>(n);
  return true;
}

// "8N1": data bits 5-8, parity N/E/O/M/S, stop bits 1 or 2.
bool ParseFormat(const std::string& v, LineQuery* q) {
  if (v.size() != 3 || v[0] < '5' || v[0] > '8') return false;
  q->byteSize = static_cast<BYTE>(v[0] - '0');
  switch (v[1]) {
    case 'N': case 'n': q->parity = NOPARITY; break;
    case 'E': case 'e': q->parity = EVENPARITY; break;
    case 'O': case 'o': q->parity = ODDPARITY; break;
    case 'M': case 'm': q->parity = MARKPARITY; break;
    case 'S': case 's': q->parity = SPACEPARITY; break;
    default: return false;
  }
  if (v[2] == '1') q->stopBits = ONESTOPBIT;
  else if (v[2] == '2') q->stopBits = TWOSTOPBITS;
  else return false;
  return true;
}

bool ParseQuery(const std::string& query, LineQuery* q, std::string* why) {
  std::size_t at = 0;
  while (at <= query.size()) {
    std::size_t end = query.find('&', at);
    if (end == std::string::npos) end = query.size();
    std::string pair = query.substr(at, end - at);
    std::size_t eq = pair.find('=');
    std::string key = pair.substr(0, eq);
    std::string value = eq == std::string::npos ? "" : pair.substr(eq + 1);
    if (eq == std::string::npos) {
      *why = "'" + pair + "' is not key=value";
      return false;
    }
    // Which of two would count is a guess the name's writer should not have
    // to make: "?baud=9600&baud=19200" is refused, not half applied.
    if ((key == "baud" && q->hasBaud) || (key == "format" && q->hasFormat) || (key == "flow" && q->hasFlow)) {
      *why = key + " is given twice";
      return false;
    }
    if (key == "baud") {
      if (!ParseBaud(value, &q->baud)) {
        *why = "baud '" + value + "' is not a rate from 50 to 20000000";
        return false;
      }
      q->hasBaud = true;
    } else if (key == "format") {
      if (!ParseFormat(value, q)) {
        *why = "format '" + value + "' is not like 8N1 (data bits 5-8, parity N/E/O/M/S, stop bits 1/2)";
        return false;
      }
      q->hasFormat = true;
    } else if (key == "flow") {
      if (value == "none") q->flow = LineQuery::Flow::None;
      else if (value == "rtscts") q->flow = LineQuery::Flow::RtsCts;
      else if (value == "xonxoff") q->flow = LineQuery::Flow::XonXoff;
      else {
        *why = "flow '" + value + "' is not none, rtscts or xonxoff";
        return false;
      }
      q->hasFlow = true;
    } else {
      *why = "unknown setting '" + key + "' (baud, format, flow)";
      return false;
    }
    at = end + 1;
  }
  return true;
}

}  // namespace

void LineQuery::ApplyTo(DCB* dcb) const {
  if (hasBaud) dcb->BaudRate = baud;
  if (hasFormat) {
    dcb->ByteSize = byteSize;
    dcb->Parity = parity;
    dcb->fParity = parity != NOPARITY;
    dcb->StopBits = stopBits;
  }
  if (hasFlow) {
    bool rtscts = flow == Flow::RtsCts;
    bool xonxoff = flow == Flow::XonXoff;
    dcb->fOutxCtsFlow = rtscts;
    dcb->fRtsControl = rtscts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb->fOutX = xonxoff;
    dcb->fInX = xonxoff;
  }
}

bool ParsePortName(const char* name, PortName* out, std::string* why) {
  std::string n = name;
  *out = PortName{};
  const bool loop = n.rfind(kLoopPrefix, 0) == 0;
  const bool tcp = n.rfind(kTcpPrefix, 0) == 0;
  const bool rfc2217 = n.rfind(kRfc2217Prefix, 0) == 0;
  const bool scheme = loop || tcp || rfc2217;
  struct stat st;
  std::size_t mark = n.find('?');
  if (!scheme && (mark == std::string::npos || stat(n.c_str(), &st) == 0)) {
    out->path = DevicePathOf(n);
    return true;
  }
  std::string base = mark == std::string::npos ? n : n.substr(0, mark);
  if (mark != std::string::npos && !ParseQuery(n.substr(mark + 1), &out->query, why)) return false;
  if (loop) {
    if (base != kLoopPrefix) {
      *why = "'" + base + "' is not a loopback port (loop://)";
      return false;
    }
    out->kind = NameKind::Loopback;
    return true;
  }
  if (tcp || rfc2217) {
    out->kind = tcp ? NameKind::Tcp : NameKind::Rfc2217;
    out->path = base.substr(std::strlen(tcp ? kTcpPrefix : kRfc2217Prefix));
    if (out->path.find(':') == std::string::npos) {
      *why = "'" + base + "' names no host and port (e.g. " + (tcp ? kTcpPrefix : kRfc2217Prefix) + "127.0.0.1:3001)";
      return false;
    }
    return true;
  }
  out->path = DevicePathOf(base);
  return true;
}

}  // namespace vx::comm

namespace vx {

std::string PortNameProblem(const char* name) {
  comm::PortName parsed;
  std::string why;
  if (!name || comm::ParsePortName(name, &parsed, &why)) return "";
  return why;
}

PortKind PortKindOf(const char* name) {
  comm::PortName parsed;
  std::string why;
  if (!name || !comm::ParsePortName(name, &parsed, &why)) return PortKind::Unknown;
  switch (parsed.kind) {
    case comm::NameKind::Path: return PortKind::Device;
    case comm::NameKind::Loopback: return PortKind::Loopback;
    case comm::NameKind::Tcp: return PortKind::RawNetwork;
    case comm::NameKind::Rfc2217: return PortKind::Rfc2217;
  }
  return PortKind::Unknown;
}

std::string PortDevicePath(const char* name) {
  comm::PortName parsed;
  std::string why;
  if (!name || !comm::ParsePortName(name, &parsed, &why) || parsed.kind != comm::NameKind::Path) return "";
  return parsed.path;
}

bool PortSettingsIgnored(const char* name) {
  comm::PortName parsed;
  std::string why;
  return name && comm::ParsePortName(name, &parsed, &why) && parsed.kind == comm::NameKind::Tcp &&
         !parsed.query.Empty();
}

}  // namespace vx
