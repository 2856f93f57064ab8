// The platform window behind each framework window: messages posted to it
// (WM_TIMER, the link's notifications) reach the CWnd's message map.
#include "host.h"

namespace vx::fw {

namespace {
LRESULT CALLBACK FrameworkWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (CWnd* wnd = WndFromHandle(hwnd)) return wnd->WindowProc(message, wParam, lParam);
  return DefWindowProcA(hwnd, message, wParam, lParam);
}
}  // namespace

CWnd* WndFromHandle(HWND hwnd) { return reinterpret_cast<CWnd*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA)); }

HWND CreateMessageWindow(CWnd* wnd) {
  static const char* className = [] {
    WNDCLASSA wc{};
    wc.lpfnWndProc = FrameworkWindowProc;
    wc.lpszClassName = "VxFrameworkWindow";
    RegisterClassA(&wc);
    return "VxFrameworkWindow";
  }();
  HWND hwnd = CreateWindowExA(0, className, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  if (hwnd) SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(wnd));
  return hwnd;
}

}  // namespace vx::fw
