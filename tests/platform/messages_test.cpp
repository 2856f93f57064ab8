// Thread queues, windows, timers and their quota.
#include "platform/hooks.h"
#include "platform/win32.h"

#include <atomic>
#include <csignal>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace {

struct Messages : ::testing::Test {
  void TearDown() override { vx::fault::Reset(); }
};

std::vector<MSG> Drain() {
  std::vector<MSG> out;
  MSG m;
  while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) out.push_back(m);
  return out;
}

HWND MakeWindow(WNDPROC proc) {
  static int n = 0;
  static std::vector<std::string> names;
  names.push_back("VxTestWindow" + std::to_string(++n));
  WNDCLASSA wc{};
  wc.lpfnWndProc = proc;
  wc.lpszClassName = names.back().c_str();
  EXPECT_NE(RegisterClassA(&wc), 0);
  return CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
}

// A thread that makes its queue only when told to, then waits to be told to end.
struct QueueThread {
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE end = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD id = 0;
  HANDLE thread = nullptr;
  std::atomic<int> received{0};

  QueueThread() {
    thread = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
          auto* self = static_cast<QueueThread*>(p);
          WaitForSingleObject(self->go, INFINITE);
          MSG m;
          PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);  // makes the queue
          SetEvent(self->ready);
          for (;;) {
            DWORD r = MsgWaitForMultipleObjects(1, &self->end, FALSE, INFINITE, QS_ALLINPUT);
            if (r == WAIT_OBJECT_0) break;
            while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) ++self->received;
          }
          return 0;
        },
        this, 0, &id);
  }
  ~QueueThread() {
    SetEvent(go);
    SetEvent(end);
    WaitForSingleObject(thread, 5000);
    for (auto h : {go, ready, end, thread}) CloseHandle(h);
  }
};

TEST_F(Messages, PostThreadMessageNeedsTheTargetsQueue) {
  QueueThread target;
  EXPECT_FALSE(PostThreadMessageA(target.id, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_THREAD_ID));
  SetEvent(target.go);
  WaitForSingleObject(target.ready, 5000);
  EXPECT_TRUE(PostThreadMessageA(target.id, WM_USER, 0, 0));
  for (int i = 0; i < 200 && target.received.load() == 0; ++i) Sleep(5);
  EXPECT_EQ(target.received.load(), 1);

  EXPECT_FALSE(PostThreadMessageA(0xFFFFFFF0u, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_THREAD_ID));
}

TEST_F(Messages, PostingToAnEndedThreadFails) {
  DWORD id = 0;
  HANDLE t = CreateThread(nullptr, 0, [](LPVOID) -> DWORD { MSG m; PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE); return 0; },
                          nullptr, 0, &id);
  WaitForSingleObject(t, 5000);
  EXPECT_FALSE(PostThreadMessageA(id, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_THREAD_ID));
  CloseHandle(t);
}

TEST_F(Messages, QueueKeepsOrderAndHoldsTenThousand) {
  Drain();
  DWORD self = GetCurrentThreadId();
  for (int i = 0; i < 10000; ++i) ASSERT_TRUE(PostThreadMessageA(self, WM_USER + 1, i, -i)) << i;
  EXPECT_FALSE(PostThreadMessageA(self, WM_USER + 1, 10000, 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_QUOTA));
  auto all = Drain();
  ASSERT_EQ(all.size(), 10000u);
  for (int i = 0; i < 10000; ++i) {
    ASSERT_EQ(all[i].wParam, WPARAM(i));
    ASSERT_EQ(all[i].lParam, LPARAM(-i));
  }
  EXPECT_TRUE(PostThreadMessageA(self, WM_USER + 1, 0, 0));  // room again
  Drain();
}

std::vector<UINT> seen;
LRESULT CALLBACK Record(HWND, UINT msg, WPARAM, LPARAM) {
  seen.push_back(msg);
  return 0;
}

