// A multi-line, read-only text box for received data. It keeps the bytes in a
// TextStore (the newest 64 MiB) and paints only what is in view, so appending
// costs the same whatever the box already holds, even for one endless line.
// CR LF breaks lines; every other byte shows as its Windows-1252 character.
// Like a terminal, the view follows new data while it is at the end, and
// stays where the user scrolled it otherwise. The picture follows the text at
// the display's pace (PacedView); the scroll bars, whose every move repaints
// them, follow at a slower one while data streams in, and always end showing
// where the view stands.
#pragma once

#include "framework/src/paint_pacer.h"
#include "framework/text_store.h"

#include <QAbstractScrollArea>
#include <QElapsedTimer>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <string>

namespace vx::fw {

class ReceiveBox : public QAbstractScrollArea, private PacedView {
 public:
  explicit ReceiveBox(QWidget* parent = nullptr, std::uint64_t limit = TextStore::kDefaultLimit);

  void Append(const char* bytes, std::size_t count);
  void SetText(const std::string& text);
  std::string Text() const { return store_.Text(); }
  std::uint64_t Size() const { return store_.Size(); }
  std::size_t LineCount() const { return store_.LineCount(); }
  const TextStore& Store() const { return store_; }

  // What the box shows of line `line` from display column `first`, `count`
  // columns at most: the characters painted there.
  QString ShownText(std::size_t line, std::uint64_t first, std::size_t count) const;
  // The line at the top of the view, and how many lines the picture holds:
  // both as of the last frame.
  std::size_t TopLine() const { return topLine_; }
  std::size_t ShownLines() const { return shownLines_; }

  static constexpr int kScrollBarMovesPerSecond = 10;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  // Scrolled by lines and columns, not pixels: the view is painted anew.
  void scrollContentsBy(int, int) override { viewport()->update(); }
  void ShowModel() override;

 private:
  void UpdateScrollBars();
  int VisibleLines() const;
  void UserScrolled(int value);

  TextStore store_;
  int charWidth_ = 8;
  int lineHeight_ = 16;
  std::uint64_t shownDropped_ = 0;  // the store's dropped lines the view has accounted for
  bool reset_ = false;              // the text was set: show it from the beginning
  bool followAfterReset_ = false;   // ... which was empty, so the view is at the end
  bool following_ = true;           // the view stays at the end as data comes
  std::size_t topLine_ = 0;
  std::size_t shownLines_ = 1;
  bool movingBars_ = false;         // the box, not the user, is setting the scroll bars
  QTimer barsDue_;
  QElapsedTimer sinceBarsMoved_;
};

}  // namespace vx::fw
