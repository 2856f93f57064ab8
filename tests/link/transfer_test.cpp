// The link moving data end to end on the loopback and on a pty echo.
#include "platform/hooks.h"
#include "support/owner.h"
#include "support/port_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace vx::test {
namespace {

class Link : public PortTest {
 protected:
  void TearDown() override {
    link.Close();
    owner.PumpFor(0);
    PortTest::TearDown();
  }
  Owner owner;
  CSerialLink link{owner.hwnd()};
};

std::string Pattern(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  std::mt19937 rng(seed);
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

TEST_P(Link, OpenAnnouncesConnectedAndPacketsComeBackInOrder) {
  ASSERT_EQ(link.Open(port), 1);
  owner.PumpFor(30);  // the writer takes packets once its queue exists
  std::string sent;
  for (int i = 0; i < 200; ++i) {
    std::string packet = Pattern(1 + (i * 37) % 600, i);
    sent += packet;
    ASSERT_TRUE(SendWhenAccepted(link, owner, packet));
  }
  ASSERT_TRUE(owner.PumpUntil([&] { return owner.received.size() >= sent.size(); }));
  EXPECT_TRUE(owner.received == sent);
  EXPECT_EQ(link.BytesWritten(), sent.size());
  for (DWORD n : owner.blockSizes) EXPECT_LE(n, 2048u);
  ASSERT_FALSE(owner.statuses.empty());
  EXPECT_EQ(owner.statuses[0], std::make_pair(WPARAM(LINK_STATUS_CONNECTED), LPARAM(0)));
  EXPECT_EQ(owner.statuses.size(), 1u);
}

TEST_P(Link, ContinuousStreamArrivesIn2048ByteBlocks) {
  ASSERT_EQ(link.Open(port), 1);
  owner.PumpFor(30);  // the writer takes packets once its queue exists
  std::string sent = Pattern(256 * 1024, 7);
  for (std::size_t off = 0; off < sent.size(); off += 2048)
    ASSERT_TRUE(SendWhenAccepted(link, owner, sent.substr(off, 2048)));
  ASSERT_TRUE(owner.PumpUntil([&] { return owner.received.size() >= sent.size(); }));
  EXPECT_TRUE(owner.received == sent);
  std::size_t full = 0;
  for (DWORD n : owner.blockSizes) full += n == 2048;
  EXPECT_GE(full * 10, owner.blockSizes.size() * 9) << "most blocks of a stream are full";
}

TEST_P(Link, CloseAnnouncesDisconnectedOnce) {
  ASSERT_EQ(link.Open(port), 1);
  owner.PumpFor(30);  // the writer takes packets once its queue exists
  link.Close();
  link.Close();
  owner.PumpFor(50);
  ASSERT_EQ(owner.statuses.size(), 2u);
  EXPECT_EQ(owner.statuses[1], std::make_pair(WPARAM(LINK_STATUS_DISCONNECTED), LPARAM(0)));
}

TEST_P(Link, SendWithNothingOrNoWriter) {
  char byte = 'x';
  EXPECT_EQ(link.Send(&byte, 1), 0);  // not open: no writer
  ASSERT_EQ(link.Open(port), 1);
  owner.PumpFor(30);  // the writer takes packets once its queue exists
  EXPECT_EQ(link.Send(nullptr, 5), 1);
  EXPECT_EQ(link.Send(&byte, 0), 1);
  owner.PumpFor(60);
  EXPECT_TRUE(owner.received.empty());
  link.Close();
  EXPECT_EQ(link.Send(&byte, 1), 0);
}

TEST_P(Link, InjectedLineErrorIsClearedAndReadingGoesOn) {
  if (GetParam() != Device::Loop) GTEST_SKIP() << "line errors are injected on the loopback";
  ASSERT_EQ(link.Open(port), 1);
  owner.PumpFor(30);  // the writer takes packets once its queue exists
  owner.PumpFor(20);
  ::testing::internal::CaptureStderr();
  vx::LoopInjectLineError(port, CE_FRAME | CE_OVERRUN);
  owner.PumpFor(50);
  // The description of the error goes to the diagnostic output, word for word.
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Comm Event: 'CE_FRAME and CE_OVERRUN', EvtMask = 'a'\n");
  DWORD errors = 99;
  ClearCommError(port, &errors, nullptr);
  EXPECT_EQ(errors, 0u);  // the reader cleared them
  EXPECT_EQ(link.LineErrors(), 1u);  // and counted them, for whoever judges the line
  EXPECT_EQ(link.LineErrorKinds(), DWORD(CE_FRAME | CE_OVERRUN));
  ASSERT_EQ(link.Send(MakePacket("after"), 5), 1);
  ASSERT_TRUE(owner.PumpUntil([&] { return owner.received == "after"; }));
  EXPECT_EQ(owner.statuses.size(), 1u);  // Connected only
}

TEST_P(Link, ABacklogBehindAStuckWriteIsBoundedAndFreedOnClose) {
  if (peer) {
    peer->PauseReading(true);
  } else {
    CloseHandle(port);  // a loopback paced like a slow line instead
    port = CreateFileA("loop://?baud=9600", GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  }
  ASSERT_EQ(link.Open(port), 1);
  port = INVALID_HANDLE_VALUE;  // the link owns it now
  owner.PumpFor(30);  // the writer takes packets once its queue exists
  // 1 MiB cannot be taken by a paused pty nor by a 9600-baud line.
  std::string big(1 << 20, 'q');
  ASSERT_EQ(link.Send(MakePacket(big), DWORD(big.size())), 1);
  Sleep(50);
  EXPECT_GT(link.Backlog(), 0u);
  EXPECT_LE(link.Backlog(), DWORD(big.size()));
  // The writer is far behind: later packets stay with the caller instead of
  // piling up in its queue, so what is counted as sent stays near the line.
  void* refused = MakePacket("late");
  EXPECT_EQ(link.Send(refused, 4), 0);
  LocalFree(refused);
  DWORD start = GetTickCount();
  link.Close();  // LeakSanitizer checks that every queued block was freed
  EXPECT_LT(GetTickCount() - start, 2000u);
  EXPECT_EQ(link.Backlog(), 0u);
  // Written is what the driver took, not what Send accepted. The far end,
  // reading again, gets no more than that: what was still in the driver's
  // buffers went with the close.
  EXPECT_GT(link.BytesWritten(), 0u);
  EXPECT_LT(link.BytesWritten(), big.size());
  if (peer) {
    peer->PauseReading(false);
    owner.PumpFor(200);
    EXPECT_GT(peer->Received(), 0u);
    EXPECT_LE(peer->Received(), link.BytesWritten());
  }
}

TEST_P(Link, TheBacklogDrainsAsTheLineTakesIt) {
  // A line slower than the packets come: the far end does not read for a
  // while, or the loopback is paced (100 KB/s).
  if (peer) {
    peer->PauseReading(true);
  } else {
    CloseHandle(port);
    port = CreateFileA("loop://?baud=1000000", GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  }
  ASSERT_EQ(link.Open(port), 1);
  port = INVALID_HANDLE_VALUE;  // the link owns it now
  owner.PumpFor(30);  // the writer takes packets once its queue exists
  std::string sent = Pattern(128 * 1024, 3);
  int refusals = 0;
  for (std::size_t off = 0; off < sent.size(); off += 2048) {
    void* packet = MakePacket(sent.substr(off, 2048));
    if (!link.Send(packet, 2048)) {
      // Neither lost nor skipped: the caller offers the same bytes again.
      ++refusals;
      LocalFree(packet);
      if (peer) peer->PauseReading(false);
      ASSERT_TRUE(SendWhenAccepted(link, owner, sent.substr(off, 2048)));
    }
  }
  ASSERT_TRUE(owner.PumpUntil([&] { return owner.received.size() >= sent.size(); }));
  EXPECT_TRUE(owner.received == sent);
  EXPECT_GT(refusals, 0) << "128 KiB at once is more than the writer may hold";
  EXPECT_TRUE(owner.PumpUntil([&] { return link.Backlog() == 0; }, 2000));
}

TEST_P(Link, WhatAReadHoldsWhenTheLinkClosesReachesTheOwner) {
  if (GetParam() != Device::Pty) GTEST_SKIP() << "an echo paced on a pty keeps the read gathering";
  // Echoed at 1200 baud, a byte comes every 8.3 ms, well inside the read's
  // 20 ms gap, so the read goes on gathering until it is full, which these
  // bytes, still coming back when the link closes, never make it.
  CloseHandle(port);
  tools::EchoPeer::Options slow;
  slow.baud = 1200;
  port = OpenPort(slow);
  ASSERT_EQ(link.Open(port), 1);
  port = INVALID_HANDLE_VALUE;  // the link owns it now
  owner.PumpFor(30);  // the writer takes packets once its queue exists
  const std::string sent = "a burst still on its way back when the link closes";
  ASSERT_TRUE(SendWhenAccepted(link, owner, sent));
  owner.PumpFor(200);
  link.Close();
  owner.PumpFor(0);
  // Those still on the line are lost with it; those the read had taken came back.
  EXPECT_FALSE(owner.received.empty());
  EXPECT_EQ(sent.compare(0, owner.received.size(), owner.received), 0) << owner.received;
}

INSTANTIATE_TEST_SUITE_P(Devices, Link, ::testing::Values(Device::Loop, Device::Pty), DeviceName);

// A far end on 127.0.0.1 that sends `bytes` to the first client to connect,
// pauses, and hangs up.
class SendAndHangUp {
 public:
  SendAndHangUp(std::string bytes, DWORD pauseMs) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&at), size) != 0 || listen(listener_, 1) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&at), &size) != 0)
      return;
    port_ = ntohs(at.sin_port);
    server_ = std::thread([this, bytes, pauseMs] {
      int client = accept(listener_, nullptr, nullptr);
      if (client < 0) return;
      for (std::size_t at = 0; at < bytes.size();) {
        ssize_t n = send(client, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n <= 0) break;
        at += static_cast<std::size_t>(n);
      }
      Sleep(pauseMs);
      close(client);
    });
  }
  ~SendAndHangUp() {
    shutdown(listener_, SHUT_RDWR);  // ends an accept nobody answered
    if (server_.joinable()) server_.join();
    close(listener_);
  }
  std::string Name() const { return "tcp://127.0.0.1:" + std::to_string(port_); }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::thread server_;
};

TEST(LinkHangUp, BytesThatCameBeforeTheHangUpReachTheOwner) {
  // 3000 bytes: a full read of 2048, then a read holding the other 952 when
  // the far end goes, either at once (the read fails as it starts) or 5 ms
  // later (the read fails while it waits for its 20 ms gap).
  const std::string sent = Pattern(3000, 11);
  for (DWORD pauseMs : {0u, 5u}) {
    SCOPED_TRACE(pauseMs);
    SendAndHangUp far(sent, pauseMs);
    Owner owner;
    CSerialLink link(owner.hwnd());
    HANDLE port = CreateFileA(far.Name().c_str(), GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_EQ(link.Open(port), 1);
    auto failed = [&] {
      for (const auto& status : owner.statuses)
        if (status.first == LINK_STATUS_ERROR) return true;
      return false;
    };
    EXPECT_TRUE(owner.PumpUntil(failed, 5000));
    // The bytes may come just after the ERROR: when the hang-up ends the
    // line-event wait first, the reader delivers its read's bytes as it ends.
    link.Close();
    owner.PumpFor(0);
    EXPECT_EQ(owner.received.size(), sent.size());
    EXPECT_TRUE(owner.received == sent);
  }
}

}  // namespace
}  // namespace vx::test
