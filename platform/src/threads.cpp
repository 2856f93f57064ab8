// Threads, their ids, priorities and termination; Sleep and GetTickCount.
#include "faults.h"
#include "kernel.h"
#include "queue.h"

#include <atomic>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <unordered_map>

namespace vx::kernel {
namespace {

std::atomic<DWORD> nextThreadId{0x104};

struct Registry {
  std::mutex lock;
  std::unordered_map<DWORD, std::shared_ptr<ThreadState>> threads;
};
Registry& Threads() {
  static Registry* r = new Registry;
  return *r;
}

std::shared_ptr<ThreadState> NewThreadState() {
  auto state = std::make_shared<ThreadState>();
  state->id = nextThreadId.fetch_add(4);
  auto& r = Threads();
  std::lock_guard lock(r.lock);
  r.threads.emplace(state->id, state);
  return state;
}

void Unregister(DWORD id) {
  auto& r = Threads();
  std::shared_ptr<ThreadState> keep;  // released after the registry lock
  std::lock_guard lock(r.lock);
  auto it = r.threads.find(id);
  if (it != r.threads.end()) {
    keep = std::move(it->second);
    r.threads.erase(it);
    EndQueue(*keep);
  }
}

// Holds the calling thread's state; a thread that ends takes its id and queue with it.
struct CurrentHolder {
  std::shared_ptr<ThreadState> state;
  ~CurrentHolder() {
    if (state) Unregister(state->id);
  }
};
thread_local CurrentHolder current;

class ThreadObject final : public Waitable {
 public:
  bool IsSignalledLocked() const override { return exited; }
  bool exited = false;            // guarded by SyncLock
  DWORD exitCode = STILL_ACTIVE;  // guarded by SyncLock
  int priority = THREAD_PRIORITY_NORMAL;
  pid_t tid = 0;
  std::shared_ptr<ThreadState> state;
};

struct StartBlock {
  std::shared_ptr<ThreadObject> object;
  LPTHREAD_START_ROUTINE routine;
  LPVOID parameter;
};

// Linux niceness for a Win32 priority. Raising it needs privileges; when the
// scheduler refuses, the recorded priority is all that changes.
void ApplyPriority(pid_t tid, int priority) {
  if (tid == 0) return;
  int nice = priority >= THREAD_PRIORITY_TIME_CRITICAL ? -15 : priority <= THREAD_PRIORITY_IDLE ? 19 : -3 * priority;
  setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice);
}

// Marks the thread ended, whether it returned or was abandoned by TerminateThread.
struct ExitMark {
  ThreadObject* object;
  DWORD code = 0;
  ~ExitMark() {
    Unregister(object->state->id);
    WakeList wake;
    {
      std::lock_guard lock(SyncLock());
      if (object->state->terminateRequested.load()) code = object->exitCode;
      object->exitCode = code;
      object->exited = true;
      object->CollectWaitersLocked(&wake);
    }
    wake.Wake();
  }
};

void* Trampoline(void* p) {
  std::unique_ptr<StartBlock> start(static_cast<StartBlock*>(p));
  auto object = start->object;
  current.state = object->state;
  current.state->startRoutine = start->routine;
  {
    std::lock_guard lock(SyncLock());
    object->tid = static_cast<pid_t>(syscall(SYS_gettid));
    ApplyPriority(object->tid, object->priority);
  }
  ExitMark mark{object.get()};
  auto routine = start->routine;
  auto parameter = start->parameter;
  start.reset();
  mark.code = routine(parameter);
  return nullptr;
}

}  // namespace

ThreadState& CurrentThread() {
  if (!current.state) current.state = NewThreadState();
  return *current.state;
}

std::shared_ptr<ThreadState> FindThread(DWORD id) {
  auto& r = Threads();
  std::lock_guard lock(r.lock);
  auto it = r.threads.find(id);
  return it == r.threads.end() ? nullptr : it->second;
}

void CheckTerminated() {
  if (current.state && current.state->terminateRequested.load(std::memory_order_relaxed)) ExitCurrentThread();
}

[[noreturn]] void ExitCurrentThread() {
  // Unwinds the thread's stack (destructors run) and ends it; ExitMark signals its handle.
  pthread_exit(nullptr);
}

}  // namespace vx::kernel

using namespace vx::kernel;

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stackSize, LPTHREAD_START_ROUTINE routine,
                           LPVOID parameter, DWORD flags, LPDWORD threadId) {
  CheckTerminated();
  if (auto f = vx::fault::Check("CreateThread")) return Fail(f.error, HANDLE(nullptr));
  if (!routine || (flags & CREATE_SUSPENDED)) return Fail(ERROR_INVALID_PARAMETER, HANDLE(nullptr));
  auto object = std::make_shared<ThreadObject>();
  object->state = NewThreadState();
  auto* start = new StartBlock{object, routine, parameter};

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (stackSize) pthread_attr_setstacksize(&attr, std::max<SIZE_T>(stackSize, 64 * 1024));
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, Trampoline, start);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete start;
    Unregister(object->state->id);
    return Fail(ERROR_NOT_ENOUGH_MEMORY, HANDLE(nullptr));
  }
  if (threadId) *threadId = object->state->id;
  return InsertHandle(object);
}

BOOL WINAPI SetThreadPriority(HANDLE h, int priority) {
  CheckTerminated();
  if (auto f = vx::fault::Check("SetThreadPriority")) return Fail(f.error, FALSE);
  auto t = Lookup<ThreadObject>(h);
  if (!t) return Fail(ERROR_INVALID_HANDLE, FALSE);
  std::lock_guard lock(SyncLock());
  t->priority = priority;
  if (!t->exited) ApplyPriority(t->tid, priority);
  return TRUE;
}

BOOL WINAPI TerminateThread(HANDLE h, DWORD exitCode) {
  CheckTerminated();
  if (auto f = vx::fault::Check("TerminateThread")) return Fail(f.error, FALSE);
  auto t = Lookup<ThreadObject>(h);
  if (!t) return Fail(ERROR_INVALID_HANDLE, FALSE);
  WakeList wake;
  {
    std::lock_guard lock(SyncLock());
    if (t->exited) return TRUE;
    t->exitCode = exitCode;
    t->state->terminateRequested.store(true);
    if (t->state->currentWaiter) wake.AddLocked(t->state->currentWaiter);
  }
  wake.Wake();
  // A thread inside a blocking device call hears nothing but a signal.
  InterruptUntilOut(*t->state->waiter);
  return TRUE;
}

BOOL WINAPI GetExitCodeThread(HANDLE h, LPDWORD exitCode) {
  auto t = Lookup<ThreadObject>(h);
  if (!t) return Fail(ERROR_INVALID_HANDLE, FALSE);
  std::lock_guard lock(SyncLock());
  if (exitCode) *exitCode = t->exited ? t->exitCode : STILL_ACTIVE;
  return TRUE;
}

DWORD WINAPI GetCurrentThreadId() { return CurrentThread().id; }

void WINAPI Sleep(DWORD ms) {
  CheckTerminated();
  WaitAny({}, nullptr, ms);
}
