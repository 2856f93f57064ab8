// Port names, opening, and the Win32 communications entry points.
#include "../faults.h"
#include "port.h"
#include "net_socket.h"
#include "port_name.h"
#include "socket_backend.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace vx::comm {

namespace {

// Starts a port on `backend` and sets the line as the name's query says,
// before anyone can use it. A rate or framing the driver (or the serial
// server) refuses fails the open, as a bad query does.
HANDLE StartPort(std::unique_ptr<Backend> backend, const LineQuery& query) {
  Backend& line = *backend;  // the port owns it from here
  auto port = std::make_shared<Port>(std::move(backend));
  if (!port->Usable()) return kernel::Fail(ERROR_TOO_MANY_OPEN_FILES, INVALID_HANDLE_VALUE);
  if (!query.Empty()) {
    DCB dcb{};
    // No line settings at all (/dev/null): nothing to apply them to.
    if (!port->GetState(&dcb)) return kernel::Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    query.ApplyTo(&dcb);
    if (!port->SetState(&dcb) || !line.ConfirmState(dcb, query)) return kernel::Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  }
  port->Start();
  return kernel::InsertHandle(port);
}

}  // namespace

HANDLE OpenLoopback(DWORD baud, const LineQuery& query) { return StartPort(MakeLoopBackend(baud), query); }

HANDLE OpenNetworkPort(const std::string& hostPort, bool rfc2217, const LineQuery& query) {
  constexpr int kConnectTimeoutMs = 5000;
  DWORD error = ERROR_SUCCESS;
  int fd = ConnectTcp(hostPort, kConnectTimeoutMs, &error);
  if (fd < 0) return kernel::Fail(error, INVALID_HANDLE_VALUE);
  std::unique_ptr<Backend> backend;
  if (rfc2217) {
    backend = MakeRfc2217Backend(fd, &error);
    if (!backend) return kernel::Fail(error, INVALID_HANDLE_VALUE);  // it has closed fd
  } else {
    backend = MakeTcpBackend(fd);
  }
  return StartPort(std::move(backend), query);
}

HANDLE OpenDevice(int fd, const LineQuery& query) {
  DWORD error = ERROR_SUCCESS;
  auto backend = MakeTtyBackend(fd, &error);
  if (!backend) return kernel::Fail(error, INVALID_HANDLE_VALUE);
  return StartPort(std::move(backend), query);
}

BOOL WaitOverlapped(OVERLAPPED* ov, DWORD* count, BOOL wait) {
  auto status = std::atomic_ref<ULONG_PTR>(ov->Internal).load(std::memory_order_acquire);
  while (status == kStatusPending) {
    if (!wait) return kernel::Fail(ERROR_IO_INCOMPLETE, FALSE);
    auto event = kernel::Lookup<kernel::Event>(ov->hEvent);
    if (!event) return kernel::Fail(ERROR_INVALID_HANDLE, FALSE);
    kernel::WaitAny({event}, nullptr, INFINITE);
    status = std::atomic_ref<ULONG_PTR>(ov->Internal).load(std::memory_order_acquire);
    // The event is set and the operation goes on: the caller set the event
    // itself. Waiting on it again would return at once, again and again;
    // look at the operation every millisecond instead.
    if (status == kStatusPending) std::this_thread::sleep_for(std::chrono::milliseconds(1));
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
DWORD PendingReadBytes(HANDLE h) {
  auto port = Lookup<Port>(h);
  return port ? port->PendingReadBytes() : 0;
}

std::string LineSettingsNotHeld(HANDLE h) {
  auto port = Lookup<Port>(h);
  return port ? port->SettingsNotHeld() : "";
}

BOOL LoopInjectLineError(HANDLE h, DWORD errors) {
  auto port = PortOf(h);
  return port ? port->InjectLineErrors(errors) : FALSE;
}
}  // namespace vx
