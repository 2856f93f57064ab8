#include "harness.h"

#include "res/varnelix_res.h"

#include <QElapsedTimer>
#include <QTest>
#include <unistd.h>

namespace vx::test {

bool WaitUntil(const std::function<bool()>& done, int ms) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QTest::qWait(1);
  }
  return true;
}

std::string Text(CDialog& dlg, int id) {
  CString s;
  dlg.GetDlgItem(id)->GetWindowText(s);
  return s.str();
}

void SetText(CDialog& dlg, int id, const std::string& text) { dlg.GetDlgItem(id)->SetWindowText(text.c_str()); }

void Type(CDialog& dlg, int id, const std::string& text) {
  QWidget* w = dlg.GetDlgItem(id)->widget();
  if (auto* combo = qobject_cast<QComboBox*>(w)) w = combo->lineEdit();
  auto* edit = qobject_cast<QLineEdit*>(w);
  edit->setFocus();
  edit->selectAll();
  QTest::keyClick(edit, Qt::Key_Delete);
  // Typed as the locale spells it; a key that is not ASCII carries its character.
  for (QChar c : QString::fromUtf8(text.c_str())) {
    if (c.unicode() < 0x80)
      QTest::keyClick(edit, c.toLatin1());
    else
      QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, QString(c), Qt::NoModifier);
  }
}

void Click(CDialog& dlg, int id) {
  auto* button = qobject_cast<QAbstractButton*>(dlg.GetDlgItem(id)->widget());
  QTest::mouseClick(button, Qt::LeftButton);
}

int RunMainDialog(const std::function<void(CExerciserDlg&)>& body, const std::function<void(CDialog&)>& others) {
  CExerciserDlg dlg;
  vx::fw::SetModalHook([&](CDialog* d) {
    if (d != &dlg) {
      if (others) others(*d);
      return;
    }
    body(dlg);
    if (!dlg.HasEnded()) dlg.SendMessage(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  });
  int result = dlg.DoModal();
  vx::fw::SetModalHook(nullptr);
  return result;
}

std::string WriteTempFile(const std::string& content) {
  char name[] = "/tmp/vx-send-XXXXXX";
  int fd = mkstemp(name);
  std::size_t done = 0;
  while (done < content.size()) done += static_cast<std::size_t>(write(fd, content.data() + done, content.size() - done));
  close(fd);
  return name;
}

}  // namespace vx::test

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
  vx::fw::SetResourceModule(&vx::res::VarnelixResources());
  vx::fw::EnsureApplication(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