TEST_F(Messages, WindowMessagesReachTheProcedureAndFailOnceDestroyed) {
  Drain();
  seen.clear();
  HWND w = MakeWindow(Record);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(seen, std::vector<UINT>{WM_CREATE});
  EXPECT_TRUE(PostMessageA(w, WM_USER + 7, 1, 2));
  MSG m;
  ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.hwnd, w);
  EXPECT_FALSE(TranslateMessage(&m));
  DispatchMessageA(&m);
  EXPECT_EQ(seen.back(), UINT(WM_USER + 7));
  SendMessageA(w, WM_USER + 8, 0, 0);
  EXPECT_EQ(seen.back(), UINT(WM_USER + 8));

  EXPECT_TRUE(DestroyWindow(w));
  EXPECT_FALSE(PostMessageA(w, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_FALSE(IsWindow(w));
}

TEST_F(Messages, PostMessageFromAnotherThreadArrivesOnTheOwner) {
  Drain();
  seen.clear();
  HWND w = MakeWindow(Record);
  HANDLE t = CreateThread(nullptr, 0, [](LPVOID p) -> DWORD { return PostMessageA(static_cast<HWND>(p), WM_USER + 9, 0, 0); },
                          w, 0, nullptr);
  DWORD r = MsgWaitForMultipleObjects(0, nullptr, FALSE, 5000, QS_ALLINPUT);
  EXPECT_EQ(r, WAIT_OBJECT_0);  // input arrived
  WaitForSingleObject(t, 5000);
  auto all = Drain();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].message, UINT(WM_USER + 9));
  CloseHandle(t);
  DestroyWindow(w);
}

TEST_F(Messages, TimerComesAfterPostedMessagesAndIsNeverQueuedTwice) {
  Drain();
  HWND w = MakeWindow(Record);
  ASSERT_EQ(SetTimer(w, 1, 1, nullptr), UINT_PTR(1));
  Sleep(20);  // many intervals pass
  PostMessageA(w, WM_USER + 1, 0, 0);
  PostMessageA(w, WM_USER + 2, 0, 0);
  auto all = Drain();
  ASSERT_EQ(all.size(), 3u);  // 20 missed ticks make one WM_TIMER, after the posted messages
  EXPECT_EQ(all[0].message, UINT(WM_USER + 1));
  EXPECT_EQ(all[1].message, UINT(WM_USER + 2));
  EXPECT_EQ(all[2].message, UINT(WM_TIMER));
  EXPECT_EQ(all[2].wParam, WPARAM(1));

  // MsgWaitForMultipleObjects wakes for the next tick.
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 1000, QS_ALLINPUT), WAIT_OBJECT_0);
  EXPECT_GE(vx::NextTimerDueMicros(), 0);
  EXPECT_TRUE(KillTimer(w, 1));
  Sleep(5);
  EXPECT_TRUE(Drain().empty());  // nothing left once killed
  EXPECT_EQ(vx::NextTimerDueMicros(), -1);
  DestroyWindow(w);
}

TEST_F(Messages, OneMillisecondTimerKeepsItsSchedule) {
  Drain();
  HWND w = MakeWindow(Record);
  SetTimer(w, 5, 1, nullptr);
  int ticks = 0;
  DWORD start = GetTickCount();
  while (GetTickCount() - start < 300) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) ticks += m.message == WM_TIMER;
  }
  KillTimer(w, 5);
  DestroyWindow(w);
  // Far more than a relative-sleep or 15.6 ms timer would give; the exact
  // rate is measured by the benchmark.
  EXPECT_GT(ticks, 150);
}

std::atomic<int> hookCalls{0};
TEST_F(Messages, WakeHookFiresWhenTheQueueGetsWork) {
  Drain();
  hookCalls = 0;
  vx::SetQueueWakeHook([](void*) { ++hookCalls; }, nullptr);
  HANDLE t = CreateThread(nullptr, 0, [](LPVOID p) -> DWORD {
    PostThreadMessageA(static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(p)), WM_USER, 0, 0);
    PostThreadMessageA(static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(p)), WM_USER, 0, 0);
    return 0;
  }, reinterpret_cast<LPVOID>(static_cast<std::uintptr_t>(GetCurrentThreadId())), 0, nullptr);
  WaitForSingleObject(t, 5000);
  CloseHandle(t);
  EXPECT_EQ(hookCalls.load(), 1);  // once, as the queue went from empty to holding work
  Drain();
  vx::SetQueueWakeHook(nullptr, nullptr);
}

