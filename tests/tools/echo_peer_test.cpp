// The echo peer as the runner's tests lean on it: it loses nothing it was not
// told to lose, however far ahead the writer runs, and its faults are exactly
// the ones asked for.
#include "support/byte_patterns.h"
#include "tools/echo_peer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace vx::tools {
namespace {

// Writes `out` to the peer's device as fast as it takes it, reading back
// slowly at first (so the peer's backlog fills), and returns what came back.
std::string Exchange(EchoPeer& peer, const std::string& out, std::size_t expectBack) {
  int fd = ::open(peer.DevicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  EXPECT_GE(fd, 0);
  termios t;
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  std::string back;
  std::size_t sent = 0;
  char buf[65536];
  auto start = std::chrono::steady_clock::now();
  while (back.size() < expectBack && std::chrono::steady_clock::now() - start < std::chrono::seconds(20)) {
    pollfd p{fd, static_cast<short>(POLLIN | (sent < out.size() ? POLLOUT : 0)), 0};
    ::poll(&p, 1, 50);
    if ((p.revents & POLLOUT) && sent < out.size()) {
      ssize_t n = ::write(fd, out.data() + sent, out.size() - sent);
      if (n > 0) sent += static_cast<std::size_t>(n);
    }
    // Hold back for the first half second: the writer runs far ahead.
    if ((p.revents & POLLIN) && std::chrono::steady_clock::now() - start > std::chrono::milliseconds(500)) {
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n > 0) back.append(buf, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  return back;
}

TEST(EchoPeer, AFullBacklogHoldsTheWriterBackInsteadOfDropping) {
  EchoPeer peer({.maxBacklog = 4096});
  std::string error;
  ASSERT_TRUE(peer.Start(&error)) << error;
  const std::string out = vx::test::EveryByteValue(4 << 20);
  std::string back = Exchange(peer, out, out.size());
  EXPECT_EQ(peer.Dropped(), 0u);
  ASSERT_EQ(back.size(), out.size());
  EXPECT_TRUE(back == out) << "the echo differs from what was written";
}

TEST(EchoPeer, FaultsAreTheOnesAskedFor) {
  EchoPeer::Options options;
  options.corruptEvery = 100;
  options.banner = "HELLO";
  options.insertEvery = 1000;
  EchoPeer peer(options);
  std::string error;
  ASSERT_TRUE(peer.Start(&error)) << error;
  const std::string out = vx::test::EveryByteValue(10000);
  std::string back = Exchange(peer, out, 5 + 10000 + 10);
  std::string want = "HELLO";
  for (std::size_t k = 0; k < out.size(); ++k) {
    want += (k + 1) % 100 == 0 ? static_cast<char>(out[k] ^ 1) : out[k];
    if ((k + 1) % 1000 == 0) want += "~";
  }
  EXPECT_TRUE(back == want) << "got " << back.size() << " bytes, wanted " << want.size();
  EXPECT_EQ(peer.Corrupted(), 100u);
  EXPECT_EQ(peer.Inserted(), 10u);
}

TEST(EchoPeer, StallsAfterTheCountItWasGiven) {
  EchoPeer::Options options;
  options.stallAfter = 3000;
  EchoPeer peer(options);
  std::string error;
  ASSERT_TRUE(peer.Start(&error)) << error;
  std::string back = Exchange(peer, vx::test::EveryByteValue(10000), 3000);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(peer.Received(), 3000u);
  EXPECT_EQ(back.size(), 3000u);
}

}  // namespace
}  // namespace vx::tools
