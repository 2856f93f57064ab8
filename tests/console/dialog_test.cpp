// The main dialog's template, defaults, data exchange and message routing.
#include "harness.h"

#include "platform/hooks.h"
#include "tools/echo_peer.h"

#include <QAbstractItemView>
#include <QLabel>
#include <QTest>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vx::test {
namespace {

struct Expected {
  int id;
  const char* kind;
  const char* text;
  int x, y, w, h;
};

TEST(MainDialog, ControlsFollowTheTemplate) {
  RunMainDialog([](CExerciserDlg& dlg) {
    QWidget* window = dlg.widget();
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Varnelix"));
    const Expected expected[] = {
        {IDOK, "QPushButton", "Start", 363, 7, 50, 14},
        {IDCANCEL, "QPushButton", "Quit", 363, 22, 50, 14},
        {IDC_STATUS, "QLineEdit", "", 7, 225, 406, 13},
        {IDC_FILE_PATH, "QLineEdit", "c:\\test.txt", 7, 23, 142, 14},
        {IDC_PORT_NAME, "QComboBox", "COM1", 259, 24, 43, -1},
        {IDC_BROWSE, "QPushButton", "Browse...", 156, 23, 43, 14},
        {IDC_RECEIVED, "vx::fw::ReceiveBox", "", 7, 55, 406, 153},
        {IDC_PACKET_SIZE, "QLineEdit", "256", 313, 23, 41, 14},
        {IDC_STRESS_TEST, "QCheckBox", "Yes", 213, 25, 28, 10},
    };
    // One dialog unit horizontally is a quarter of the base width; vertically an eighth of its height.
    QRect frame = window->rect();
    double unitX = frame.width() / 420.0, unitY = frame.height() / 241.0;
    for (const auto& e : expected) {
      CWnd* item = dlg.GetDlgItem(e.id);
      ASSERT_NE(item, nullptr) << e.id;
      QWidget* w = item->widget();
      EXPECT_TRUE(w->inherits(e.kind) || std::string(e.kind) == "vx::fw::ReceiveBox") << e.id << " " << w->metaObject()->className();
      if (e.id != IDC_RECEIVED && e.id != IDC_STATUS && e.id != IDC_PACKET_SIZE && e.id != IDC_FILE_PATH &&
          e.id != IDC_PORT_NAME) {
        EXPECT_EQ(Text(dlg, e.id), e.text) << e.id;
      }
      QRect g = w->geometry();
      EXPECT_NEAR(g.x(), e.x * unitX, 1.5) << e.id;
      EXPECT_NEAR(g.y(), e.y * unitY, 1.5) << e.id;
      EXPECT_NEAR(g.width(), e.w * unitX, 1.5) << e.id;
      if (e.h > 0) {
        EXPECT_NEAR(g.height(), e.h * unitY, 1.5) << e.id;
      }
    }
    // The statics, in template order.
    QStringList labels;
    for (auto* l : window->findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) labels << l->text();
    EXPECT_EQ(labels, (QStringList{"File to Send:", "COM Port:", "Received Data:", "Status:", "Packet Size:",
                                   "Stress Test:"}));
    // Tab order: the template's, skipping what takes no tab stop.
    std::vector<int> order;
    QWidget* w = dlg.GetDlgItem(IDOK)->widget();
    for (int i = 0; i < 40 && w && order.size() < 8; ++i, w = w->nextInFocusChain()) {
      QVariant id = w->property("vxId");
      if (!id.isValid() && w->parentWidget() && w->parentWidget()->property("vxId").isValid()) continue;
      if (id.isValid() && (w->focusPolicy() & Qt::TabFocus)) order.push_back(id.toInt());
    }
    std::vector<int> expectedOrder{IDOK, IDCANCEL, IDC_STATUS, IDC_FILE_PATH, IDC_PORT_NAME, IDC_BROWSE,
                                   IDC_PACKET_SIZE, IDC_STRESS_TEST};
    EXPECT_EQ(std::vector<int>(order.begin(), order.begin() + std::min(order.size(), expectedOrder.size())), expectedOrder);
    EXPECT_EQ(dlg.GetDlgItem(IDC_RECEIVED)->widget()->focusPolicy() & Qt::TabFocus, 0);
  });
}

// A directory standing for /dev, with device nodes of the test's choosing;
// the port list looks there while it lives.
struct DeviceRoot {
  std::string root;
  DeviceRoot() {
    char name[] = "/tmp/vx-dev-XXXXXX";
    root = mkdtemp(name);
    vx::fw::SetSerialDeviceRoot(root);
  }
  ~DeviceRoot() {
    vx::fw::SetSerialDeviceRoot("/dev");
    std::string command = "rm -rf '" + root + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
  }
  void Link(const std::string& name, const std::string& target) const {
    EXPECT_EQ(symlink(target.c_str(), (root + "/" + name).c_str()), 0) << name;
  }
};

TEST(MainDialog, DefaultsAndPortList) {
  DeviceRoot none;  // no serial device present
  RunMainDialog([](CExerciserDlg& dlg) {
    EXPECT_EQ(Text(dlg, IDC_FILE_PATH), "c:\\test.txt");
    EXPECT_EQ(Text(dlg, IDC_PORT_NAME), "COM1");
    EXPECT_EQ(Text(dlg, IDC_PACKET_SIZE), "256");
    EXPECT_FALSE(Control<QCheckBox>(dlg, IDC_STRESS_TEST)->isChecked());
    auto* combo = Control<QComboBox>(dlg, IDC_PORT_NAME);
    ASSERT_EQ(combo->count(), 16);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(combo->itemText(i), QStringLiteral("COM%1").arg(i + 1));
    EXPECT_EQ(dlg.m_hSourceFile, INVALID_HANDLE_VALUE);
    EXPECT_EQ(dlg.m_pLink, nullptr);
  });
}

TEST(MainDialog, PortListGoesOnWithTheSerialDevicesPresent) {
  tools::EchoPeer peer;
  std::string error;
  ASSERT_TRUE(peer.Start(&error)) << error;
  DeviceRoot dev;
  mkdir((dev.root + "/serial").c_str(), 0755);
  mkdir((dev.root + "/serial/by-id").c_str(), 0755);
  dev.Link("serial/by-id/usb-Varnelix_Test_Adapter_0001-if00-port0", peer.DevicePath());
  dev.Link("ttyUSB10", peer.DevicePath());
  dev.Link("ttyUSB2", peer.DevicePath());
  dev.Link("ttyS0", peer.DevicePath());  // a node with no UART behind it: the driver says so
  dev.Link("ttyACM0", "/dev/null/none");  // a dangling name is no device
  close(open((dev.root + "/ttyACM1").c_str(), O_CREAT | O_WRONLY, 0644));  // nor is a plain file
  std::string file = WriteTempFile("through the adapter\r\n");
  RunMainDialog([&](CExerciserDlg& dlg) {
    auto* combo = Control<QComboBox>(dlg, IDC_PORT_NAME);
    QStringList expected;
    for (int i = 1; i <= 16; ++i) expected << QStringLiteral("COM%1").arg(i);
    const QString byId = QString::fromStdString(dev.root + "/serial/by-id/usb-Varnelix_Test_Adapter_0001-if00-port0");
    expected << byId << QString::fromStdString(dev.root + "/ttyUSB2") << QString::fromStdString(dev.root + "/ttyUSB10");
    QStringList items;
    for (int i = 0; i < combo->count(); ++i) items << combo->itemText(i);
    EXPECT_EQ(items, expected);
    // The dropped list is wide enough for its longest entry.
    EXPECT_GE(combo->view()->minimumWidth(), combo->fontMetrics().horizontalAdvance(byId));
    EXPECT_EQ(Text(dlg, IDC_PORT_NAME), "COM1");  // the default is still selected

    // Picked from the list, the device is the port a new link opens.
    combo->setCurrentIndex(16);
    EXPECT_EQ(combo->toolTip(), byId);  // the field is narrower than the name: it reads whole on hover
    SetText(dlg, IDC_FILE_PATH, file);
    Click(dlg, IDOK);
    EXPECT_EQ(dlg.m_strPortName.str(), byId.toStdString());
    EXPECT_TRUE(WaitUntil([&] { return Text(dlg, IDC_RECEIVED) == "through the adapter\r\n"; }, 3000));
  });
  unlink(file.c_str());
}

TEST(MainDialog, PacketSizeValidation) {
  MessageBoxes boxes;
  RunMainDialog([&](CExerciserDlg& dlg) {
    struct Case {
      const char* text;
      bool ok;
      UINT stored;
    } cases[] = {
        {"abc", false, 256},         // not a number: unchanged
        {"0", false, 0},             // out of range: stored, then rejected
        {"2049", false, 2049},
        {" 12", true, 12},           // blanks around the digits are fine
        {"4294967296", false, 12},   // past 32 bits: not an unsigned number
        {"-5", false, 12},
        {"12x", false, 12},
        {"2048", true, 2048},
    };
    for (const auto& c : cases) {
      boxes.shown.clear();
      dlg.m_bStressTest = 7;  // a sentinel: only a complete exchange writes it
      SetText(dlg, IDC_PACKET_SIZE, c.text);
      Control<QCheckBox>(dlg, IDC_STRESS_TEST)->setChecked(true);
      SetText(dlg, IDC_FILE_PATH, "/tmp/x");
      BOOL ok = dlg.UpdateData(TRUE);
      EXPECT_EQ(ok, c.ok ? TRUE : FALSE) << c.text;
      EXPECT_EQ(dlg.m_nPacketSize, c.stored) << c.text;
      EXPECT_EQ(dlg.m_strFilePath, "/tmp/x") << c.text;  // exchanged before the packet size
      EXPECT_EQ(dlg.m_bStressTest, c.ok ? 1 : 7) << c.text;
      EXPECT_EQ(boxes.shown.size(), c.ok ? 0u : 1u) << c.text;
    }
  });
}

TEST(MainDialog, LinkMessagesFromAnotherThreadReachTheHandlers) {
  RunMainDialog([](CExerciserDlg& dlg) {
    HWND hwnd = dlg.m_hWnd;
    HANDLE t = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
          PostMessageA(static_cast<HWND>(p), WM_LINK_STATUS, LINK_STATUS_CONNECTED, 0);
          return 0;
        },
        hwnd, 0, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return Text(dlg, IDC_STATUS) == "Connected"; }));
    WaitForSingleObject(t, 5000);
    CloseHandle(t);
    PostMessageA(hwnd, WM_LINK_STATUS, 99, 0);  // an unknown kind changes nothing
    PostMessageA(hwnd, WM_LINK_STATUS, LINK_STATUS_ERROR, LINK_ERR_LINE_EVENT);
    EXPECT_TRUE(WaitUntil([&] { return Text(dlg, IDC_STATUS) == "ERROR"; }));
    PostMessageA(hwnd, WM_LINK_STATUS, LINK_STATUS_DISCONNECTED, 0);
    EXPECT_TRUE(WaitUntil([&] { return Text(dlg, IDC_STATUS) == "Disconnected"; }));
  });
}

