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
  store_.Append(bytes, count);
  UpdateScrollBars();
  viewport()->update();
}

void ReceiveBox::SetText(const std::string& text) {
  store_.Clear();
  if (!text.empty()) store_.Append(text.data(), text.size());
  // Setting the text shows it from its beginning.
  verticalScrollBar()->setValue(0);
  horizontalScrollBar()->setValue(0);
  UpdateScrollBars();
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
    if (line >= store_.LineCount()) break;
    std::uint64_t start = store_.LineStart(line) + firstColumn;
    std::uint64_t end = store_.LineEnd(line);
    if (start >= end) continue;
    piece.resize(static_cast<std::size_t>(std::min<std::uint64_t>(end - start, columns)));
    store_.CopyOut(start, piece.size(), piece.data());
    // Each byte is its own Latin-1 character; control bytes keep their cell, blank.
    for (auto& c : piece)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    painter.drawText(2, row * lineHeight_ + ascent, QString::fromLatin1(piece.data(), static_cast<qsizetype>(piece.size())));
  }
}

}  // namespace vx::fw
