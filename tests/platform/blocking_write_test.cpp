// A thread that waits for its pending write with no timeout and no message
// queue, alone or beside other objects, sleeps inside the terminal's own
// blocking write. Nothing but a signal reaches it there, so every other way
// the write can end (a purge, a close, TerminateThread) must cut that call
// short, count exactly the bytes it moved, and be done with the caller's
// buffer before it returns; and a thread that cannot be reached by the
// signal must not block at all. The last tests are about any wait for
// a write: a synchronous call whose thread is terminated, and an event its
// caller sets by hand.
#include "platform/hooks.h"
#include "support/byte_patterns.h"
#include "support/port_fixture.h"
#include "support/raw_pty.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <ctime>
#include <functional>
#include <poll.h>
#include <pthread.h>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace vx::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr DWORD kMoreThanTheLineHolds = 256 * 1024;

// Starts an overlapped write that must go pending: the master is not read,
// so the terminal fills up.
void StartWrite(HANDLE port, const std::vector<char>& out, OVERLAPPED* ov) {
  DWORD n = 0;
  ASSERT_FALSE(WriteFile(port, out.data(), DWORD(out.size()), &n, ov));
  ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
}

// Waits until a thread has entered the device's blocking write since
// `before`, and gives it a moment to fall asleep there.
bool AwaitBlockedWriter(std::uint64_t before) {
  for (int i = 0; i < 2000 && WaitBlockingWrites() == before; ++i) Sleep(1);
  Sleep(20);
  return WaitBlockingWrites() != before;
}

// A thread that waits for a write with GetOverlappedResult, as a caller of
// synchronous writes in effect does, and notes what the wait gave and when.
struct WriteWaiter {
  HANDLE port;
  OVERLAPPED* ov;
  BOOL ok = FALSE;
  DWORD error = 0;
  DWORD count = 0;
  Clock::time_point woke;
  std::thread thread{[this] {
    ok = GetOverlappedResult(port, ov, &count, TRUE);
    error = ok ? 0 : GetLastError();
    woke = Clock::now();
  }};
  WriteWaiter(HANDLE p, OVERLAPPED* o) : port(p), ov(o) {}
  ~WriteWaiter() {
    if (thread.joinable()) thread.join();
  }
  void Join() { thread.join(); }
};

// A thread in a wait of the test's choosing, and whether it has returned.
struct WaitingThread {
  std::atomic<bool> returned{false};
  DWORD result = WAIT_FAILED;
  std::thread thread;
  explicit WaitingThread(std::function<DWORD()> wait)
      : thread([this, wait] {
          result = wait();
          returned = true;
        }) {}
  // Whether the wait returns within two seconds.
  bool ReturnsSoon() {
    for (int i = 0; i < 2000 && !returned; ++i) Sleep(1);
    return returned;
  }
  void Join() { thread.join(); }
};

// Reads the master until it has been quiet for `quietMs`: the bytes the
// port's write put on the line.
std::string Drain(int master, int quietMs = 50) {
  std::string got;
  char chunk[4096];
  for (;;) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, quietMs) != 1) return got;
    const ssize_t n = ::read(master, chunk, sizeof chunk);
    if (n <= 0) return got;
    got.append(chunk, static_cast<std::size_t>(n));
  }
}

// The port on a terminal whose master nobody reads until a test says so.
// The pattern write's buffer and OVERLAPPED outlive the port, which the
// fixture closes first (aborting whatever still pends).
class BlockingWrite : public RawPty {
 protected:
  // Starts writing every byte value, more than the line holds.
  void StartPatternWrite() {
    before = WaitBlockingWrites();
    StartWrite(port, out, &ov);
  }
  // The pattern write, handed back by its waiter, finishes with nobody
  // waiting; `seen` is what reached the far side.
  void ExpectFinishedUnattended(const std::string& seen) {
    ASSERT_TRUE(CompletesUnattended(ov));
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(port, &ov, &n, FALSE));
    EXPECT_EQ(n, out.size());
    EXPECT_TRUE(seen == pattern);
  }
  const std::string pattern = EveryByteValue(kMoreThanTheLineHolds);
  const std::vector<char> out{pattern.begin(), pattern.end()};
  Overlapped ov;
  std::uint64_t before = 0;
};

