// What users meet on flaky cables and vanishing devices, end to end through
// the dialog: the exerciser shows it, loses nothing it owns, and never hangs.
#include "harness.h"

#include "platform/hooks.h"
#include "tools/dialog_driver.h"
#include "tools/echo_peer.h"

#include <QLineEdit>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace vx::test {
namespace {

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::string BigFile(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + i % 26);
  return WriteTempFile(s);
}

struct Session {
  std::unique_ptr<tools::EchoPeer> peer;
  std::string file;
  bool errorShown = false;

  explicit Session(tools::EchoPeer::Options options = {}, std::size_t fileSize = 4 << 20) {
    peer = std::make_unique<tools::EchoPeer>(options);
    std::string error;
    EXPECT_TRUE(peer->Start(&error)) << error;
    file = BigFile(fileSize);
  }
  ~Session() { unlink(file.c_str()); }

  void Start(CExerciserDlg& dlg, bool stress = true, unsigned packet = 2048) {
    auto* status = Control<QLineEdit>(dlg, IDC_STATUS);
    QObject::connect(status, &QLineEdit::textChanged, status, [this](const QString& t) {
      if (t == QStringLiteral("ERROR")) errorShown = true;
    });
    tools::StartTransfer(dlg, {file, peer->DevicePath(), packet, stress});
  }
};

// Clicks Quit and returns how long it took.
DWORD TimeQuit(CExerciserDlg& dlg) {
  DWORD start = GetTickCount();
  Click(dlg, IDCANCEL);
  EXPECT_TRUE(dlg.HasEnded());
  return GetTickCount() - start;
}

TEST(Faults, FarSideClosingMidTransferShowsErrorWithoutSpinning) {
  Session s;
  DWORD quit = 0;
  RunMainDialog([&](CExerciserDlg& dlg) {
    s.Start(dlg);
    ASSERT_TRUE(WaitUntil([&] { return dlg.m_nReceived > 100000; }));
    s.peer->HangUp();
    EXPECT_TRUE(WaitUntil([&] { return s.errorShown; }, 3000));
    double cpu = CpuSeconds();
    WaitUntil([] { return false; }, 1000);
    EXPECT_LT(CpuSeconds() - cpu, 0.6) << "spinning after the device went away";
    quit = TimeQuit(dlg);
  });
  EXPECT_LT(quit, 1000u);
}

// A closed terminal or a plain kill asks the program to end: it quits as
// its close box would, so the port is closed and gets back the settings it
// had, where the signal's default action left it at the run's.
TEST(Faults, ATerminationSignalQuitsAsTheCloseBoxDoes) {
  Session s;
  const std::string device = s.peer->DevicePath();
  auto speed = [&device] {
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    tcgetattr(fd, &t);
    close(fd);
    return cfgetospeed(&t);
  };
  {
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    tcgetattr(fd, &t);
    cfsetspeed(&t, B9600);
    tcsetattr(fd, TCSANOW, &t);
    close(fd);
  }
  RunMainDialog([&](CExerciserDlg& dlg) {
    tools::StartTransfer(dlg, {s.file, device + "?baud=115200", 2048, true});
    ASSERT_TRUE(WaitUntil([&] { return dlg.m_nReceived > 100000; }));
    raise(SIGTERM);  // (not SIGHUP, which nohup would have the tests ignore)
    EXPECT_TRUE(WaitUntil([&] { return dlg.HasEnded(); }, 3000));
    EXPECT_EQ(dlg.m_pLink, nullptr);
  });
  EXPECT_EQ(speed(), speed_t(B9600));
}

TEST(Faults, FarSideThatStopsReadingDoesNotHoldUpQuit) {
  Session s;
  DWORD quit = 0;
  RunMainDialog([&](CExerciserDlg& dlg) {
    s.Start(dlg);
    ASSERT_TRUE(WaitUntil([&] { return dlg.m_nReceived > 100000; }));
    s.peer->PauseReading(true);  // the writer's writes now back up
    WaitUntil([] { return false; }, 500);
    quit = TimeQuit(dlg);
  });
  EXPECT_LT(quit, 1000u);  // well inside the 10 s the stop operations allow
}

