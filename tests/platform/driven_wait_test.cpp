// Waits that move their own bytes: a thread that waits for a pending read or
// write on a pseudo-terminal completes it itself. Every other way an
// operation can end while that thread sleeps in poll() (a purge, a close, the
// service thread's deadline, a hang-up) must still end it exactly once, at
// once, and leave its buffer alone afterwards; and a wait that ends first
// (a new mask, a timeout, its thread terminated) hands the operation back to
// the service thread, which finishes it with nobody waiting.
#include "platform/hooks.h"
#include "support/byte_patterns.h"
#include "support/port_fixture.h"
#include "support/raw_pty.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace vx::test {
namespace {

using Clock = std::chrono::steady_clock;
using DrivenWait = RawPty;

// Starts an overlapped read of `size` bytes that must go pending.
void StartRead(HANDLE port, char* buffer, DWORD size, OVERLAPPED* ov) {
  DWORD n = 0;
  ASSERT_FALSE(ReadFile(port, buffer, size, &n, ov));
  ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
}

// A thread that waits for `event` for up to `ms`, started at once; Join()
// gives the wait's result, and woke() when the wait ended.
class WaitingThread {
 public:
  WaitingThread(HANDLE event, DWORD ms)
      : thread_([this, event, ms] {
          result_ = WaitForSingleObject(event, ms);
          woke_ = Clock::now();
        }) {}
  ~WaitingThread() {
    if (thread_.joinable()) thread_.join();
  }
  DWORD Join() {
    if (thread_.joinable()) thread_.join();
    return result_;
  }
  Clock::time_point woke() const { return woke_; }

 private:
  DWORD result_ = WAIT_FAILED;
  Clock::time_point woke_;
  std::thread thread_;  // last: it starts once the fields it writes exist
};

// CPU this thread has used, in milliseconds: a wait that polls for nothing
// shows here long before any timeout.
double ThreadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// Completes a read on `ov` with one byte, so that its event names a finished
// operation, then leaves that event reset.
void FinishOneRead(HANDLE port, int master, char* buffer, OVERLAPPED* ov) {
  DWORD n = 0;
  ASSERT_FALSE(ReadFile(port, buffer, 64, &n, ov));
  ASSERT_EQ(::write(master, "a", 1), 1);
  ASSERT_TRUE(GetOverlappedResult(port, ov, &n, TRUE));
  ASSERT_TRUE(ResetEvent(ov->hEvent));
}

// The buffer is the caller's again once the operation has ended: bytes that
// arrive later must not land in it.
void ExpectLeftAlone(int master, const std::vector<char>& buffer) {
  ASSERT_EQ(::write(master, "late", 4), 4);
  Sleep(10);
  EXPECT_EQ(std::string(buffer.begin(), buffer.end()), std::string(buffer.size(), 'Z'));
}

TEST_F(DrivenWait, TheWaitingThreadMovesTheBytesOfAReadAndAWrite) {
  // A read: the waiting thread takes the burst and ends the read one
  // interval after its last byte.
  std::vector<char> buf(2048);
  Overlapped ov;
  AbortPendingOnExit guard{port};
  const auto before = WaitDrivenCompletions();
  StartRead(port, buf.data(), 2048, &ov);
  std::thread writer([&] {
    Sleep(10);
    ASSERT_EQ(::write(master, "0123456789", 10), 10);
  });
  DWORD n = 0;
  ASSERT_TRUE(GetOverlappedResult(port, &ov, &n, TRUE)) << GetLastError();
  writer.join();
  EXPECT_EQ(std::string(buf.data(), n), "0123456789");
  EXPECT_EQ(WaitDrivenCompletions(), before + 1);

  // A write the line takes slowly: the waiting thread feeds it as room comes.
  const std::string pattern = EveryByteValue(256 * 1024);
  const std::vector<char> out(pattern.begin(), pattern.end());
  Overlapped wov;
  ASSERT_FALSE(WriteFile(port, out.data(), DWORD(out.size()), &n, &wov));
  ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
  std::vector<char> seen;
  std::thread reader([&] {
    char chunk[4096];
    while (seen.size() < out.size()) {
      ssize_t got = ::read(master, chunk, sizeof chunk);
      if (got <= 0) break;
      seen.insert(seen.end(), chunk, chunk + got);
    }
  });
  const auto beforeWrite = WaitDrivenCompletions();
  EXPECT_TRUE(GetOverlappedResult(port, &wov, &n, TRUE)) << GetLastError();
  reader.join();
  EXPECT_EQ(n, out.size());
  EXPECT_TRUE(seen == out);
  EXPECT_EQ(WaitDrivenCompletions(), beforeWrite + 1);
}

// A caller may leave its operations to themselves and look at the OVERLAPPED
// now and then: with nobody to drive them, the service thread finishes them.
TEST_F(DrivenWait, OperationsNobodyWaitsForAreFinishedAllTheSame) {
  std::vector<char> buf(2048);
  Overlapped rov, wov;
  AbortPendingOnExit guard{port};
  Sleep(20);  // the service thread's first look at a new port, which watches everything, is over
  StartRead(port, buf.data(), 2048, &rov);
  Sleep(20);
  ASSERT_EQ(::write(master, "unattended", 10), 10);
  ASSERT_TRUE(CompletesUnattended(rov));
  DWORD n = 0;
  EXPECT_TRUE(GetOverlappedResult(port, &rov, &n, FALSE));
  EXPECT_EQ(std::string(buf.data(), n), "unattended");

  std::vector<char> out(256 * 1024, 'u');
  ASSERT_FALSE(WriteFile(port, out.data(), DWORD(out.size()), &n, &wov));  // more than the line holds
  ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
  std::size_t seen = 0;
  char chunk[4096];
  for (int i = 0; i < 5000 && seen < out.size(); ++i) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 100) != 1) break;  // the port has stopped writing
    ssize_t got = ::read(master, chunk, sizeof chunk);
    if (got > 0) seen += static_cast<std::size_t>(got);
  }
  EXPECT_EQ(seen, out.size());
  ASSERT_TRUE(CompletesUnattended(wov));
  EXPECT_TRUE(GetOverlappedResult(port, &wov, &n, FALSE));
  EXPECT_EQ(n, out.size());
}