TEST_F(BlockingWrite, TheWaitingThreadSleepsInTheDevicesOwnWrite) {
  StartPatternWrite();
  std::string seen;
  std::thread reader([&] {
    Sleep(30);  // let the writer fall asleep first
    seen = Drain(master, 200);
  });
  DWORD n = 0;
  EXPECT_TRUE(GetOverlappedResult(port, &ov, &n, TRUE)) << GetLastError();
  reader.join();
  EXPECT_EQ(n, out.size());
  EXPECT_TRUE(seen == pattern);
  EXPECT_GT(WaitBlockingWrites(), before);
}

// The purge comes at any moment: while the writer is asleep in the write,
// on its way in, or just out of it. Every round the waiter wakes at once
// with the purge's error, and the count it reports is exactly what reached
// the far side; nothing is written after the purge has returned.
TEST_F(BlockingWrite, APurgeCutsTheWriteShortAndCountsExactlyWhatWent) {
  std::mt19937 rng(11);
  const auto first = WaitBlockingWrites();
  constexpr int kRounds = 60;
  for (int round = 0; round < kRounds; ++round) {
    Overlapped roundOv;
    AbortPendingOnExit guard{port};
    StartWrite(port, out, &roundOv);
    WriteWaiter waiter(port, &roundOv);
    // The far side takes a little now and then, so that the writer goes in
    // and out of the write while the purge comes. It never blocks on an empty
    // line: once the write is purged nothing refills it, and a starved test
    // thread may see `purged` only after the reader has drained everything.
    std::atomic<bool> purged{false};
    std::string early;
    std::thread reader([&] {
      char chunk[512];
      while (!purged) {
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 500));
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 10) != 1) continue;
        const ssize_t n = ::read(master, chunk, sizeof chunk);
        if (n > 0) early.append(chunk, static_cast<std::size_t>(n));
      }
    });
    std::this_thread::sleep_for(std::chrono::microseconds(2000 + round * 97 % 5000));
    ASSERT_TRUE(PurgeComm(port, PURGE_TXABORT));
    const auto at = Clock::now();
    purged = true;
    reader.join();
    waiter.Join();
    ASSERT_FALSE(waiter.ok) << "round " << round;
    EXPECT_EQ(waiter.error, DWORD(ERROR_OPERATION_ABORTED)) << "round " << round;
    EXPECT_LT(waiter.woke - at, std::chrono::milliseconds(500)) << "round " << round;
    const std::string late = Drain(master);
    EXPECT_EQ(early.size() + late.size(), waiter.count) << "round " << round;
  }
  // Most rounds purge a writer that has been in the write: a waiting thread
  // starved of the processor may meet the purge before it goes in.
  EXPECT_GE(WaitBlockingWrites() - first, std::uint64_t(kRounds / 2));
}

