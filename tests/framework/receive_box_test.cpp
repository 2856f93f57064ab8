// The received box on Qt's offscreen platform, over a store that indexes its
// lines sparsely: the rows of the view hold the right lines wherever the view
// stands, and while old lines are dropped under it.
#include "framework/afxwin.h"
#include "framework/receive_box.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QScrollBar>
#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace vx::fw {
namespace {

// Mostly one-letter lines (3 bytes with their CR LF), every 50th its number.
std::string LineText(std::size_t i) { return i % 50 == 0 ? "#" + std::to_string(i) : std::string(1, char('a' + i % 26)); }

std::string Lines(std::size_t from, std::size_t to) {
  std::string text;
  for (std::size_t i = from; i < to; ++i) text += LineText(i) + "\r\n";
  return text;
}

void AppendInOddBlocks(ReceiveBox& box, const std::string& text) {
  for (std::size_t at = 0, n = 1; at < text.size(); at += n, n = n * 7 % 4093 + 1) {
    n = std::min(n, text.size() - at);
    box.Append(text.data() + at, n);
  }
}

bool PumpUntil(const std::function<bool()>& done) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > 3000) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

// Each row of the picture against the line the model says belongs there,
// `dropped` lines having gone from the front.
void ExpectRowsShowLines(const ReceiveBox& box, std::size_t dropped) {
  ASSERT_GT(box.ShownLines(), box.TopLine());
  for (std::size_t row = 0; row < 12 && box.TopLine() + row < box.ShownLines(); ++row) {
    std::size_t line = box.TopLine() + row;
    EXPECT_EQ(box.ShownText(line, 0, 40).toStdString(), LineText(dropped + line)) << "row " << row;
  }
}

class ReceiveBoxView : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    EnsureApplication();
  }
};

TEST_F(ReceiveBoxView, ShowsTheRightLinesOfShortLinesAtTheEndAndScrolledUp) {
  ReceiveBox box;
  box.resize(400, 200);
  box.show();
  constexpr std::size_t kLines = 300000;
  AppendInOddBlocks(box, Lines(0, kLines));
  ASSERT_EQ(box.LineCount(), kLines + 1);  // and the empty open line
  // Following the end: the last lines fill the view.
  ASSERT_TRUE(PumpUntil([&] { return box.ShownLines() == kLines + 1 && box.TopLine() > kLines - 40; }));
  ExpectRowsShowLines(box, 0);
  ASSERT_TRUE(PumpUntil([&] { return box.verticalScrollBar()->maximum() > 200000; }));
  for (int top : {123457, 64, 63, 0, 250001}) {
    box.verticalScrollBar()->setValue(top);
    ASSERT_EQ(box.TopLine(), std::size_t(top));
    ExpectRowsShowLines(box, 0);
  }
}

TEST_F(ReceiveBoxView, AViewScrolledUpKeepsItsLinesWhileOldOnesAreDropped) {
  ReceiveBox box(nullptr, 48 << 10);  // about 16,000 of these lines
  box.resize(400, 200);
  box.show();
  AppendInOddBlocks(box, Lines(0, 20000));
  ASSERT_TRUE(PumpUntil([&] { return box.verticalScrollBar()->maximum() > 10000; }));
  const std::size_t droppedBefore = static_cast<std::size_t>(box.Store().DroppedLines());
  ASSERT_GT(droppedBefore, 0u);
  box.verticalScrollBar()->setValue(8000);
  const std::string top = box.ShownText(box.TopLine(), 0, 40).toStdString();
  ASSERT_EQ(top, LineText(droppedBefore + 8000));
  AppendInOddBlocks(box, Lines(20000, 22000));
  const std::size_t dropped = static_cast<std::size_t>(box.Store().DroppedLines());
  ASSERT_TRUE(PumpUntil([&] { return box.ShownLines() == box.LineCount(); }));
  EXPECT_EQ(box.TopLine(), 8000 - (dropped - droppedBefore));
  EXPECT_EQ(box.ShownText(box.TopLine(), 0, 40).toStdString(), top);
  ExpectRowsShowLines(box, dropped);
}

}  // namespace
}  // namespace vx::fw