TEST(Faults, SourceFileTruncatedOrDeletedMidTransfer) {
  for (bool remove : {false, true}) {
    Session s({}, 1 << 20);
    RunMainDialog([&](CExerciserDlg& dlg) {
      s.Start(dlg, false, 256);
      ASSERT_TRUE(WaitUntil([&] { return dlg.m_nWritten > 20000; }));
      if (remove)
        unlink(s.file.c_str());  // the open file stays readable to the end
      else
        ASSERT_EQ(truncate(s.file.c_str(), 0), 0);  // the next read is the end of the file
      ASSERT_TRUE(WaitUntil([&] { return dlg.m_hSourceFile == INVALID_HANDLE_VALUE; }, 20000));
      EXPECT_EQ(dlg.m_nReceived, dlg.m_nWritten);
      if (remove) {
        EXPECT_EQ(dlg.m_nWritten, 1u << 20);
      } else {
        EXPECT_LT(dlg.m_nWritten, 1u << 20);
      }
      EXPECT_FALSE(s.errorShown);
    });
  }
}

// A file whose reads fail (here reading this process's memory from address
// 0, which is never mapped) is a failure, shown as such, not an empty file:
// once sent, or in stress mode again at every tick.
TEST(Faults, AFileThatCannotBeReadShowsError) {
  for (bool stress : {false, true}) {
    SCOPED_TRACE(stress ? "stress" : "once");
    bool errorShown = false;
    RunMainDialog([&](CExerciserDlg& dlg) {
      auto* status = Control<QLineEdit>(dlg, IDC_STATUS);
      QObject::connect(status, &QLineEdit::textChanged, status, [&](const QString& t) {
        if (t == QStringLiteral("ERROR")) errorShown = true;
      });
      tools::StartTransfer(dlg, {"/proc/self/mem", "loop://", 256, stress});
      ASSERT_TRUE(WaitUntil([&] { return dlg.m_hSourceFile == INVALID_HANDLE_VALUE; }, 3000));
      WaitUntil([] { return false; }, 100);
      EXPECT_TRUE(errorShown);
      EXPECT_EQ(Text(dlg, IDC_STATUS), "ERROR");
      EXPECT_TRUE(dlg.m_bSourceFailed);
      EXPECT_EQ(dlg.m_nWritten, 0u);
    });
  }
}

TEST(Faults, StartPressedRepeatedlyDuringATransfer) {
  Session s({}, 256 * 1024);
  std::size_t handles = 0;
  RunMainDialog([&](CExerciserDlg& dlg) {
    s.Start(dlg, false, 512);
    CSerialLink* link = dlg.m_pLink;
    for (int i = 0; i < 10; ++i) {
      WaitUntil([] { return false; }, 20);
      Click(dlg, IDOK);
      EXPECT_EQ(dlg.m_pLink, link);  // the link is reused
    }
    handles = vx::OpenHandleCount();
    // The last Start runs to the end: the whole file, counted from that Start.
    ASSERT_TRUE(WaitUntil([&] { return dlg.m_hSourceFile == INVALID_HANDLE_VALUE; }, 20000));
    EXPECT_EQ(dlg.m_nWritten, 256u * 1024);
    EXPECT_FALSE(s.errorShown);
  });
  EXPECT_LT(vx::OpenHandleCount(), handles);  // port, stop event, threads and file all released
}

