// Events, waits, threads and termination.
#include "platform/hooks.h"
#include "platform/win32.h"

#include <atomic>
#include <gtest/gtest.h>

namespace {

struct Cleanup : ::testing::Test {
  void TearDown() override { vx::fault::Reset(); }
};
using Sync = Cleanup;

TEST_F(Sync, LowestSignalledIndexWins) {
  HANDLE h[3];
  for (auto& e : h) e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetEvent(h[2]);
  SetEvent(h[1]);
  EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(MsgWaitForMultipleObjects(3, h, FALSE, 0, QS_ALLINPUT), WAIT_OBJECT_0 + 1);
  SetEvent(h[0]);
  EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, INFINITE), WAIT_OBJECT_0);
  for (auto e : h) CloseHandle(e);
}

TEST_F(Sync, ManualResetStaysSetAutoResetReleasesOne) {
  HANDLE manual = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  ResetEvent(manual);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

  HANDLE autoEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  static std::atomic<int> released;
  released = 0;
  auto waiter = [](LPVOID p) -> DWORD {
    if (WaitForSingleObject(static_cast<HANDLE>(p), 2000) == WAIT_OBJECT_0) ++released;
    return 0;
  };
  HANDLE t1 = CreateThread(nullptr, 0, waiter, autoEvent, 0, nullptr);
  HANDLE t2 = CreateThread(nullptr, 0, waiter, autoEvent, 0, nullptr);
  Sleep(50);
  SetEvent(autoEvent);
  Sleep(100);
  EXPECT_EQ(released.load(), 1);
  EXPECT_EQ(WaitForSingleObject(autoEvent, 0), WAIT_TIMEOUT);  // consumed by the one it released
  SetEvent(autoEvent);
  HANDLE threads[] = {t1, t2};
  WaitForSingleObject(t1, 3000);
  WaitForSingleObject(t2, 3000);
  EXPECT_EQ(released.load(), 2);
  for (auto h : {manual, autoEvent, t1, t2}) CloseHandle(h);
  (void)threads;
}

// An event is set without the sync lock when nobody waits on it, so a set
// racing a wait that is just starting must never be lost: two threads pass
// the turn back and forth through a pair of auto-reset events, and a lost
// wake-up would leave both waiting.
TEST_F(Sync, SetsRacingWaitsAreNeverLost) {
  constexpr int kRounds = 20000;
  struct Pair {
    HANDLE ping = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE pong = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> lost{0};
  } pair;
  HANDLE partner = CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        auto* pair = static_cast<Pair*>(p);
        for (int i = 0; i < kRounds; ++i) {
          if (WaitForSingleObject(pair->ping, 5000) != WAIT_OBJECT_0) {
            ++pair->lost;
            return 1;
          }
          SetEvent(pair->pong);
        }
        return 0;
      },
      &pair, 0, nullptr);
  int round = 0;
  for (; round < kRounds && pair.lost == 0; ++round) {
    SetEvent(pair.ping);
    if (WaitForSingleObject(pair.pong, 5000) != WAIT_OBJECT_0) break;
  }
  EXPECT_EQ(round, kRounds);
  EXPECT_EQ(pair.lost.load(), 0);
  SetEvent(pair.ping);  // frees the partner if this side gave up first
  WaitForSingleObject(partner, 10000);
  for (HANDLE h : {pair.ping, pair.pong, partner}) CloseHandle(h);
}

TEST_F(Sync, ThreadHandleSignalsWhenThreadEnds) {
  DWORD id = 0;
  HANDLE t = CreateThread(nullptr, 0, [](LPVOID) -> DWORD { Sleep(30); return 7; }, nullptr, 0, &id);
  ASSERT_NE(t, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(t, 2000), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, 7u);
  EXPECT_TRUE(SetThreadPriority(t, THREAD_PRIORITY_HIGHEST));
  CloseHandle(t);
}

TEST_F(Sync, TerminateThreadEndsAThreadBlockedInAWait) {
  HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  static std::atomic<bool> returned;
  returned = false;
  HANDLE t = CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        WaitForSingleObject(static_cast<HANDLE>(p), INFINITE);
        returned = true;  // never reached: the wait does not return to a terminated thread
        return 0;
      },
      never, 0, nullptr);
  Sleep(30);
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(TerminateThread(t, 42));
  EXPECT_EQ(WaitForSingleObject(t, 2000), WAIT_OBJECT_0);
  EXPECT_FALSE(returned.load());
  DWORD code = 0;
  GetExitCodeThread(t, &code);
  EXPECT_EQ(code, 42u);
  CloseHandle(t);
  CloseHandle(never);
}

