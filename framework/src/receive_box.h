// A multi-line, read-only text box for received data. It keeps the bytes in
// fixed-size chunks with an index of line starts and paints only what is in
// view, so appending costs the same whatever the box already holds, even for
// one endless line. CR LF breaks lines; every other byte shows as its Latin-1
// character.
#pragma once

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
  std::string Text() const;
  std::uint64_t Size() const { return size_; }
  std::size_t LineCount() const { return lineStarts_.size(); }
  // The text of one line, without its CR LF (tests and painting).
  std::string Line(std::size_t index) const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  static constexpr std::size_t kChunk = 1 << 20;
  void CopyOut(std::uint64_t from, std::size_t count, char* out) const;
  std::uint64_t LineEnd(std::size_t index) const;
  void UpdateScrollBars();

  std::vector<std::unique_ptr<char[]>> chunks_;
  std::uint64_t size_ = 0;
  std::vector<std::uint64_t> lineStarts_{0};
  std::uint64_t longestLine_ = 0;
  bool lastWasCR_ = false;
  int charWidth_ = 8;
  int lineHeight_ = 16;
};

}  // namespace vx::fw
