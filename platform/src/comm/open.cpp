// Opening ports: which names are ports, and which backend serves each kind.
#include "../faults.h"
#include "port.h"
#include "port_name.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vx::comm {
namespace {

// A serial port is always opened for both directions, non-blocking, and never
// as the controlling terminal. EBUSY is a terminal another program holds
// exclusively: a port in use, which Windows reports as access denied.
HANDLE OpenCharacterDevice(const std::string& path, const LineQuery& query) {
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return kernel::Fail(errno == EBUSY ? ERROR_ACCESS_DENIED : kernel::ErrnoToWin32(errno), INVALID_HANDLE_VALUE);
  return OpenDevice(fd, query);
}

}  // namespace

bool OpenPort(const char* name, HANDLE* handle) {
  PortName port;
  std::string why;
  if (!ParsePortName(name, &port, &why)) {
    *handle = kernel::Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    return true;
  }
  switch (port.kind) {
    case NameKind::Loopback:
      *handle = OpenLoopback(port.query.hasBaud ? port.query.baud : 0, port.query);
      return true;
    case NameKind::Tcp:
    case NameKind::Rfc2217:
      *handle = OpenNetworkPort(port.path, port.kind == NameKind::Rfc2217, port.query);
      return true;
    case NameKind::Path:
      break;
  }
  struct stat st;
  if (stat(port.path.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) {
    *handle = OpenCharacterDevice(port.path, port.query);
    return true;
  }
  if (port.query.Empty()) return false;  // a file, or nothing: not a port
  // Line settings for something with no line, or for a device that is not there.
  *handle = kernel::Fail(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  return true;
}

}  // namespace vx::comm
