// The system menu and About box, icons, the file chooser.
#include "harness.h"

#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace vx::test {
namespace {

QMenu* SystemMenu(CDialog& dlg) {
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

// Asked to end while the About box is open, the program closes it and the
// window behind it, as their close boxes would.
TEST(Chrome, ATerminationSignalClosesTheAboutBoxAndTheWindowBehindIt) {
  bool aboutClosed = false;
  RunMainDialog(
      [&](CExerciserDlg& dlg) {
        SystemMenu(dlg)->actions().back()->trigger();  // the About box, in which `others` asks
        EXPECT_TRUE(aboutClosed);
        EXPECT_TRUE(WaitUntil([&] { return dlg.HasEnded(); }, 3000));
      },
      [&](CDialog& about) {
        raise(SIGTERM);
        aboutClosed = WaitUntil([&] { return about.HasEnded(); }, 3000);
      });
}

TEST(Chrome, OnlyTheMainWindowsSystemMenuOffersMinimize) {
  QStringList mainEntries, aboutEntries;
  RunMainDialog(
      [&](CExerciserDlg& dlg) {
        for (QAction* a : SystemMenu(dlg)->actions()) mainEntries << a->text();
        SystemMenu(dlg)->actions().back()->trigger();  // About
      },
      [&](CDialog& about) {
        QMenu* menu = SystemMenu(about);
        ASSERT_NE(menu, nullptr);
        for (QAction* a : menu->actions()) aboutEntries << a->text();
        Click(about, IDOK);
      });
  EXPECT_TRUE(mainEntries.contains(QStringLiteral("Mi&nimize"))) << mainEntries.join(u',').toStdString();
  EXPECT_TRUE(aboutEntries.contains(QStringLiteral("&Close\tAlt+F4"))) << aboutEntries.join(u',').toStdString();
  for (const QString& entry : aboutEntries) EXPECT_FALSE(entry.contains(QStringLiteral("nimize"))) << entry.toStdString();
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

// A directory holding a file whose name is not ASCII, as Linux spells it (UTF-8).
struct Utf8File {
  std::string dir, path;
  Utf8File() {
    char name[] = "/tmp/vx-names-XXXXXX";
    dir = mkdtemp(name);
    path = dir + "/caf\xc3\xa9 \xe2\x82\xac.txt";  // "café €.txt"
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fputs("bonjour\r\n", f);
    std::fclose(f);
  }
  ~Utf8File() {
    unlink(path.c_str());
    rmdir(dir.c_str());
  }
};

// Starts a transfer of the file shown on loop:// and says whether it came back.
bool SendsOnLoop(CExerciserDlg& dlg) {
  SetText(dlg, IDC_PORT_NAME, "loop://");
  Click(dlg, IDOK);
  return WaitUntil([&] { return Text(dlg, IDC_RECEIVED) == "bonjour\r\n"; }, 3000);
}

TEST(Chrome, ChooserStartsWithStarDotStar) {
  RunMainDialog([](CExerciserDlg& dlg) {
    std::string initial;
    vx::fw::SetFileDialogHook([&](CString* path) {
      initial = path->str();
      return IDCANCEL;
    });
    Click(dlg, IDC_BROWSE);
    vx::fw::SetFileDialogHook(nullptr);
    EXPECT_EQ(initial, "*.*");
  });
}

TEST(Chrome, NonAsciiPathPickedInTheRealChooserShowsAndOpens) {
  Utf8File file;
  RunMainDialog([&](CExerciserDlg& dlg) {
    // The chooser opens with "*.*" in its name field; accepted as it is, the
    // pattern filters the list and the chooser stays. Then the file is named.
    QStringList namesSeen;
    int rounds = 0;
    std::function<void()> drive = [&] {
      auto* chooser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      if (!chooser) return QTimer::singleShot(10, drive);
      auto* name = chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
      if (!name) return QTimer::singleShot(10, drive);
      namesSeen << name->text();
      if (++rounds == 2) name->setText(QString::fromUtf8(file.path.c_str()));
      QMetaObject::invokeMethod(chooser, "accept", Qt::QueuedConnection);
      if (rounds < 2) QTimer::singleShot(10, drive);
    };
    QTimer::singleShot(0, drive);
    Click(dlg, IDC_BROWSE);
    ASSERT_EQ(namesSeen.size(), 2);
    EXPECT_EQ(namesSeen[0], QStringLiteral("*.*"));
    EXPECT_EQ(namesSeen[1], QStringLiteral("*.*"));
    EXPECT_EQ(Control<QLineEdit>(dlg, IDC_FILE_PATH)->text(), QString::fromUtf8(file.path.c_str()));  // not mojibake
    EXPECT_EQ(dlg.m_strFilePath.str(), file.path);
    EXPECT_TRUE(SendsOnLoop(dlg));
  });
}

TEST(Chrome, NonAsciiPathTypedIsStoredWholeAndOpens) {
  Utf8File file;
  RunMainDialog([&](CExerciserDlg& dlg) {
    Type(dlg, IDC_FILE_PATH, file.path);
    EXPECT_EQ(Text(dlg, IDC_FILE_PATH), file.path);  // every byte of the UTF-8 name
    EXPECT_TRUE(SendsOnLoop(dlg));
    EXPECT_EQ(dlg.m_strFilePath.str(), file.path);
    // A port name typed with the same characters keeps them too.
    Type(dlg, IDC_PORT_NAME, "/dev/caf\xc3\xa9");
    EXPECT_EQ(Text(dlg, IDC_PORT_NAME), "/dev/caf\xc3\xa9");
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