// A purge from another thread, at any moment of the drive and with bytes
// arriving at any moment too: the read ends once, aborted, holding exactly
// the bytes it reports, and its buffer is never written after the purge.
TEST_F(DrivenWait, APurgeRacingTheDriveEndsTheReadOnceAndLetsGoOfItsBuffer) {
  std::mt19937 rng(7);
  for (int round = 0; round < 100; ++round) {
    std::vector<char> buf(64, 'Z');
    Overlapped ov;
    AbortPendingOnExit guard{port};
    StartRead(port, buf.data(), DWORD(buf.size()), &ov);
    WaitingThread waiter(ov.hEvent, 5000);
    const auto bytesAt = std::chrono::microseconds(rng() % 3000);
    const auto purgeAt = std::chrono::microseconds(rng() % 3000);
    // Every other round nothing comes, and only the purge can end the wait.
    std::thread sender([&, send = round % 2 == 0] {
      std::this_thread::sleep_for(bytesAt);
      if (send) {
        ASSERT_EQ(::write(master, "abcdefgh", 8), 8);
      }
    });
    std::this_thread::sleep_for(purgeAt);
    ASSERT_TRUE(PurgeComm(port, PURGE_RXABORT));
    const auto purged = Clock::now();
    sender.join();
    ASSERT_EQ(waiter.Join(), WAIT_OBJECT_0) << "round " << round;
    ASSERT_LT(waiter.woke() - purged, std::chrono::milliseconds(500)) << "round " << round;
    DWORD n = 0;
    EXPECT_FALSE(GetOverlappedResult(port, &ov, &n, FALSE)) << "round " << round;
    EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
    ASSERT_LE(n, 8u);
    EXPECT_EQ(std::string(buf.data(), n), std::string("abcdefgh", n)) << "round " << round;
    std::fill(buf.begin(), buf.end(), 'Z');
    ExpectLeftAlone(master, buf);
    ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
  }
}

TEST_F(DrivenWait, APurgeEndsADrivenWriteAndLetsGoOfItsBuffer) {
  std::vector<char> big(1 << 20, 'w');
  Overlapped ov;
  AbortPendingOnExit guard{port};
  DWORD n = 0;
  ASSERT_FALSE(WriteFile(port, big.data(), DWORD(big.size()), &n, &ov));  // nobody reads the master
  ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
  std::atomic<BOOL> result{TRUE};
  std::thread waiter([&] { result = GetOverlappedResult(port, &ov, &n, TRUE); });
  Sleep(20);
  ASSERT_TRUE(PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR));
  waiter.join();
  EXPECT_FALSE(result.load());
  EXPECT_EQ(ov.Internal, ULONG_PTR(ERROR_OPERATION_ABORTED));
  EXPECT_LT(n, big.size());
  // Room appears now; a late write would send what the buffer holds now.
  big.assign(big.size(), 'Q');
  char chunk[4096];
  Sleep(20);
  for (int i = 0; i < 64; ++i) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 50) != 1) break;  // drained: a read now would block for good
    ssize_t got = ::read(master, chunk, sizeof chunk);
    if (got <= 0) break;
    EXPECT_EQ(std::memchr(chunk, 'Q', static_cast<std::size_t>(got)), nullptr);
  }
}

