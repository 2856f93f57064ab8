#include "owner.h"

#include <cstring>

namespace vx::test {

namespace {
const char* ClassName() {
  static bool registered = false;
  if (!registered) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = [](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
      auto* self = reinterpret_cast<Owner*>(GetWindowLongPtrA(h, GWLP_USERDATA));
      if (!self) return DefWindowProcA(h, m, w, l);
      if (m == WM_LINK_STATUS) self->statuses.emplace_back(w, l);
      if (m == WM_LINK_DATA) {
        self->received.append(reinterpret_cast<const char*>(w), static_cast<std::size_t>(l));
        self->blockSizes.push_back(static_cast<DWORD>(l));
        LocalFree(reinterpret_cast<HLOCAL>(w));
      }
      return 0;
    };
    wc.lpszClassName = "VxLinkTestOwner";
    RegisterClassA(&wc);
    registered = true;
  }
  return "VxLinkTestOwner";
}
}  // namespace

Owner::Owner() {
  hwnd_ = CreateWindowExA(0, ClassName(), "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  SetWindowLongPtrA(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

Owner::~Owner() {
  PumpFor(0);  // free blocks still queued
  DestroyWindow(hwnd_);
}

bool Owner::PumpUntil(const std::function<bool()>& done, DWORD ms) {
  DWORD start = GetTickCount();
  for (;;) {
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
    if (done()) return true;
    DWORD elapsed = GetTickCount() - start;
    if (elapsed >= ms) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - elapsed, QS_ALLINPUT);
  }
}

void Owner::PumpFor(DWORD ms) {
  PumpUntil([] { return false; }, ms);
}

void* MakePacket(const std::string& bytes) {
  void* block = LocalAlloc(LMEM_ZEROINIT, bytes.size());
  std::memcpy(block, bytes.data(), bytes.size());
  return block;
}

bool SendWhenAccepted(CSerialLink& link, Owner& owner, const std::string& bytes, DWORD ms) {
  void* packet = MakePacket(bytes);
  bool taken = owner.PumpUntil([&] { return link.Send(packet, DWORD(bytes.size())) == 1; }, ms);
  if (!taken) LocalFree(packet);
  return taken;
}

}  // namespace vx::test
