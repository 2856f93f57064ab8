// Serial devices: COMMTIMEOUTS, overlapped completion, purge, masks and line
// errors, on the loopback and on a pseudo-terminal with an echo peer.
#include "platform/hooks.h"
#include "support/port_fixture.h"
#include "support/raw_pty.h"
#include "platform/src/comm/tty_termios2.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <random>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vx::test {
namespace {

using Clock = std::chrono::steady_clock;

// Writes `data` completely through the layer.
void WriteAll(HANDLE port, const void* data, DWORD size) {
  Overlapped ov;
  DWORD n = 0;
  if (!WriteFile(port, data, size, &n, &ov)) {
    ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    ASSERT_TRUE(GetOverlappedResult(port, &ov, &n, TRUE)) << GetLastError();
  }
  ASSERT_EQ(n, size);
}

// Reads until `size` bytes have come, or fails after `ms`; counts what has
// come in `progress` if given.
std::vector<char> ReadExactly(HANDLE port, DWORD size, DWORD ms = 10000, std::atomic<std::size_t>* progress = nullptr) {
  std::vector<char> out;
  Overlapped ov;
  std::vector<char> buf(2048);
  auto start = Clock::now();
  while (out.size() < size) {
    DWORD n = 0;
    if (!ReadFile(port, buf.data(), 2048, &n, &ov)) {
      EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
      if (WaitForSingleObject(ov.hEvent, ms) != WAIT_OBJECT_0) {
        PurgeComm(port, PURGE_RXABORT);
        ADD_FAILURE() << "timed out with " << out.size() << " of " << size;
        return out;
      }
      EXPECT_TRUE(GetOverlappedResult(port, &ov, &n, FALSE));
    }
    out.insert(out.end(), buf.begin(), buf.begin() + n);
    if (progress) progress->store(out.size());
    if (Clock::now() - start > std::chrono::milliseconds(ms)) break;
  }
  return out;
}

using Port = PortTest;

TEST_P(Port, IsACharacterDeviceWithLineSettings) {
  EXPECT_EQ(GetFileType(port), DWORD(FILE_TYPE_CHAR));
  DCB dcb{};
  ASSERT_TRUE(GetCommState(port, &dcb));
  EXPECT_TRUE(dcb.fBinary);
  EXPECT_EQ(dcb.ByteSize, 8);
  dcb.fAbortOnError = FALSE;
  dcb.BaudRate = CBR_57600;
  ASSERT_TRUE(SetCommState(port, &dcb));
  DCB back{};
  ASSERT_TRUE(GetCommState(port, &back));  // the last DCB set is what is reported
  EXPECT_EQ(back.BaudRate, DWORD(CBR_57600));
  COMMTIMEOUTS t{20, 0, 0, 0, 0}, r{};
  ASSERT_TRUE(SetCommTimeouts(port, &t));
  ASSERT_TRUE(GetCommTimeouts(port, &r));
  EXPECT_EQ(r.ReadIntervalTimeout, 20u);
}

TEST_P(Port, FullReadCompletesAtOnceWhenBytesAreBuffered) {
  SetLinkTimeouts();
  std::vector<char> data(2048, 'a');
  WriteAll(port, data.data(), 2048);
  Sleep(50);  // the echo is back in the driver
  std::vector<char> buf(2048);
  Overlapped ov;
  DWORD n = 0;
  ASSERT_TRUE(ReadFile(port, buf.data(), 2048, &n, &ov)) << GetLastError();
  EXPECT_EQ(n, 2048u);
  EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0);
}

TEST_P(Port, ShortBurstCompletesOneIntervalAfterItsLastByte) {
  SetLinkTimeouts();
  std::vector<char> buf(2048);
  Overlapped ov;
  AbortPendingOnExit guard{port};
  DWORD n = 0;
  ASSERT_FALSE(ReadFile(port, buf.data(), 2048, &n, &ov));
  ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
  EXPECT_FALSE(GetOverlappedResult(port, &ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_INCOMPLETE));
  // Nothing arrives: the read waits without limit for its first byte.
  EXPECT_EQ(WaitForSingleObject(ov.hEvent, 150), WAIT_TIMEOUT);

  std::vector<char> burst(100, 'b');
  auto sent = Clock::now();
  WriteAll(port, burst.data(), 100);
  ASSERT_EQ(WaitForSingleObject(ov.hEvent, 5000), WAIT_OBJECT_0);
  auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent).count();
  ASSERT_TRUE(GetOverlappedResult(port, &ov, &n, FALSE));
  EXPECT_EQ(n, 100u);  // one read, all of it
  EXPECT_GE(waited, 19);
  EXPECT_LT(waited, 200);
}

