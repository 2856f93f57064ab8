// Message queues, windows and timers.
#include "faults.h"
#include "queue.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <unordered_map>

namespace vx::kernel {

bool MessageQueue::DeadlineLocked(Clock::time_point* when) {
  if (timers.empty()) return false;
  auto earliest = timers.front().due;
  for (auto& t : timers) earliest = std::min(earliest, t.due);
  *when = earliest;
  return true;
}

MessageQueue::Timer* MessageQueue::DueTimerLocked(Clock::time_point now, HWND filter) {
  Timer* best = nullptr;
  for (auto& t : timers) {
    if (filter && t.hwnd != filter) continue;
    if (t.due <= now && (!best || t.due < best->due)) best = &t;
  }
  return best;
}

MessageQueue::~MessageQueue() {
  if (timerFd >= 0) ::close(timerFd);
}

void MessageQueue::RearmLocked() {
  if (timerFd < 0) return;
  itimerspec when{};
  Clock::time_point due;
  if (DeadlineLocked(&due)) {
    // steady_clock is CLOCK_MONOTONIC; a due time already past fires at once.
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(due.time_since_epoch()).count();
    if (ns <= 0) ns = 1;
    when.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
    when.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
  }
  timerfd_settime(timerFd, TFD_TIMER_ABSTIME, &when, nullptr);
}

bool MessageQueue::Post(const MSG& msg) {
  QueueWakeHook h = nullptr;
  void* context = nullptr;
  WakeList wake;
  {
    std::lock_guard lock(SyncLock());
    if (ended) return Fail(ERROR_INVALID_THREAD_ID, false);
    if (posted.size() >= kQueueQuota) return Fail(ERROR_NOT_ENOUGH_QUOTA, false);
    bool wasEmpty = posted.empty();
    posted.push_back(msg);
    for (Waiter* w : waiters) wake.AddLocked(w);
    if (wasEmpty) {
      h = hook;
      context = hookContext;
    }
  }
  wake.Wake();
  if (h) h(context);
  return true;
}

void MessageQueue::NotifyHook() {
  QueueWakeHook h;
  void* context;
  WakeList wake;
  {
    std::lock_guard lock(SyncLock());
    h = hook;
    context = hookContext;
    for (Waiter* w : waiters) wake.AddLocked(w);
  }
  wake.Wake();
  if (h) h(context);
}

std::shared_ptr<MessageQueue> CurrentQueue() {
  ThreadState& self = CurrentThread();
  std::lock_guard lock(SyncLock());
  if (!self.queue) self.queue = std::make_shared<MessageQueue>();
  return self.queue;
}

void EndQueue(ThreadState& state) {
  std::lock_guard lock(SyncLock());
  if (!state.queue) return;
  state.queue->ended = true;
  state.queue->posted.clear();
  state.queue->timers.clear();
}

namespace {

struct Window {
  HWND hwnd;
  DWORD threadId;
  std::shared_ptr<MessageQueue> queue;
  WNDPROC proc;
  LONG_PTR userData = 0;
};

struct WindowTable {
  std::mutex lock;
  std::unordered_map<std::string, WNDPROC> classes;
  std::unordered_map<std::uintptr_t, std::shared_ptr<Window>> windows;
  std::uintptr_t next = 0x20000;
};

WindowTable& Windows() {
  static WindowTable* table = new WindowTable;
  return *table;
}

std::shared_ptr<Window> FindWindow(HWND hwnd) {
  auto& t = Windows();
  std::lock_guard lock(t.lock);
  auto it = t.windows.find(reinterpret_cast<std::uintptr_t>(hwnd));
  return it == t.windows.end() ? nullptr : it->second;
}

bool Matches(const MSG& m, HWND hwnd, UINT lo, UINT hi) {
  if (hwnd == reinterpret_cast<HWND>(-1) && m.hwnd) return false;
  if (hwnd && hwnd != reinterpret_cast<HWND>(-1) && m.hwnd != hwnd) return false;
  if ((lo || hi) && (m.message < lo || m.message > hi)) return false;
  return true;
}

DWORD NowTicks() { return GetTickCount(); }

}  // namespace
}  // namespace vx::kernel

