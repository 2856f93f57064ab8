// Dialog data exchange and validation.
#include "host.h"
#include "text_store.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <cctype>
#include <cstdio>

using namespace vx::fw;

namespace {

QWidget* Control(CDataExchange* dx, int id) {
  auto* dialog = dynamic_cast<CDialog*>(dx->m_pDlgWnd);
  CWnd* item = dialog ? dialog->GetDlgItem(id) : nullptr;
  return item ? item->widget() : nullptr;
}

}  // namespace

void CDataExchange::Fail() {
  m_bFailed = true;
  if (QWidget* w = Control(this, m_idLastControl)) {
    w->setFocus();
    if (auto* edit = qobject_cast<QLineEdit*>(w)) edit->selectAll();
  }
}

void DDX_Control(CDataExchange* dx, int id, CWnd& control) {
  auto* dialog = dynamic_cast<CDialog*>(dx->m_pDlgWnd);
  if (!dialog || !dialog->Host() || control.m_pWidget) return;  // bound once per dialog run
  auto it = dialog->Host()->controls.find(id);
  if (it == dialog->Host()->controls.end()) return;
  control.m_pWidget = it->second;
  control.m_nID = id;
  control.m_pParent = dialog;
  dialog->Host()->attached.push_back(&control);
}

void DDX_Text(CDataExchange* dx, int id, CString& value) {
  if (dx->Failed()) return;
  dx->PrepareCtrl(id);
  QWidget* w = Control(dx, id);
  if (dx->m_bSaveAndValidate)
    value = CString(WidgetText(w));
  else
    SetWidgetText(w, value.str());
}

void DDX_Text(CDataExchange* dx, int id, UINT& value) {
  if (dx->Failed()) return;
  dx->PrepareCtrl(id);
  QWidget* w = Control(dx, id);
  if (!dx->m_bSaveAndValidate) {
    SetWidgetText(w, std::to_string(value));
    return;
  }
  UINT parsed;
  if (!ParseUnsignedField(WidgetText(w), &parsed)) {
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
