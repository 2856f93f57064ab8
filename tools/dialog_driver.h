// Driving the main dialog as a user would: fill in the settings and press
// Start, or Quit. The headless runner, the tests and the benchmarks all start
// their transfers this one way.
#pragma once

#include "console/ExerciserDlg.h"

#include <string>

namespace vx::tools {

struct TransferSettings {
  std::string file;
  std::string port = "loop://";
  unsigned packetSize = 256;
  bool stress = false;
};

// Types the settings into the dialog's fields and presses Start.
void StartTransfer(CExerciserDlg& dlg, const TransferSettings& settings);
// Presses Quit: the link is closed and the dialog ends.
void PressQuit(CExerciserDlg& dlg);

}  // namespace vx::tools