TEST(MainDialog, TimerReachesOnTimer) {
  RunMainDialog([](CExerciserDlg& dlg) {
    // With no file, a tick does nothing but the default handling; with a file
    // and no link, the tick ends the transfer by closing the file.
    std::string path = WriteTempFile("abc");
    dlg.m_hSourceFile = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ::SetTimer(dlg.m_hWnd, TRANSFER_TIMER_ID, 1, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return dlg.m_hSourceFile == INVALID_HANDLE_VALUE; }, 2000));
    EXPECT_EQ(dlg.m_nWritten, 0u);  // nothing counted as sent without a link
    unlink(path.c_str());
  });
}

TEST(MainDialog, EnterStartsEscapeAndCloseBoxQuit) {
  RunMainDialog([](CExerciserDlg& dlg) {
    SetText(dlg, IDC_PORT_NAME, "");  // Start with no port does nothing but read the settings
    SetText(dlg, IDC_PACKET_SIZE, "77");
    QWidget* edit = dlg.GetDlgItem(IDC_FILE_PATH)->widget();
    edit->setFocus();
    QTest::keyClick(edit, Qt::Key_Return);
    EXPECT_EQ(dlg.m_nPacketSize, 77u);  // OnStart ran UpdateData
    EXPECT_FALSE(dlg.HasEnded());
    QTest::keyClick(edit, Qt::Key_Escape);
    EXPECT_TRUE(dlg.HasEnded());
  });
  int result = RunMainDialog([](CExerciserDlg& dlg) { dlg.widget()->close(); });
  EXPECT_EQ(result, IDCANCEL);
}

