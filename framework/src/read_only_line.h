// A one-line, read-only edit whose text only the program sets (the status
// box), at any rate: once per 1 ms tick and per received block. The text it
// holds changes at once; the picture follows at the display's pace. Its
// textChanged signal still tells every change of the text held, for those
// who watch the box for a word that may last less than a frame.
#pragma once

#include "paint_pacer.h"

#include <QLineEdit>
#include <string>

namespace vx::fw {

class ReadOnlyLine : public QLineEdit, private PacedView {
 public:
  explicit ReadOnlyLine(QWidget* parent);

  // The text held, as bytes in the locale's encoding; like an edit control's,
  // it ends at a NUL.
  const std::string& Held() const { return held_; }
  void Hold(const std::string& text);

 protected:
  void ShowModel() override;

 private:
  std::string held_;
};

}  // namespace vx::fw
