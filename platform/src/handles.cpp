// Handle table and per-thread last error.
#include "kernel.h"
#include "faults.h"

#include <shared_mutex>
#include <unordered_map>

namespace vx::kernel {
namespace {

struct HandleTable {
  // Every call looks its handles up, from every thread at once, and a handle
  // is made or closed seldom: lookups share the lock.
  std::shared_mutex lock;
  std::unordered_map<std::uintptr_t, std::shared_ptr<Object>> entries;
  // Values grow by 4 and are never reused, so a handle closed twice, or kept
  // after closing, can never reach an object opened later.
  std::uintptr_t next = 0x1000;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;  // outlives every thread's last call
  return *table;
}

thread_local DWORD lastError = 0;

}  // namespace

std::size_t HandleCount() {
  auto& t = Table();
  std::shared_lock lock(t.lock);
  return t.entries.size();
}

HANDLE InsertHandle(std::shared_ptr<Object> object) {
  auto& t = Table();
  std::lock_guard lock(t.lock);
  std::uintptr_t key = t.next;
  t.next += 4;
  t.entries.emplace(key, std::move(object));
  return reinterpret_cast<HANDLE>(key);
}

std::shared_ptr<Object> LookupHandle(HANDLE h) {
  auto& t = Table();
  std::shared_lock lock(t.lock);
  auto it = t.entries.find(reinterpret_cast<std::uintptr_t>(h));
  return it == t.entries.end() ? nullptr : it->second;
}

bool RemoveHandle(HANDLE h) {
  std::shared_ptr<Object> object;
  {
    auto& t = Table();
    std::lock_guard lock(t.lock);
    auto it = t.entries.find(reinterpret_cast<std::uintptr_t>(h));
    if (it == t.entries.end()) return false;
    object = std::move(it->second);
    t.entries.erase(it);
  }
  // One handle per object is all this layer hands out (there is no
  // DuplicateHandle), so this was the last one.
  object->OnLastHandleClosed();
  return true;
}

}  // namespace vx::kernel

std::size_t vx::OpenHandleCount() { return vx::kernel::HandleCount(); }

using namespace vx::kernel;

DWORD WINAPI GetLastError() { return lastError; }
void WINAPI SetLastError(DWORD code) { lastError = code; }

BOOL WINAPI CloseHandle(HANDLE h) {
  CheckTerminated();
  if (auto f = vx::fault::Check("CloseHandle")) return Fail(f.error, FALSE);
  if (!RemoveHandle(h)) return Fail(ERROR_INVALID_HANDLE, FALSE);
  return TRUE;
}

namespace vx::kernel {

BOOL Object::Read(void*, DWORD, DWORD*, OVERLAPPED*) { return Fail(ERROR_INVALID_HANDLE, FALSE); }
BOOL Object::Write(const void*, DWORD, DWORD*, OVERLAPPED*) { return Fail(ERROR_INVALID_HANDLE, FALSE); }

}  // namespace vx::kernel
