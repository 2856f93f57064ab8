#include "framework/receive_box.h"

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
  barsDue_.setSingleShot(true);
  QObject::connect(&barsDue_, &QTimer::timeout, this, [this] { UpdateScrollBars(); });
  QObject::connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) { UserScrolled(value); });
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

int ReceiveBox::VisibleLines() const { return std::max(1, viewport()->height() / lineHeight_); }

void ReceiveBox::UserScrolled(int value) {
  if (movingBars_) return;
  // At the end of the range the bar shows, the user asks to follow again.
  following_ = value >= verticalScrollBar()->maximum();
  topLine_ = static_cast<std::size_t>(value);
  ShowModel();
}

void ReceiveBox::ShowModel() {
  if (reset_) {
    // Setting the text shows it from its beginning (an empty box is at its end).
    topLine_ = 0;
    following_ = followAfterReset_;
    movingBars_ = true;
    horizontalScrollBar()->setValue(0);
    movingBars_ = false;
    reset_ = false;
  }
  const std::uint64_t dropped = store_.DroppedLines() - shownDropped_;
  shownDropped_ = store_.DroppedLines();
  const std::size_t lines = store_.LineCount(), visible = static_cast<std::size_t>(VisibleLines());
  shownLines_ = lines;
  const std::size_t lastTop = lines > visible ? lines - visible : 0;
  if (following_)
    topLine_ = lastTop;
  else  // the same lines stay in view while older ones go
    topLine_ = std::min<std::size_t>(topLine_ > dropped ? topLine_ - static_cast<std::size_t>(dropped) : 0, lastTop);
  viewport()->update();
  // The bars move at their own pace, and once more after the last change.
  const qint64 interval = 1000 / kScrollBarMovesPerSecond;
  if (!sinceBarsMoved_.isValid() || sinceBarsMoved_.elapsed() >= interval)
    UpdateScrollBars();
  else if (!barsDue_.isActive())
    barsDue_.start(static_cast<int>(interval - sinceBarsMoved_.elapsed()));
}

void ReceiveBox::UpdateScrollBars() {
  sinceBarsMoved_.start();
  barsDue_.stop();
  movingBars_ = true;
  int visibleLines = VisibleLines();
  int visibleColumns = std::max(1, viewport()->width() / charWidth_);
  auto clamp = [](std::uint64_t v) { return static_cast<int>(std::min<std::uint64_t>(v, 0x7fffffff)); };
  QScrollBar* vertical = verticalScrollBar();
  vertical->setRange(0, clamp(store_.LineCount() > std::size_t(visibleLines) ? store_.LineCount() - visibleLines : 0));
  vertical->setPageStep(visibleLines);
  vertical->setValue(clamp(topLine_));
  horizontalScrollBar()->setRange(0, clamp(store_.LongestLine() > std::uint64_t(visibleColumns) ? store_.LongestLine() - visibleColumns : 0));
  horizontalScrollBar()->setPageStep(visibleColumns);
  movingBars_ = false;
}

void ReceiveBox::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  ShowModel();
  UpdateScrollBars();
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
  const std::size_t firstLine = topLine_;
  const std::uint64_t firstColumn = static_cast<std::uint64_t>(horizontalScrollBar()->value());
  const int rows = viewport()->height() / lineHeight_ + 1;
  const std::size_t columns = static_cast<std::size_t>(viewport()->width() / charWidth_ + 1);
  const int ascent = QFontMetrics(font()).ascent();
  for (int row = 0; row < rows; ++row) {
    std::size_t line = firstLine + static_cast<std::size_t>(row);
    // Lines that came after the last frame wait for the next one (a repaint
    // the window system asks for meanwhile shows the same picture).
    if (line >= std::min(shownLines_, store_.LineCount())) break;
    QString text = ShownText(line, firstColumn, columns);
    if (!text.isEmpty()) painter.drawText(2, row * lineHeight_ + ascent, text);
  }
}

}  // namespace vx::fw
