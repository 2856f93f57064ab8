// The exerciser end to end through the real dialog: on loop:// and on a
// pseudo-terminal with an echo peer.
#include "harness.h"

#include "platform/hooks.h"
#include "tools/dialog_driver.h"
#include "support/port_fixture.h"

#include <dirent.h>
#include <memory>
#include <unistd.h>

namespace vx::test {
namespace {


std::string ThreadNames() {
  std::string names;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      char buf[64] = "";
      std::string path = std::string("/proc/self/task/") + e->d_name + "/comm";
      if (FILE* f = fopen(path.c_str(), "r")) {
        if (fgets(buf, sizeof buf, f)) names += buf;
        fclose(f);
      }
    }
    closedir(d);
  }
  return names;
}

// Threads of this process, less Qt's pooled helpers (they come and go on their own).
int ThreadCount() {
  int n = 0;
  std::string names = ThreadNames();
  for (std::size_t at = 0; (at = names.find('\n', at)) != std::string::npos; ++at) ++n;
  for (std::size_t at = 0; (at = names.find("Thread (pooled)", at)) != std::string::npos; ++at) --n;
  return n;
}

std::string TextFile(std::size_t size) {
  std::string s;
  for (int line = 0; s.size() < size; ++line) s += "Line " + std::to_string(line) + " of the Varnelix test file.\r\n";
  s.resize(size);
  return s;
}

class Transfer : public ::testing::TestWithParam<Device> {
 protected:
  void SetUp() override { port = "loop://"; }
  void TearDown() override {
    for (auto& f : files) unlink(f.c_str());
  }

  // A peer for the pty flavour; the loopback needs none.
  void UsePeer(tools::EchoPeer::Options options = {}) {
    port = StartDevice(GetParam(), options, &peer);
    ASSERT_FALSE(port.empty());
  }

  void Start(CExerciserDlg& dlg, const std::string& content, UINT packet, bool stress) {
    files.push_back(WriteTempFile(content));
    tools::StartTransfer(dlg, {files.back(), port, packet, stress});
  }

  std::string port;
  std::unique_ptr<tools::EchoPeer> peer;
  std::vector<std::string> files;
};

std::string ReceivedText(CExerciserDlg& dlg) { return Text(dlg, IDC_RECEIVED); }

TEST_P(Transfer, TextFileArrivesWhole) {
  UsePeer();
  const std::string file = TextFile(100 * 1024);
  RunMainDialog([&](CExerciserDlg& dlg) {
    Start(dlg, file, 256, false);
    ASSERT_NE(dlg.m_pLink, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return dlg.m_hSourceFile == INVALID_HANDLE_VALUE; }, 20000));
    EXPECT_EQ(dlg.m_nWritten, file.size());
    EXPECT_EQ(dlg.m_nReceived, file.size());
    EXPECT_TRUE(ReceivedText(dlg) == file);
    std::string status = Text(dlg, IDC_STATUS);
    EXPECT_EQ(status.rfind("Received/Written Data size = 102400/102400, Speed = ", 0), 0u) << status;
  });
}

TEST_P(Transfer, StressModeRewindsAndEmptiesTheBoxWhileCountersGrow) {
  UsePeer();
  const std::string file = TextFile(8 * 1024);
  RunMainDialog([&](CExerciserDlg& dlg) {
    Start(dlg, file, 512, true);
    ASSERT_TRUE(WaitUntil([&] { return dlg.m_nWritten > 4 * file.size(); }, 20000));
    EXPECT_NE(dlg.m_hSourceFile, INVALID_HANDLE_VALUE);
    EXPECT_LE(ReceivedText(dlg).size(), 2 * file.size());  // emptied at each rewind
    EXPECT_GT(dlg.m_nReceived, 2 * file.size());           // counters keep growing
  });
}

TEST_P(Transfer, EmptyFileClosesAtTheFirstTickOrRewindsEveryTickInStressMode) {
  UsePeer();
  RunMainDialog([&](CExerciserDlg& dlg) {
    Start(dlg, "", 256, false);
    EXPECT_TRUE(WaitUntil([&] { return dlg.m_hSourceFile == INVALID_HANDLE_VALUE; }, 200));
    Start(dlg, "", 256, true);
    SetText(dlg, IDC_RECEIVED, "leftover");
    EXPECT_TRUE(WaitUntil([&] { return ReceivedText(dlg).empty(); }, 200));
    WaitUntil([] { return false; }, 50);
    EXPECT_NE(dlg.m_hSourceFile, INVALID_HANDLE_VALUE);
    EXPECT_EQ(dlg.m_nWritten, 0u);
  });
}