TEST_P(Port, MegabyteWriteCompletesWhole) {
  std::vector<char> data(1 << 20);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  SetLinkTimeouts();
  std::vector<char> got;
  std::thread reader([&] { got = ReadExactly(port, DWORD(data.size())); });
  WriteAll(port, data.data(), DWORD(data.size()));
  reader.join();
  EXPECT_TRUE(got == data);
}

TEST_P(Port, PurgeAbortsPendingReadAndWrite) {
  SetLinkTimeouts();
  std::vector<char> buf(2048);
  Overlapped rov;
  std::vector<char> big(8 << 20, 'w');
  Overlapped wov;
  AbortPendingOnExit guard{port};
  DWORD n = 0;
  ASSERT_FALSE(ReadFile(port, buf.data(), 2048, &n, &rov));
  ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
  ASSERT_TRUE(PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR));
  EXPECT_EQ(WaitForSingleObject(rov.hEvent, 0), WAIT_OBJECT_0);
  EXPECT_FALSE(GetOverlappedResult(port, &rov, &n, FALSE));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));

  // A write the line cannot take: the loopback's buffer is full, the pty's peer has stopped reading.
  if (peer) peer->PauseReading(true);
  BOOL done = WriteFile(port, big.data(), DWORD(big.size()), &n, &wov);
  ASSERT_FALSE(done);
  ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
  ASSERT_TRUE(PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR));
  EXPECT_FALSE(GetOverlappedResult(port, &wov, &n, TRUE));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
  EXPECT_LT(n, big.size());
  big.assign(big.size(), 0);  // the layer let go of the buffer: writing it is safe
  if (peer) peer->PauseReading(false);
}

TEST_P(Port, NewMaskCompletesAPendingWaitWithMaskZero) {
  ASSERT_TRUE(SetCommMask(port, EV_ERR));
  DWORD mask = 0xdead;
  Overlapped ov;
  DWORD second = 0;
  Overlapped ov2;
  struct Unmask {
    HANDLE port;
    ~Unmask() { SetCommMask(port, 0); }
  } unmask{port};
  ASSERT_FALSE(WaitCommEvent(port, &mask, &ov));
  ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
  EXPECT_FALSE(WaitCommEvent(port, &second, &ov2));  // one wait at a time
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  ASSERT_TRUE(SetCommMask(port, EV_ERR));
  ASSERT_EQ(WaitForSingleObject(ov.hEvent, 1000), WAIT_OBJECT_0);
  DWORD n;
  EXPECT_TRUE(GetOverlappedResult(port, &ov, &n, FALSE));
  EXPECT_EQ(mask, 0u);
}

TEST_P(Port, ClosingTheHandleAbortsPendingOperations) {
  std::vector<char> buf(2048);
  Overlapped ov;
  DWORD n = 0;
  ASSERT_FALSE(ReadFile(port, buf.data(), 2048, &n, &ov));
  CloseHandle(port);
  EXPECT_EQ(WaitForSingleObject(ov.hEvent, 1000), WAIT_OBJECT_0);
  EXPECT_EQ(ov.Internal, ULONG_PTR(ERROR_OPERATION_ABORTED));
  port = INVALID_HANDLE_VALUE;
}

TEST_P(Port, SixtyFourMegabytesOfEveryByteValueComeBackIdentical) {
  SetLinkTimeouts();
  std::vector<char> data(64u << 20);
  std::mt19937 rng(12345);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i < 256 ? i : rng());
  std::vector<char> got;
  std::atomic<std::size_t> received{0};
  std::thread reader([&] { got = ReadExactly(port, DWORD(data.size()), 60000, &received); });
  // An echo peer holds a bounded backlog, as a device would: the writer stays
  // at most a few MiB ahead of the reader, however the threads are scheduled.
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  for (std::size_t off = 0; off < data.size(); off += 1 << 20) {
    while (off - received.load() > (4u << 20) && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    WriteAll(port, data.data() + off, 1 << 20);
  }
  reader.join();
  if (peer) {
    EXPECT_EQ(peer->Dropped(), 0u) << "the echo peer's backlog overflowed";
  }
  ASSERT_EQ(got.size(), data.size());
  EXPECT_TRUE(got == data);
}

