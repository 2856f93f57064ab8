// The control adapters: each knows its widget's class, so it casts statically.
#include "controls.h"

#include "host.h"
#include "read_only_line.h"
#include "framework/receive_box.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <cstring>
#include <iterator>

namespace vx::fw {
namespace {

// Like an edit control, a one-line box shows text only up to a NUL.
std::string Line(const std::string& text) { return std::string(text.c_str()); }

// A control whose text is one line shown as set: a window's title, a
// button's or a static's text, a combo box's field.
template <class Widget, QString (Widget::*get)() const, void (Widget::*set)(const QString&)>
class LineText final : public ControlAdapter {
 public:
  std::string Text(const QWidget* w) const override { return LocalBytes((static_cast<const Widget*>(w)->*get)()); }
  void SetText(QWidget* w, const std::string& text) const override {
    (static_cast<Widget*>(w)->*set)(LocalText(Line(text)));
  }
};
using WindowText = LineText<QWidget, &QWidget::windowTitle, &QWidget::setWindowTitle>;
using ButtonText = LineText<QAbstractButton, &QAbstractButton::text, &QAbstractButton::setText>;
using LabelText = LineText<QLabel, &QLabel::text, &QLabel::setText>;
using ComboText = LineText<QComboBox, &QComboBox::currentText, &QComboBox::setEditText>;

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
  // In the order of ControlClass.
  static const ControlAdapter* const adapters[] = {&window, &button, &lineEdit, &statusLine,
                                                   &receivedData, &combo, &label};
  static_assert(std::size(adapters) == static_cast<std::size_t>(ControlClass::Label) + 1);
  return *adapters[static_cast<std::size_t>(kind)];
}

}  // namespace vx::fw