TEST_P(Transfer, SilentPeerDrainsAThousandTicksThenCloses) {
  if (GetParam() == Device::Loop) GTEST_SKIP() << "the loopback always echoes";
  UsePeer({.echo = false});
  RunMainDialog([&](CExerciserDlg& dlg) {
    Start(dlg, TextFile(2048), 256, false);
    EXPECT_EQ(dlg.m_nDrainTicks, 1000u);  // the allowance, counted in ticks whatever their pace
    ASSERT_TRUE(WaitUntil([&] { return dlg.m_nWritten == 2048; }, 2000));
    // Nothing has come back, yet the line shows what was written, packet by packet.
    EXPECT_EQ(Text(dlg, IDC_STATUS).rfind("Received/Written Data size = 0/2048, Speed = 0/", 0), 0u)
        << Text(dlg, IDC_STATUS);
    DWORD sent = GetTickCount();
    ASSERT_TRUE(WaitUntil([&] { return dlg.m_hSourceFile == INVALID_HANDLE_VALUE; }, 10000));
    DWORD drained = GetTickCount() - sent;
    EXPECT_GE(drained, 950u);  // 1000 ticks of 1 ms
    EXPECT_LT(drained, 3000u);
    EXPECT_EQ(dlg.m_nDrainTicks, 0u);
    EXPECT_EQ(dlg.m_nReceived, 0u);
  });
}

TEST_P(Transfer, StartEmptiesTheReceivedBoxBeforeSendingAgain) {
  UsePeer();
  const std::string file = TextFile(3000);
  RunMainDialog([&](CExerciserDlg& dlg) {
    Start(dlg, file, 512, false);
    ASSERT_TRUE(WaitUntil([&] { return dlg.m_hSourceFile == INVALID_HANDLE_VALUE; }, 10000));
    ASSERT_TRUE(ReceivedText(dlg) == file);
    Click(dlg, IDOK);  // the same file again
    EXPECT_EQ(ReceivedText(dlg), "") << "what the last transfer received is still shown";
    ASSERT_TRUE(WaitUntil([&] { return dlg.m_hSourceFile == INVALID_HANDLE_VALUE; }, 10000));
    EXPECT_TRUE(ReceivedText(dlg) == file);
  });
}

TEST_P(Transfer, ChatteringPeerKeepsTheDrainWaiting) {
  if (GetParam() == Device::Loop) GTEST_SKIP() << "the loopback does not chatter";
  UsePeer({.chatter = true});
  RunMainDialog([&](CExerciserDlg& dlg) {
    Start(dlg, TextFile(1024), 256, false);
    ASSERT_TRUE(WaitUntil([&] { return dlg.m_nWritten == 1024; }, 2000));
    WaitUntil([] { return false; }, 400);
    EXPECT_NE(dlg.m_hSourceFile, INVALID_HANDLE_VALUE);  // received > written: still draining
    EXPECT_GT(dlg.m_nReceived, dlg.m_nWritten);
    EXPECT_TRUE(WaitUntil([&] { return dlg.m_hSourceFile == INVALID_HANDLE_VALUE; }, 5000));
  });
}

TEST_P(Transfer, QuitDuringATransferIsPromptAndLeavesNothingBehind) {
  RunMainDialog([](CExerciserDlg&) {});  // Qt starts its own threads with the first dialog
  UsePeer();
  int threadsBefore = ThreadCount();
  std::size_t handlesBefore = vx::OpenHandleCount();
  DWORD quitTook = 0;
  RunMainDialog([&](CExerciserDlg& dlg) {
    Start(dlg, TextFile(4 << 20), 2048, true);
    WaitUntil([] { return false; }, 300);
    EXPECT_GT(dlg.m_nWritten, 0u);
    DWORD start = GetTickCount();
    Click(dlg, IDCANCEL);
    quitTook = GetTickCount() - start;
    EXPECT_TRUE(dlg.HasEnded());
    EXPECT_EQ(dlg.m_pLink, nullptr);
    EXPECT_EQ(dlg.m_hSourceFile, INVALID_HANDLE_VALUE);
  });
  EXPECT_LT(quitTook, 1000u);
  peer.reset();
  WaitUntil([&] { return ThreadCount() <= threadsBefore; }, 2000);
  EXPECT_LE(ThreadCount(), threadsBefore) << ThreadNames();
  EXPECT_EQ(vx::OpenHandleCount(), handlesBefore);
}

TEST_P(Transfer, BytesTheLinkHeldAtQuitAreCounted) {
  if (GetParam() == Device::Loop) GTEST_SKIP() << "the loopback does not pace its echo";
  // Echoed at 1200 baud, a byte every 8.3 ms: the link's read gathers them
  // (its 20 ms gap never comes) and still holds them when Quit closes it.
  tools::EchoPeer::Options slow;
  slow.baud = 1200;
  UsePeer(slow);
  RunMainDialog([&](CExerciserDlg& dlg) {
    Start(dlg, TextFile(200), 64, false);  // 1.7 s of the line
    WaitUntil([] { return false; }, 300);
    Click(dlg, IDCANCEL);
    EXPECT_TRUE(dlg.HasEnded());
    EXPECT_GT(dlg.m_nReceived, 0u);
    EXPECT_LT(dlg.m_nReceived, 200u);  // the rest was still on the line
  });
}

