// Controls through CWnd and CEdit: text in and out of each kind of control,
// the edit selection, and what a user's actions on them tell the dialog.
#include "test_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QTest>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using namespace vx::fwtest;

class ControlsDlg : public CDialog {
 public:
  ControlsDlg() : CDialog(IDD_FIELDS) {}
  CEdit m_editName;
  CEdit m_editLog;
  CEdit m_editState;
  std::vector<std::string> notified;

  std::string Get(CWnd& wnd) {
    CString text;
    wnd.GetWindowText(text);
    return text.str();
  }
  std::string Get(int id) { return Get(*GetDlgItem(id)); }

  void OnEnabledClicked() { notified.push_back("enabled clicked"); }
  void OnPortEdited() { notified.push_back("port edited"); }

 protected:
  void DoDataExchange(CDataExchange* pDX) override {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_NAME, m_editName);
    DDX_Control(pDX, IDC_LOG, m_editLog);
    DDX_Control(pDX, IDC_STATE, m_editState);
  }
  DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(ControlsDlg, CDialog)
  ON_BN_CLICKED(IDC_ENABLED, OnEnabledClicked)
  ON_CBN_EDITCHANGE(IDC_PORT, OnPortEdited)
END_MESSAGE_MAP()

TEST(Controls, TextRoundTripsThroughEveryKindInTheLocalesEncoding) {
  ControlsDlg dlg;
  RunModal(dlg, [&] {
    const std::string text = "Gr\xC3\xBC\xC3\x9F" "e /dev/tty\xCE\xBA";  // UTF-8, as Linux names files
    for (int id : std::initializer_list<int>{IDC_NAME, IDC_PORT, IDC_ENABLED, IDC_CAPTION, IDC_STATE}) {
      SCOPED_TRACE(id);
      dlg.GetDlgItem(id)->SetWindowText(text.c_str());
      EXPECT_EQ(dlg.Get(id), text);
    }
    EXPECT_EQ(qobject_cast<QLineEdit*>(dlg.m_editName.widget())->text(), QString::fromUtf8(text.c_str()));
    dlg.SetWindowText("Title");
    EXPECT_EQ(dlg.Get(dlg), "Title");
    EXPECT_EQ(dlg.widget()->windowTitle(), QStringLiteral("Title"));
  });
}

TEST(Controls, TheReceivedDataBoxKeepsEveryByteAsItCame) {
  ControlsDlg dlg;
  RunModal(dlg, [&] {
    const std::string bytes = "\x80\xFF\xE9 not UTF-8\r\n\x01\x7F";
    dlg.m_editLog.SetSel(-1, -1, TRUE);
    dlg.m_editLog.ReplaceSel(bytes.c_str());
    dlg.m_editLog.SetSel(-1, -1, TRUE);
    dlg.m_editLog.ReplaceSel("more");
    EXPECT_EQ(dlg.Get(dlg.m_editLog), bytes + "more");
    dlg.m_editLog.SetWindowText("");
    EXPECT_EQ(dlg.Get(dlg.m_editLog), "");
  });
}

TEST(Controls, TheStatusLineHoldsNewTextAtOnceBeforeItIsPainted) {
  ControlsDlg dlg;
  RunModal(dlg, [&] {
    dlg.m_editState.SetWindowText("Sending");
    EXPECT_EQ(dlg.Get(dlg.m_editState), "Sending");
    dlg.m_editState.ReplaceSel("...");
    EXPECT_EQ(dlg.Get(dlg.m_editState), "Sending...");
  });
}

TEST(Controls, SetSelAndReplaceSelEditTheSelectedCharacters) {
  ControlsDlg dlg;
  RunModal(dlg, [&] {
    CEdit& edit = dlg.m_editName;
    auto* line = qobject_cast<QLineEdit*>(edit.widget());
    edit.SetWindowText("hello");
    edit.SetSel(1, 3);
    EXPECT_EQ(line->selectedText(), QStringLiteral("el"));
    edit.ReplaceSel("XY");
    EXPECT_EQ(dlg.Get(edit), "hXYlo");
    edit.SetSel(-1, -1);  // no selection, the caret at the end
    edit.ReplaceSel("!");
    EXPECT_EQ(dlg.Get(edit), "hXYlo!");
    edit.SetSel(2, 99);  // an end past the text means the end
    EXPECT_EQ(line->selectedText(), QStringLiteral("Ylo!"));
    edit.SetSel(0, -1);
    edit.ReplaceSel("all new");
    EXPECT_EQ(dlg.Get(edit), "all new");
  });
}

TEST(Controls, UsersActionsNotifyTheDialogButTheProgramsTextDoesNot) {
  ControlsDlg dlg;
  RunModal(dlg, [&] {
    auto* box = qobject_cast<QCheckBox*>(dlg.GetDlgItem(IDC_ENABLED)->widget());
    auto* combo = qobject_cast<QComboBox*>(dlg.GetDlgItem(IDC_PORT)->widget());
    dlg.GetDlgItem(IDC_PORT)->SetWindowText("COM2");
    box->setChecked(true);
    EXPECT_TRUE(dlg.notified.empty());
    QTest::mouseClick(box, Qt::LeftButton);
    EXPECT_FALSE(box->isChecked());
    QTest::keyClicks(combo->lineEdit(), "7");
    EXPECT_EQ(dlg.notified, (std::vector<std::string>{"enabled clicked", "port edited"}));
  });
}

TEST(Controls, AControlOutsideARunningDialogHasNoText) {
  ControlsDlg dlg;
  CEdit unbound;
  unbound.SetWindowText("ignored");
  unbound.ReplaceSel("ignored");
  EXPECT_EQ(dlg.Get(unbound), "");
  RunModal(dlg, [&] { dlg.m_editName.SetWindowText("during"); });
  // The dialog has ended: its controls are gone, and what was bound to them
  // is let go rather than left pointing at them.
  EXPECT_EQ(dlg.m_editName.widget(), nullptr);
  dlg.m_editName.SetWindowText("after");
  dlg.m_editLog.ReplaceSel("after");
  EXPECT_EQ(dlg.Get(dlg.m_editName), "");
}

}  // namespace
