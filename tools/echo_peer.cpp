#include "echo_peer.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
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
  std::uint64_t queuedTotal = 0, sentTotal = 0;  // bytes ever put in the backlog, and sent from it
  // When the bytes up to each mark arrived, for --delay.
  std::deque<std::pair<Clock::time_point, std::uint64_t>> arrivals;
  std::vector<char> buffer(64 * 1024);
  std::uint64_t seen = 0, echoed = 0;
  const auto start = Clock::now();
  std::uint64_t budgetSent = 0;  // bytes sent under pacing
  auto nextChatter = start;
  bool bannerSent = false, stalled = false, hangUp = false;
  static const char kChatter[] = "Varnelix echo peer chatter\r\n";
  const auto delay = std::chrono::milliseconds(options_.delayMs);

  auto queue = [&](const char* data, std::size_t n) {
    backlog.insert(backlog.end(), data, data + n);
    queuedTotal += n;
  };

  while (!stop_.load()) {
    auto now = Clock::now();
    std::size_t held = backlog.size() - backlogStart;
    if (!stalled && options_.flood && held < 64 * 1024) {
      for (int i = 0; i < 1024; ++i) queue(kChatter, sizeof kChatter - 1);
    }
    if (!stalled && options_.chatter && now >= nextChatter) {
      queue(kChatter, sizeof kChatter - 1);
      nextChatter = now + std::chrono::milliseconds(10);
    }
    held = backlog.size() - backlogStart;
    // How many bytes may go now: those whose delay is over, at the line rate.
    std::size_t allowance = held;
    int timeoutMs = options_.chatter || stalled ? 10 : -1;
    while (!arrivals.empty() && arrivals.front().second <= sentTotal) arrivals.pop_front();
    if (options_.delayMs && allowance) {
      // The first mark not yet due bounds what may go: everything before it is.
      std::uint64_t ready = queuedTotal;
      std::uint64_t previous = sentTotal;
      for (const auto& [when, upTo] : arrivals) {
        if (when + delay > now) {
          ready = previous;
          auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(when + delay - now).count() + 1;
          timeoutMs = timeoutMs < 0 ? static_cast<int>(wait) : std::min(timeoutMs, static_cast<int>(wait));
          break;
        }
        previous = upTo;
      }
      allowance = static_cast<std::size_t>(std::min<std::uint64_t>(allowance, ready - sentTotal));
    }
    if (options_.baud && allowance) {
      double seconds = std::chrono::duration<double>(now - start).count();
      auto earned = static_cast<std::uint64_t>(seconds * options_.baud / 10.0);
      allowance = std::min<std::uint64_t>(allowance, earned > budgetSent ? earned - budgetSent : 0);
      if (!allowance) timeoutMs = 1;
    }

    // Read only while there is room to keep what is read: a full backlog
    // leaves the bytes in the pseudo-terminal, which then holds the writer back.
    std::size_t room = held < options_.maxBacklog ? options_.maxBacklog - held : 0;
    std::uint64_t limit = options_.hangUpAfter ? options_.hangUpAfter : options_.stallAfter;
    if (limit) room = static_cast<std::size_t>(std::min<std::uint64_t>(room, limit > received_ ? limit - received_ : 0));
    bool reading = !paused_.load() && !stalled && room > 0;
    pollfd fds[2] = {{wake_[0], POLLIN, 0}, {master_, 0, 0}};
    if (reading) fds[1].events |= POLLIN;
    if (allowance) fds[1].events |= POLLOUT;
    if (!reading && timeoutMs < 0) timeoutMs = 10;
    int rc = ::poll(fds, 2, timeoutMs);
    if (rc < 0 && errno != EINTR) break;
    if (reading && (fds[1].revents & POLLIN)) {
      ssize_t n = ::read(master_, buffer.data(), std::min(buffer.size(), room));
      if (n > 0) {
        received_ += static_cast<std::uint64_t>(n);
        if (options_.echo) {
          if (!bannerSent && !options_.banner.empty()) queue(options_.banner.data(), options_.banner.size());
          bannerSent = true;
          for (ssize_t i = 0; i < n; ++i) {
            ++seen;
            if (options_.dropEvery && seen % options_.dropEvery == 0) {
              ++dropped_;
              continue;
            }
            char c = buffer[static_cast<std::size_t>(i)];
            if (options_.corruptEvery && seen % options_.corruptEvery == 0) {
              c = static_cast<char>(c ^ 1);
              ++corrupted_;
            }
            queue(&c, 1);
            if (options_.insertEvery && ++echoed % options_.insertEvery == 0) {
              queue(options_.insert.data(), options_.insert.size());
              inserted_ += options_.insert.size();
            }
          }
          if (options_.delayMs) arrivals.emplace_back(Clock::now(), queuedTotal);
        }
        if (options_.hangUpAfter && received_ >= options_.hangUpAfter) hangUp = true;
        if (options_.stallAfter && received_ >= options_.stallAfter) stalled = true;
      }
    }
    if (hangUp) break;
    if ((fds[1].revents & POLLOUT) && allowance) {
      ssize_t n = ::write(master_, backlog.data() + backlogStart, allowance);
      if (n > 0) {
        backlogStart += static_cast<std::size_t>(n);
        sentTotal += static_cast<std::uint64_t>(n);
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
  if (hangUp) {
    // The far end goes away: the client's device reports the hang-up.
    ::close(master_);
    master_ = -1;
  }
}

}  // namespace vx::tools
