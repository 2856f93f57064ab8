#include "read_only_line.h"

#include "host.h"

#include <QMetaMethod>
#include <QSignalBlocker>

namespace vx::fw {

ReadOnlyLine::ReadOnlyLine(QWidget* parent) : QLineEdit(parent) {
  setReadOnly(true);
  // Its panel covers it: when only its text changes, the dialog behind it
  // need not be painted first (what little the frame's rounded corners leave
  // is the dialog's unchanging background).
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void ReadOnlyLine::Hold(const std::string& text) {
  std::string line(text.c_str());
  if (line == held_) return;
  held_ = std::move(line);
  ScheduleShow();
  static const QMetaMethod changed = QMetaMethod::fromSignal(&QLineEdit::textChanged);
  if (isSignalConnected(changed)) emit textChanged(LocalText(held_));
}

void ReadOnlyLine::ShowModel() {
  // Shown without a second textChanged: that went out when the text changed.
  QSignalBlocker quiet(this);
  setText(LocalText(held_));
  setCursorPosition(0);
}

}  // namespace vx::fw