TEST_F(Sync, ClosedOrUnknownHandlesFailCleanly) {
  HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_TRUE(CloseHandle(e));
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(e));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(SetEvent(e));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  HANDLE bogus = reinterpret_cast<HANDLE>(0x12345678);
  EXPECT_EQ(WaitForMultipleObjects(1, &bogus, FALSE, 0), WAIT_FAILED);
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_FALSE(CloseHandle(nullptr));
}

TEST_F(Sync, WaitTimesOutAndSleepWaits) {
  HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD before = GetTickCount();
  EXPECT_EQ(WaitForSingleObject(e, 30), WAIT_TIMEOUT);
  EXPECT_GE(GetTickCount() - before, 29u);
  before = GetTickCount();
  Sleep(20);
  EXPECT_GE(GetTickCount() - before, 19u);
  CloseHandle(e);
}

TEST_F(Sync, TickCountDifferencesSurviveTheWrap) {
  vx::SetTickCountOffset(0u - GetTickCount() - 20);  // the count wraps 20 ms from now
  DWORD before = GetTickCount();
  EXPECT_GT(before, 0xFFFFFF00u);
  Sleep(50);
  DWORD after = GetTickCount();
  EXPECT_LT(after, before);  // it wrapped
  EXPECT_GE(after - before, 49u);
  EXPECT_LT(after - before, 5000u);
  vx::SetTickCountOffset(0);
}

TEST_F(Sync, LocalAllocZeroesAndAcceptsZeroBytes) {
  auto* p = static_cast<unsigned char*>(LocalAlloc(LMEM_ZEROINIT, 4096));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(p[i], 0);
  EXPECT_EQ(LocalFree(p), nullptr);
  void* empty = LocalAlloc(LMEM_ZEROINIT, 0);
  EXPECT_NE(empty, nullptr);
  LocalFree(empty);
}

TEST_F(Sync, FaultInjectionReachesKernelCalls) {
  using vx::fault::Rule;
  vx::fault::Inject(Rule{"CreateEventA", 0, 1, ERROR_NOT_ENOUGH_MEMORY});
  EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
  HANDLE e = CreateEventA(nullptr, TRUE, TRUE, nullptr);  // only the next call was hit
  ASSERT_NE(e, nullptr);

  vx::fault::Inject(Rule{"CreateThread", 0, 1, ERROR_NOT_ENOUGH_MEMORY});
  EXPECT_EQ(CreateThread(nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr), nullptr);
  vx::fault::Inject(Rule{"LocalAlloc", 1, 1, ERROR_NOT_ENOUGH_MEMORY});  // skip one, fail the second
  void* first = LocalAlloc(LMEM_ZEROINIT, 8);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(LocalAlloc(LMEM_ZEROINIT, 8), nullptr);
  LocalFree(first);

  Rule wait{"WaitForMultipleObjects"};
  wait.overrideResult = true;
  wait.result = WAIT_OBJECT_0 + 5;
  vx::fault::Inject(wait);
  EXPECT_EQ(WaitForMultipleObjects(1, &e, FALSE, 0), WAIT_OBJECT_0 + 5);
  wait.function = "MsgWaitForMultipleObjects";
  wait.result = WAIT_FAILED;
  vx::fault::Inject(wait);
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &e, FALSE, 0, QS_ALLINPUT), WAIT_FAILED);
  EXPECT_EQ(vx::fault::Hits("WaitForMultipleObjects"), 1u);
  EXPECT_EQ(WaitForMultipleObjects(1, &e, FALSE, 0), WAIT_OBJECT_0);  // rules used up
  CloseHandle(e);
}

TEST_F(Sync, BlockingFaultHoldsTheCallUntilTheThreadIsTerminated) {
  vx::fault::Rule block{"WaitForSingleObject"};
  block.block = true;
  static DWORD (*routine)(LPVOID) = [](LPVOID) -> DWORD {
    HANDLE e = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    WaitForSingleObject(e, 0);  // blocked here by the rule
    return 1;
  };
  block.onlyInThread = routine;
  vx::fault::Inject(block);
  HANDLE t = CreateThread(nullptr, 0, routine, nullptr, 0, nullptr);
  EXPECT_EQ(WaitForSingleObject(t, 100), WAIT_TIMEOUT);  // this thread's wait is not matched
  TerminateThread(t, 3);
  EXPECT_EQ(WaitForSingleObject(t, 2000), WAIT_OBJECT_0);
  CloseHandle(t);
}

}  // namespace