INSTANTIATE_TEST_SUITE_P(Devices, Port, ::testing::Values(Device::Loop, Device::Pty), DeviceName);

TEST(Loopback, InjectedFrameErrorCompletesTheWaitAndIsClearedOnce) {
  HANDLE port = CreateFileA("loop://", GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_TRUE(SetCommMask(port, EV_ERR));
  DWORD mask = 0;
  Overlapped ov;
  ASSERT_FALSE(WaitCommEvent(port, &mask, &ov));
  ASSERT_TRUE(vx::LoopInjectLineError(port, CE_FRAME));
  ASSERT_EQ(WaitForSingleObject(ov.hEvent, 1000), WAIT_OBJECT_0);
  EXPECT_EQ(mask, DWORD(EV_ERR));
  DWORD errors = 0;
  ASSERT_TRUE(ClearCommError(port, &errors, nullptr));
  EXPECT_EQ(errors, DWORD(CE_FRAME));
  ASSERT_TRUE(ClearCommError(port, &errors, nullptr));
  EXPECT_EQ(errors, 0u);

  // An error seen with no wait pending is remembered for the next wait.
  vx::LoopInjectLineError(port, CE_OVERRUN | CE_RXPARITY);
  ResetEvent(ov.hEvent);
  EXPECT_TRUE(WaitCommEvent(port, &mask, &ov));
  EXPECT_EQ(mask, DWORD(EV_ERR));
  ClearCommError(port, &errors, nullptr);
  EXPECT_EQ(errors, DWORD(CE_OVERRUN | CE_RXPARITY));
  CloseHandle(port);
}

TEST(Loopback, AbortOnErrorFailsIoUntilCleared) {
  HANDLE port = CreateFileA("loop://", GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  DCB dcb{};
  GetCommState(port, &dcb);
  dcb.fAbortOnError = TRUE;
  SetCommState(port, &dcb);
  vx::LoopInjectLineError(port, CE_FRAME);
  char c = 'x';
  DWORD n;
  Overlapped ov;
  EXPECT_FALSE(WriteFile(port, &c, 1, &n, &ov));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
  DWORD errors;
  ClearCommError(port, &errors, nullptr);
  EXPECT_TRUE(WriteFile(port, &c, 1, &n, &ov));
  CloseHandle(port);
}

TEST(Loopback, PacedLineDeliversAtItsRate) {
  HANDLE port = CreateFileA("loop://?baud=9600", GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  COMMTIMEOUTS t{20, 0, 0, 0, 0};
  SetCommTimeouts(port, &t);
  std::vector<char> data(96, 'p');  // 100 ms at 960 bytes a second
  auto start = Clock::now();
  WriteAll(port, data.data(), 96);
  auto got = ReadExactly(port, 96, 5000);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_EQ(got.size(), 96u);
  EXPECT_GE(ms, 95);
  CloseHandle(port);
}

// A paced line is looked at when a read can end, not at every byte; the
// reads must still end exactly as on a real line: at a pause longer than the
// interval, and byte by byte on a line slower than the interval itself.
TEST(Loopback, PacedReadsEndAtPausesAndOnVerySlowLinesAtEachByte) {
  auto timedRead = [](HANDLE port, DWORD* n) {
    static std::vector<char> buf(2048);
    Overlapped ov;
    auto start = Clock::now();
    if (!ReadFile(port, buf.data(), 2048, n, &ov)) {
      EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
      bool ended = WaitForSingleObject(ov.hEvent, 5000) == WAIT_OBJECT_0;
      EXPECT_TRUE(ended);
      if (!ended) PurgeComm(port, PURGE_RXABORT);  // the buffer and OVERLAPPED go with this call
      EXPECT_EQ(GetOverlappedResult(port, &ov, n, TRUE), ended ? TRUE : FALSE);
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  };
  COMMTIMEOUTS t{20, 0, 0, 0, 0};
  HANDLE port = CreateFileA("loop://?baud=9600", GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  SetCommTimeouts(port, &t);
  std::vector<char> burst(20, 'b');
  WriteAll(port, burst.data(), 20);  // on the line for about 21 ms
  std::thread later([&] {
    Sleep(300);  // long after the first burst's read has ended
    WriteAll(port, burst.data(), 20);
  });
  DWORD n = 0;
  auto ms = timedRead(port, &n);
  EXPECT_EQ(n, 20u);
  EXPECT_GE(ms, 35);  // its last byte, then the interval
  EXPECT_LT(ms, 200) << "the read waited for bytes after a pause";
  ms = timedRead(port, &n);
  EXPECT_EQ(n, 20u);
  later.join();
  CloseHandle(port);

  // 300 baud: 33 ms a byte, longer than the 20 ms interval, so each byte
  // arrives alone and ends its read.
  port = CreateFileA("loop://?baud=300", GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  SetCommTimeouts(port, &t);
  WriteAll(port, burst.data(), 3);
  for (int i = 0; i < 3; ++i) {
    timedRead(port, &n);
    EXPECT_EQ(n, 1u) << i;
  }
  CloseHandle(port);
}

TEST(PseudoTerminal, HangUpFailsThePendingReadAndLaterOnes) {
  tools::EchoPeer peer;
  std::string error;
  ASSERT_TRUE(peer.Start(&error)) << error;
  HANDLE port = CreateFileA(peer.DevicePath().c_str(), GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  struct Closer {
    HANDLE h;
    ~Closer() { CloseHandle(h); }
  } closer{port};
  std::vector<char> buf(2048);
  Overlapped ov;
  AbortPendingOnExit guard{port};
  DWORD n = 0;
  ASSERT_FALSE(ReadFile(port, buf.data(), 2048, &n, &ov));
  peer.HangUp();
  ASSERT_EQ(WaitForSingleObject(ov.hEvent, 2000), WAIT_OBJECT_0);
  EXPECT_FALSE(GetOverlappedResult(port, &ov, &n, FALSE));
  EXPECT_NE(GetLastError(), DWORD(ERROR_IO_INCOMPLETE));
  EXPECT_FALSE(ReadFile(port, buf.data(), 2048, &n, &ov));
  EXPECT_NE(GetLastError(), DWORD(ERROR_IO_PENDING));
  EXPECT_FALSE(WriteFile(port, buf.data(), 10, &n, &ov));
}

// Bytes arrive for a pending read while a write from another caller comes
// and goes. Once, the service thread slept on through the read's deadline and
// the last short burst of a transfer stayed in the buffer for good.
TEST_F(RawPty, ABurstForAPendingReadCompletesItOnTimeAcrossAWrite) {
  std::vector<char> buf(2048);
  char drain[64];
  for (int round = 0; round < 40; ++round) {
    Overlapped readOv, writeOv;
    AbortPendingOnExit guard{port};
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(port, buf.data(), 2048, &n, &readOv));
    ASSERT_EQ(::write(master, "0123456789", 10), 10);
    DWORD written = 0;
    if (!WriteFile(port, "x", 1, &written, &writeOv)) {
      ASSERT_TRUE(GetOverlappedResult(port, &writeOv, &written, TRUE));
    }
    ASSERT_EQ(WaitForSingleObject(readOv.hEvent, 1000), WAIT_OBJECT_0) << "round " << round;
    ASSERT_TRUE(GetOverlappedResult(port, &readOv, &n, FALSE));
    EXPECT_EQ(n, 10u);
    ASSERT_EQ(::read(master, drain, sizeof drain), 1);
  }
}

// A read that gathers a steady stream does not end before it is full (here,
// with no timeouts, it cannot); what it has taken so far is still to be
// seen, whether its own thread waits on it (driving it) or nobody does, and
// it is nothing once the read has ended.
TEST_F(RawPty, WhatAPendingReadHasTakenSoFarCanBeSeen) {
  COMMTIMEOUTS none{0, 0, 0, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(port, &none));
  const std::vector<char> bytes(2048, 'p');
  for (bool driven : {true, false}) {
    std::vector<char> buf(2048);
    Overlapped ov;
    AbortPendingOnExit guard{port};
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(port, buf.data(), 2048, &n, &ov));
    std::thread waiter([&] {
      if (driven) GetOverlappedResult(port, &ov, &n, TRUE);
    });
    EXPECT_EQ(::write(master, bytes.data(), 300), 300);
    DWORD seen = 0;
    for (int k = 0; k < 2000 && seen < 300; ++k, Sleep(1)) seen = vx::PendingReadBytes(port);
    EXPECT_EQ(seen, 300u) << (driven ? "driven" : "served");
    EXPECT_NE(WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0);
    EXPECT_EQ(::write(master, bytes.data(), 1748), 1748);
    const bool ended = WaitForSingleObject(ov.hEvent, 2000) == WAIT_OBJECT_0;
    if (!ended) PurgeComm(port, PURGE_RXABORT);  // lets the waiter go
    waiter.join();
    ASSERT_TRUE(ended);
    ASSERT_TRUE(GetOverlappedResult(port, &ov, &n, FALSE));
    EXPECT_EQ(n, 2048u);
    EXPECT_EQ(vx::PendingReadBytes(port), 0u);
  }
  EXPECT_EQ(vx::PendingReadBytes(INVALID_HANDLE_VALUE), 0u);
}

// Bytes already buffered go into the read at the call, and the interval
// clock starts there: the calling thread, not the service thread, sets the
// deadline, and the read must complete one interval later all the same.
TEST_F(RawPty, BytesBufferedAtTheCallCompleteTheReadOneIntervalLater) {
  std::vector<char> buf(2048);
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(::write(master, "0123456789", 10), 10);
    ASSERT_NO_FATAL_FAILURE(AwaitBuffered(10));
    Overlapped ov;
    AbortPendingOnExit guard{port};
    DWORD n = 0;
    const auto called = Clock::now();
    ASSERT_FALSE(ReadFile(port, buf.data(), 2048, &n, &ov));
    ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    ASSERT_EQ(WaitForSingleObject(ov.hEvent, 1000), WAIT_OBJECT_0) << "round " << round;
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - called).count();
    ASSERT_TRUE(GetOverlappedResult(port, &ov, &n, FALSE));
    EXPECT_EQ(n, 10u);
    EXPECT_GE(waited, 19);
    EXPECT_LT(waited, 500);
  }
}

// A character device whose driver cannot be polled reports itself always
// ready; the port must move its bytes anyway, and not spin when idle.
// A port is exclusive, as on Windows: two exercisers on one line would
// interleave their data and each count the other's echo.
TEST_F(RawPty, ASecondOpenIsRefusedUntilTheFirstIsClosed) {
  const char* name = ptsname(master);
  HANDLE second = CreateFileA(name, GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  EXPECT_EQ(second, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  if (second != INVALID_HANDLE_VALUE) CloseHandle(second);

  // Another program holding the line: a child process tries the same.
  pid_t child = fork();
  if (child == 0) {
    HANDLE h = CreateFileA(name, GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    _exit(h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another process opened a port in use";

  CloseHandle(port);
  port = CreateFileA(name, GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  EXPECT_NE(port, INVALID_HANDLE_VALUE) << "closing gives the line back";
}

// Opening makes the line raw; closing gives it back as it was found, so that
// a terminal used as a port is usable again afterwards.
TEST_F(RawPty, ClosingRestoresTheSettingsFoundAtOpen) {
  int slave = FarSide();
  ASSERT_GE(slave, 0);
  termios cooked{};
  ASSERT_EQ(tcgetattr(slave, &cooked), 0);
  cooked.c_lflag |= ICANON | ECHO | ISIG;
  cooked.c_oflag |= OPOST;
  cooked.c_iflag |= ICRNL;
  cfsetispeed(&cooked, B19200);
  cfsetospeed(&cooked, B19200);
  ASSERT_EQ(tcsetattr(slave, TCSANOW, &cooked), 0);

  HANDLE h = CreateFileA(ptsname(master), GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DCB dcb{};
  ASSERT_TRUE(GetCommState(h, &dcb));
  dcb.BaudRate = 57600;  // changed through the port, too
  ASSERT_TRUE(SetCommState(h, &dcb));
  termios raw{};
  ASSERT_EQ(tcgetattr(slave, &raw), 0);
  EXPECT_EQ(raw.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(cfgetospeed(&raw), speed_t(B57600));
  CloseHandle(h);

  termios after{};
  ASSERT_EQ(tcgetattr(slave, &after), 0);
  EXPECT_EQ(after.c_lflag, cooked.c_lflag);
  EXPECT_EQ(after.c_iflag, cooked.c_iflag);
  EXPECT_EQ(after.c_oflag, cooked.c_oflag);
  EXPECT_EQ(cfgetospeed(&after), speed_t(B19200));
  ::close(slave);
}

// The rate and framing a DCB holds.
void ExpectLine(const DCB& dcb, DWORD baud, BYTE byteSize, BYTE parity, BYTE stopBits) {
  EXPECT_EQ(dcb.BaudRate, baud);
  EXPECT_EQ(dcb.ByteSize, byteSize);
  EXPECT_EQ(dcb.Parity, parity);
  EXPECT_EQ(dcb.StopBits, stopBits);
}

// Line settings given after the port name are set when it opens, seen both
// through GetCommState and by the far side of the line.
TEST_F(RawPty, SettingsInTheNameAreSetAtOpenAndGivenBackAtClose) {
  int slave = FarSide();  // opened before the port is claimed
  ASSERT_GE(slave, 0);
  termios before{};
  ASSERT_EQ(tcgetattr(slave, &before), 0);

  std::string name = std::string(ptsname(master)) + "?baud=57600&format=7E2&flow=rtscts";
  HANDLE h = CreateFileA(name.c_str(), GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  DCB dcb{};
  ASSERT_TRUE(GetCommState(h, &dcb));
  ExpectLine(dcb, 57600, 7, EVENPARITY, TWOSTOPBITS);
  EXPECT_TRUE(dcb.fOutxCtsFlow);
  termios far{};
  ASSERT_EQ(tcgetattr(slave, &far), 0);
  EXPECT_EQ(cfgetospeed(&far), speed_t(B57600));
  EXPECT_TRUE(far.c_cflag & CSTOPB);
  EXPECT_TRUE(far.c_cflag & CRTSCTS);  // a pty keeps 8 data bits and no parity whatever it is told
  CloseHandle(h);
  ASSERT_EQ(tcgetattr(slave, &far), 0);
  EXPECT_EQ(cfgetospeed(&far), cfgetospeed(&before));
  EXPECT_EQ(far.c_cflag, before.c_cflag);

  // A rate with no Bnnn constant of its own.
  name = std::string(ptsname(master)) + "?baud=250000";
  h = CreateFileA(name.c_str(), GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  DCB fresh{};
  ASSERT_TRUE(GetCommState(h, &fresh));
  EXPECT_EQ(fresh.BaudRate, 250000u);
  CloseHandle(h);
  ::close(slave);
}

// A line found at rates with no Bnnn constant, and with an input rate of its
// own, is given them back at close, whatever the port set meanwhile; and a
// standard rate set on it holds in both directions while the port is open.
TEST_F(RawPty, RatesWithoutAConstantAreGivenBackAtClose) {
  int slave = FarSide();
  ASSERT_GE(slave, 0);
  for (const char* query : {"?baud=9600", "?baud=31250"}) {
    ASSERT_TRUE(comm::SetRates(slave, 250000, 31250)) << errno;
    std::string name = std::string(ptsname(master)) + query;
    HANDLE h = CreateFileA(name.c_str(), GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD input = comm::ReadInputRate(slave), output = comm::ReadArbitraryRate(slave);
    const unsigned asked = std::string(query) == "?baud=9600" ? 9600 : 31250;
    EXPECT_EQ(input, asked) << query;
    EXPECT_EQ(output, asked) << query;
    CloseHandle(h);
    input = comm::ReadInputRate(slave);
    output = comm::ReadArbitraryRate(slave);
    EXPECT_EQ(input, 250000u) << query;
    EXPECT_EQ(output, 31250u) << query;
  }
  ::close(slave);
}

// A pseudo-terminal keeps 8 data bits and no parity whatever it is told,
// and the open succeeds: the port still reports what it was given, and only
// reading the device back tells what the line carries.
TEST_F(RawPty, SettingsTheDeviceDoesNotHoldAreToldInWords) {
  int slave = FarSide();  // the tty's settings, changed as its driver might
  ASSERT_GE(slave, 0);
  const std::string pty = ptsname(master);
  HANDLE h = CreateFileA((pty + "?format=7E1").c_str(), GENERIC_ALL, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  DCB dcb{};
  ASSERT_TRUE(GetCommState(h, &dcb));
  EXPECT_EQ(dcb.ByteSize, 7);
  EXPECT_EQ(vx::LineSettingsNotHeld(h), "8 data bits and no parity where 7 data bits and even parity were set");
  CloseHandle(h);

  // The settings as the tty's driver might make them, the rates in each
  // direction (0 for input: the same as output).
  auto setRates = [&](termios t, unsigned out, unsigned in) {
    return tcsetattr(slave, TCSANOW, &t) == 0 && comm::SetRates(slave, in ? in : out, out);
  };

  // 9700 is not the 9600 the tty is turned to, but within a UART's rounding.
  h = CreateFileA((pty + "?baud=9700&format=8N2&flow=rtscts").c_str(), GENERIC_ALL, 0, nullptr, OPEN_EXISTING,
                  FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_EQ(vx::LineSettingsNotHeld(h), "");
  termios t{};
  ASSERT_EQ(tcgetattr(slave, &t), 0);
  const termios was = t;
  ASSERT_TRUE(setRates(t, 9600, 0));
  EXPECT_EQ(vx::LineSettingsNotHeld(h), "");
  t.c_cflag &= ~(CSTOPB | CRTSCTS);
  t.c_iflag |= IXOFF;
  ASSERT_TRUE(setRates(t, 9600, 4800));
  EXPECT_EQ(vx::LineSettingsNotHeld(h),
            "1 stop bit, input at 4800 baud, no RTS/CTS flow control and XON/XOFF flow control on input only where "
            "2 stop bits, 9700 baud, RTS/CTS flow control and no XON/XOFF flow control were set");
  ASSERT_EQ(tcgetattr(slave, &t), 0);
  t.c_cflag |= CSTOPB | CRTSCTS;
  t.c_iflag &= ~IXOFF;
  ASSERT_TRUE(setRates(t, 19200, 9600));
  EXPECT_EQ(vx::LineSettingsNotHeld(h), "output at 19200 baud where 9700 baud was set");
  ASSERT_TRUE(setRates(t, 2400, 0));
  EXPECT_EQ(vx::LineSettingsNotHeld(h), "2400 baud where 9700 baud was set");
  ASSERT_EQ(tcsetattr(slave, TCSANOW, &was), 0);
  CloseHandle(h);
  ::close(slave);

  // No local driver, nothing to read back.
  h = CreateFileA("loop://?format=7E1", GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(vx::LineSettingsNotHeld(h), "");
  CloseHandle(h);
  EXPECT_EQ(vx::LineSettingsNotHeld(INVALID_HANDLE_VALUE), "");
}

TEST(PortNames, BadSettingsFailTheOpenAndGoodOnesShowInTheState) {
  for (const char* name : {"loop://?baud=fast", "loop://?baud=", "loop://?format=9N1", "loop://?format=8X1",
                           "loop://?format=8N3", "loop://?flow=magic", "loop://?speed=9600", "loop://?baud",
                           "loop://x?baud=9600", "/dev/null?baud=9600", "/dev/ptmx?parity=odd",
                           "loop://?baud=9600&baud=19200", "loop://?format=8N1&flow=none&format=7E1"}) {
    SetLastError(0);
    HANDLE h = CreateFileA(name, GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE) << name;
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER)) << name;
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  EXPECT_EQ(vx::PortNameProblem("loop://?flow=magic"), "flow 'magic' is not none, rtscts or xonxoff");
  EXPECT_EQ(vx::PortNameProblem("/dev/ttyUSB0?speed=1"), "unknown setting 'speed' (baud, format, flow)");
  EXPECT_EQ(vx::PortNameProblem("loop://?flow=none&flow=rtscts"), "flow is given twice");
  EXPECT_EQ(vx::PortNameProblem("COM3?baud=115200&format=8N1&flow=none"), "");
  // The file a name opens, for a tool that looks for other programs holding it.
  EXPECT_EQ(vx::PortDevicePath("COM3?baud=115200"), "/dev/ttyS2");
  EXPECT_EQ(vx::PortDevicePath("/dev/pts/7?format=8N1"), "/dev/pts/7");
  EXPECT_EQ(vx::PortDevicePath("tcp://127.0.0.1:3001"), "");
  EXPECT_EQ(vx::PortDevicePath("loop://"), "");
  HANDLE h = CreateFileA("loop://?baud=19200&format=7o1&flow=xonxoff", GENERIC_ALL, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DCB dcb{};
  ASSERT_TRUE(GetCommState(h, &dcb));
  ExpectLine(dcb, 19200, 7, ODDPARITY, ONESTOPBIT);
  EXPECT_TRUE(dcb.fOutX && dcb.fInX);
  EXPECT_FALSE(dcb.fOutxCtsFlow);
  CloseHandle(h);

  // A file whose own name holds a '?' is still just that file.
  char dir[] = "/tmp/vx-names-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string odd = std::string(dir) + "/what?baud=1";
  close(::open(odd.c_str(), O_CREAT | O_WRONLY, 0600));
  h = CreateFileA(odd.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  unlink(odd.c_str());
  rmdir(dir);
}

TEST(CharacterDevice, OneThatCannotBePolledStillReadsAndWrites) {
  HANDLE zero = CreateFileA("/dev/zero", GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(zero, INVALID_HANDLE_VALUE);
  std::vector<char> buf(2048, 'x');
  Overlapped ov;
  DWORD n = 0;
  if (!ReadFile(zero, buf.data(), 2048, &n, &ov)) {
    ASSERT_TRUE(GetOverlappedResult(zero, &ov, &n, TRUE));
  }
  EXPECT_EQ(n, 2048u);
  EXPECT_EQ(buf, std::vector<char>(2048, 0));
  if (!WriteFile(zero, buf.data(), 2048, &n, &ov)) {
    ASSERT_TRUE(GetOverlappedResult(zero, &ov, &n, TRUE));
  }
  EXPECT_EQ(n, 2048u);
  // No serial port: the comm calls fail as on a handle that is no comm device.
  DCB dcb{};
  EXPECT_FALSE(GetCommState(zero, &dcb));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  CloseHandle(zero);
}

// Each open port needs a few descriptors of its own to sleep on. Out of
// them, opening fails with an error rather than giving a port that hangs.
TEST(CharacterDevice, OpeningWithNoDescriptorsLeftFailsCleanly) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' own checks need descriptors";
#endif
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  int highest = 0;
  for (int fd = 0; fd < 4096; ++fd)
    if (fcntl(fd, F_GETFD) >= 0) highest = fd;
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(highest + 1);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  // Every descriptor below the limit taken but two: a port needs three.
  std::vector<int> taken;
  for (int fd; (fd = fcntl(0, F_DUPFD_CLOEXEC, 0)) >= 0;) taken.push_back(fd);
  for (int spare = 0; spare < 2 && !taken.empty(); ++spare) {
    ::close(taken.back());
    taken.pop_back();
  }
  HANDLE port = CreateFileA("loop://", GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  const DWORD error = GetLastError();
  for (int fd : taken) ::close(fd);
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(port, INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, DWORD(ERROR_TOO_MANY_OPEN_FILES));
  if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
}

TEST(CommFaults, EveryPortCallCanBeFailed) {
  HANDLE port = CreateFileA("loop://", GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  DCB dcb{};
  COMMTIMEOUTS t{};
  DWORD n = 0, mask = 0;
  char c = 0;
  Overlapped ov;
  struct Case {
    const char* name;
    std::function<BOOL()> call;
  } cases[] = {
      {"GetCommState", [&] { return GetCommState(port, &dcb); }},
      {"SetCommState", [&] { return SetCommState(port, &dcb); }},
      {"GetCommTimeouts", [&] { return GetCommTimeouts(port, &t); }},
      {"SetCommTimeouts", [&] { return SetCommTimeouts(port, &t); }},
      {"SetCommMask", [&] { return SetCommMask(port, EV_ERR); }},
      {"WaitCommEvent", [&] { return WaitCommEvent(port, &mask, &ov); }},
      {"ClearCommError", [&] { return ClearCommError(port, &n, nullptr); }},
      {"PurgeComm", [&] { return PurgeComm(port, PURGE_RXABORT); }},
      {"ReadFile", [&] { return ReadFile(port, &c, 1, &n, &ov); }},
      {"WriteFile", [&] { return WriteFile(port, &c, 1, &n, &ov); }},
      {"GetOverlappedResult", [&] { return GetOverlappedResult(port, &ov, &n, FALSE); }},
      {"CloseHandle", [&] { return CloseHandle(port); }},
  };
  for (auto& k : cases) {
    vx::fault::Inject({k.name, 0, 1, ERROR_INVALID_HANDLE});
    EXPECT_FALSE(k.call()) << k.name;
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE)) << k.name;
    EXPECT_EQ(vx::fault::Hits(k.name), 1u) << k.name;
  }
  vx::fault::Inject({"GetFileType", 0, 1, ERROR_INVALID_HANDLE});
  EXPECT_EQ(GetFileType(port), DWORD(FILE_TYPE_UNKNOWN));
  vx::fault::Inject({"CreateFileA", 0, 1, ERROR_ACCESS_DENIED});
  EXPECT_EQ(CreateFileA("loop://", GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr),
            INVALID_HANDLE_VALUE);
  vx::fault::Reset();
  CloseHandle(port);
}

}  // namespace
}  // namespace vx::test