TEST(MainDialog, EditChangeComesFromTypingOnly) {
  RunMainDialog([](CExerciserDlg& dlg) {
    // A link object stands for "edits discard the link": watch it go.
    dlg.m_pLink = new CSerialLink(dlg.m_hWnd);
    SetText(dlg, IDC_PORT_NAME, "COM7");  // programmatic: no notification
    auto* combo = Control<QComboBox>(dlg, IDC_PORT_NAME);
    combo->setCurrentIndex(3);  // a choice from the list: no edit notification
    EXPECT_NE(dlg.m_pLink, nullptr);
    Type(dlg, IDC_PORT_NAME, "loop://");
    EXPECT_EQ(dlg.m_pLink, nullptr);
    EXPECT_EQ(Text(dlg, IDC_PORT_NAME), "loop://");
  });
}

TEST(MainDialog, FormatStatistics) {
  RunMainDialog([](CExerciserDlg& dlg) {
    // The line as it reads when started `elapsed` ms ago, taken again if the
    // tick moved during the call: at large counts one millisecond shows in
    // the rate.
    auto startedAgo = [&dlg](DWORD elapsed) {
      CString line;
      for (int i = 0; i < 20; ++i) {
        dlg.m_dwStartTick = GetTickCount() - elapsed;
        line = dlg.FormatStatistics();
        if (GetTickCount() - dlg.m_dwStartTick == elapsed) break;
      }
      return line;
    };

    dlg.m_nReceived = 0;
    dlg.m_nWritten = 256;
    EXPECT_EQ(startedAgo(500), "Received/Written Data size = 0/256, Speed = 0/512 Bps");

    // Elapsed 0 counts as 1 ms.
    vx::SetTickCountOffset(0);
    EXPECT_EQ(startedAgo(0), "Received/Written Data size = 0/256, Speed = 0/256000 Bps");

    // Across the tick count's wrap: started 2 s before it, 2 s after.
    vx::SetTickCountOffset(0u - GetTickCount() + 2000);
    dlg.m_nReceived = 4000;
    dlg.m_nWritten = 8000;
    EXPECT_EQ(startedAgo(4000), "Received/Written Data size = 4000/8000, Speed = 1000/2000 Bps");
    EXPECT_GT(dlg.m_dwStartTick, 0xFFFF0000u);
    vx::SetTickCountOffset(0);

    // Past 2^31 and past 4,294,967: unsigned, and no wrap in the rate.
    dlg.m_nReceived = 3000000000u;
    dlg.m_nWritten = 5000000;
    EXPECT_EQ(startedAgo(1000), "Received/Written Data size = 3000000000/5000000, Speed = 3000000000/5000000 Bps");

    // Past 4 GiB the true figures show, not counts wrapped at 2^32.
    dlg.m_nReceived = 5000000000ull;
    dlg.m_nWritten = 4294967296ull + 10;
    EXPECT_EQ(startedAgo(2000), "Received/Written Data size = 5000000000/4294967306, Speed = 2500000000/2147483653 Bps");
  });
}

}  // namespace
}  // namespace vx::test