INSTANTIATE_TEST_SUITE_P(Devices, Transfer, ::testing::Values(Device::Loop, Device::Pty), DeviceName);

TEST(TransferDecisions, PortThatCannotBeOpenedShowsErrorAndTheNextStartTriesAgain) {
  std::string file = WriteTempFile("hello\r\n");
  RunMainDialog([&](CExerciserDlg& dlg) {
    SetText(dlg, IDC_FILE_PATH, file);
    SetText(dlg, IDC_PORT_NAME, "/nonexistent/ttyVX");
    Click(dlg, IDOK);
    EXPECT_EQ(Text(dlg, IDC_STATUS), "ERROR");
    EXPECT_EQ(dlg.m_pLink, nullptr);
    EXPECT_EQ(dlg.m_hSourceFile, INVALID_HANDLE_VALUE);  // no transfer started
    EXPECT_EQ(dlg.m_nWritten, 0u);

    SetText(dlg, IDC_PORT_NAME, file);  // a regular file: refused by the link
    Click(dlg, IDOK);
    EXPECT_TRUE(WaitUntil([&] { return Text(dlg, IDC_STATUS) == "ERROR"; }, 500));
    EXPECT_EQ(dlg.m_pLink, nullptr);

    SetText(dlg, IDC_PORT_NAME, "loop://");  // no edit: the next Start simply tries the name shown
    Click(dlg, IDOK);
    ASSERT_NE(dlg.m_pLink, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return ReceivedText(dlg) == "hello\r\n"; }, 3000));
  });
  unlink(file.c_str());
}

TEST(TransferDecisions, EditingThePortDuringATransferEndsIt) {
  std::string file = WriteTempFile(TextFile(4 << 20));
  RunMainDialog([&](CExerciserDlg& dlg) {
    SetText(dlg, IDC_FILE_PATH, file);
    SetText(dlg, IDC_PORT_NAME, "loop://");
    Click(dlg, IDOK);
    WaitUntil([] { return false; }, 200);
    Type(dlg, IDC_PORT_NAME, "loop://x");
    EXPECT_EQ(dlg.m_pLink, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return dlg.m_hSourceFile == INVALID_HANDLE_VALUE; }, 500));
    ULONGLONG written = dlg.m_nWritten;
    WaitUntil([] { return false; }, 100);
    EXPECT_EQ(dlg.m_nWritten, written);  // nothing more counted as sent
    // The closed link said so; blocks it had already posted may still rewrite
    // the statistics after it. Nothing failed.
    WaitUntil([] { return false; }, 100);
    std::string status = Text(dlg, IDC_STATUS);
    EXPECT_TRUE(status == "Disconnected" || status.rfind("Received/Written Data size = ", 0) == 0) << status;
  });
  unlink(file.c_str());
}

TEST(TransferDecisions, StartReusesTheLinkAndChosenNamesDoNotReplaceIt) {
  std::string file = WriteTempFile("abc");
  RunMainDialog([&](CExerciserDlg& dlg) {
    SetText(dlg, IDC_FILE_PATH, file);
    SetText(dlg, IDC_PORT_NAME, "loop://");
    Click(dlg, IDOK);
    CSerialLink* link = dlg.m_pLink;
    ASSERT_NE(link, nullptr);
    Control<QComboBox>(dlg, IDC_PORT_NAME)->setCurrentIndex(4);  // "COM5", chosen, not typed
    Click(dlg, IDOK);
    EXPECT_EQ(dlg.m_strPortName, "COM5");
    EXPECT_EQ(dlg.m_pLink, link);  // still sending through loop://
    EXPECT_TRUE(WaitUntil([&] { return ReceivedText(dlg) == "abc"; }, 3000));
  });
  unlink(file.c_str());
}

TEST(ReceiveDisplay, ZeroByteCutsItsBlockAndLaterBlocksFollowTheVisibleText) {
  RunMainDialog([](CExerciserDlg& dlg) {
    auto post = [&](const std::string& bytes) {
      void* block = LocalAlloc(LMEM_ZEROINIT, bytes.size());
      std::memcpy(block, bytes.data(), bytes.size());
      PostMessageA(dlg.m_hWnd, WM_LINK_DATA, reinterpret_cast<WPARAM>(block), LPARAM(bytes.size()));
    };
    post(std::string("abc\0hidden", 10));
    post("def\r\nghi\xe9\xff");
    ASSERT_TRUE(WaitUntil([&] { return dlg.m_nReceived == 20; }));
    EXPECT_EQ(ReceivedText(dlg), "abcdef\r\nghi\xe9\xff");
    EXPECT_EQ(Text(dlg, IDC_STATUS).rfind("Received/Written Data size = 20/0", 0), 0u);
  });
}

}  // namespace
}  // namespace vx::test
