#include "test_dialog.h"

namespace vx::fwtest {
namespace {

using K = vx::res::ControlKind;

vx::res::DialogTemplate Fields(int id, int pointSize) {
  return {id, "Fields", 0, 0, 200, 150, "DejaVu Sans", pointSize, DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU, 0,
          {
              {IDC_CAPTION, K::Static, "Name:", 7, 7, 40, 8, SS_LEFT},
              {IDC_NAME, K::Edit, "", 50, 5, 80, 14, ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP},
              {IDC_COUNT, K::Edit, "", 50, 22, 40, 14, ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP},
              {IDC_LIMIT, K::Edit, "", 95, 22, 40, 14, ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP},
              {IDC_ENABLED, K::Button, "Enabled", 7, 40, 50, 10, BS_AUTOCHECKBOX | WS_TABSTOP},
              {IDC_PORT, K::ComboBox, "", 60, 40, 60, 80, CBS_DROPDOWN | WS_VSCROLL | WS_TABSTOP, 0,
               {"COM1", "COM2", "/dev/ttyUSB0"}},
              {IDC_LOG, K::Edit, "", 7, 60, 186, 50, ES_MULTILINE | ES_READONLY | WS_VSCROLL | WS_BORDER},
              {IDC_STATE, K::Edit, "", 7, 115, 130, 13, ES_READONLY | WS_BORDER | WS_TABSTOP},
              {IDOK, K::Button, "OK", 143, 115, 50, 14, BS_DEFPUSHBUTTON | WS_TABSTOP},
              {IDCANCEL, K::Button, "Cancel", 143, 131, 50, 14, BS_PUSHBUTTON | WS_TABSTOP},
          }};
}

}  // namespace

void UseTestResources() {
  static const vx::res::Module module{
      {Fields(IDD_FIELDS, 8), Fields(IDD_FIELDS_LARGE, 16)}, {}, {}, "1.0.0.0", "1.0.0.0"};
  vx::fw::SetResourceModule(&module);
  vx::fw::EnsureApplication();
}

int RunModal(CDialog& dlg, const std::function<void()>& body) {
  UseTestResources();
  vx::fw::SetModalHook([&](CDialog* running) {
    if (running != &dlg) return;
    body();
    if (!dlg.HasEnded()) dlg.EndDialog(IDCANCEL);
  });
  int result = dlg.DoModal();
  vx::fw::SetModalHook(nullptr);
  return result;
}

}  // namespace vx::fwtest
