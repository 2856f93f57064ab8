// The link moving data end to end on the loopback and on a pty echo.
#include "platform/hooks.h"
#include "support/owner.h"
#include "support/port_fixture.h"

#include <random>

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
  vx::LoopInjectLineError(port, CE_FRAME | CE_OVERRUN);
  owner.PumpFor(50);
  DWORD errors = 99;
  ClearCommError(port, &errors, nullptr);
  EXPECT_EQ(errors, 0u);  // the reader cleared them
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
}

TEST_P(Link, TheBacklogDrainsAsTheLineTakesIt) {
  ASSERT_EQ(link.Open(port), 1);
  owner.PumpFor(30);  // the writer takes packets once its queue exists
  std::string sent = Pattern(64 * 1024, 3);
  int refusals = 0;
  for (std::size_t off = 0; off < sent.size(); off += 2048) {
    void* packet = MakePacket(sent.substr(off, 2048));
    if (!link.Send(packet, 2048)) {
      // Neither lost nor skipped: the caller offers the same bytes again.
      ++refusals;
      LocalFree(packet);
      ASSERT_TRUE(SendWhenAccepted(link, owner, sent.substr(off, 2048)));
    }
  }
  ASSERT_TRUE(owner.PumpUntil([&] { return owner.received.size() >= sent.size(); }));
  EXPECT_TRUE(owner.received == sent);
  EXPECT_GT(refusals, 0) << "64 KiB at once is more than the writer may hold";
  EXPECT_TRUE(owner.PumpUntil([&] { return link.Backlog() == 0; }, 2000));
}

INSTANTIATE_TEST_SUITE_P(Devices, Link, ::testing::Values(Device::Loop, Device::Pty), DeviceName);

}  // namespace
}  // namespace vx::test
