// Opens each kind of serial device a test runs on: the built-in loopback, and
// a pseudo-terminal with an echo peer on its master side.
#pragma once

#include "platform/win32.h"
#include "tools/echo_peer.h"

#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace vx::test {

enum class Device { Loop, Pty };

inline std::string DeviceName(const ::testing::TestParamInfo<Device>& info) {
  return info.param == Device::Loop ? "Loop" : "Pty";
}

// The name to open for `device`: the loopback, or the pseudo-terminal of an
// echo peer started here with `options` (kept in *peer). Empty, with a test
// failure, when no peer could be started.
inline std::string StartDevice(Device device, const tools::EchoPeer::Options& options,
                               std::unique_ptr<tools::EchoPeer>* peer) {
  if (device == Device::Loop) return "loop://";
  *peer = std::make_unique<tools::EchoPeer>(options);
  std::string error;
  if (!(*peer)->Start(&error)) {
    ADD_FAILURE() << error;
    return "";
  }
  return (*peer)->DevicePath();
}

class PortTest : public ::testing::TestWithParam<Device> {
 protected:
  void SetUp() override { port = OpenPort(); }
  void TearDown() override {
    if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
    peer.reset();
  }

  HANDLE OpenPort(tools::EchoPeer::Options options = {}) {
    std::string name = StartDevice(GetParam(), options, &peer);
    if (name.empty()) return INVALID_HANDLE_VALUE;
    HANDLE h = CreateFileA(name.c_str(), GENERIC_ALL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << name << " error " << GetLastError();
    return h;
  }

  void SetLinkTimeouts() {
    COMMTIMEOUTS t{20, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &t));
  }

  HANDLE port = INVALID_HANDLE_VALUE;
  std::unique_ptr<tools::EchoPeer> peer;
};

// An OVERLAPPED with its own manual-reset event.
struct Overlapped : OVERLAPPED {
  Overlapped() : OVERLAPPED{} { hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~Overlapped() { CloseHandle(hEvent); }
  Overlapped(const Overlapped&) = delete;
};

// Win32's HasOverlappedIoCompleted: the status is no longer STATUS_PENDING.
// The layer stores it from another thread, hence the atomic load.
inline bool HasOverlappedIoCompleted(const OVERLAPPED* ov) {
  constexpr ULONG_PTR kStatusPending = 0x103;
  return std::atomic_ref<ULONG_PTR>(const_cast<ULONG_PTR&>(ov->Internal)).load() != kStatusPending;
}

// Waits, with nobody waiting on its event, until `ov` completes.
inline bool CompletesUnattended(const OVERLAPPED& ov, int ms = 2000) {
  for (int i = 0; i < ms && !HasOverlappedIoCompleted(&ov); ++i) Sleep(1);
  return HasOverlappedIoCompleted(&ov);
}

// Aborts whatever is still pending on `port` when a test leaves its scope
// early (a failed assertion), before the test's buffers and OVERLAPPEDs go.
struct AbortPendingOnExit {
  HANDLE port;
  ~AbortPendingOnExit() {
    if (port != INVALID_HANDLE_VALUE) PurgeComm(port, PURGE_RXABORT | PURGE_TXABORT);
  }
};

}  // namespace vx::test
