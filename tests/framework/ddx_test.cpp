// Dialog data exchange: members fill the controls and follow them back; a
// field that fails to convert or to validate stops the exchange there, keeps
// its member's value, and takes the focus with its text selected for retyping.
#include "test_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QWidget>
#include <gtest/gtest.h>

namespace {

using namespace vx::fwtest;

class FieldsDlg : public CDialog {
 public:
  FieldsDlg() : CDialog(IDD_FIELDS) {}
  CString m_strName = "first";
  UINT m_nCount = 5;
  UINT m_nLimit = 50;
  int m_bEnabled = 0;
  CString m_strPort = "COM2";

  QWidget* Widget(int id) { return GetDlgItem(id)->widget(); }
  void Set(int id, const char* text) { GetDlgItem(id)->SetWindowText(text); }
  std::string Get(int id) {
    CString text;
    GetDlgItem(id)->GetWindowText(text);
    return text.str();
  }
  QWidget* Focused() { return widget()->focusWidget(); }

 protected:
  void DoDataExchange(CDataExchange* pDX) override {
    CDialog::DoDataExchange(pDX);
    DDX_Text(pDX, IDC_NAME, m_strName);
    DDX_Text(pDX, IDC_COUNT, m_nCount);
    DDV_MinMaxUInt(pDX, m_nCount, 1, 100);
    DDX_Text(pDX, IDC_LIMIT, m_nLimit);
    DDX_Check(pDX, IDC_ENABLED, m_bEnabled);
    DDX_CBString(pDX, IDC_PORT, m_strPort);
  }
};

// Fills every field with a good value but the count, which gets `count`.
void FillAllBut(FieldsDlg& dlg, const char* count) {
  dlg.Set(IDC_NAME, "second");
  dlg.Set(IDC_COUNT, count);
  dlg.Set(IDC_LIMIT, "70");
  qobject_cast<QCheckBox*>(dlg.Widget(IDC_ENABLED))->setChecked(true);
  dlg.Set(IDC_PORT, "COM1");
}

// Saves with `count` in the count field, which must be refused: one
// complaint naming `complaint`, focus and selection on the count, the fields
// before it exchanged, those after it untouched. Returns the count's member.
UINT ExpectTheCountRefused(const char* count, const char* complaint) {
  MessageBoxes boxes;
  FieldsDlg dlg;
  RunModal(dlg, [&] {
    FillAllBut(dlg, count);
    EXPECT_FALSE(dlg.UpdateData(TRUE));
    EXPECT_EQ(dlg.Focused(), dlg.Widget(IDC_COUNT));
    EXPECT_EQ(qobject_cast<QLineEdit*>(dlg.Widget(IDC_COUNT))->selectedText(), QString::fromLatin1(count));
  });
  EXPECT_EQ(dlg.m_strName, "second");
  EXPECT_EQ(dlg.m_nLimit, 50u);
  EXPECT_EQ(dlg.m_bEnabled, 0);
  EXPECT_EQ(dlg.m_strPort, "COM2");
  EXPECT_EQ(boxes.shown.size(), 1u);  // one complaint, not one per later field
  EXPECT_NE(boxes.shown.empty() ? std::string::npos : boxes.shown[0].find(complaint), std::string::npos);
  return dlg.m_nCount;
}

TEST(DataExchange, MembersFillTheControlsAndFollowThemBack) {
  FieldsDlg dlg;
  RunModal(dlg, [&] {
    // OnInitDialog has filled the controls, and the focus is on the first field.
    EXPECT_EQ(dlg.Get(IDC_NAME), "first");
    EXPECT_EQ(dlg.Get(IDC_COUNT), "5");
    EXPECT_EQ(dlg.Get(IDC_LIMIT), "50");
    EXPECT_FALSE(qobject_cast<QCheckBox*>(dlg.Widget(IDC_ENABLED))->isChecked());
    EXPECT_EQ(dlg.Get(IDC_PORT), "COM2");
    EXPECT_EQ(dlg.Focused(), dlg.Widget(IDC_NAME));

    FillAllBut(dlg, " 42 ");
    EXPECT_TRUE(dlg.UpdateData(TRUE));
    EXPECT_EQ(dlg.m_strName, "second");
    EXPECT_EQ(dlg.m_nCount, 42u);
    EXPECT_EQ(dlg.m_nLimit, 70u);
    EXPECT_EQ(dlg.m_bEnabled, 1);
    EXPECT_EQ(dlg.m_strPort, "COM1");
  });
}

TEST(DataExchange, AFieldThatIsNoNumberStopsTheExchangeAndKeepsItsValue) {
  EXPECT_EQ(ExpectTheCountRefused("12x", "whole number"), 5u);
  EXPECT_EQ(ExpectTheCountRefused("4294967296", "whole number"), 5u);
}

TEST(DataExchange, AValueOutOfRangeStopsTheExchangeAtItsField) {
  // As in MFC, the conversion has stored the value before validation refuses it.
  EXPECT_EQ(ExpectTheCountRefused("500", "from 1 to 100"), 500u);
}

TEST(DataExchange, OkWithABadFieldKeepsTheDialogOpen) {
  MessageBoxes boxes;
  FieldsDlg dlg;
  int result = RunModal(dlg, [&] {
    dlg.Set(IDC_COUNT, "0");
    dlg.SendMessage(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    EXPECT_FALSE(dlg.HasEnded());
    dlg.Set(IDC_COUNT, "9");
    dlg.SendMessage(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    EXPECT_TRUE(dlg.HasEnded());
  });
  EXPECT_EQ(result, IDOK);
  EXPECT_EQ(dlg.m_nCount, 9u);
  EXPECT_EQ(boxes.shown.size(), 1u);
}

TEST(DataExchange, AComboBoxValuePicksTheFirstEntryItBegins) {
  FieldsDlg dlg;
  RunModal(dlg, [&] {
    auto* combo = qobject_cast<QComboBox*>(dlg.Widget(IDC_PORT));
    dlg.m_strPort = "com";  // as Windows does, without regard to case
    dlg.UpdateData(FALSE);
    EXPECT_EQ(dlg.Get(IDC_PORT), "COM1");
    EXPECT_EQ(combo->currentIndex(), 0);
    dlg.m_strPort = "/dev/tty";
    dlg.UpdateData(FALSE);
    EXPECT_EQ(dlg.Get(IDC_PORT), "/dev/ttyUSB0");
    dlg.m_strPort = "COM9";  // no entry begins so: shown as it is
    dlg.UpdateData(FALSE);
    EXPECT_EQ(dlg.Get(IDC_PORT), "COM9");
  });
}

}  // namespace