TEST_F(DrivenWait, ClosingThePortEndsADrivenReadAtOnce) {
  for (int round = 0; round < 30; ++round) {
    std::vector<char> buf(2048);
    Overlapped ov;
    StartRead(port, buf.data(), 2048, &ov);
    WaitingThread waiter(ov.hEvent, 5000);
    Sleep(round % 4);
    const auto closed = Clock::now();
    ASSERT_TRUE(CloseHandle(port));
    port = INVALID_HANDLE_VALUE;
    waiter.Join();
    ASSERT_LT(waiter.woke() - closed, std::chrono::milliseconds(500)) << "round " << round;
    EXPECT_EQ(ov.Internal, ULONG_PTR(ERROR_OPERATION_ABORTED));
    port = CreateFileA(ptsname(master), GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
  }
}

// A wait can end before its read: the line event it also waits for comes (a
// new mask completes it), its time runs out, or its thread is terminated. The
// read goes on, and the service thread completes it when its bytes come.
TEST_F(DrivenWait, AWaitThatEndsBeforeItsReadHandsTheReadBack) {
  std::vector<char> buf(2048);
  auto finishUnattended = [&](Overlapped& ov, const char* how) {
    ASSERT_FALSE(HasOverlappedIoCompleted(&ov)) << how;
    ASSERT_EQ(::write(master, "hello", 5), 5);
    ASSERT_TRUE(CompletesUnattended(ov)) << how;
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(port, &ov, &n, FALSE)) << how;
    EXPECT_EQ(std::string(buf.data(), n), "hello") << how;
  };
  {
    ASSERT_TRUE(SetCommMask(port, EV_ERR));
    Overlapped lineOv, readOv;
    AbortPendingOnExit guard{port};
    DWORD mask = 0;
    ASSERT_FALSE(WaitCommEvent(port, &mask, &lineOv));
    StartRead(port, buf.data(), 2048, &readOv);
    std::atomic<DWORD> r{WAIT_FAILED};
    std::thread waiter([&] {
      HANDLE waits[2] = {lineOv.hEvent, readOv.hEvent};
      r = WaitForMultipleObjects(2, waits, FALSE, 5000);
    });
    Sleep(20);
    ASSERT_TRUE(SetCommMask(port, 0));
    waiter.join();
    EXPECT_EQ(r.load(), WAIT_OBJECT_0);
    finishUnattended(readOv, "new mask");
  }
  {
    Overlapped ov;
    AbortPendingOnExit guard{port};
    StartRead(port, buf.data(), 2048, &ov);
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 30), DWORD(WAIT_TIMEOUT));
    finishUnattended(ov, "timeout");
  }
  {
    static Overlapped* pending;
    Overlapped ov;
    AbortPendingOnExit guard{port};
    StartRead(port, buf.data(), 2048, &ov);
    pending = &ov;
    HANDLE thread = CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { return WaitForSingleObject(pending->hEvent, INFINITE); }, nullptr, 0,
        nullptr);
    ASSERT_NE(thread, nullptr);
    Sleep(20);
    ASSERT_TRUE(TerminateThread(thread, 9));
    ASSERT_EQ(WaitForSingleObject(thread, 2000), WAIT_OBJECT_0);
    CloseHandle(thread);
    finishUnattended(ov, "terminated");
  }
}

