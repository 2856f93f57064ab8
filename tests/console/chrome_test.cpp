// The system menu and About box, icons, the file chooser.
#include "harness.h"

#include <QLabel>
#include <QMenu>

namespace vx::test {
namespace {

QMenu* SystemMenu(CExerciserDlg& dlg) {
  for (auto* m : dlg.widget()->findChildren<QMenu*>())
    if (!m->actions().isEmpty()) return m;
  return nullptr;
}

TEST(Chrome, AboutEntryOpensTheAboutBoxModally) {
  QStringList aboutTexts;
  QString aboutTitle;
  bool aboutWasModal = false;
  RunMainDialog(
      [&](CExerciserDlg& dlg) {
        QMenu* menu = SystemMenu(dlg);
        ASSERT_NE(menu, nullptr);
        auto actions = menu->actions();
        ASSERT_GE(actions.size(), 2);
        EXPECT_TRUE(actions[actions.size() - 2]->isSeparator());
        QAction* about = actions.back();
        EXPECT_EQ(about->text(), QStringLiteral("&About Varnelix..."));
        about->trigger();  // runs the About box's modal loop, closed by `others`
        EXPECT_FALSE(dlg.HasEnded());
      },
      [&](CDialog& about) {
        aboutTitle = about.widget()->windowTitle();
        aboutWasModal = about.widget()->isModal();
        for (auto* l : about.widget()->findChildren<QLabel*>())
          if (!l->text().isEmpty()) aboutTexts << l->text();
        Click(about, IDOK);
        EXPECT_TRUE(about.HasEnded());
      });
  EXPECT_EQ(aboutTitle, QStringLiteral("About Varnelix"));
  EXPECT_TRUE(aboutWasModal);
  ASSERT_EQ(aboutTexts.size(), 2);
  EXPECT_EQ(aboutTexts[0], QStringLiteral("Varnelix Version 1.0"));
  EXPECT_TRUE(aboutTexts[1].contains(QStringLiteral("Varnelix")));
}

TEST(Chrome, WindowIconAndDragIcon) {
  RunMainDialog([](CExerciserDlg& dlg) {
    EXPECT_NE(dlg.m_hIcon, nullptr);
    EXPECT_FALSE(dlg.widget()->windowIcon().isNull());
    auto sizes = dlg.widget()->windowIcon().availableSizes();
    EXPECT_TRUE(sizes.contains(QSize(32, 32)));
    EXPECT_TRUE(sizes.contains(QSize(16, 16)));
    EXPECT_EQ(reinterpret_cast<HICON>(dlg.SendMessage(WM_QUERYDRAGICON)), dlg.m_hIcon);
  });
}

TEST(Chrome, BrowseFillsThePathAndCancelChangesNothing) {
  RunMainDialog([](CExerciserDlg& dlg) {
    vx::fw::SetFileDialogHook([](CString*) { return IDCANCEL; });
    Click(dlg, IDC_BROWSE);
    EXPECT_EQ(Text(dlg, IDC_FILE_PATH), "c:\\test.txt");
    EXPECT_EQ(dlg.m_strFilePath, "c:\\test.txt");

    SetText(dlg, IDC_PACKET_SIZE, "99");
    vx::fw::SetFileDialogHook([](CString* path) {
      *path = "/tmp/does-not-exist-yet.bin";  // a name that does not exist is accepted
      return IDOK;
    });
    Click(dlg, IDC_BROWSE);
    EXPECT_EQ(Text(dlg, IDC_FILE_PATH), "/tmp/does-not-exist-yet.bin");
    EXPECT_EQ(dlg.m_strFilePath, "/tmp/does-not-exist-yet.bin");
    EXPECT_EQ(dlg.m_nPacketSize, 99u);  // the other settings follow the controls too
    vx::fw::SetFileDialogHook(nullptr);
  });
}

TEST(Chrome, MinimizedWindowPaintsItsIcon) {
  RunMainDialog([](CExerciserDlg& dlg) {
    dlg.widget()->showMinimized();
    WaitUntil([&] { return dlg.IsIconic(); }, 1000);
    // Painting while minimized goes through OnPaint's icon branch without harm.
    dlg.widget()->repaint();
    dlg.widget()->showNormal();
  });
}

}  // namespace
}  // namespace vx::test
