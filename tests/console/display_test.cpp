// The received-data box and the status box through the real dialog: what the
// bytes show as, where the view stands as data comes, how much is kept, and
// how often the picture is painted.
#include "harness.h"

#include "framework/receive_box.h"

#include <QElapsedTimer>
#include <QScrollBar>
#include <QTest>
#include <cstring>
#include <functional>

namespace vx::test {
namespace {

fw::ReceiveBox* Box(CExerciserDlg& dlg) { return dynamic_cast<fw::ReceiveBox*>(dlg.GetDlgItem(IDC_RECEIVED)->widget()); }

// A block as the link's reader hands it over, taken in by the dialog.
void Receive(CExerciserDlg& dlg, const std::string& bytes) {
  void* block = LocalAlloc(LMEM_ZEROINIT, bytes.size());
  std::memcpy(block, bytes.data(), bytes.size());
  dlg.SendMessage(WM_LINK_DATA, reinterpret_cast<WPARAM>(block), LPARAM(bytes.size()));
}

std::string Lines(int from, int to) {
  std::string text;
  for (int i = from; i < to; ++i) text += "line " + std::to_string(i) + "\r\n";
  return text;
}

TEST(ReceiveDisplay, EveryByteShowsAsItsWindows1252CharacterOrAVisiblePlaceholder) {
  // Windows-1252 at 0x80-0x9F; U+FFFD for the five it leaves undefined.
  const std::u16string c1 =
      u"\u20AC\uFFFD\u201A\u0192\u201E\u2026\u2020\u2021\u02C6\u2030\u0160\u2039\u0152\uFFFD\u017D\uFFFD"
      u"\uFFFD\u2018\u2019\u201C\u201D\u2022\u2013\u2014\u02DC\u2122\u0161\u203A\u0153\uFFFD\u017E\u0178";
  RunMainDialog([&](CExerciserDlg& dlg) {
    // One byte a line. A CR or LF alone is no line break, so it is shown too.
    std::string sent;
    for (int b = 1; b < 256; ++b) sent += std::string(1, char(b)) + "\r\n";
    Receive(dlg, sent);
    EXPECT_TRUE(Text(dlg, IDC_RECEIVED) == sent);  // what is kept is byte-exact
    fw::ReceiveBox* box = Box(dlg);
    ASSERT_EQ(box->LineCount(), 256u);
    QFontMetrics metrics(box->font());
    for (int b = 1; b < 256; ++b) {
      char16_t expected;
      if (b == '\t') expected = u' ';
      else if (b < 0x20 || b == 0x7F) expected = u'\uFFFD';
      else if (b >= 0x80 && b < 0xA0) expected = c1[b - 0x80];
      else if (b == 0xAD) expected = u'\u2010';  // the soft hyphen drawn, as Windows draws it
      else expected = char16_t(b);
      QString shown = box->ShownText(std::size_t(b - 1), 0, 20);
      ASSERT_EQ(shown.size(), b == '\t' ? 8 : 1) << "byte " << b;
      EXPECT_EQ(shown[0].unicode(), expected) << "byte " << b;
      EXPECT_TRUE(metrics.inFontUcs4(shown[0].unicode())) << "byte " << b << " would show as an empty box";
    }
  });
}

TEST(ReceiveDisplay, TabsAdvanceToTheNextEightColumnStop) {
  RunMainDialog([](CExerciserDlg& dlg) {
    Receive(dlg, "a\tb\r\n12345678\tc\r\n\t\tx\r\n1234567\t|");
    fw::ReceiveBox* box = Box(dlg);
    EXPECT_EQ(box->ShownText(0, 0, 80), QStringLiteral("a       b"));
    EXPECT_EQ(box->ShownText(1, 0, 80), QStringLiteral("12345678        c"));
    EXPECT_EQ(box->ShownText(2, 0, 80), QString(16, u' ') + u'x');
    EXPECT_EQ(box->ShownText(3, 0, 80), QStringLiteral("1234567 |"));
    // Scrolled sideways into a TAB: its remaining columns, then what follows.
    EXPECT_EQ(box->ShownText(0, 3, 6), QStringLiteral("     b"));
    EXPECT_EQ(box->ShownText(2, 15, 2), QStringLiteral(" x"));
    EXPECT_EQ(box->Store().LongestLine(), 17u);
  });
}

TEST(ReceiveDisplay, FollowsNewDataOnlyWhileTheViewIsAtTheEnd) {
  RunMainDialog([](CExerciserDlg& dlg) {
    QScrollBar* bar = Box(dlg)->verticalScrollBar();
    Receive(dlg, Lines(0, 200));
    ASSERT_TRUE(WaitUntil([&] { return bar->maximum() > 100; }, 2000));
    EXPECT_EQ(bar->value(), bar->maximum());  // at the end, as a terminal
    EXPECT_EQ(Box(dlg)->TopLine(), std::size_t(bar->maximum()));

    // The user scrolls up: the view stays there while data comes.
    bar->triggerAction(QAbstractSlider::SliderPageStepSub);
    const int where = bar->value();
    ASSERT_LT(where, bar->maximum());
    int before = bar->maximum();
    Receive(dlg, Lines(200, 300));
    ASSERT_TRUE(WaitUntil([&] { return bar->maximum() > before; }, 2000));
    EXPECT_EQ(bar->value(), where);
    EXPECT_EQ(Box(dlg)->TopLine(), std::size_t(where));

    // Back at the end, it follows again.
    bar->triggerAction(QAbstractSlider::SliderToMaximum);
    before = bar->maximum();
    Receive(dlg, Lines(300, 400));
    ASSERT_TRUE(WaitUntil([&] { return bar->maximum() > before; }, 2000));
    EXPECT_EQ(bar->value(), bar->maximum());

    // Emptied (Start, a stress rewind), it is at the end, and follows.
    SetText(dlg, IDC_RECEIVED, "");
    Receive(dlg, Lines(0, 150));
    ASSERT_TRUE(WaitUntil([&] { return bar->maximum() > 100; }, 2000));
    EXPECT_EQ(bar->value(), bar->maximum());
  });
}

TEST(ReceiveDisplay, KeepsTheLast64MiBOfWholeLinesWhileCountsKeepEverything) {
  RunMainDialog([](CExerciserDlg& dlg) {
    const std::uint64_t limit = 64ull << 20;
    // Numbered 64-byte lines, 32 to a 2048-byte block, until 66 MiB have come.
    std::string block;
    std::uint64_t number = 0, sent = 0;
    auto line = [](std::uint64_t n) {
      char text[65];
      std::snprintf(text, sizeof text, "%010llu%052d\r\n", static_cast<unsigned long long>(n), 0);
      return std::string(text, 64);
    };
    while (sent < limit + (2u << 20)) {
      block.clear();
      for (int i = 0; i < 32; ++i) block += line(number++);
      Receive(dlg, block);
      sent += block.size();
    }
    EXPECT_EQ(dlg.m_nReceived, sent);
    CString kept;
    dlg.GetDlgItem(IDC_RECEIVED)->GetWindowText(kept);
    EXPECT_EQ(static_cast<std::uint64_t>(kept.GetLength()), limit);  // whole 64-byte lines fill it exactly
    EXPECT_EQ(kept.str().substr(0, 64), line(number - limit / 64));
    EXPECT_EQ(kept.str().substr(kept.str().size() - 64), line(number - 1));
    EXPECT_EQ(Box(dlg)->LineCount(), limit / 64 + 1);

    // Odd line lengths: what stays begins at a line start, under the bound.
    SetText(dlg, IDC_RECEIVED, "");
    std::string odd = "seven\r\n" + std::string(93, 'n') + "\r\n";  // 102 bytes
    std::string many;
    while (many.size() < 1u << 20) many += odd;
    for (int i = 0; i < 70; ++i) Receive(dlg, many);
    dlg.GetDlgItem(IDC_RECEIVED)->GetWindowText(kept);
    EXPECT_LE(static_cast<std::uint64_t>(kept.GetLength()), limit);
    EXPECT_GT(static_cast<std::uint64_t>(kept.GetLength()), limit - odd.size());
    EXPECT_TRUE(kept.str().rfind("seven\r\n", 0) == 0 || kept.str().rfind(std::string(93, 'n') + "\r\n", 0) == 0);
  });
}

// Counts how often what a widget paints changes: the platform may repaint a
// window for its own reasons, but the picture may change once a frame only.
struct PictureChanges : QObject {
  std::function<QString()> picture;
  QString last;
  int changes = 0;
  explicit PictureChanges(std::function<QString()> what) : picture(std::move(what)) {}
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Paint) {
      QString now = picture();
      if (now != last) ++changes;
      last = now;
    }
    return false;
  }
};

