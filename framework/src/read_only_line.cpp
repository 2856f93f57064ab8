#include "read_only_line.h"

#include "host.h"

#include <QMetaMethod>
#include <QSignalBlocker>

namespace vx::fw {

ReadOnlyLine::ReadOnlyLine(QWidget* parent) : QLineEdit(parent) { setReadOnly(true); }

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