TEST(Faults, FloodingPeerLeavesTheTimerTicking) {
  Session s({.echo = false, .flood = true}, 64 << 20);
  RunMainDialog([&](CExerciserDlg& dlg) {
    s.Start(dlg, true, 64);
    WaitUntil([] { return false; }, 300);
    ULONGLONG written = dlg.m_nWritten;
    DWORD start = GetTickCount();
    WaitUntil([] { return false; }, 2000);
    double ticksPerSecond = (dlg.m_nWritten - written) / 64.0 / ((GetTickCount() - start) / 1000.0);
    EXPECT_GT(ticksPerSecond, 100) << "the user-interface thread is drowning in received blocks";
    EXPECT_GT(dlg.m_nReceived, 1000000u);
    std::ifstream status("/proc/self/status");
    std::string line;
    long rssKb = 0;
    while (std::getline(status, line))
      if (line.rfind("VmRSS:", 0) == 0) rssKb = std::stol(line.substr(6));
    // The box is emptied at every rewind of the 64 MB file at the latest; what
    // is queued is bounded by the 10,000-message quota of 2 KiB blocks.
    EXPECT_LT(rssKb, 1024 * 1024);
  });
}

// Starts a transfer on loop:// as the user would.
void StartOnLoop(CExerciserDlg& dlg, const std::string& file, unsigned packet = 2048) {
  tools::StartTransfer(dlg, {file, "loop://", packet, false});
}

TEST(Honesty, APacketTheWriterRefusesIsOfferedAgainNotCountedOrSkipped) {
  std::string content;
  for (int i = 0; content.size() < 64 * 1024; ++i) content += "packet line " + std::to_string(i) + "\r\n";
  std::string file = WriteTempFile(content);
  // The writer's queue refuses twenty packets in a row, as when it is full.
  vx::fault::Inject({"PostThreadMessageA", 3, 20, ERROR_NOT_ENOUGH_QUOTA});
  RunMainDialog([&](CExerciserDlg& dlg) {
    StartOnLoop(dlg, file, 512);
    ASSERT_TRUE(WaitUntil([&] { return dlg.m_hSourceFile == INVALID_HANDLE_VALUE; }, 20000));
    EXPECT_EQ(vx::fault::Hits("PostThreadMessageA"), 20u);
    EXPECT_EQ(dlg.m_nWritten, content.size());
    EXPECT_EQ(dlg.m_nReceived, content.size());
    EXPECT_TRUE(Text(dlg, IDC_RECEIVED) == content) << "the file went out with holes";
  });
  vx::fault::Reset();
  unlink(file.c_str());
}

TEST(Honesty, ALineSlowerThanThePacingGetsTheWholeFileAtItsPace) {
  std::string content;
  for (int i = 0; content.size() < 6000; ++i) content += "slow " + std::to_string(i) + "\r\n";
  std::string file = WriteTempFile(content);
  RunMainDialog([&](CExerciserDlg& dlg) {
    SetText(dlg, IDC_FILE_PATH, file);
    SetText(dlg, IDC_PORT_NAME, "loop://?baud=38400");  // 3,840 bytes a second against 2 MB offered
    SetText(dlg, IDC_PACKET_SIZE, "2048");
    Click(dlg, IDOK);
    ASSERT_TRUE(WaitUntil([&] { return dlg.m_nReceived >= content.size(); }, 10000));
    EXPECT_EQ(dlg.m_nWritten, content.size());
    EXPECT_TRUE(Text(dlg, IDC_RECEIVED) == content);
  });
  unlink(file.c_str());
}

TEST(Honesty, ADeadLineShowsErrorUntilTheNextStartAndStopsCounting) {
  Session s;
  RunMainDialog([&](CExerciserDlg& dlg) {
    s.Start(dlg);
    ASSERT_TRUE(WaitUntil([&] { return dlg.m_nReceived > 100000; }));
    s.peer->HangUp();
    ASSERT_TRUE(WaitUntil([&] { return s.errorShown; }, 3000));
    EXPECT_TRUE(WaitUntil([&] { return dlg.m_hSourceFile == INVALID_HANDLE_VALUE; }, 500));
    ULONGLONG written = dlg.m_nWritten;
    WaitUntil([] { return false; }, 300);
    EXPECT_EQ(Text(dlg, IDC_STATUS), "ERROR") << "the next tick's statistics hid the failure";
    EXPECT_EQ(dlg.m_nWritten, written) << "packets counted on a dead line";
  });
}