// The service thread's deadline (a total timeout) and the waiting thread's
// poll race for one read, with a byte arriving around the deadline: the read
// ends once, and the byte is in it or in the next read, never lost.
TEST_F(DrivenWait, TheServiceThreadsDeadlineAndTheDriveNeverLoseAByte) {
  COMMTIMEOUTS t{20, 0, 2, 0, 0};  // a read ends 2 ms after the call at the latest
  ASSERT_TRUE(SetCommTimeouts(port, &t));
  std::mt19937 rng(11);
  std::size_t received = 0;
  constexpr int kRounds = 200;
  char buf[16];
  for (int round = 0; round < kRounds; ++round) {
    Overlapped ov;
    AbortPendingOnExit guard{port};
    DWORD n = 0;
    if (!ReadFile(port, buf, sizeof buf, &n, &ov)) {
      ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
      std::thread sender([&, at = rng() % 4000] {
        std::this_thread::sleep_for(std::chrono::microseconds(at));
        ASSERT_EQ(::write(master, "x", 1), 1);
      });
      EXPECT_TRUE(GetOverlappedResult(port, &ov, &n, TRUE)) << "round " << round;
      sender.join();
    } else {
      ASSERT_EQ(::write(master, "x", 1), 1);
    }
    received += n;
  }
  // What is still on its way.
  for (int i = 0; i < 50 && received < kRounds; ++i) {
    Overlapped ov;
    DWORD n = 0;
    if (!ReadFile(port, buf, sizeof buf, &n, &ov)) GetOverlappedResult(port, &ov, &n, TRUE);
    received += n;
  }
  EXPECT_EQ(received, std::size_t(kRounds));
}

TEST_F(DrivenWait, TwoThreadsWaitingForOneReadBothWake) {
  std::vector<char> buf(2048);
  Overlapped ov;
  AbortPendingOnExit guard{port};
  StartRead(port, buf.data(), 2048, &ov);
  std::atomic<int> woke{0};
  std::thread a([&] { woke += WaitForSingleObject(ov.hEvent, 3000) == WAIT_OBJECT_0; });
  std::thread b([&] { woke += WaitForSingleObject(ov.hEvent, 3000) == WAIT_OBJECT_0; });
  Sleep(20);
  ASSERT_EQ(::write(master, "both", 4), 4);
  a.join();
  b.join();
  EXPECT_EQ(woke.load(), 2);
  DWORD n = 0;
  EXPECT_TRUE(GetOverlappedResult(port, &ov, &n, FALSE));
  EXPECT_EQ(n, 4u);
}

// A thread needs a descriptor of its own to be woken from poll(); one that
// cannot have it (the process has none left) must leave the read to the
// service thread, not take it over and sleep where nothing wakes it.
TEST_F(DrivenWait, AThreadWithNoDescriptorLeftLeavesTheReadToTheServiceThread) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' own checks need descriptors";
#endif
  std::vector<char> buf(2048);
  Overlapped ov;
  AbortPendingOnExit guard{port};
  StartRead(port, buf.data(), 2048, &ov);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = 1024;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  // Every descriptor taken, and given back however the test leaves.
  struct Hoard {
    rlimit saved;
    std::vector<int> taken;
    ~Hoard() {
      for (int fd : taken) ::close(fd);
      setrlimit(RLIMIT_NOFILE, &saved);
    }
  } hoard{saved, {}};
  for (int fd; (fd = fcntl(0, F_DUPFD_CLOEXEC, 0)) >= 0;) hoard.taken.push_back(fd);
  // New threads, so that neither has its descriptor yet: the first waits
  // for bytes, the second for a purge.
  WaitingThread waiter(ov.hEvent, 3000);
  Sleep(20);
  const bool wrote = ::write(master, "no fd", 5) == 5;
  const DWORD waited = waiter.Join();
  DWORD n = 0;
  const BOOL gotBytes = GetOverlappedResult(port, &ov, &n, FALSE);
  Overlapped purged;
  StartRead(port, buf.data(), 2048, &purged);
  WaitingThread purgeWaiter(purged.hEvent, 3000);
  Sleep(20);
  PurgeComm(port, PURGE_RXABORT);
  const auto purgedAt = Clock::now();
  purgeWaiter.Join();
  ASSERT_TRUE(wrote);
  EXPECT_EQ(waited, WAIT_OBJECT_0);
  EXPECT_TRUE(gotBytes);
  EXPECT_EQ(std::string(buf.data(), n), "no fd");
  EXPECT_LT(purgeWaiter.woke() - purgedAt, std::chrono::milliseconds(500));
}

