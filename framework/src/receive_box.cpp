#include "receive_box.h"

#include <QFontDatabase>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>
#include <cstring>

namespace vx::fw {

ReceiveBox::ReceiveBox(QWidget* parent) : QAbstractScrollArea(parent) {
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setPointSize(9);
  setFont(font);
  QFontMetrics metrics(font);
  charWidth_ = std::max(1, metrics.horizontalAdvance(QLatin1Char('M')));
  lineHeight_ = std::max(1, metrics.lineSpacing());
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  viewport()->setBackgroundRole(QPalette::Base);
  viewport()->setAutoFillBackground(true);
  UpdateScrollBars();
}

void ReceiveBox::Append(const char* bytes, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    std::size_t offset = static_cast<std::size_t>(size_ % kChunk);
    if (offset == 0 && chunks_.size() * kChunk == size_) chunks_.push_back(std::make_unique<char[]>(kChunk));
    std::size_t n = std::min(count - done, kChunk - offset);
    std::memcpy(chunks_.back().get() + offset, bytes + done, n);
    // Index the line breaks in what was just stored; a CR LF may straddle two appends.
    const char* p = bytes + done;
    if (lastWasCR_ && p[0] == '\n') lineStarts_.push_back(size_ + 1);
    for (const char* lf = p; (lf = static_cast<const char*>(std::memchr(lf, '\n', n - (lf - p)))) != nullptr; ++lf) {
      if (lf > p && lf[-1] == '\r') lineStarts_.push_back(size_ + static_cast<std::uint64_t>(lf - p) + 1);
    }
    lastWasCR_ = p[n - 1] == '\r';
    size_ += n;
    done += n;
  }
  longestLine_ = std::max(longestLine_, size_ - lineStarts_.back());
  UpdateScrollBars();
  viewport()->update();
}

void ReceiveBox::SetText(const std::string& text) {
  chunks_.clear();
  size_ = 0;
  lineStarts_.assign(1, 0);
  longestLine_ = 0;
  lastWasCR_ = false;
  if (!text.empty()) Append(text.data(), text.size());
  // Setting the text shows it from its beginning.
  verticalScrollBar()->setValue(0);
  horizontalScrollBar()->setValue(0);
  UpdateScrollBars();
  viewport()->update();
}

std::string ReceiveBox::Text() const {
  std::string out(static_cast<std::size_t>(size_), '\0');
  CopyOut(0, out.size(), out.data());
  return out;
}

void ReceiveBox::CopyOut(std::uint64_t from, std::size_t count, char* out) const {
  while (count > 0) {
    std::size_t chunk = static_cast<std::size_t>(from / kChunk);
    std::size_t offset = static_cast<std::size_t>(from % kChunk);
    std::size_t n = std::min(count, kChunk - offset);
    std::memcpy(out, chunks_[chunk].get() + offset, n);
    out += n;
    from += n;
    count -= n;
  }
}

std::uint64_t ReceiveBox::LineEnd(std::size_t index) const {
  return index + 1 < lineStarts_.size() ? lineStarts_[index + 1] - 2 : size_;
}

std::string ReceiveBox::Line(std::size_t index) const {
  if (index >= lineStarts_.size()) return {};
  std::uint64_t start = lineStarts_[index];
  std::string out(static_cast<std::size_t>(LineEnd(index) - start), '\0');
  CopyOut(start, out.size(), out.data());
  return out;
}

void ReceiveBox::UpdateScrollBars() {
  int visibleLines = std::max(1, viewport()->height() / lineHeight_);
  int visibleColumns = std::max(1, viewport()->width() / charWidth_);
  auto clamp = [](std::uint64_t v) { return static_cast<int>(std::min<std::uint64_t>(v, 0x7fffffff)); };
  verticalScrollBar()->setRange(0, clamp(lineStarts_.size() > std::size_t(visibleLines) ? lineStarts_.size() - visibleLines : 0));
  verticalScrollBar()->setPageStep(visibleLines);
  horizontalScrollBar()->setRange(0, clamp(longestLine_ > std::uint64_t(visibleColumns) ? longestLine_ - visibleColumns : 0));
  horizontalScrollBar()->setPageStep(visibleColumns);
}

void ReceiveBox::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  UpdateScrollBars();
}

void ReceiveBox::paintEvent(QPaintEvent*) {
  QPainter painter(viewport());
  painter.setFont(font());
  const int firstLine = verticalScrollBar()->value();
  const std::uint64_t firstColumn = static_cast<std::uint64_t>(horizontalScrollBar()->value());
  const int rows = viewport()->height() / lineHeight_ + 1;
  const std::size_t columns = static_cast<std::size_t>(viewport()->width() / charWidth_ + 1);
  const int ascent = QFontMetrics(font()).ascent();
  std::string piece;
  for (int row = 0; row < rows; ++row) {
    std::size_t line = static_cast<std::size_t>(firstLine + row);
    if (line >= lineStarts_.size()) break;
    std::uint64_t start = lineStarts_[line] + firstColumn;
    std::uint64_t end = LineEnd(line);
    if (start >= end) continue;
    piece.resize(static_cast<std::size_t>(std::min<std::uint64_t>(end - start, columns)));
    CopyOut(start, piece.size(), piece.data());
    // Each byte is its own Latin-1 character; control bytes keep their cell, blank.
    for (auto& c : piece)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    painter.drawText(2, row * lineHeight_ + ascent, QString::fromLatin1(piece.data(), static_cast<qsizetype>(piece.size())));
  }
}

}  // namespace vx::fw