TEST(Honesty, StartAfterAFailureOpensThePortAfresh) {
  std::string content(20000, 'r');
  std::string file = WriteTempFile(content);
  auto dead = vx::fault::Rule{"WriteFile", 0, 1, ERROR_GEN_FAILURE};
  dead.onlyInThread = CSerialLink::WriterProc;
  vx::fault::Inject(dead);
  RunMainDialog([&](CExerciserDlg& dlg) {
    StartOnLoop(dlg, file);
    ASSERT_TRUE(WaitUntil([&] { return Text(dlg, IDC_STATUS) == "ERROR"; }, 3000));
    // The same name, no edit: Start must not reuse the link whose writer died.
    Click(dlg, IDOK);
    ASSERT_TRUE(WaitUntil([&] { return dlg.m_hSourceFile == INVALID_HANDLE_VALUE; }, 20000));
    EXPECT_EQ(dlg.m_nWritten, content.size());
    EXPECT_EQ(dlg.m_nReceived, content.size());
    EXPECT_NE(Text(dlg, IDC_STATUS), "ERROR");
  });
  vx::fault::Reset();
  unlink(file.c_str());
}

// The dialog falls behind a fast line (here: its thread is busy for a while)
// and more blocks arrive than its queue may hold. The reader waits for room,
// the device's buffer holds the line back, and nothing is dropped.
TEST(Honesty, ReceivedBlocksAreNeverDroppedWhenTheDialogFallsBehind) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  std::string device = ptsname(master);
  std::string file = WriteTempFile("x");
  constexpr std::size_t kTotal = 32u << 20;  // far past 10,000 blocks of 2 KiB
  std::atomic<std::size_t> sent{0};
  std::thread line;
  RunMainDialog([&](CExerciserDlg& dlg) {
    SetText(dlg, IDC_FILE_PATH, file);
    SetText(dlg, IDC_PORT_NAME, device);
    Click(dlg, IDOK);
    ASSERT_NE(dlg.m_pLink, nullptr);
    line = std::thread([&] {
      // Zero bytes: counted like any other, but they add nothing to the box.
      std::vector<char> zeros(64 * 1024, 0);
      while (sent < kTotal) {
        ssize_t n = ::write(master, zeros.data(), std::min(zeros.size(), kTotal - sent));
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
      }
    });
    Sleep(3000);  // busy: nothing handled
    EXPECT_TRUE(WaitUntil([&] { return dlg.m_nReceived >= kTotal; }, 30000));
    EXPECT_EQ(dlg.m_nReceived, sent.load());
  });
  if (line.joinable()) line.join();
  ::close(master);
  unlink(file.c_str());
}

TEST(BadInput, PortNames) {
  std::string file = WriteTempFile("data\r\n");
  std::string regular = WriteTempFile("not a port");
  const std::string names[] = {"/nonexistent/ttyVX", "/tmp", regular, std::string(5000, 'p'),
                               "COM1; rm -rf /", "\x01\xff\xfe", "loop://?baud=fast", "COM0"};
  RunMainDialog([&](CExerciserDlg& dlg) {
    SetText(dlg, IDC_FILE_PATH, file);
    for (const auto& name : names) {
      SetText(dlg, IDC_STATUS, "");
      SetText(dlg, IDC_PORT_NAME, name);
      Click(dlg, IDOK);
      EXPECT_TRUE(WaitUntil([&] { return Text(dlg, IDC_STATUS) == "ERROR"; }, 1000)) << name.substr(0, 40);
      EXPECT_EQ(dlg.m_pLink, nullptr) << name.substr(0, 40);
      EXPECT_EQ(dlg.m_hSourceFile, INVALID_HANDLE_VALUE) << name.substr(0, 40);
    }
    // /dev/null is a character device but no serial port: the link's reader
    // cannot watch it for line errors and says so.
    SetText(dlg, IDC_STATUS, "");
    SetText(dlg, IDC_PORT_NAME, "/dev/null");
    auto* status = Control<QLineEdit>(dlg, IDC_STATUS);
    bool error = false;
    auto watch = QObject::connect(status, &QLineEdit::textChanged, status, [&](const QString& t) { error |= t == "ERROR"; });
    Click(dlg, IDOK);
    EXPECT_TRUE(WaitUntil([&] { return error; }, 1000));
    QObject::disconnect(watch);  // `error` is gone once this body returns
    Type(dlg, IDC_PORT_NAME, "");  // an edit discards that link
    // An empty name with no link: Start reads the settings and does nothing more.
    SetText(dlg, IDC_STATUS, "");
    Click(dlg, IDOK);
    EXPECT_EQ(dlg.m_pLink, nullptr);
    EXPECT_EQ(Text(dlg, IDC_STATUS), "");
  });
  unlink(file.c_str());
  unlink(regular.c_str());
}

