// The control adapters: each knows its widget's class, so it casts statically.
#include "controls.h"

#include "host.h"
#include "read_only_line.h"
#include "receive_box.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <cstring>

namespace vx::fw {
namespace {

// Like an edit control, a one-line box shows text only up to a NUL.
std::string Line(const std::string& text) { return std::string(text.c_str()); }

class WindowText final : public ControlAdapter {
 public:
  std::string Text(const QWidget* w) const override { return LocalBytes(w->windowTitle()); }
  void SetText(QWidget* w, const std::string& text) const override { w->setWindowTitle(LocalText(Line(text))); }
};

class ButtonText final : public ControlAdapter {
 public:
  std::string Text(const QWidget* w) const override {
    return LocalBytes(static_cast<const QAbstractButton*>(w)->text());
  }
  void SetText(QWidget* w, const std::string& text) const override {
    static_cast<QAbstractButton*>(w)->setText(LocalText(Line(text)));
  }
};

class LabelText final : public ControlAdapter {
 public:
  std::string Text(const QWidget* w) const override { return LocalBytes(static_cast<const QLabel*>(w)->text()); }
  void SetText(QWidget* w, const std::string& text) const override {
    static_cast<QLabel*>(w)->setText(LocalText(Line(text)));
  }
};

class ComboText final : public ControlAdapter {
 public:
  std::string Text(const QWidget* w) const override {
    return LocalBytes(static_cast<const QComboBox*>(w)->currentText());
  }
  void SetText(QWidget* w, const std::string& text) const override {
    static_cast<QComboBox*>(w)->setEditText(LocalText(Line(text)));
  }
};

// Selection as an edit control has it, on a QLineEdit's shown text.
void SelectInLine(QLineEdit* edit, int start, int end) {
  int length = static_cast<int>(edit->text().size());
  if (end < 0 || end > length) end = length;
  if (start < 0) start = end;
  edit->setSelection(start, end - start);
}

class LineEditText final : public ControlAdapter {
 public:
  std::string Text(const QWidget* w) const override {
    return LocalBytes(static_cast<const QLineEdit*>(w)->text());
  }
  void SetText(QWidget* w, const std::string& text) const override {
    auto* edit = static_cast<QLineEdit*>(w);
    edit->setText(LocalText(Line(text)));
    edit->setCursorPosition(0);
  }
  void SetSel(QWidget* w, int start, int end) const override { SelectInLine(static_cast<QLineEdit*>(w), start, end); }
  void ReplaceSel(QWidget* w, const char* text) const override { static_cast<QLineEdit*>(w)->insert(LocalText(text)); }
};

class StatusLineText final : public ControlAdapter {
 public:
  std::string Text(const QWidget* w) const override { return static_cast<const ReadOnlyLine*>(w)->Held(); }
  void SetText(QWidget* w, const std::string& text) const override { static_cast<ReadOnlyLine*>(w)->Hold(text); }
  void SetSel(QWidget* w, int start, int end) const override { SelectInLine(static_cast<ReadOnlyLine*>(w), start, end); }
  // The program only ever adds at its end.
  void ReplaceSel(QWidget* w, const char* text) const override {
    auto* line = static_cast<ReadOnlyLine*>(w);
    line->Hold(line->Held() + text);
  }
};

class ReceivedDataText final : public ControlAdapter {
 public:
  std::string Text(const QWidget* w) const override { return static_cast<const ReceiveBox*>(w)->Text(); }
  void SetText(QWidget* w, const std::string& text) const override { static_cast<ReceiveBox*>(w)->SetText(text); }
  // The box is read-only and only ever appended to at its end: its selection
  // is always there, and replacing it appends at a cost that does not grow
  // with what the box holds.
  void ReplaceSel(QWidget* w, const char* text) const override {
    static_cast<ReceiveBox*>(w)->Append(text, std::strlen(text));
  }
};

}  // namespace

const ControlAdapter& AdapterOf(ControlClass kind) {
  static const WindowText window;
  static const ButtonText button;
  static const LineEditText lineEdit;
  static const StatusLineText statusLine;
  static const ReceivedDataText receivedData;
  static const ComboText combo;
  static const LabelText label;
  switch (kind) {
    case ControlClass::Window:
      return window;
    case ControlClass::Button:
      return button;
    case ControlClass::LineEdit:
      return lineEdit;
    case ControlClass::StatusLine:
      return statusLine;
    case ControlClass::ReceivedData:
      return receivedData;
    case ControlClass::ComboBox:
      return combo;
    case ControlClass::Label:
      break;
  }
  return label;
}

}  // namespace vx::fw