// An event keeps naming the last operation it was offered for. A caller
// that reuses the OVERLAPPED with another event leaves that name behind: a
// thread waiting on the old event, for something else entirely, must neither
// take the new read over (and poll for it, since it signals another event)
// nor keep the port alive once it is closed.
TEST_F(DrivenWait, AnEventFromAnEarlierReadDrivesNothing) {
  std::vector<char> buf(64);
  Overlapped ov;
  AbortPendingOnExit guard{port};
  const HANDLE first = ov.hEvent;
  FinishOneRead(port, master, buf.data(), &ov);
  const HANDLE second = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ov.hEvent = second;
  StartRead(port, buf.data(), 64, &ov);
  std::atomic<DWORD> waited{0};
  std::atomic<double> cpu{0};
  std::thread other([&] {
    const double before = ThreadCpuMs();
    waited = WaitForSingleObject(first, 400);
    cpu = ThreadCpuMs() - before;
  });
  Sleep(20);
  // Closed while the other thread still waits: the read ends, and the
  // device is let go at once.
  ASSERT_TRUE(CloseHandle(port));
  port = INVALID_HANDLE_VALUE;
  guard.port = INVALID_HANDLE_VALUE;
  EXPECT_EQ(ov.Internal, ULONG_PTR(ERROR_OPERATION_ABORTED));
  HANDLE again = CreateFileA(ptsname(master), GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  EXPECT_NE(again, INVALID_HANDLE_VALUE) << "reopening after close failed with " << GetLastError();
  other.join();
  EXPECT_EQ(waited.load(), DWORD(WAIT_TIMEOUT));
  EXPECT_LT(cpu.load(), 100.0) << "ms of CPU burnt by a 400 ms wait on an idle event";
  port = again;
  ov.hEvent = first;
  CloseHandle(second);
}

// Two threads wait on an auto-reset event: one drives the read, the other
// sleeps. A purge ends the read and the sleeper may take the one signal; the
// driver must then sleep out its wait, not poll for an operation that is gone.
TEST_F(DrivenWait, ADriverThatLosesAnAutoResetSignalSleeps) {
  std::vector<char> buf(64);
  double worst = 0;
  for (int round = 0; round < 8; ++round) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    StartRead(port, buf.data(), 64, &ov);
    std::atomic<double> cpuA{0}, cpuB{0};
    auto wait = [&](std::atomic<double>* cpu) {
      const double before = ThreadCpuMs();
      WaitForSingleObject(ov.hEvent, 200);
      *cpu = ThreadCpuMs() - before;
    };
    std::thread a(wait, &cpuA), b(wait, &cpuB);
    Sleep(20);
    ASSERT_TRUE(PurgeComm(port, PURGE_RXABORT));
    a.join();
    b.join();
    worst = std::max({worst, cpuA.load(), cpuB.load()});
    CloseHandle(ov.hEvent);
  }
  EXPECT_LT(worst, 50.0) << "ms of CPU burnt by a 200 ms wait";
}

// The service thread wakes for other reasons while a thread drives a read
// (here a new event mask, each time); it must leave the read's bytes to the
// driver, who times the read's interval from them. Once, the service thread
// took the byte, the driver slept on, and the read outlived its interval.
TEST_F(DrivenWait, TheServiceThreadLeavesADrivenReadsBytesAlone) {
  std::vector<char> buf(2048);
  for (int round = 0; round < 6; ++round) {
    Overlapped ov;
    AbortPendingOnExit guard{port};
    StartRead(port, buf.data(), 2048, &ov);
    std::thread waiter([&] { WaitForSingleObject(ov.hEvent, 2000); });
    Sleep(5);  // the waiter has taken the read over
    std::atomic<bool> stop{false};
    std::thread noise([&] {
      while (!stop) SetCommMask(port, 0);  // each one wakes the service thread
    });
    Sleep(1);
    ASSERT_EQ(::write(master, "x", 1), 1);
    Sleep(3);
    stop = true;
    noise.join();
    Sleep(120);  // six intervals after the byte
    EXPECT_TRUE(HasOverlappedIoCompleted(&ov)) << "round " << round;
    PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR);
    waiter.join();
    if (HasFailure()) break;
  }
}

TEST_F(DrivenWait, AHangUpEndsADrivenReadAtOnce) {
  std::vector<char> buf(2048);
  Overlapped ov;
  AbortPendingOnExit guard{port};
  StartRead(port, buf.data(), 2048, &ov);
  std::thread closer([&] {
    Sleep(20);
    ::close(master);
    master = -1;
  });
  const auto start = Clock::now();
  DWORD n = 0;
  EXPECT_FALSE(GetOverlappedResult(port, &ov, &n, TRUE));
  EXPECT_NE(GetLastError(), DWORD(ERROR_IO_INCOMPLETE));
  closer.join();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  EXPECT_FALSE(ReadFile(port, buf.data(), 2048, &n, &ov));
  EXPECT_NE(GetLastError(), DWORD(ERROR_IO_PENDING));
}

}  // namespace
}  // namespace vx::test
