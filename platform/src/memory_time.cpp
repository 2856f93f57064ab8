// LocalAlloc/LocalFree and GetTickCount.
#include "faults.h"
#include "kernel.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace vx {
namespace {
std::atomic<DWORD> tickOffset{0};
}
void SetTickCountOffset(DWORD offset) { tickOffset.store(offset); }
}  // namespace vx

using namespace vx::kernel;

HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) {
  CheckTerminated();
  if (auto f = vx::fault::Check("LocalAlloc")) return Fail(f.error, HLOCAL(nullptr));
  // A zero-byte block is a valid, distinct block, as on Windows.
  void* block = (flags & LMEM_ZEROINIT) ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
  if (!block) return Fail(ERROR_NOT_ENOUGH_MEMORY, HLOCAL(nullptr));
  return block;
}

// A fault point like the others: tests hold a worker just as it lets go of a
// block, to see what still refers to it. A failed LocalFree keeps the block
// and returns it, as on Windows.
HLOCAL WINAPI LocalFree(HLOCAL block) {
  if (auto f = vx::fault::Check("LocalFree")) return vx::kernel::Fail(f.error, block);
  std::free(block);
  return nullptr;
}

DWORD WINAPI GetTickCount() {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
  return static_cast<DWORD>(ms) + vx::tickOffset.load(std::memory_order_relaxed);
}
