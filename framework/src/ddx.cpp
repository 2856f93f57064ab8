// Dialog data exchange and validation.
#include "host.h"
#include "framework/unsigned_field.h"

#include <QCheckBox>
#include <QComboBox>
#include <cctype>
#include <cstdio>

using namespace vx::fw;

namespace {

// The control `id` of the dialog being exchanged, or nullptr.
CWnd* Item(CDataExchange* dx, int id) { return dx->m_pDlgWnd ? dx->m_pDlgWnd->GetDlgItem(id) : nullptr; }

QWidget* Control(CDataExchange* dx, int id) {
  CWnd* item = Item(dx, id);
  return item ? item->widget() : nullptr;
}

}  // namespace

void CDataExchange::Fail() {
  m_bFailed = true;
  // The field is selected whole, ready to be typed over.
  if (CWnd* item = Item(this, m_idLastControl); item && item->m_pWidget) {
    item->m_pWidget->setFocus();
    item->m_pAdapter->SetSel(item->m_pWidget, 0, -1);
  }
}

void DDX_Control(CDataExchange* dx, int id, CWnd& control) {
  auto* dialog = dynamic_cast<CDialog*>(dx->m_pDlgWnd);
  if (!dialog || !dialog->Host() || control.m_pWidget) return;  // bound once per dialog run
  if (dialog->Host()->Bind(control, id)) dialog->Host()->attached.push_back(&control);
}

void DDX_Text(CDataExchange* dx, int id, CString& value) {
  if (dx->Failed()) return;
  dx->PrepareCtrl(id);
  CWnd* item = Item(dx, id);
  if (!item) return;
  if (dx->m_bSaveAndValidate)
    item->GetWindowText(value);
  else
    item->SetWindowText(value);
}

void DDX_Text(CDataExchange* dx, int id, UINT& value) {
  if (dx->Failed()) return;
  dx->PrepareCtrl(id);
  CWnd* item = Item(dx, id);
  if (!item) return;
  if (!dx->m_bSaveAndValidate) {
    item->SetWindowText(std::to_string(value).c_str());
    return;
  }
  CString text;
  item->GetWindowText(text);
  UINT parsed;
  if (!ParseUnsignedField(text.str(), &parsed)) {
    AfxMessageBox("Please enter a whole number from 0 to 4294967295.", 0x30 /* MB_ICONEXCLAMATION */);
    dx->Fail();
    return;
  }
  value = parsed;
}

void DDX_CBString(CDataExchange* dx, int id, CString& value) {
  if (dx->Failed()) return;
  dx->PrepareCtrl(id);
  auto* combo = qobject_cast<QComboBox*>(Control(dx, id));
  if (!combo) return;
  if (dx->m_bSaveAndValidate) {
    value = CString(LocalBytes(combo->currentText()));
    return;
  }
  // As a Windows combo box does it: select the first list entry the value
  // begins, else show the value as typed.
  const QString text = LocalText(value.str());
  int match = -1;
  for (int i = 0; i < combo->count() && match < 0 && !text.isEmpty(); ++i)
    if (combo->itemText(i).startsWith(text, Qt::CaseInsensitive)) match = i;
  if (match >= 0) {
    combo->setCurrentIndex(match);
    combo->setEditText(combo->itemText(match));
  } else {
    combo->setEditText(text);
  }
}

void DDX_Check(CDataExchange* dx, int id, int& value) {
  if (dx->Failed()) return;
  dx->PrepareCtrl(id);
  auto* box = qobject_cast<QCheckBox*>(Control(dx, id));
  if (!box) return;
  if (dx->m_bSaveAndValidate)
    value = box->isChecked() ? 1 : 0;
  else
    box->setChecked(value != 0);
}

void DDV_MinMaxUInt(CDataExchange* dx, UINT value, UINT minimum, UINT maximum) {
  if (dx->Failed() || !dx->m_bSaveAndValidate) return;
  if (value >= minimum && value <= maximum) return;
  char text[128];
  std::snprintf(text, sizeof text, "Please enter a whole number from %u to %u.", minimum, maximum);
  AfxMessageBox(text, 0x30 /* MB_ICONEXCLAMATION */);
  dx->Fail();
}