TEST_F(Messages, FaultInjectionReachesPosting) {
  Drain();
  HWND w = MakeWindow(Record);
  vx::fault::Inject({"PostMessageA", 0, 1, ERROR_NOT_ENOUGH_QUOTA});
  EXPECT_FALSE(PostMessageA(w, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_QUOTA));
  vx::fault::Inject({"PostThreadMessageA", 0, 1, ERROR_INVALID_THREAD_ID});
  EXPECT_FALSE(PostThreadMessageA(GetCurrentThreadId(), WM_USER, 0, 0));
  EXPECT_TRUE(Drain().empty());
  DestroyWindow(w);
}

// Asked to end by a signal, a program with windows open gets WM_CLOSE for
// each and goes on; with none, it ends as the signal would have. Each case in
// a child of its own, whose handlers are installed and used up there.
TEST(Termination, ARequestClosesTheWindowsOrEndsAsTheSignalWould) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto awaitRequest = [](int fd) {
    pollfd p{fd, POLLIN, 0};
    return fd >= 0 && poll(&p, 1, 2000) == 1;
  };
  // The second request comes by another signal, one this process was not
  // started ignoring (a background job ignores SIGINT, nohup SIGHUP).
  struct sigaction current {};
  sigaction(SIGINT, nullptr, &current);
  const int again = current.sa_handler == SIG_IGN ? SIGHUP : SIGINT;
  EXPECT_EXIT(
      {
        HWND window = MakeWindow(DefWindowProcA);
        const int fd = vx::TerminationRequestDescriptor();
        raise(SIGTERM);
        if (!awaitRequest(fd)) _exit(2);
        vx::AnswerTerminationRequest(&window, 1);
        MSG m;
        if (!PeekMessageA(&m, window, WM_CLOSE, WM_CLOSE, PM_REMOVE)) _exit(3);
        raise(again);  // asked again, by another signal: no more asking
        _exit(4);
      },
      ::testing::KilledBySignal(again), "");
  EXPECT_EXIT(
      {
        const int fd = vx::TerminationRequestDescriptor();
        raise(SIGTERM);
        if (!awaitRequest(fd)) _exit(2);
        vx::AnswerTerminationRequest(nullptr, 0);
        _exit(4);
      },
      ::testing::KilledBySignal(SIGTERM), "");
}

TEST(Format, ConversionsTheProgramUses) {
  char out[1100];
  EXPECT_EQ(wsprintfA(out, "Received/Written Data size = %d/%d, Speed = %d/%d Bps", 0, 256, 0, 512), 53);
  EXPECT_STREQ(out, "Received/Written Data size = 0/256, Speed = 0/512 Bps");
  wsprintfA(out, "Comm Event: '%s', EvtMask = '%lx'\n", "CE_FRAME and CE_OVERRUN", DWORD(0xA));
  EXPECT_STREQ(out, "Comm Event: 'CE_FRAME and CE_OVERRUN', EvtMask = 'a'\n");
  wsprintfA(out, "%u %d %x %X %c %ld %lu %%", 4294967295u, -5, 255u, 255u, 'z', -1, DWORD(7));
  EXPECT_STREQ(out, "4294967295 -5 ff FF z -1 7 %");
  wsprintfA(out, "[%5d|%-4s|%08lx]", 42, "ab", DWORD(0xbeef));
  EXPECT_STREQ(out, "[   42|ab  |0000beef]");
  wsprintfA(out, "%d", int(0x80000000u));
  EXPECT_STREQ(out, "-2147483648");
  // 64-bit arguments, as byte counts past 4 GiB need them; the arguments after
  // a wide one must still line up.
  wsprintfA(out, "%I64u/%I64d %I64x %u", 5000000000ull, -5000000000ll, 0x123456789ull, 7u);
  EXPECT_STREQ(out, "5000000000/-5000000000 123456789 7");
}

TEST(Format, OutputIsBoundedTo1024Bytes) {
  std::string big(5000, 'x');
  std::vector<char> out(6000, '#');
  EXPECT_EQ(wsprintfA(out.data(), "%s%s", big.c_str(), "tail"), 1023);
  EXPECT_EQ(out[1023], '\0');
  EXPECT_EQ(out[1024], '#');
}

}  // namespace