TEST_F(BlockingWrite, ACloseCutsTheWriteShort) {
  StartPatternWrite();
  WriteWaiter waiter(port, &ov);
  ASSERT_TRUE(AwaitBlockedWriter(before));
  const auto closing = Clock::now();
  ASSERT_TRUE(CloseHandle(port));
  const auto closed = Clock::now();
  port = INVALID_HANDLE_VALUE;
  waiter.Join();
  EXPECT_LT(closed - closing, std::chrono::milliseconds(500));
  ASSERT_FALSE(waiter.ok);
  EXPECT_EQ(waiter.error, DWORD(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(Drain(master).size(), waiter.count);
  // Closed for good: the terminal can be opened again at once.
  port = CreateFileA(ptsname(master), GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  EXPECT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
}

// The far side going away wakes the write by itself, with the device's error.
TEST_F(BlockingWrite, AHangUpEndsTheWriteWithTheDevicesError) {
  StartPatternWrite();
  WriteWaiter waiter(port, &ov);
  ASSERT_TRUE(AwaitBlockedWriter(before));
  const auto closed = Clock::now();
  ::close(master);
  master = -1;
  waiter.Join();
  EXPECT_LT(waiter.woke - closed, std::chrono::milliseconds(500));
  ASSERT_FALSE(waiter.ok);
  EXPECT_EQ(waiter.error, DWORD(ERROR_DEVICE_NOT_CONNECTED));
}

// TerminateThread reaches a thread asleep in the write; the write is handed
// back and finishes with nobody waiting once the line takes it.
DWORD WINAPI WaitForTheWrite(LPVOID p) {
  auto* args = static_cast<std::pair<HANDLE, OVERLAPPED*>*>(p);
  DWORD n = 0;
  GetOverlappedResult(args->first, args->second, &n, TRUE);
  return 0;
}

TEST_F(BlockingWrite, TerminateThreadReachesAThreadAsleepInTheWrite) {
  StartPatternWrite();
  std::pair<HANDLE, OVERLAPPED*> args{port, &ov};
  HANDLE thread = CreateThread(nullptr, 0, WaitForTheWrite, &args, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(AwaitBlockedWriter(before));
  ASSERT_TRUE(TerminateThread(thread, 7));
  EXPECT_EQ(WaitForSingleObject(thread, 2000), WAIT_OBJECT_0);
  CloseHandle(thread);
  EXPECT_FALSE(HasOverlappedIoCompleted(&ov));  // still pending, with nobody waiting now
  ExpectFinishedUnattended(Drain(master, 300));
}

// WaitForSingleObject on the write's event returns when anyone sets the
// event, not only when the write ends: the thread asleep in the write must
// hear SetEvent as a polling waiter does.
TEST_F(BlockingWrite, SetEventEndsAWaitOnTheWritesEvent) {
  StartPatternWrite();
  WaitingThread waiting([&] { return WaitForSingleObject(ov.hEvent, INFINITE); });
  ASSERT_TRUE(AwaitBlockedWriter(before));
  ASSERT_TRUE(SetEvent(ov.hEvent));
  const bool wokeBySetEvent = waiting.ReturnsSoon();
  PurgeComm(port, PURGE_TXABORT);  // lets a thread still asleep in the write go
  waiting.Join();
  EXPECT_TRUE(wokeBySetEvent);
  EXPECT_EQ(waiting.result, WAIT_OBJECT_0);
}

// A writer that waits for its write and for a stop event at once, with no
// timeout, sleeps in the write too, and the stop event ends its wait at
// once; the write is handed back and finishes with nobody waiting.
TEST_F(BlockingWrite, AWaitBesideAStopEventSleepsInTheWriteAndHearsTheStop) {
  StartPatternWrite();
  HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(stop, nullptr);
  WaitingThread waiting([&] {
    HANDLE both[2] = {stop, ov.hEvent};
    return WaitForMultipleObjects(2, both, FALSE, INFINITE);
  });
  const bool slept = AwaitBlockedWriter(before);
  ASSERT_TRUE(SetEvent(stop));
  const bool heardTheStop = waiting.ReturnsSoon();
  const std::string seen = Drain(master, 300);  // lets a writer still asleep go
  waiting.Join();
  CloseHandle(stop);
  EXPECT_TRUE(slept);
  EXPECT_TRUE(heardTheStop);
  EXPECT_EQ(waiting.result, WAIT_OBJECT_0);
  ExpectFinishedUnattended(seen);
}

// While the writer sleeps in the write, ClearCommError still tells how much
// of it is left: bytes the far side has already taken are not in cbOutQue.
TEST_F(BlockingWrite, ClearCommErrorCountsWhatTheSleepingWriteHasMoved) {
  StartPatternWrite();
  WriteWaiter waiter(port, &ov);
  ASSERT_TRUE(AwaitBlockedWriter(before));
  constexpr std::size_t kTaken = 128 * 1024;
  std::string taken;
  char chunk[4096];
  while (taken.size() < kTaken) {
    pollfd p{master, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    const ssize_t n = ::read(master, chunk, std::min(sizeof chunk, kTaken - taken.size()));
    ASSERT_GT(n, 0);
    taken.append(chunk, static_cast<std::size_t>(n));
  }
  Sleep(20);  // the writer refills the line and sleeps again
  COMSTAT stat{};
  ASSERT_TRUE(ClearCommError(port, nullptr, &stat));
  EXPECT_LE(stat.cbOutQue, out.size() - kTaken);
  ASSERT_TRUE(PurgeComm(port, PURGE_TXABORT));
  waiter.Join();
  EXPECT_EQ(taken.size() + Drain(master).size(), waiter.count);
}

// A synchronous call keeps its OVERLAPPED on its thread's stack: a thread
// terminated in one takes the operation with it, or the port would finish it
// later into a dead stack, and refuse every later call meanwhile as one
// already pending.
DWORD WINAPI ReadSynchronously(LPVOID port) {
  char buffer[64];
  DWORD n = 0;
  ReadFile(static_cast<HANDLE>(port), buffer, sizeof buffer, &n, nullptr);
  return 0;
}
DWORD WINAPI WriteSynchronously(LPVOID port) {
  const std::vector<char> big(kMoreThanTheLineHolds, 's');
  DWORD n = 0;
  WriteFile(static_cast<HANDLE>(port), big.data(), DWORD(big.size()), &n, nullptr);
  return 0;
}

TEST_F(BlockingWrite, ATerminatedSynchronousCallTakesItsOperationWithIt) {
  for (auto routine : {ReadSynchronously, WriteSynchronously}) {
    HANDLE thread = CreateThread(nullptr, 0, routine, port, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    Sleep(50);  // nothing comes, and the line is full: the call waits
    ASSERT_TRUE(TerminateThread(thread, 3));
    ASSERT_EQ(WaitForSingleObject(thread, 2000), WAIT_OBJECT_0);
    CloseHandle(thread);
    DWORD n = 0;
    char buffer[64];
    Overlapped next;
    const BOOL ok = routine == ReadSynchronously ? ReadFile(port, buffer, sizeof buffer, &n, &next)
                                                 : WriteFile(port, out.data(), DWORD(out.size()), &n, &next);
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING)) << "a call of the terminated thread still pends";
    ASSERT_TRUE(PurgeComm(port, PURGE_RXABORT | PURGE_TXABORT));
    GetOverlappedResult(port, &next, &n, TRUE);
    Drain(master);
  }
}

// A caller that sets the event of a pending write itself: GetOverlappedResult
// still waits for the write, without spinning on the set event.
TEST_F(BlockingWrite, GetOverlappedResultOnAnEventSetByHandWaitsWithoutSpinning) {
  StartPatternWrite();
  std::atomic<double> cpuMs{0};
  DWORD n = 0;
  BOOL ok = FALSE;
  std::thread waiting([&] {
    timespec a{}, b{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
    ok = GetOverlappedResult(port, &ov, &n, TRUE);
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
    cpuMs = (b.tv_sec - a.tv_sec) * 1e3 + (b.tv_nsec - a.tv_nsec) / 1e6;
  });
  ASSERT_TRUE(AwaitBlockedWriter(before));
  ASSERT_TRUE(SetEvent(ov.hEvent));
  Sleep(300);  // the wait goes on: the write has not ended
  const std::string seen = Drain(master, 300);
  waiting.join();
  EXPECT_TRUE(ok) << GetLastError();
  EXPECT_EQ(n, out.size());
  EXPECT_TRUE(seen == pattern);
  EXPECT_LT(cpuMs.load(), 100.0) << "the wait spun on the set event";
}

// A thread that blocks the signal could never be woken inside the write: it
// polls, and a purge still ends its wait at once.
TEST_F(BlockingWrite, AThreadDeafToTheSignalPollsInstead) {
  StartPatternWrite();
  BOOL ok = TRUE;
  DWORD error = 0;
  std::thread deaf([&] {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    DWORD n = 0;
    ok = GetOverlappedResult(port, &ov, &n, TRUE);
    error = GetLastError();
  });
  Sleep(50);
  ASSERT_TRUE(PurgeComm(port, PURGE_TXABORT));
  deaf.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, DWORD(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(WaitBlockingWrites(), before);
}

}  // namespace
}  // namespace vx::test
