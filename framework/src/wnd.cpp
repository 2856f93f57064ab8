// CWnd and CEdit: window text, controls, data exchange, messages.
#include "host.h"

namespace vx::fw {

// Qt 6 takes the local 8-bit encoding on Linux to be UTF-8, as file names are.
QString LocalText(const std::string& s) { return QString::fromLocal8Bit(s.data(), static_cast<qsizetype>(s.size())); }

std::string LocalBytes(const QString& s) {
  QByteArray b = s.toLocal8Bit();
  return std::string(b.constData(), static_cast<std::size_t>(b.size()));
}

}  // namespace vx::fw

using namespace vx::fw;

CWnd::~CWnd() {
  if (m_bOwnsHwnd && m_hWnd) DestroyWindow(m_hWnd);
}

void CWnd::SetWindowText(LPCSTR text) {
  if (m_pAdapter) m_pAdapter->SetText(m_pWidget, text ? text : "");
}

void CWnd::GetWindowText(CString& text) const {
  text = m_pAdapter ? CString(m_pAdapter->Text(m_pWidget)) : CString();
}

CWnd* CWnd::GetDlgItem(int id) const {
  auto* dialog = dynamic_cast<const CDialog*>(this);
  DialogHost* host = dialog ? dialog->Host() : nullptr;
  if (!host) return nullptr;
  auto it = host->controls.find(id);
  if (it == host->controls.end()) return nullptr;
  for (auto& t : host->temporaries)
    if (t->m_pWidget == it->second.widget) return t.get();
  auto wnd = std::make_unique<CWnd>();
  host->Bind(*wnd, id);
  host->temporaries.push_back(std::move(wnd));
  return host->temporaries.back().get();
}

BOOL CWnd::UpdateData(BOOL saveAndValidate) {
  CDataExchange dx(this, saveAndValidate);
  DoDataExchange(&dx);
  return dx.Failed() ? FALSE : TRUE;
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (m_hWnd) return ::SendMessageA(m_hWnd, message, wParam, lParam);
  return WindowProc(message, wParam, lParam);
}

BOOL CWnd::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return ::PostMessageA(m_hWnd, message, wParam, lParam);
}

HICON CWnd::SetIcon(HICON icon, BOOL big) {
  return reinterpret_cast<HICON>(SendMessage(WM_SETICON, big ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(icon)));
}

void CEdit::SetSel(int start, int end, BOOL) {
  if (m_pAdapter) m_pAdapter->SetSel(m_pWidget, start, end);
}

void CEdit::ReplaceSel(LPCSTR text, BOOL) {
  if (m_pAdapter && text) m_pAdapter->ReplaceSel(m_pWidget, text);
}
