// Every failure path of the link, reached by fault injection on loop://,
// checked by the exact status messages it posts.
#include "platform/hooks.h"
#include "support/owner.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace vx::test {
namespace {

using Status = std::pair<WPARAM, LPARAM>;
const Status kConnected{LINK_STATUS_CONNECTED, 0};
const Status kDisconnected{LINK_STATUS_DISCONNECTED, 0};
Status Error(LPARAM code) { return {LINK_STATUS_ERROR, code}; }

class LinkFaults : public ::testing::Test {
 protected:
  void TearDown() override {
    vx::fault::Reset();
    link.Close();
    owner.PumpFor(0);
  }

  HANDLE OpenLoop() {
    return CreateFileA("loop://", GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  }

  vx::fault::Rule InReader(const char* function, DWORD error = ERROR_GEN_FAILURE) {
    vx::fault::Rule r{function, 0, 1, error};
    r.onlyInThread = CSerialLink::ReaderProc;
    return r;
  }
  vx::fault::Rule InWriter(const char* function, DWORD error = ERROR_GEN_FAILURE) {
    vx::fault::Rule r{function, 0, 1, error};
    r.onlyInThread = CSerialLink::WriterProc;
    return r;
  }

  // Waits until `n` statuses other than Connected have come, then a little
  // longer to see that no more follow.
  std::vector<Status> Failures(std::size_t n) {
    auto others = [&] {
      std::vector<Status> out;
      for (auto& s : owner.statuses)
        if (s != kConnected) out.push_back(s);
      return out;
    };
    owner.PumpUntil([&] { return others().size() >= n; }, 5000);
    owner.PumpFor(60);
    return others();
  }

  Owner owner;
  CSerialLink link{owner.hwnd(), 300};
};

TEST_F(LinkFaults, NotACharacterDeviceIsRefusedAndClosed) {
  char name[] = "/tmp/vx-link-XXXXXX";
  close(mkstemp(name));
  HANDLE file = CreateFileA(name, GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  unlink(name);
  EXPECT_EQ(link.Open(file), 0);
  EXPECT_FALSE(CloseHandle(file));  // the link closed it
  owner.PumpFor(20);
  EXPECT_EQ(owner.statuses, std::vector<Status>{Error(LINK_ERR_BAD_HANDLE)});
  link.Close();  // never opened: nothing, and no "Disconnected"
  owner.PumpFor(20);
  EXPECT_EQ(owner.statuses.size(), 1u);
}

TEST_F(LinkFaults, SecondOpenIsRefusedSilentlyAndLeavesTheHandle) {
  ASSERT_EQ(link.Open(OpenLoop()), 1);
  owner.PumpFor(30);  // the writer takes packets once its queue exists
  HANDLE second = OpenLoop();
  EXPECT_EQ(link.Open(second), 0);
  EXPECT_TRUE(CloseHandle(second));  // still the caller's
  owner.PumpFor(20);
  EXPECT_EQ(owner.statuses, std::vector<Status>{kConnected});
}

TEST_F(LinkFaults, StopEventCannotBeCreated) {
  vx::fault::Inject({"CreateEventA", 0, 1, ERROR_NOT_ENOUGH_MEMORY});
  HANDLE port = OpenLoop();
  EXPECT_EQ(link.Open(port), 0);
  EXPECT_FALSE(CloseHandle(port));
  EXPECT_EQ(Failures(1), std::vector<Status>{Error(LINK_ERR_NO_EVENT)});
}

TEST_F(LinkFaults, ReaderThreadCannotBeCreated) {
  vx::fault::Inject({"CreateThread", 0, 1, ERROR_NOT_ENOUGH_MEMORY});
  HANDLE port = OpenLoop();
  EXPECT_EQ(link.Open(port), 0);
  EXPECT_FALSE(CloseHandle(port));
  EXPECT_EQ(Failures(1), std::vector<Status>{Error(LINK_ERR_NO_THREAD)});
}

TEST_F(LinkFaults, WriterThreadCannotBeCreatedAndTheReaderIsStopped) {
  vx::fault::Inject({"CreateThread", 1, 1, ERROR_NOT_ENOUGH_MEMORY});
  HANDLE port = OpenLoop();
  EXPECT_EQ(link.Open(port), 0);
  EXPECT_FALSE(CloseHandle(port));
  // The reader, stopped normally, reports nothing of its own.
  EXPECT_EQ(Failures(1), std::vector<Status>{Error(LINK_ERR_NO_THREAD)});
}

TEST_F(LinkFaults, LineSettingsThatCannotBeReadMeanNoSerialPort) {
  // Injected on a real port, and for real on character devices that are not
  // terminals: refused at once, nothing written back, the handle closed.
  vx::fault::Inject({"GetCommState", 0, 1, ERROR_GEN_FAILURE});
  HANDLE port = OpenLoop();
  EXPECT_EQ(link.Open(port), 0);
  EXPECT_FALSE(CloseHandle(port));
  EXPECT_EQ(Failures(1), std::vector<Status>{Error(LINK_ERR_GETCOMMSTATE)});
  EXPECT_EQ(vx::fault::Hits("GetCommState"), 1u);

  for (const char* device : {"/dev/null", "/dev/full", "/dev/zero"}) {
    CSerialLink l(owner.hwnd(), 300);
    owner.statuses.clear();
    HANDLE h = CreateFileA(device, GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << device;
    EXPECT_EQ(l.Open(h), 0) << device;
    EXPECT_EQ(Failures(1), std::vector<Status>{Error(LINK_ERR_GETCOMMSTATE)}) << device;
    void* packet = MakePacket("x");
    EXPECT_EQ(l.Send(packet, 1), 0) << device;  // nothing "written" into it
    LocalFree(packet);
    l.Close();
  }
}

TEST_F(LinkFaults, WriterEventCannotBeCreated) {
  vx::fault::Inject(InWriter("CreateEventA"));
  ASSERT_EQ(link.Open(OpenLoop()), 1);
  owner.PumpFor(30);  // the writer takes packets once its queue exists
  EXPECT_EQ(Failures(1), std::vector<Status>{Error(LINK_ERR_NO_EVENT)});
  void* packet = MakePacket("x");
  EXPECT_EQ(link.Send(packet, 1), 0);  // the writer has ended: the packet stays ours
  LocalFree(packet);
}

TEST_F(LinkFaults, ReaderEventsCannotBeCreated) {
  for (unsigned which : {0u, 1u}) {  // the read event, then the line event
    CSerialLink l(owner.hwnd(), 300);
    owner.statuses.clear();
    auto rule = InReader("CreateEventA");
    rule.skip = which;
    vx::fault::Inject(rule);
    ASSERT_EQ(l.Open(OpenLoop()), 1);
    owner.PumpFor(30);  // the writer takes packets once its queue exists
    EXPECT_EQ(Failures(1), std::vector<Status>{Error(LINK_ERR_NO_EVENT)}) << which;
    l.Close();
    owner.PumpFor(10);
  }
}

TEST_F(LinkFaults, EventMaskCannotBeSet) {
  vx::fault::Inject(InReader("SetCommMask"));
  ASSERT_EQ(link.Open(OpenLoop()), 1);
  owner.PumpFor(30);  // the writer takes packets once its queue exists
  EXPECT_EQ(Failures(1), std::vector<Status>{Error(LINK_ERR_EVENT_MASK)});
}

TEST_F(LinkFaults, ArmingTheLineEventFails) {
  vx::fault::Inject(InReader("WaitCommEvent", ERROR_INVALID_HANDLE));
  ASSERT_EQ(link.Open(OpenLoop()), 1);
  owner.PumpFor(30);  // the writer takes packets once its queue exists
  EXPECT_EQ(Failures(2), (std::vector<Status>{Error(LINK_ERR_BAD_HANDLE), Error(LINK_ERR_READER)}));
}

TEST_F(LinkFaults, ArmingTheLineEventFailsOtherwise) {
  vx::fault::Inject(InReader("WaitCommEvent", ERROR_GEN_FAILURE));
  ASSERT_EQ(link.Open(OpenLoop()), 1);
  owner.PumpFor(30);  // the writer takes packets once its queue exists
  EXPECT_EQ(Failures(1), std::vector<Status>{Error(LINK_ERR_READER)});
}

TEST_F(LinkFaults, ArmingTheReadFails) {
  vx::fault::Inject(InReader("ReadFile", ERROR_INVALID_HANDLE));
  ASSERT_EQ(link.Open(OpenLoop()), 1);
  owner.PumpFor(30);  // the writer takes packets once its queue exists
  EXPECT_EQ(Failures(1), std::vector<Status>{Error(LINK_ERR_READER)});
}

TEST_F(LinkFaults, ArmingTheReadFailsOtherwise) {
  vx::fault::Inject(InReader("ReadFile", ERROR_GEN_FAILURE));
  ASSERT_EQ(link.Open(OpenLoop()), 1);
  owner.PumpFor(30);  // the writer takes packets once its queue exists
  EXPECT_EQ(Failures(2), (std::vector<Status>{Error(LINK_ERR_READER), Error(LINK_ERR_READER)}));
}

TEST_F(LinkFaults, CollectingAReadFails) {
  for (DWORD error : {DWORD(ERROR_INVALID_HANDLE), DWORD(ERROR_GEN_FAILURE)}) {
    CSerialLink l(owner.hwnd(), 300);
    owner.statuses.clear();
    ASSERT_EQ(l.Open(OpenLoop()), 1);
    owner.PumpFor(30);  // the writer takes packets once its queue exists
    vx::fault::Inject(InReader("GetOverlappedResult", error));
    ASSERT_EQ(l.Send(MakePacket("abc"), 3), 1);
    LPARAM first = error == ERROR_INVALID_HANDLE ? LINK_ERR_BAD_HANDLE : LINK_ERR_READER;
    EXPECT_EQ(Failures(2), (std::vector<Status>{Error(first), Error(LINK_ERR_READER)}));
    l.Close();
    owner.PumpFor(10);
  }
}

TEST_F(LinkFaults, ReceivedBlockCannotBeAllocated) {
  ASSERT_EQ(link.Open(OpenLoop()), 1);
  owner.PumpFor(30);  // the writer takes packets once its queue exists
  vx::fault::Inject(InReader("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY));
  ASSERT_EQ(link.Send(MakePacket("abc"), 3), 1);
  EXPECT_EQ(Failures(2), (std::vector<Status>{Error(LINK_ERR_READER), Error(LINK_ERR_READER)}));
}

TEST_F(LinkFaults, AFullOwnerQueueHoldsTheReaderBackAndLosesNothing) {
  ASSERT_EQ(link.Open(OpenLoop()), 1);
  owner.PumpFor(30);  // the writer takes packets once its queue exists
  auto full = InReader("PostMessageA", ERROR_NOT_ENOUGH_QUOTA);
  full.count = 20;  // the dialog is behind for a while
  vx::fault::Inject(full);
  ASSERT_EQ(link.Send(MakePacket("first"), 5), 1);
  ASSERT_TRUE(owner.PumpUntil([&] { return vx::fault::Hits("PostMessageA") == 20; }, 2000));
  ASSERT_EQ(link.Send(MakePacket("second"), 6), 1);
  ASSERT_TRUE(owner.PumpUntil([&] { return owner.received == "firstsecond"; }));
  EXPECT_EQ(Failures(0), std::vector<Status>{});
}

TEST_F(LinkFaults, CloseIsPromptWhileTheReaderWaitsForRoom) {
  ASSERT_EQ(link.Open(OpenLoop()), 1);
  owner.PumpFor(30);  // the writer takes packets once its queue exists
  auto full = InReader("PostMessageA", ERROR_NOT_ENOUGH_QUOTA);
  full.count = 1000000;  // the dialog never catches up
  vx::fault::Inject(full);
  ASSERT_EQ(link.Send(MakePacket("stuck"), 5), 1);
  ASSERT_TRUE(owner.PumpUntil([&] { return vx::fault::Hits("PostMessageA") > 3; }, 2000));
  DWORD start = GetTickCount();
  link.Close();  // LeakSanitizer checks that the block it held was freed
  EXPECT_LT(GetTickCount() - start, 250u);  // well inside the 300 ms stop bound
  owner.PumpFor(20);
  EXPECT_EQ(owner.statuses, (std::vector<Status>{kConnected, kDisconnected}));
}

TEST_F(LinkFaults, ABlockForAWindowThatIsGoneIsFreed) {
  ASSERT_EQ(link.Open(OpenLoop()), 1);
  owner.PumpFor(30);  // the writer takes packets once its queue exists
  vx::fault::Inject(InReader("PostMessageA", ERROR_INVALID_WINDOW_HANDLE));
  ASSERT_EQ(link.Send(MakePacket("gone"), 4), 1);
  ASSERT_TRUE(owner.PumpUntil([&] { return vx::fault::Hits("PostMessageA") == 1; }, 2000));
  ASSERT_EQ(link.Send(MakePacket("kept"), 4), 1);
  ASSERT_TRUE(owner.PumpUntil([&] { return owner.received == "kept"; }));
  EXPECT_EQ(Failures(0), std::vector<Status>{});  // LeakSanitizer checks the first block was freed
}

TEST_F(LinkFaults, ReaderWaitFails) {
  auto rule = InReader("WaitForMultipleObjects");
  rule.overrideResult = true;
  rule.result = WAIT_FAILED;
  vx::fault::Inject(rule);
  ASSERT_EQ(link.Open(OpenLoop()), 1);
  owner.PumpFor(30);  // the writer takes packets once its queue exists
  EXPECT_EQ(Failures(1), std::vector<Status>{Error(LINK_ERR_READER)});
}

TEST_F(LinkFaults, LineEventWithoutErrorBitEndsTheReader) {
  HANDLE port = OpenLoop();
  ASSERT_EQ(link.Open(port), 1);
  owner.PumpFor(60);  // the writer takes packets once its queue exists, the reader is armed
  SetCommMask(port, EV_ERR);  // completes the reader's wait with mask 0
  EXPECT_EQ(Failures(2), (std::vector<Status>{Error(LINK_ERR_LINE_EVENT), Error(LINK_ERR_READER)}));
}

TEST_F(LinkFaults, LineErrorDescriptionCannotBeAllocated) {
  HANDLE port = OpenLoop();
  ASSERT_EQ(link.Open(port), 1);
  owner.PumpFor(60);  // the writer takes packets once its queue exists, the reader is armed
  vx::fault::Inject(InReader("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY));
  vx::LoopInjectLineError(port, CE_FRAME);
  EXPECT_EQ(Failures(2), (std::vector<Status>{Error(LINK_ERR_READER), Error(LINK_ERR_READER)}));
}

TEST_F(LinkFaults, LineErrorStateCannotBeRead) {
  for (DWORD error : {DWORD(ERROR_INVALID_HANDLE), DWORD(ERROR_GEN_FAILURE)}) {
    CSerialLink l(owner.hwnd(), 300);
    owner.statuses.clear();
    HANDLE port = OpenLoop();
    ASSERT_EQ(l.Open(port), 1);
    owner.PumpFor(60);  // the writer takes packets once its queue exists, the reader is armed
    vx::fault::Inject(InReader("ClearCommError", error));
    vx::LoopInjectLineError(port, CE_FRAME);
    LPARAM first = error == ERROR_INVALID_HANDLE ? LINK_ERR_BAD_HANDLE : LINK_ERR_LINE_EVENT;
    EXPECT_EQ(Failures(2), (std::vector<Status>{Error(first), Error(LINK_ERR_READER)}));
    l.Close();
    owner.PumpFor(10);
  }
}

TEST_F(LinkFaults, LineErrorCollectionFails) {
  HANDLE port = OpenLoop();
  ASSERT_EQ(link.Open(port), 1);
  owner.PumpFor(60);  // the writer takes packets once its queue exists, the reader is armed
  vx::fault::Inject(InReader("GetOverlappedResult", ERROR_INVALID_HANDLE));
  vx::LoopInjectLineError(port, CE_FRAME);
  EXPECT_EQ(Failures(2), (std::vector<Status>{Error(LINK_ERR_BAD_HANDLE), Error(LINK_ERR_READER)}));
}

TEST_F(LinkFaults, WriteFailsAndLaterPacketsAreRefused) {
  for (DWORD error : {DWORD(ERROR_INVALID_HANDLE), DWORD(ERROR_GEN_FAILURE)}) {
    CSerialLink l(owner.hwnd(), 300);
    owner.statuses.clear();
    ASSERT_EQ(l.Open(OpenLoop()), 1);
    owner.PumpFor(30);  // the writer takes packets once its queue exists
    vx::fault::Inject(InWriter("WriteFile", error));
    ASSERT_EQ(l.Send(MakePacket("abc"), 3), 1);
    LPARAM code = error == ERROR_INVALID_HANDLE ? LINK_ERR_BAD_HANDLE : LINK_ERR_WRITER;
    EXPECT_EQ(Failures(1), std::vector<Status>{Error(code)});
    void* packet = MakePacket("def");
    EXPECT_EQ(l.Send(packet, 3), 0);
    LocalFree(packet);  // refused: still ours
    l.Close();
    owner.PumpFor(10);
  }
}

TEST_F(LinkFaults, CloseWaitsForAFailedWriterThatHasNotYetEnded) {
  // The writer has reported its failure and cleared its "runs" mark, but is
  // still on its way out, freeing its queue. Close must wait for the thread
  // (here: its bound, then terminate it) before the owner may delete the link.
  auto* l = new CSerialLink(owner.hwnd(), 300);
  ASSERT_EQ(l->Open(OpenLoop()), 1);
  owner.PumpFor(30);  // the writer takes packets once its queue exists
  vx::fault::Inject(InWriter("WriteFile"));
  auto held = InWriter("PeekMessageA");
  held.skip = 1;  // the look that takes the packet; then the one freeing the queue
  held.block = true;
  vx::fault::Inject(held);
  ASSERT_EQ(l->Send(MakePacket("abc"), 3), 1);
  ASSERT_TRUE(owner.PumpUntil([&] { return vx::fault::Hits("PeekMessageA") == 1; }, 2000));
  DWORD start = GetTickCount();
  l->Close();
  EXPECT_GE(GetTickCount() - start, 290u);
  delete l;
  vx::fault::Reset();  // nothing is left to release: the writer is gone
  EXPECT_EQ(Failures(2), (std::vector<Status>{Error(LINK_ERR_WRITER), kDisconnected}));
}

TEST_F(LinkFaults, WriterInputWaitFails) {
  auto rule = InWriter("MsgWaitForMultipleObjects");
  rule.overrideResult = true;
  rule.result = WAIT_FAILED;
  vx::fault::Inject(rule);
  ASSERT_EQ(link.Open(OpenLoop()), 1);
  owner.PumpFor(30);  // the writer takes packets once its queue exists
  EXPECT_EQ(Failures(1), std::vector<Status>{Error(LINK_ERR_WRITER)});
}

TEST_F(LinkFaults, PendingWriteWaitAndCollectionFail) {
  // A 1 MiB write cannot complete at once through the loopback's 64 KiB buffer.
  std::string big(1 << 20, 'z');
  {
    CSerialLink l(owner.hwnd(), 300);
    owner.statuses.clear();
    ASSERT_EQ(l.Open(OpenLoop()), 1);
    owner.PumpFor(30);  // the writer takes packets once its queue exists
    auto rule = InWriter("WaitForMultipleObjects");
    rule.overrideResult = true;
    rule.result = WAIT_FAILED;
    vx::fault::Inject(rule);
    ASSERT_EQ(l.Send(MakePacket(big), DWORD(big.size())), 1);
    EXPECT_EQ(Failures(1), std::vector<Status>{Error(LINK_ERR_WRITER)});
    l.Close();
    owner.PumpFor(10);
  }
  {
    CSerialLink l(owner.hwnd(), 300);
    owner.statuses.clear();
    ASSERT_EQ(l.Open(OpenLoop()), 1);
    owner.PumpFor(30);  // the writer takes packets once its queue exists
    vx::fault::Inject(InWriter("GetOverlappedResult", ERROR_INVALID_HANDLE));
    ASSERT_EQ(l.Send(MakePacket(big), DWORD(big.size())), 1);
    EXPECT_EQ(Failures(1), std::vector<Status>{Error(LINK_ERR_BAD_HANDLE)});
    l.Close();
    owner.PumpFor(10);
  }
}

TEST_F(LinkFaults, StuckWorkersAreTerminatedAfterTheStopWait) {
  auto rule = InReader("WaitForMultipleObjects");
  rule.block = true;
  vx::fault::Inject(rule);
  ASSERT_EQ(link.Open(OpenLoop()), 1);
  owner.PumpFor(30);  // the writer takes packets once its queue exists
  owner.PumpFor(50);
  DWORD start = GetTickCount();
  link.Close();
  DWORD took = GetTickCount() - start;
  EXPECT_GE(took, 290u);  // waited its bound for the reader, then terminated it
  EXPECT_LT(took, 3000u);
  owner.PumpFor(30);
  EXPECT_EQ(owner.statuses, (std::vector<Status>{kConnected, kDisconnected}));
}

TEST_F(LinkFaults, NormalStopBetweenWaitAndRearmShowsNoError) {
  // Many open/close cycles with data flowing: a stop that lands between the
  // reader's wait and its re-arm must never report a reader failure.
  for (int i = 0; i < 30; ++i) {
    CSerialLink l(owner.hwnd());
    owner.statuses.clear();
    ASSERT_EQ(l.Open(OpenLoop()), 1);
    owner.PumpFor(30);  // the writer takes packets once its queue exists
    for (int k = 0; k < 20; ++k) {
      void* packet = MakePacket(std::string(512, 'a' + k % 26));
      if (!l.Send(packet, 512)) LocalFree(packet);
    }
    Sleep(i % 5);
    l.Close();
    owner.PumpFor(10);
    EXPECT_EQ(owner.statuses, (std::vector<Status>{kConnected, kDisconnected})) << i;
  }
}

}  // namespace
}  // namespace vx::test
