#include "tools/dialog_driver.h"

#include <QCheckBox>

namespace vx::tools {

void StartTransfer(CExerciserDlg& dlg, const TransferSettings& settings) {
  dlg.GetDlgItem(IDC_FILE_PATH)->SetWindowText(settings.file.c_str());
  dlg.GetDlgItem(IDC_PORT_NAME)->SetWindowText(settings.port.c_str());
  dlg.GetDlgItem(IDC_PACKET_SIZE)->SetWindowText(std::to_string(settings.packetSize).c_str());
  qobject_cast<QCheckBox*>(dlg.GetDlgItem(IDC_STRESS_TEST)->widget())->setChecked(settings.stress);
  dlg.SendMessage(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
}

void PressQuit(CExerciserDlg& dlg) { dlg.SendMessage(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0); }

}  // namespace vx::tools
