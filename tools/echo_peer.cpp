#include "echo_peer.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace vx::tools {

EchoPeer::EchoPeer(const Options& options) : options_(options) {}

EchoPeer::~EchoPeer() { HangUp(); }

bool EchoPeer::Start(std::string* error) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    *error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  char name[128];
  if (ptsname_r(master_, name, sizeof name) != 0) {
    *error = std::string("cannot name the pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  path_ = name;
  slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) {
    *error = std::string("cannot open ") + name + ": " + std::strerror(errno);
    return false;
  }
  // Raw from the start, so the line discipline never echoes or translates
  // before the client has opened the device.
  termios t;
  if (tcgetattr(slave_, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(slave_, TCSANOW, &t);
  }
  if (pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) {
    *error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return false;
  }
  thread_ = std::thread([this] { Run(); });
  return true;
}

void EchoPeer::HangUp() {
  Stop();
  if (master_ >= 0) ::close(master_);
  if (slave_ >= 0) ::close(slave_);
  master_ = slave_ = -1;
}

void EchoPeer::Stop() {
  if (thread_.joinable()) {
    stop_.store(true);
    char c = 1;
    ssize_t rc = ::write(wake_[1], &c, 1);
    (void)rc;
    thread_.join();
  }
  for (int& fd : wake_) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

void EchoPeer::Run() {
  using Clock = std::chrono::steady_clock;
  std::vector<char> backlog;  // bytes to send, oldest first
  std::size_t backlogStart = 0;
  std::vector<char> buffer(64 * 1024);
  std::uint64_t seen = 0;
  const auto start = Clock::now();
  std::uint64_t budgetSent = 0;  // bytes sent under pacing
  auto nextChatter = start;
  static const char kChatter[] = "Varnelix echo peer chatter\r\n";

  while (!stop_.load()) {
    auto now = Clock::now();
    if (options_.flood && backlog.size() - backlogStart < 64 * 1024) {
      for (int i = 0; i < 1024; ++i) backlog.insert(backlog.end(), kChatter, kChatter + sizeof kChatter - 1);
    }
    if (options_.chatter && now >= nextChatter) {
      backlog.insert(backlog.end(), kChatter, kChatter + sizeof kChatter - 1);
      nextChatter = now + std::chrono::milliseconds(10);
    }
    // How many bytes the line rate allows right now.
    std::size_t allowance = backlog.size() - backlogStart;
    int timeoutMs = options_.chatter ? 10 : -1;
    if (options_.baud && allowance) {
      double seconds = std::chrono::duration<double>(now - start).count();
      auto earned = static_cast<std::uint64_t>(seconds * options_.baud / 10.0);
      allowance = std::min<std::uint64_t>(allowance, earned > budgetSent ? earned - budgetSent : 0);
      if (!allowance) timeoutMs = 1;
    }

    pollfd fds[2] = {{wake_[0], POLLIN, 0}, {master_, 0, 0}};
    if (!paused_.load()) fds[1].events |= POLLIN;
    if (allowance) fds[1].events |= POLLOUT;
    if (paused_.load() && timeoutMs < 0) timeoutMs = 10;
    int rc = ::poll(fds, 2, timeoutMs);
    if (rc < 0 && errno != EINTR) break;
    if (fds[1].revents & POLLIN) {
      ssize_t n = ::read(master_, buffer.data(), buffer.size());
      if (n > 0) {
        received_ += static_cast<std::uint64_t>(n);
        if (options_.echo) {
          for (ssize_t i = 0; i < n; ++i) {
            ++seen;
            bool drop = options_.dropEvery && seen % options_.dropEvery == 0;
            if (drop || backlog.size() - backlogStart >= options_.maxBacklog) {
              ++dropped_;
              continue;
            }
            backlog.push_back(buffer[i]);
          }
        }
      }
    }
    if ((fds[1].revents & POLLOUT) && allowance) {
      ssize_t n = ::write(master_, backlog.data() + backlogStart, allowance);
      if (n > 0) {
        backlogStart += static_cast<std::size_t>(n);
        sent_ += static_cast<std::uint64_t>(n);
        budgetSent += static_cast<std::uint64_t>(n);
        if (backlogStart == backlog.size()) {
          backlog.clear();
          backlogStart = 0;
        } else if (backlogStart > (1u << 20)) {
          backlog.erase(backlog.begin(), backlog.begin() + static_cast<long>(backlogStart));
          backlogStart = 0;
        }
      }
    }
    if ((fds[1].revents & (POLLHUP | POLLERR)) && !(fds[1].revents & (POLLIN | POLLOUT))) {
      // Cannot happen while our own slave descriptor is open; never spin if it does.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
}

}  // namespace vx::tools