namespace vx {

void SetQueueWakeHook(QueueWakeHook hook, void* context) {
  auto q = kernel::CurrentQueue();
  std::lock_guard lock(kernel::SyncLock());
  q->hook = hook;
  q->hookContext = context;
}

int QueueTimerDescriptor() {
  auto q = kernel::CurrentQueue();
  std::lock_guard lock(kernel::SyncLock());
  if (q->timerFd < 0) {
    q->timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    q->RearmLocked();
  }
  return q->timerFd;
}

std::int64_t NextTimerDueMicros() {
  auto q = kernel::CurrentQueue();
  std::lock_guard lock(kernel::SyncLock());
  kernel::Clock::time_point due;
  if (!q->DeadlineLocked(&due)) return -1;
  auto wait = std::chrono::duration_cast<std::chrono::microseconds>(due - kernel::Clock::now()).count();
  return wait < 0 ? 0 : wait;
}

}  // namespace vx

using namespace vx::kernel;

BOOL WINAPI PeekMessageA(LPMSG msg, HWND hwnd, UINT lo, UINT hi, UINT remove) {
  CheckTerminated();
  if (auto f = vx::fault::Check("PeekMessageA")) return Fail(f.error, FALSE);
  if (!msg) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  auto q = CurrentQueue();
  std::lock_guard lock(SyncLock());
  for (auto it = q->posted.begin(); it != q->posted.end(); ++it) {
    if (!Matches(*it, hwnd, lo, hi)) continue;
    *msg = *it;
    if (remove & PM_REMOVE) q->posted.erase(it);
    return TRUE;
  }
  // Timer messages are made when the queue is read and nothing posted is
  // waiting, so there is never more than one per timer.
  if ((lo || hi) && (WM_TIMER < lo || WM_TIMER > hi)) return FALSE;
  if (hwnd == reinterpret_cast<HWND>(-1)) return FALSE;
  auto now = Clock::now();
  MessageQueue::Timer* t = q->DueTimerLocked(now, hwnd);
  if (!t) return FALSE;
  *msg = MSG{t->hwnd, WM_TIMER, t->id, reinterpret_cast<LPARAM>(t->proc), NowTicks(), {0, 0}};
  if (remove & PM_REMOVE) {
    // A fixed schedule: the next tick is due one interval after this one was,
    // and ticks that were missed entirely are dropped, not made up.
    auto interval = std::chrono::milliseconds(t->interval);
    t->due += interval;
    if (t->due <= now) t->due += ((now - t->due) / interval + 1) * interval;
    q->RearmLocked();
  }
  return TRUE;
}

DWORD WINAPI MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms, DWORD mask) {
  CheckTerminated();
  if (auto f = vx::fault::Check("MsgWaitForMultipleObjects")) {
    if (f.overrideResult) return f.result;
    return Fail(f.error, WAIT_FAILED);
  }
  if (waitAll) return Fail(ERROR_INVALID_PARAMETER, WAIT_FAILED);
  std::vector<std::shared_ptr<Waitable>> objects;
  if (!ResolveWaitables(count, handles, &objects)) return WAIT_FAILED;
  auto q = CurrentQueue();
  return WaitAny(objects, (mask & (QS_POSTMESSAGE | QS_TIMER | QS_SENDMESSAGE)) ? q.get() : nullptr, ms);
}

BOOL WINAPI PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
  CheckTerminated();
  if (auto f = vx::fault::Check("PostThreadMessageA")) return Fail(f.error, FALSE);
  auto state = FindThread(threadId);
  std::shared_ptr<MessageQueue> q;
  if (state) {
    std::lock_guard lock(SyncLock());
    q = state->queue;
  }
  if (!q) return Fail(ERROR_INVALID_THREAD_ID, FALSE);
  return q->Post(MSG{nullptr, message, wParam, lParam, NowTicks(), {0, 0}}) ? TRUE : FALSE;
}

