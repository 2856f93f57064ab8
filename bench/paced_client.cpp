#include "paced_client.h"

#include "bench_util.h"
#include "tools/echo_peer.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace vx::bench {

double CpuSeconds(int who) {
  rusage u{};
  getrusage(who, &u);
  auto s = [](const timeval& t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
  return s(u.ru_utime) + s(u.ru_stime);
}

std::string LoadAverage() {
  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) != 3) return "unknown";
  char text[64];
  std::snprintf(text, sizeof text, "%.2f %.2f %.2f", load[0], load[1], load[2]);
  return text;
}

bool EchoPeerProcess::Start() {
  int paths[2], holdPipe[2];
  if (pipe(paths) != 0 || pipe(holdPipe) != 0) return false;
  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    close(paths[0]);
    close(holdPipe[1]);
    vx::tools::EchoPeer plain, client;
    std::string error;
    if (!plain.Start(&error) || !client.Start(&error)) _exit(1);
    std::string line = plain.DevicePath() + "\n" + client.DevicePath() + "\n";
    if (write(paths[1], line.data(), line.size()) != ssize_t(line.size())) _exit(1);
    close(paths[1]);
    char c;
    while (read(holdPipe[0], &c, 1) > 0) {
    }
    plain.HangUp();
    client.HangUp();
    _exit(0);
  }
  close(paths[1]);
  close(holdPipe[0]);
  hold_ = holdPipe[1];
  std::string text;
  char buffer[256];
  ssize_t n;
  while ((n = read(paths[0], buffer, sizeof buffer)) > 0) text.append(buffer, std::size_t(n));
  close(paths[0]);
  std::size_t cut = text.find('\n');
  if (cut == std::string::npos) return false;
  plainPath_ = text.substr(0, cut);
  clientPath_ = text.substr(cut + 1, text.find('\n', cut + 1) - cut - 1);
  return !plainPath_.empty() && !clientPath_.empty();
}

EchoPeerProcess::~EchoPeerProcess() {
  if (hold_ >= 0) close(hold_);
  if (pid_ > 0) waitpid(pid_, nullptr, 0);
}

PacedFigures PlainPacedClient(const std::string& device, double warmup, double seconds) {
  PacedFigures f;
  int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return f;
  termios t;
  if (tcgetattr(fd, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
  }
  int timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
  itimerspec every{{0, 1000000}, {0, 1000000}};
  timerfd_settime(timer, 0, &every, nullptr);
  std::vector<char> packet(kPacedPacket, 'p'), in(64 * 1024);
  std::uint64_t ticks = 0, written = 0, echoed = 0;
  std::size_t pending = 0;  // the part of the current packet the pty has not taken yet
  auto begin = Clock::now();
  bool measuring = false;
  double cpu0 = 0;
  Clock::time_point start;
  for (;;) {
    if (!measuring && Seconds(begin) >= warmup) {
      measuring = true;
      ticks = written = echoed = 0;
      cpu0 = CpuSeconds();
      start = Clock::now();
    }
    if (measuring && Seconds(start) >= seconds) break;
    pollfd p[2] = {{timer, POLLIN, 0}, {fd, POLLIN, 0}};
    if (poll(p, 2, 100) < 0 && errno != EINTR) break;
    if (p[1].revents & POLLIN)
      for (ssize_t n; (n = read(fd, in.data(), in.size())) > 0;) echoed += std::uint64_t(n);
    if (p[0].revents & POLLIN) {
      std::uint64_t expirations;
      if (read(timer, &expirations, sizeof expirations) == sizeof expirations) {
        ++ticks;
        if (pending == 0) pending = kPacedPacket;
        ssize_t n = write(fd, packet.data() + (kPacedPacket - pending), pending);
        if (n > 0) {
          pending -= std::size_t(n);
          written += std::uint64_t(n);
        }
      }
    }
  }
  double s = Seconds(start);
  f.ticksPerSecond = ticks / s;
  f.packetsPerSecond = written / double(kPacedPacket) / s;
  f.writtenMbPerSecond = written / 1e6 / s;
  f.echoedMbPerSecond = echoed / 1e6 / s;
  f.cpuPerMb = (CpuSeconds() - cpu0) / (written / 1e6);
  close(timer);
  close(fd);
  return f;
}

}  // namespace vx::bench
