// CWnd and CEdit: window text, controls, data exchange, messages.
#include "host.h"
#include "read_only_line.h"
#include "receive_box.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>

namespace vx::fw {

// Qt 6 takes the local 8-bit encoding on Linux to be UTF-8, as file names are.
QString LocalText(const std::string& s) { return QString::fromLocal8Bit(s.data(), static_cast<qsizetype>(s.size())); }

std::string LocalBytes(const QString& s) {
  QByteArray b = s.toLocal8Bit();
  return std::string(b.constData(), static_cast<std::size_t>(b.size()));
}

std::string WidgetText(const QWidget* w) {
  if (auto* box = dynamic_cast<const ReceiveBox*>(w)) return box->Text();
  if (auto* status = dynamic_cast<const ReadOnlyLine*>(w)) return status->Held();
  if (auto* edit = dynamic_cast<const QLineEdit*>(w)) return LocalBytes(edit->text());
  if (auto* combo = dynamic_cast<const QComboBox*>(w)) return LocalBytes(combo->currentText());
  if (auto* button = dynamic_cast<const QAbstractButton*>(w)) return LocalBytes(button->text());
  if (auto* label = dynamic_cast<const QLabel*>(w)) return LocalBytes(label->text());
  if (w && w->isWindow()) return LocalBytes(w->windowTitle());
  return {};
}

void SetWidgetText(QWidget* w, const std::string& text) {
  if (auto* box = dynamic_cast<ReceiveBox*>(w)) return box->SetText(text);
  if (auto* status = dynamic_cast<ReadOnlyLine*>(w)) return status->Hold(text);
  // Like an edit control, a one-line box shows text only up to a NUL.
  std::string line(text.c_str());
  if (auto* edit = dynamic_cast<QLineEdit*>(w)) {
    edit->setText(LocalText(line));
    edit->setCursorPosition(0);
  } else if (auto* combo = dynamic_cast<QComboBox*>(w)) {
    combo->setEditText(LocalText(line));
  } else if (auto* button = dynamic_cast<QAbstractButton*>(w)) {
    button->setText(LocalText(line));
  } else if (auto* label = dynamic_cast<QLabel*>(w)) {
    label->setText(LocalText(line));
  } else if (w && w->isWindow()) {
    w->setWindowTitle(LocalText(line));
  }
}

}  // namespace vx::fw

using namespace vx::fw;

CWnd::~CWnd() {
  if (m_bOwnsHwnd && m_hWnd) DestroyWindow(m_hWnd);
}

void CWnd::SetWindowText(LPCSTR text) { SetWidgetText(m_pWidget, text ? text : ""); }

void CWnd::GetWindowText(CString& text) const { text = CString(WidgetText(m_pWidget)); }

int CWnd::GetWindowTextLength() const {
  if (auto* box = dynamic_cast<const ReceiveBox*>(m_pWidget)) return static_cast<int>(std::min<std::uint64_t>(box->Size(), 0x7fffffff));
  return static_cast<int>(WidgetText(m_pWidget).size());
}

CWnd* CWnd::GetDlgItem(int id) const {
  auto* dialog = dynamic_cast<const CDialog*>(this);
  if (!dialog || !dialog->Host()) return nullptr;
  auto it = dialog->Host()->controls.find(id);
  if (it == dialog->Host()->controls.end()) return nullptr;
  for (auto& t : dialog->Host()->temporaries)
    if (t->m_pWidget == it->second) return t.get();
  auto wnd = std::make_unique<CWnd>();
  wnd->m_pWidget = it->second;
  wnd->m_nID = id;
  wnd->m_pParent = const_cast<CWnd*>(this);
  dialog->Host()->temporaries.push_back(std::move(wnd));
  return dialog->Host()->temporaries.back().get();
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
  if (auto* edit = dynamic_cast<QLineEdit*>(m_pWidget)) {
    int length = static_cast<int>(edit->text().size());
    if (end < 0 || end > length) end = length;
    if (start < 0) start = end;
    edit->setSelection(start, end - start);
  }
  // The received-data box is read-only and only ever appended to at its end:
  // its selection is always there.
}

void CEdit::ReplaceSel(LPCSTR text, BOOL) {
  if (!text) return;
  if (auto* box = dynamic_cast<ReceiveBox*>(m_pWidget)) {
    box->Append(text, std::strlen(text));
  } else if (auto* status = dynamic_cast<ReadOnlyLine*>(m_pWidget)) {
    status->Hold(status->Held() + text);  // the program only ever adds at its end
  } else if (auto* edit = dynamic_cast<QLineEdit*>(m_pWidget)) {
    edit->insert(LocalText(text));
  }
}
