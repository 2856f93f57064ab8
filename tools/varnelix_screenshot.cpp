// varnelix-screenshot: pictures of the main dialog and the About box for the
// documentation, taken from the real windows (run it under a display or Xvfb).
#include "console/ExerciserDlg.h"
#include "res/varnelix_res.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMenu>
#include <QPixmap>
#include <QTimer>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: varnelix-screenshot MAIN.png ABOUT.png\n");
    return 2;
  }
  vx::fw::SetResourceModule(&vx::res::VarnelixResources());
  vx::fw::EnsureApplication(argc, argv);
  CExerciserDlg dlg;
  bool ok = true;
  auto settle = [] {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 200) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  };
  vx::fw::SetModalHook([&](CDialog* d) {
    settle();
    if (d != &dlg) {
      ok &= d->widget()->grab().save(QString::fromLocal8Bit(argv[2]));
      d->SendMessage(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
      return;
    }
    // A transfer's worth of text, so the picture shows the dialog at work.
    dlg.GetDlgItem(IDC_PORT_NAME)->SetWindowText("loop://");
    dlg.GetDlgItem(IDC_FILE_PATH)->SetWindowText("docs/sample.txt");
    dlg.SendMessage(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    for (int i = 0; i < 50 && dlg.m_hSourceFile != INVALID_HANDLE_VALUE; ++i) settle();
    ok &= dlg.widget()->grab().save(QString::fromLocal8Bit(argv[1]));
    dlg.SendMessage(WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
    dlg.SendMessage(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  });
  dlg.DoModal();
  return ok ? 0 : 1;
}
