// A pseudo-terminal whose master side a test drives by hand, with the
// layer's port open on its slave side (the link's read timeouts set).
#pragma once

#include "platform/win32.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

namespace vx::test {

class RawPty : public ::testing::Test {
 protected:
  void SetUp() override {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    port = CreateFileA(ptsname(master), GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS t{20, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &t));
  }
  void TearDown() override {
    if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
    if (master >= 0) ::close(master);
  }
  // Waits until the port's driver holds `count` bytes from the master.
  void AwaitBuffered(DWORD count) {
    COMSTAT stat{};
    for (int i = 0; i < 1000 && stat.cbInQue < count; ++i) {
      Sleep(1);
      ASSERT_TRUE(ClearCommError(port, nullptr, &stat));
    }
    ASSERT_EQ(stat.cbInQue, count);
  }
  // Closes the fixture's port and opens the line's far side plainly, to see
  // the settings as any other program would.
  int FarSide() {
    CloseHandle(port);
    port = INVALID_HANDLE_VALUE;
    return ::open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
  }
  int master = -1;
  HANDLE port = INVALID_HANDLE_VALUE;
};

}  // namespace vx::test