TEST(ReceiveDisplay, TextChangesAtOnceThePictureAtTheDisplaysPace) {
  RunMainDialog([](CExerciserDlg& dlg) {
    auto* status = Control<QLineEdit>(dlg, IDC_STATUS);
    WaitUntil([] { return false; }, 100);  // the first picture painted
    // A thousand changes with no event handled between them: the text is the
    // last at once; the picture takes only that one, a frame later.
    // Those who watch the box (the headless runner, for "ERROR") still hear
    // of every change.
    int changes = 0;
    auto watch = QObject::connect(status, &QLineEdit::textChanged, status, [&](const QString&) { ++changes; });
    for (int i = 0; i < 1000; ++i) SetText(dlg, IDC_STATUS, "status " + std::to_string(i));
    EXPECT_EQ(Text(dlg, IDC_STATUS), "status 999");
    EXPECT_EQ(changes, 1000);
    EXPECT_NE(status->text(), QStringLiteral("status 999"));
    EXPECT_TRUE(WaitUntil([&] { return status->text() == QStringLiteral("status 999"); }, 1000));
    EXPECT_EQ(changes, 1000);  // the picture catching up is no change of the text
    QObject::disconnect(watch);

    // Changes in every turn of the event loop, as a 1 ms timer and a stream
    // of blocks make them: painted at most once a frame, the last state
    // always shown.
    fw::ReceiveBox* box = Box(dlg);
    PictureChanges statusPaints([&] { return status->text(); });
    PictureChanges boxPaints([&] { return QString::number(box->TopLine()) + u'/' + QString::number(box->ShownLines()); });
    status->installEventFilter(&statusPaints);
    box->viewport()->installEventFilter(&boxPaints);
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 300; ++i) {
      Receive(dlg, Lines(i, i + 1));  // which writes the statistics line
      SetText(dlg, IDC_STATUS, "tick " + std::to_string(i));
      QCoreApplication::processEvents();
      QTest::qWait(1);
    }
    EXPECT_TRUE(WaitUntil([&] { return status->text() == QStringLiteral("tick 299"); }, 1000));
    QScrollBar* bar = box->verticalScrollBar();
    EXPECT_TRUE(WaitUntil([&] { return bar->value() == bar->maximum() && bar->maximum() > 0; }, 1000));
    const int frames = static_cast<int>(clock.elapsed() * fw::PacedView::kFramesPerSecond / 1000) + 3;
    EXPECT_LE(statusPaints.changes, frames);
    EXPECT_LE(boxPaints.changes, frames);
    EXPECT_GT(boxPaints.changes, 0);
    status->removeEventFilter(&statusPaints);
    box->viewport()->removeEventFilter(&boxPaints);
  });
}

}  // namespace
}  // namespace vx::test
