#include "console/ExerciserApp.h"

#include "console/ExerciserDlg.h"

BEGIN_MESSAGE_MAP(CExerciserApp, CWinApp)
  ON_COMMAND(ID_HELP, CWinApp::OnHelp)
END_MESSAGE_MAP()

CExerciserApp::CExerciserApp() : CWinApp(nullptr) {}

BOOL CExerciserApp::InitInstance() {
  AfxEnableControlContainer();
  Enable3dControls();

  CExerciserDlg dlg;
  m_pMainWnd = &dlg;
  dlg.DoModal();

  // The dialog has ended: end the application rather than run a message loop.
  m_pMainWnd = nullptr;
  return FALSE;
}
