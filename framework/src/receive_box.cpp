#include "receive_box.h"

#include "ansi_display.h"

#include <QFontDatabase>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>

namespace vx::fw {

ReceiveBox::ReceiveBox(QWidget* parent, std::uint64_t limit) : QAbstractScrollArea(parent), store_(limit) {
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
  store_.Append(bytes, count);
  ScheduleShow();
}

void ReceiveBox::SetText(const std::string& text) {
  store_.Clear();
  if (!text.empty()) store_.Append(text.data(), text.size());
  shownDropped_ = store_.DroppedLines();
  reset_ = true;
  followAfterReset_ = text.empty();
  ScheduleShow();
}

void ReceiveBox::ShowModel() {
  QScrollBar* vertical = verticalScrollBar();
  bool follow = vertical->value() >= vertical->maximum();
  if (reset_) {
    // Setting the text shows it from its beginning (an empty box is at its end).
    vertical->setValue(0);
    horizontalScrollBar()->setValue(0);
    follow = followAfterReset_;
    reset_ = false;
  }
  const auto dropped = static_cast<int>(std::min<std::uint64_t>(store_.DroppedLines() - shownDropped_, 0x7fffffff));
  shownDropped_ = store_.DroppedLines();
  UpdateScrollBars();
  if (follow)
    vertical->setValue(vertical->maximum());
  else if (dropped > 0)
    vertical->setValue(std::max(0, vertical->value() - dropped));  // the same lines stay in view
  viewport()->update();
}

void ReceiveBox::UpdateScrollBars() {
  int visibleLines = std::max(1, viewport()->height() / lineHeight_);
  int visibleColumns = std::max(1, viewport()->width() / charWidth_);
  auto clamp = [](std::uint64_t v) { return static_cast<int>(std::min<std::uint64_t>(v, 0x7fffffff)); };
  verticalScrollBar()->setRange(0, clamp(store_.LineCount() > std::size_t(visibleLines) ? store_.LineCount() - visibleLines : 0));
  verticalScrollBar()->setPageStep(visibleLines);
  horizontalScrollBar()->setRange(0, clamp(store_.LongestLine() > std::uint64_t(visibleColumns) ? store_.LongestLine() - visibleColumns : 0));
  horizontalScrollBar()->setPageStep(visibleColumns);
}

void ReceiveBox::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  ShowModel();
}

QString ReceiveBox::ShownText(std::size_t line, std::uint64_t first, std::size_t count) const {
  if (line >= store_.LineCount()) return {};
  TextStore::Position from = store_.SeekColumn(line, first);
  // Every byte fills at least one column: `count` bytes cover the row.
  std::size_t bytes = static_cast<std::size_t>(std::min<std::uint64_t>(store_.LineEnd(line) - from.byte, count));
  std::string piece(bytes, '\0');
  store_.CopyOut(from.byte, bytes, piece.data());
  std::u16string shown = LayOutColumns(piece.data(), piece.size(), from.column, first, count);
  return QString::fromUtf16(shown.data(), static_cast<qsizetype>(shown.size()));
}

void ReceiveBox::paintEvent(QPaintEvent*) {
  QPainter painter(viewport());
  painter.setFont(font());
  const int firstLine = verticalScrollBar()->value();
  const std::uint64_t firstColumn = static_cast<std::uint64_t>(horizontalScrollBar()->value());
  const int rows = viewport()->height() / lineHeight_ + 1;
  const std::size_t columns = static_cast<std::size_t>(viewport()->width() / charWidth_ + 1);
  const int ascent = QFontMetrics(font()).ascent();
  for (int row = 0; row < rows; ++row) {
    std::size_t line = static_cast<std::size_t>(firstLine + row);
    if (line >= store_.LineCount()) break;
    QString text = ShownText(line, firstColumn, columns);
    if (!text.isEmpty()) painter.drawText(2, row * lineHeight_ + ascent, text);
  }
}

}  // namespace vx::fw
