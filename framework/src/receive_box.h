// A multi-line, read-only text box for received data. It keeps the bytes in a
// TextStore and paints only what is in view, so appending costs the same
// whatever the box already holds, even for one endless line. CR LF breaks
// lines; every other byte shows as its Latin-1 character.
#pragma once

#include "text_store.h"

#include <QAbstractScrollArea>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vx::fw {

class ReceiveBox : public QAbstractScrollArea {
 public:
  explicit ReceiveBox(QWidget* parent = nullptr);

  void Append(const char* bytes, std::size_t count);
  void SetText(const std::string& text);
  std::string Text() const { return store_.Text(); }
  std::uint64_t Size() const { return store_.Size(); }
  std::size_t LineCount() const { return store_.LineCount(); }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void UpdateScrollBars();

  TextStore store_;
  int charWidth_ = 8;
  int lineHeight_ = 16;
};

}  // namespace vx::fw
