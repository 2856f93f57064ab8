// Message maps: finding a handler, calling it with its signature, and the
// default handling of what no map handles.
#include "host.h"

const AFX_MSGMAP* CCmdTarget::GetThisMessageMap() {
  static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, 0, AfxSig_end, nullptr}};
  static const AFX_MSGMAP map = {nullptr, &entries[0]};
  return &map;
}

const AFX_MSGMAP* CCmdTarget::GetMessageMap() const { return GetThisMessageMap(); }

const AFX_MSGMAP_ENTRY* CCmdTarget::FindEntry(UINT message, UINT code, UINT id) const {
  for (const AFX_MSGMAP* map = GetMessageMap(); map; map = map->pfnGetBaseMap ? map->pfnGetBaseMap() : nullptr) {
    for (const AFX_MSGMAP_ENTRY* e = map->lpEntries; e->nSig != AfxSig_end; ++e) {
      if (e->nMessage != message) continue;
      if (message == WM_COMMAND && (e->nCode != code || id < e->nID || id > e->nLastID)) continue;
      return e;
    }
  }
  return nullptr;
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  MSG current{m_hWnd, message, wParam, lParam, GetTickCount(), {0, 0}};
  const MSG* outer = m_pCurrentMsg;
  m_pCurrentMsg = &current;
  LRESULT result = 0;
  if (message == WM_COMMAND) {
    if (!OnCommand(wParam, lParam)) result = DefWindowProc(message, wParam, lParam);
  } else if (const AFX_MSGMAP_ENTRY* e = FindEntry(message, 0, 0)) {
    switch (e->nSig) {
      case AfxSig_vv:
        (this->*(e->pfn))();
        break;
      case AfxSig_vw:
        (this->*std::bit_cast<void (CCmdTarget::*)(UINT)>(e->pfn))(static_cast<UINT>(wParam));
        break;
      case AfxSig_vwl:
        (this->*std::bit_cast<void (CCmdTarget::*)(UINT, LPARAM)>(e->pfn))(static_cast<UINT>(wParam), lParam);
        break;
      case AfxSig_lwl:
        result = (this->*std::bit_cast<LRESULT (CCmdTarget::*)(WPARAM, LPARAM)>(e->pfn))(wParam, lParam);
        break;
      case AfxSig_hv:
        result = reinterpret_cast<LRESULT>((this->*std::bit_cast<HCURSOR (CCmdTarget::*)()>(e->pfn))());
        break;
    }
  } else {
    result = DefWindowProc(message, wParam, lParam);
  }
  m_pCurrentMsg = outer;
  return result;
}

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM) {
  const AFX_MSGMAP_ENTRY* e = FindEntry(WM_COMMAND, HIWORD(wParam), LOWORD(wParam));
  if (!e) return FALSE;
  (this->*(e->pfn))();
  return TRUE;
}

LRESULT CWnd::Default() {
  if (!m_pCurrentMsg) return 0;
  return DefWindowProc(m_pCurrentMsg->message, m_pCurrentMsg->wParam, m_pCurrentMsg->lParam);
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_CLOSE) return SendMessage(WM_CLOSE);
      if ((wParam & 0xFFF0) == SC_MINIMIZE && m_pWidget) m_pWidget->showMinimized();
      return 0;
    case WM_SETICON: {
      HICON old = nullptr;
      if (auto* icon = vx::fw::IconFrom(reinterpret_cast<HICON>(lParam)); icon && m_pWidget) {
        // Qt keeps one icon with every size; the big and the small one are both in it.
        m_pWidget->setWindowIcon(icon->icon);
      }
      return reinterpret_cast<LRESULT>(old);
    }
    default:
      return ::DefWindowProcA(m_hWnd, message, wParam, lParam);
  }
}
