// A dialog template of the framework tests' own, with one control of each
// kind, and a way to run a dialog modally with a test body inside its loop.
#pragma once

#include "support/message_boxes.h"

#include "framework/afxwin.h"

#include <functional>
#include <string>
#include <vector>

namespace vx::fwtest {

enum : int {
  IDD_FIELDS = 100,      // the template below, in an 8-point font
  IDD_FIELDS_LARGE = 101,  // the same in a 16-point font
  IDC_NAME = 1001,       // one-line edit
  IDC_COUNT = 1002,      // one-line edit holding a number
  IDC_LIMIT = 1003,      // one-line edit holding a number
  IDC_ENABLED = 1004,    // check box
  IDC_PORT = 1005,       // editable combo box
  IDC_LOG = 1006,        // multi-line read-only box (received data)
  IDC_STATE = 1007,      // one-line read-only box (status)
  IDC_CAPTION = 1008,    // static text
};

// Installs the tests' resources (once) and a QApplication.
void UseTestResources();

// Runs `dlg` modally; `body` runs inside its modal loop, after which the
// dialog is cancelled if the body has not ended it. Returns DoModal's result.
int RunModal(CDialog& dlg, const std::function<void()>& body);

using vx::test::MessageBoxes;

}  // namespace vx::fwtest