TEST(BadInput, FilePaths) {
  RunMainDialog([&](CExerciserDlg& dlg) {
    SetText(dlg, IDC_PORT_NAME, "loop://");
    std::string fifo = WriteTempFile("");
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (std::string path : {std::string("/tmp"), std::string("/nonexistent/file"), std::string(),
                             std::string("c:\\test.txt"), fifo}) {
      SetText(dlg, IDC_STATUS, "");
      SetText(dlg, IDC_FILE_PATH, path);
      DWORD start = GetTickCount();
      Click(dlg, IDOK);
      // A file that cannot be opened, or one whose reads would wait for a
      // writer (a FIFO), ends Start before any timer is set, and says so.
      EXPECT_LT(GetTickCount() - start, 1000u) << path;
      EXPECT_EQ(dlg.m_hSourceFile, INVALID_HANDLE_VALUE) << path;
      EXPECT_EQ(Text(dlg, IDC_STATUS), "ERROR") << path;
      WaitUntil([] { return false; }, 30);
      EXPECT_EQ(dlg.m_nWritten, 0u) << path;
      // The link's "Connected", posted when Start opened the port, does not
      // hide the failure.
      EXPECT_EQ(Text(dlg, IDC_STATUS), "ERROR") << path;
    }
    unlink(fifo.c_str());
    // Character devices that read without waiting stay usable as sources.
    SetText(dlg, IDC_FILE_PATH, "/dev/zero");
    Click(dlg, IDOK);
    EXPECT_NE(dlg.m_hSourceFile, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(WaitUntil([&] { return dlg.m_nWritten > 0; }, 2000));
  });
}

TEST(BadInput, PacketSizes) {
  MessageBoxes boxes;
  std::string file = WriteTempFile(std::string(10000, 'k'));
  struct Case {
    const char* text;
    bool message;
    UINT used;
  } cases[] = {{"1", false, 1},     {"2048", false, 2048}, {"2049", true, 2049},    {"100000", true, 100000},
               {"-1", true, 100000}, {"abc", true, 100000}, {"0", true, 0}};
  RunMainDialog([&](CExerciserDlg& dlg) {
    SetText(dlg, IDC_FILE_PATH, file);
    SetText(dlg, IDC_PORT_NAME, "loop://");
    for (const auto& c : cases) {
      boxes.shown.clear();
      SetText(dlg, IDC_PACKET_SIZE, c.text);
      Click(dlg, IDOK);
      EXPECT_EQ(boxes.shown.size(), c.message ? 1u : 0u) << c.text;
      EXPECT_EQ(dlg.m_nPacketSize, c.used) << c.text;
      ASSERT_TRUE(WaitUntil([&] { return dlg.m_hSourceFile == INVALID_HANDLE_VALUE; }, 20000)) << c.text;
      // Size 0 sends nothing and ends at the first tick; any other size sends the whole file.
      EXPECT_EQ(dlg.m_nWritten, c.used ? 10000u : 0u) << c.text;
      EXPECT_EQ(dlg.m_nReceived, dlg.m_nWritten) << c.text;
    }
  });
  unlink(file.c_str());
}

}  // namespace
}  // namespace vx::test
