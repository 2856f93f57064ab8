// Port names, opening, and the Win32 communications entry points.
#include "../faults.h"
#include "port.h"

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace vx::comm {

NameKind ClassifyName(const char* name, std::string* path) {
  std::string n = name;
  if (n.rfind("loop://", 0) == 0) return NameKind::Loopback;
  std::string bare = n.rfind("\\\\.\\", 0) == 0 ? n.substr(4) : n;
  if (bare.size() > 3 && strncasecmp(bare.c_str(), "COM", 3) == 0) {
    const char* digits = bare.c_str() + 3;
    bool allDigits = *digits && digits[0] != '0' && std::strspn(digits, "0123456789") == std::strlen(digits);
    if (allDigits && std::strlen(digits) <= 3) {
      *path = "/dev/ttyS" + std::to_string(std::atoi(digits) - 1);
      return NameKind::Path;
    }
  }
  *path = n;
  return NameKind::Path;
}

namespace {

// "loop://" or "loop://?baud=N": anything else is not a loopback we know.
bool ParseLoopName(const char* name, DWORD* baud) {
  const char* rest = name + std::strlen("loop://");
  *baud = 0;
  if (!*rest) return true;
  if (std::strncmp(rest, "?baud=", 6) != 0) return false;
  const char* digits = rest + 6;
  if (!*digits || std::strspn(digits, "0123456789") != std::strlen(digits) || std::strlen(digits) > 8) return false;
  *baud = static_cast<DWORD>(std::strtoul(digits, nullptr, 10));
  return *baud >= 50;
}

HANDLE StartPort(std::unique_ptr<Backend> backend) {
  auto port = std::make_shared<Port>(std::move(backend));
  if (!port->Usable()) return kernel::Fail(ERROR_TOO_MANY_OPEN_FILES, INVALID_HANDLE_VALUE);
  port->Start();
  return kernel::InsertHandle(port);
}

}  // namespace

HANDLE OpenLoopback(const char* name, DWORD) {
  DWORD baud;
  if (!ParseLoopName(name, &baud)) return kernel::Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  return StartPort(MakeLoopBackend(baud));
}

HANDLE OpenDevice(int fd, const std::string&, DWORD) {
  DWORD error = ERROR_SUCCESS;
  auto backend = MakeTtyBackend(fd, &error);
  if (!backend) return kernel::Fail(error, INVALID_HANDLE_VALUE);
  return StartPort(std::move(backend));
}

BOOL WaitOverlapped(OVERLAPPED* ov, DWORD* count, BOOL wait) {
  auto status = std::atomic_ref<ULONG_PTR>(ov->Internal).load(std::memory_order_acquire);
  while (status == kStatusPending) {
    if (!wait) return kernel::Fail(ERROR_IO_INCOMPLETE, FALSE);
    auto event = kernel::Lookup<kernel::Event>(ov->hEvent);
    if (!event) return kernel::Fail(ERROR_INVALID_HANDLE, FALSE);
    kernel::WaitAny({event}, nullptr, INFINITE);
    status = std::atomic_ref<ULONG_PTR>(ov->Internal).load(std::memory_order_acquire);
  }
  if (count) *count = static_cast<DWORD>(std::atomic_ref<ULONG_PTR>(ov->InternalHigh).load(std::memory_order_relaxed));
  if (status != ERROR_SUCCESS) return kernel::Fail(static_cast<DWORD>(status), FALSE);
  return TRUE;
}

}  // namespace vx::comm

using namespace vx::kernel;
using vx::comm::Port;

namespace {
// The port behind `h`, or null with ERROR_INVALID_HANDLE set.
std::shared_ptr<Port> PortOf(HANDLE h) {
  auto port = Lookup<Port>(h);
  if (!port) SetLastError(ERROR_INVALID_HANDLE);
  return port;
}
}  // namespace

#define VX_FAULT_POINT(name)                                  \
  CheckTerminated();                                          \
  if (auto f = vx::fault::Check(name)) return Fail(f.error, FALSE)

BOOL WINAPI GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD transferred, BOOL wait) {
  VX_FAULT_POINT("GetOverlappedResult");
  if (!LookupHandle(h)) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!ov) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  return vx::comm::WaitOverlapped(ov, transferred, wait);
}

BOOL WINAPI GetCommState(HANDLE h, LPDCB dcb) {
  VX_FAULT_POINT("GetCommState");
  auto port = PortOf(h);
  if (!port) return FALSE;
  if (!dcb) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  return port->GetState(dcb);
}

BOOL WINAPI SetCommState(HANDLE h, LPDCB dcb) {
  VX_FAULT_POINT("SetCommState");
  auto port = PortOf(h);
  if (!port) return FALSE;
  if (!dcb) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  return port->SetState(dcb);
}

BOOL WINAPI GetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
  VX_FAULT_POINT("GetCommTimeouts");
  auto port = PortOf(h);
  if (!port) return FALSE;
  if (!t) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  return port->GetTimeouts(t);
}

BOOL WINAPI SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
  VX_FAULT_POINT("SetCommTimeouts");
  auto port = PortOf(h);
  if (!port) return FALSE;
  if (!t) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  return port->SetTimeouts(t);
}

BOOL WINAPI SetCommMask(HANDLE h, DWORD mask) {
  VX_FAULT_POINT("SetCommMask");
  auto port = PortOf(h);
  return port ? port->SetMask(mask) : FALSE;
}

BOOL WINAPI GetCommMask(HANDLE h, LPDWORD mask) {
  VX_FAULT_POINT("GetCommMask");
  auto port = PortOf(h);
  if (!port) return FALSE;
  if (!mask) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  return port->GetMask(mask);
}

BOOL WINAPI WaitCommEvent(HANDLE h, LPDWORD mask, LPOVERLAPPED ov) {
  VX_FAULT_POINT("WaitCommEvent");
  auto port = PortOf(h);
  return port ? port->WaitEvent(mask, ov) : FALSE;
}

BOOL WINAPI ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat) {
  VX_FAULT_POINT("ClearCommError");
  auto port = PortOf(h);
  return port ? port->ClearError(errors, stat) : FALSE;
}

BOOL WINAPI PurgeComm(HANDLE h, DWORD flags) {
  VX_FAULT_POINT("PurgeComm");
  auto port = PortOf(h);
  return port ? port->Purge(flags) : FALSE;
}

namespace vx {
BOOL LoopInjectLineError(HANDLE h, DWORD errors) {
  auto port = PortOf(h);
  return port ? port->InjectLineErrors(errors) : FALSE;
}
}  // namespace vx
