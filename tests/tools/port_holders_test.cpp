// Other programs holding a port, found in /proc, with real pseudo-terminals
// and real processes.
#include "tools/port_holders.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vx::tools {
namespace {

int NewMaster(std::string* slave) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
  *slave = ptsname(master);
  return master;
}

// A process named `name` that runs `setUp` and sleeps until killed; the
// line `setUp` returns is handed back through a pipe once it is ready.
class Child {
 public:
  template <typename SetUp>
  Child(const char* name, SetUp setUp) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_NAME, name);
      const std::string said = setUp() + "\n";
      if (write(ready[1], said.data(), said.size()) < 0) _exit(1);
      for (;;) pause();
    }
    close(ready[1]);
    char text[128] = {};
    const ssize_t n = read(ready[0], text, sizeof text - 1);
    close(ready[0]);
    said_.assign(text, n > 0 ? static_cast<std::size_t>(n - 1) : 0);
  }
  ~Child() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  pid_t Pid() const { return pid_; }
  const std::string& Said() const { return said_; }

 private:
  pid_t pid_ = -1;
  std::string said_;
};

bool Lists(const std::vector<PortHolder>& holders, pid_t pid, const std::string& command = "") {
  for (const PortHolder& h : holders)
    if (h.pid == pid) return command.empty() || h.command == command;
  return false;
}

std::string OpenSlave(const std::string& slave) {
  return ::open(slave.c_str(), O_RDWR | O_NOCTTY) >= 0 ? "open" : "failed";
}

TEST(PortHolders, AProgramHoldingThePortIsNamedUnderAnyNameOfIt) {
  std::string slave;
  const int master = NewMaster(&slave);
  ASSERT_GE(master, 0);
  const int own = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);  // this process: never listed
  ASSERT_GE(own, 0);
  EXPECT_TRUE(Holders(slave).empty());
  // (A child that kept its copy of the master would be taken for the maker.)
  Child reader("vx-reader", [&] {
    ::close(master);
    return OpenSlave(slave);
  });
  ASSERT_EQ(reader.Said(), "open");
  const std::vector<PortHolder> holders = Holders(slave);
  EXPECT_EQ(holders.size(), 1u);
  EXPECT_TRUE(Lists(holders, reader.Pid(), "vx-reader")) << HoldersText(holders);
  EXPECT_EQ(HoldersText(holders), std::to_string(reader.Pid()) + " (vx-reader)");

  // One that opened it only to write is listed as such: it takes no byte.
  Child writer("vx-writer", [&] {
    ::close(master);
    ::close(own);  // the copy this test holds to read and write
    return std::string(::open(slave.c_str(), O_WRONLY | O_NOCTTY) >= 0 ? "open" : "failed");
  });
  ASSERT_EQ(writer.Said(), "open");
  EXPECT_NE(HoldersText(Holders(slave)).find(std::to_string(writer.Pid()) + " (vx-writer, write-only)"),
            std::string::npos)
      << HoldersText(Holders(slave));

  char link[] = "/tmp/vx-holders-XXXXXX";
  ASSERT_NE(mkdtemp(link), nullptr);
  const std::string alias = std::string(link) + "/port";
  ASSERT_EQ(symlink(slave.c_str(), alias.c_str()), 0);
  EXPECT_TRUE(Lists(Holders(alias), reader.Pid(), "vx-reader"));
  unlink(alias.c_str());
  rmdir(link);
  EXPECT_TRUE(IsPseudoTerminal(alias) == false && IsPseudoTerminal(slave));
  ::close(own);
  ::close(master);
}

// The program that made the pseudo-terminal holds its master and, often,
// its slave too (socat, os.openpty()): it is the far end, not a sharer. A
// master of another pseudo-terminal makes no one the far end of this one.
TEST(PortHolders, TheMakerOfAPseudoTerminalIsNotASharerButAHolderOfAnotherOneIs) {
  Child maker("vx-maker", [] {
    std::string slave;
    const int master = NewMaster(&slave);
    return master >= 0 && OpenSlave(slave) == "open" ? slave : "failed";
  });
  const std::string slave = maker.Said();
  ASSERT_EQ(slave.rfind("/dev/pts/", 0), 0u) << slave;
  const int own = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(own, 0);
  EXPECT_FALSE(Lists(Holders(slave), maker.Pid()));
  EXPECT_TRUE(Holders(slave).empty()) << HoldersText(Holders(slave));

  Child other("vx-other-pty", [&] {
    std::string itsOwn;
    return NewMaster(&itsOwn) >= 0 ? OpenSlave(slave) : "failed";
  });
  ASSERT_EQ(other.Said(), "open");
  EXPECT_TRUE(Lists(Holders(slave), other.Pid(), "vx-other-pty")) << HoldersText(Holders(slave));
  ::close(own);
}

TEST(PortHolders, WhatIsNoDeviceHasNoHolders) {
  EXPECT_TRUE(Holders("/nonexistent/tty").empty());
  EXPECT_TRUE(Holders("/tmp").empty());
  EXPECT_FALSE(IsPseudoTerminal("/dev/null"));
}

}  // namespace
}  // namespace vx::tools
