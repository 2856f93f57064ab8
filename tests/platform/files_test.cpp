// Ordinary files, and what is and is not a character device.
#include "platform/hooks.h"
#include "platform/win32.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

std::string TempFile(const std::string& content) {
  char name[] = "/tmp/vx-file-XXXXXX";
  int fd = mkstemp(name);
  EXPECT_EQ(write(fd, content.data(), content.size()), ssize_t(content.size()));
  close(fd);
  return name;
}

TEST(Files, ReadToEndRewindAndType) {
  std::string path = TempFile("hello world");
  HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetFileType(f), DWORD(FILE_TYPE_DISK));
  char buf[8];
  DWORD n = 99;
  EXPECT_TRUE(ReadFile(f, buf, 8, &n, nullptr));
  EXPECT_EQ(n, 8u);
  EXPECT_TRUE(ReadFile(f, buf, 8, &n, nullptr));
  EXPECT_EQ(n, 3u);
  EXPECT_TRUE(ReadFile(f, buf, 8, &n, nullptr));  // end of file: success with 0 bytes
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(SetFilePointer(f, 0, nullptr, FILE_BEGIN), 0u);
  EXPECT_TRUE(ReadFile(f, buf, 5, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "hello");
  CloseHandle(f);
  unlink(path.c_str());
}

TEST(Files, OpenFailuresCarryWin32Codes) {
  auto open = [](const char* p) {
    return CreateFileA(p, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  EXPECT_EQ(open("/nonexistent/vx"), INVALID_HANDLE_VALUE);
  EXPECT_NE(GetLastError(), DWORD(ERROR_SUCCESS));
  EXPECT_EQ(open("/tmp/vx-no-such-file"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(open("/tmp"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_EQ(open(""), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
  std::string longName(5000, 'a');
  EXPECT_EQ(open(longName.c_str()), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_EQ(open("c:\\test.txt"), INVALID_HANDLE_VALUE);  // a POSIX path, not translated
  EXPECT_EQ(open("loop://?speed=fast"), INVALID_HANDLE_VALUE);
}

TEST(Files, OnlyDevicesAreCharacterFiles) {
  std::string path = TempFile("x");
  HANDLE f = CreateFileA(path.c_str(), GENERIC_ALL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  EXPECT_NE(GetFileType(f), DWORD(FILE_TYPE_CHAR));
  CloseHandle(f);
  unlink(path.c_str());

  HANDLE null = CreateFileA("/dev/null", GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(null, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetFileType(null), DWORD(FILE_TYPE_CHAR));
  DCB dcb{};
  EXPECT_FALSE(GetCommState(null, &dcb));  // a character device, but not a serial port
  EXPECT_FALSE(SetCommMask(null, EV_ERR));
  CloseHandle(null);

  HANDLE loop = CreateFileA("loop://", GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(loop, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetFileType(loop), DWORD(FILE_TYPE_CHAR));
  CloseHandle(loop);
  EXPECT_EQ(GetFileType(loop), DWORD(FILE_TYPE_UNKNOWN));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST(Files, ComNamesMapToLinuxSerialDevices) {
  // COM250 maps to /dev/ttyS249, which no machine has.
  EXPECT_EQ(CreateFileA("COM250", GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(CreateFileA("\\\\.\\COM250", GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

}  // namespace