BOOL WINAPI PostMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  CheckTerminated();
  if (auto f = vx::fault::Check("PostMessageA")) return Fail(f.error, FALSE);
  if (!hwnd) return PostThreadMessageA(GetCurrentThreadId(), message, wParam, lParam);
  auto w = FindWindow(hwnd);
  if (!w) return Fail(ERROR_INVALID_WINDOW_HANDLE, FALSE);
  if (!w->queue->Post(MSG{hwnd, message, wParam, lParam, NowTicks(), {0, 0}})) {
    if (GetLastError() == ERROR_INVALID_THREAD_ID) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return TRUE;
}

LRESULT WINAPI SendMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  CheckTerminated();
  auto w = FindWindow(hwnd);
  if (!w) return Fail(ERROR_INVALID_WINDOW_HANDLE, LRESULT(0));
  // Only the window's own thread may send to it here: nothing in this program
  // sends across threads, and doing so would need the target to pump sent
  // messages inside its waits.
  if (w->threadId != GetCurrentThreadId()) return Fail(ERROR_ACCESS_DENIED, LRESULT(0));
  return w->proc(hwnd, message, wParam, lParam);
}

BOOL WINAPI TranslateMessage(const MSG*) { return FALSE; }

LRESULT WINAPI DispatchMessageA(const MSG* msg) {
  CheckTerminated();
  if (!msg || !msg->hwnd) return 0;
  auto w = FindWindow(msg->hwnd);
  if (!w) return Fail(ERROR_INVALID_WINDOW_HANDLE, LRESULT(0));
  if (msg->message == WM_TIMER && msg->lParam) {
    reinterpret_cast<TIMERPROC>(msg->lParam)(msg->hwnd, WM_TIMER, msg->wParam, msg->time);
    return 0;
  }
  return w->proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

ATOM WINAPI RegisterClassA(const WNDCLASSA* wc) {
  if (!wc || !wc->lpszClassName || !wc->lpfnWndProc) return Fail(ERROR_INVALID_PARAMETER, ATOM(0));
  auto& t = Windows();
  std::lock_guard lock(t.lock);
  if (!t.classes.emplace(wc->lpszClassName, wc->lpfnWndProc).second) return Fail(ERROR_CLASS_ALREADY_EXISTS, ATOM(0));
  return static_cast<ATOM>(0xC000 + t.classes.size());
}

HWND WINAPI CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR name, DWORD style, int x, int y, int width,
                            int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
  CheckTerminated();
  if (!className) return Fail(ERROR_CANNOT_FIND_WND_CLASS, HWND(nullptr));
  auto window = std::make_shared<Window>();
  window->threadId = GetCurrentThreadId();
  window->queue = CurrentQueue();
  {
    auto& t = Windows();
    std::lock_guard lock(t.lock);
    auto c = t.classes.find(className);
    if (c == t.classes.end()) return Fail(ERROR_CANNOT_FIND_WND_CLASS, HWND(nullptr));
    window->proc = c->second;
    window->hwnd = reinterpret_cast<HWND>(t.next);
    t.next += 2;
    t.windows.emplace(reinterpret_cast<std::uintptr_t>(window->hwnd), window);
  }
  CREATESTRUCTA cs{param, instance, menu, parent == HWND_MESSAGE ? nullptr : parent, height, width, y, x,
                   static_cast<LONG>(style), name, className, exStyle};
  if (window->proc(window->hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
    DestroyWindow(window->hwnd);
    return Fail(ERROR_INVALID_PARAMETER, HWND(nullptr));
  }
  return window->hwnd;
}

BOOL WINAPI DestroyWindow(HWND hwnd) {
  CheckTerminated();
  auto w = FindWindow(hwnd);
  if (!w) return Fail(ERROR_INVALID_WINDOW_HANDLE, FALSE);
  if (w->threadId != GetCurrentThreadId()) return Fail(ERROR_ACCESS_DENIED, FALSE);
  w->proc(hwnd, WM_DESTROY, 0, 0);
  {
    auto& t = Windows();
    std::lock_guard lock(t.lock);
    t.windows.erase(reinterpret_cast<std::uintptr_t>(hwnd));
  }
  // Its timers go with it, and so do messages still queued for it.
  std::lock_guard lock(SyncLock());
  std::erase_if(w->queue->timers, [&](const MessageQueue::Timer& t) { return t.hwnd == hwnd; });
  std::erase_if(w->queue->posted, [&](const MSG& m) { return m.hwnd == hwnd; });
  w->queue->RearmLocked();
  return TRUE;
}

BOOL WINAPI IsWindow(HWND hwnd) { return FindWindow(hwnd) ? TRUE : FALSE; }

LRESULT WINAPI DefWindowProcA(HWND, UINT, WPARAM, LPARAM) { return 0; }

LONG_PTR WINAPI SetWindowLongPtrA(HWND hwnd, int index, LONG_PTR value) {
  auto w = FindWindow(hwnd);
  if (!w) return Fail(ERROR_INVALID_WINDOW_HANDLE, LONG_PTR(0));
  if (index != GWLP_USERDATA) return Fail(ERROR_INVALID_PARAMETER, LONG_PTR(0));
  return std::exchange(w->userData, value);
}

LONG_PTR WINAPI GetWindowLongPtrA(HWND hwnd, int index) {
  auto w = FindWindow(hwnd);
  if (!w) return Fail(ERROR_INVALID_WINDOW_HANDLE, LONG_PTR(0));
  if (index != GWLP_USERDATA) return Fail(ERROR_INVALID_PARAMETER, LONG_PTR(0));
  return w->userData;
}

UINT_PTR WINAPI SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc) {
  CheckTerminated();
  if (auto f = vx::fault::Check("SetTimer")) return Fail(f.error, UINT_PTR(0));
  std::shared_ptr<MessageQueue> q;
  if (hwnd) {
    auto w = FindWindow(hwnd);
    if (!w) return Fail(ERROR_INVALID_WINDOW_HANDLE, UINT_PTR(0));
    q = w->queue;
  } else {
    q = CurrentQueue();
  }
  // Intervals of 1 ms are honoured here (Windows rounds them up to its tick).
  UINT interval = elapse ? elapse : 1;
  {
    std::lock_guard lock(SyncLock());
    if (!hwnd && id == 0) {
      static UINT_PTR nextId = 0x7000;
      id = ++nextId;
    }
    auto due = Clock::now() + std::chrono::milliseconds(interval);
    auto it = std::find_if(q->timers.begin(), q->timers.end(),
                           [&](const MessageQueue::Timer& t) { return t.hwnd == hwnd && t.id == id; });
    if (it != q->timers.end())
      *it = {hwnd, id, interval, proc, due};
    else
      q->timers.push_back({hwnd, id, interval, proc, due});
    q->RearmLocked();
  }
  q->NotifyHook();
  return id ? id : 1;
}

BOOL WINAPI KillTimer(HWND hwnd, UINT_PTR id) {
  CheckTerminated();
  std::shared_ptr<MessageQueue> q;
  if (hwnd) {
    auto w = FindWindow(hwnd);
    if (!w) return Fail(ERROR_INVALID_WINDOW_HANDLE, FALSE);
    q = w->queue;
  } else {
    q = CurrentQueue();
  }
  std::lock_guard lock(SyncLock());
  auto removed = std::erase_if(q->timers, [&](const MessageQueue::Timer& t) { return t.hwnd == hwnd && t.id == id; });
  if (!removed) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  q->RearmLocked();
  return TRUE;
}
