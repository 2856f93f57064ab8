#include "tools/port_probe.h"

#include "platform/hooks.h"
#include "platform/win32.h"
#include "tools/port_holders.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vx::tools {

namespace {

bool InGroup(gid_t gid) {
  if (getegid() == gid) return true;
  int n = getgroups(0, nullptr);
  std::vector<gid_t> groups(n > 0 ? static_cast<std::size_t>(n) : 0);
  n = getgroups(n, groups.data());
  for (int k = 0; k < n; ++k)
    if (groups[static_cast<std::size_t>(k)] == gid) return true;
  return false;
}

PortProblem Denied(const std::string& name) {
  // The port layer answers "access denied" both for a lack of permission and
  // for a port another program holds: the file's own permissions tell which.
  const bool isPath = name.rfind('/', 0) == 0;
  if (isPath && access(name.c_str(), R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM)) {
    PortProblem p{"permission denied on " + name, ""};
    struct stat st;
    const group* g = stat(name.c_str(), &st) == 0 ? getgrgid(st.st_gid) : nullptr;
    const bool groupMayUse = g && (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    if (groupMayUse && !InGroup(st.st_gid))
      p.hint = std::string("your user is not in the group '") + g->gr_name + "' that may use " + name +
               ": sudo usermod -aG " + g->gr_name + " $USER, then log in again";
    else
      p.hint = "serial ports usually belong to the group 'dialout' (mode 660): have " + name +
               " given to it, and join it with sudo usermod -aG dialout $USER, then log in again";
    return p;
  }
  const std::string holders = isPath ? HoldersText(Holders(name)) : "";
  return {name + " is busy: another program has it open" + (holders.empty() ? "" : " (process " + holders + ")"),
          "close the other program (a terminal, a modem manager, another exerciser) and try again"};
}

PortProblem NotAPort(const std::string& name) {
  struct stat st;
  const bool found = stat(name.c_str(), &st) == 0;
  const char* what = !found                  ? ""
                     : S_ISDIR(st.st_mode)   ? " (a directory)"
                     : S_ISREG(st.st_mode)   ? " (a plain file)"
                     : S_ISFIFO(st.st_mode)  ? " (a named pipe)"
                     : S_ISSOCK(st.st_mode)  ? " (a socket)"
                     : S_ISCHR(st.st_mode)   ? " (a device that is not a terminal)"
                                             : "";
  return {name + " is not a serial port" + what, "name a terminal device such as /dev/ttyUSB0, /dev/ttyS0, or loop://"};
}

// Whether `path` is there but is something other than a character device
// (a directory, a plain file): the port layer refuses those as it refuses a
// name that is not there, or (a directory) as one it may not open.
bool ThereButNotADevice(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && !S_ISCHR(st.st_mode);
}

// The errno of opening `path` as a port is opened; 0 when it opens, or is
// not a path.
int OpenErrno(const std::string& path) {
  if (path.rfind('/', 0) != 0) return 0;
  int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno;
  ::close(fd);
  return 0;
}

// A port the system would not open for a reason the port layer has no
// word for: the system's own, and what usually causes it.
PortProblem CannotOpen(const std::string& name, DWORD error) {
  const int cause = OpenErrno(name);
  PortProblem p{"cannot open " + name + " (system error " + std::to_string(error) + ")", ""};
  if (cause) p.reason += std::string(": ") + std::strerror(cause);
  if (cause == EIO)
    p.hint = "the device refused to open: a pseudo-terminal whose other side is closed or not yet unlocked, or an "
             "adapter in trouble (unplug it and plug it in again)";
  return p;
}

bool IsTerminal(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return true;  // cannot tell: do not call it something else
  bool tty = isatty(fd);
  ::close(fd);
  return tty;
}

}  // namespace

PortProblem ProbePort(const std::string& fullName, unsigned long firstError) {
  const bool loop = fullName.rfind("loop://", 0) == 0;
  // Line settings may follow the device after '?': the file is what comes before.
  const std::string name = loop ? fullName : fullName.substr(0, fullName.find('?'));
  const vx::PortKind kind = vx::PortKindOf(fullName.c_str());
  HANDLE port = CreateFileA(fullName.c_str(), GENERIC_ALL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    switch (error) {
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
        if (loop) return {"'" + name + "' is not a loopback this program knows", "use loop:// or loop://?baud=N"};
        if (ThereButNotADevice(name)) return NotAPort(name);
        return {"no such device: " + name,
                "check the name; a USB adapter shows up as /dev/ttyUSB0 or /dev/ttyACM0 once plugged in"};
      case ERROR_ACCESS_DENIED:
      case ERROR_SHARING_VIOLATION:
        if (!loop && ThereButNotADevice(name)) return NotAPort(name);
        return Denied(name);
      case ERROR_BAD_NETPATH:
        return {"'" + name + "' names no host and port that can be found", "write it as tcp://HOST:PORT or rfc2217://HOST:PORT"};
      case ERROR_CONNECTION_REFUSED:
        if (firstError == ERROR_DEVICE_NOT_CONNECTED && vx::IsNetworkPort(kind))
          return {"the serial server at " + name + " took the connection and closed it at once, and no longer listens",
                  "it stopped (or failed while setting up its line): see its log"};
        return {"nothing listens at " + name + ": the connection was refused", "is the serial server running, on that port?"};
      case ERROR_NOT_SUPPORTED:
        return {name + " does not speak RFC 2217: what came back was this side's own Telnet negotiation, as a raw "
                       "port with a device that echoes sends it",
                "name it tcp://" + name.substr(name.find("://") + 3) + " (its line then keeps the server's settings)"};
      case ERROR_DEVICE_NOT_CONNECTED:
        if (vx::IsNetworkPort(kind))
          return {"the serial server at " + name + " closed the connection at once",
                  "it may be serving another client, or be unable to open its device: close the other client, and "
                  "see the server's log (ser2net names the device it could not open)"};
        return CannotOpen(name, error);
      case ERROR_SEM_TIMEOUT:
        return {"no answer from " + name, "check the host's address and that a firewall lets the connection through"};
      case ERROR_INVALID_PARAMETER: {
        const std::string problem = vx::PortNameProblem(fullName.c_str());
        if (!problem.empty())
          return {"bad line settings in '" + fullName + "': " + problem,
                  "a port name may carry ?baud=N&format=8N1&flow=none|rtscts|xonxoff (see the README)"};
        if (kind == vx::PortKind::Rfc2217)
          return {"the serial server at " + name + " refused the line settings in '" + fullName + "'",
                  "it answered with other settings: try a rate, framing or flow control its line supports, or leave them out to "
                  "keep the server's own"};
        if (!loop && !IsTerminal(name)) return NotAPort(name);
        return {"the line settings in '" + fullName + "' cannot be used on this port",
                "the driver refused them: try a rate or framing the adapter supports"};
      }
      default:
        return CannotOpen(name, error);
    }
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  BOOL isPort = GetCommState(port, &dcb);
  CloseHandle(port);
  if (!isPort) return NotAPort(name);
  return {"the link could not start on " + name + " (it opens now: it may have been busy a moment ago)",
          "try again"};
}

}  // namespace vx::tools
