// How the framework reads and writes each kind of control: one adapter per
// widget class, chosen where the widget is made, so that CWnd and CEdit calls
// reach the widget through one virtual call instead of guessing its class.
#pragma once

#include <string>

class QWidget;

namespace vx::fw {

class ControlAdapter {
 public:
  // Text as 8-bit bytes: in the locale's encoding (names of files and ports
  // are UTF-8 on Linux), but for the received-data box, which keeps every byte
  // as it came.
  virtual std::string Text(const QWidget* w) const = 0;
  virtual void SetText(QWidget* w, const std::string& text) const = 0;
  // Selects characters [start, end); -1 as end means "to the end", -1 as
  // start removes the selection. Controls without one ignore it.
  virtual void SetSel(QWidget* w, int start, int end) const {}
  // Replaces the selection with `text`. Controls without one ignore it.
  virtual void ReplaceSel(QWidget* w, const char* text) const {}

 protected:
  ~ControlAdapter() = default;
};

// The widget classes the framework makes, each with its adapter.
enum class ControlClass {
  Window,        // a dialog: its text is its title
  Button,        // QAbstractButton: push button, check box
  LineEdit,      // QLineEdit
  StatusLine,    // ReadOnlyLine
  ReceivedData,  // ReceiveBox
  ComboBox,      // QComboBox, editable
  Label,         // QLabel
};
const ControlAdapter& AdapterOf(ControlClass kind);

}  // namespace vx::fw
