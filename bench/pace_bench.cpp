// What the window costs a paced transfer. The real main dialog, visible on
// Qt's offscreen platform, runs a stress transfer with 2048-byte packets on a
// pseudo-terminal whose far end echoes; beside it, in the same run, a plain
// client does the same work with nothing else: a 1 ms timerfd, one 2048-byte
// packet written per tick, the echo read back. The two alternate (plain,
// dialog, plain, dialog, ...), and each pair gives two ratios: ticks per second
// (dialog / plain, the target being within 1%) and CPU seconds per MB
// (dialog / plain, the target at most 3). Medians of the paired ratios judge;
// their spread and the load average are printed beside them.
//
// The echo peers run in a child process forked before anything else starts,
// so the CPU counted (getrusage of this process) is the client's own: the
// plain loop's, or the dialog's with its link threads and its painting.
#include "bench_util.h"
#include "console/ExerciserDlg.h"
#include "res/varnelix_res.h"
#include "tools/echo_peer.h"

#include <QApplication>
#include <QCheckBox>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

using namespace vx::bench;

namespace {

constexpr std::size_t kPacket = 2048;

double CpuSeconds(int who = RUSAGE_SELF) {
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

struct Figures {
  double ticksPerSecond = 0;
  double cpuPerMb = 0;  // CPU seconds per MB written (and echoed)
  double paintsPerSecond = 0;
  double uiShare = 0;  // the part of the CPU spent on the user-interface thread
};

// Two echo peers in a child process; their device paths come back on a pipe.
// The child ends when this process closes its end of `hold`.
struct PeerProcess {
  pid_t pid = -1;
  std::string plainPath, dialogPath;
  int hold = -1;

  bool Start() {
    int paths[2], holdPipe[2];
    if (pipe(paths) != 0 || pipe(holdPipe) != 0) return false;
    pid = fork();
    if (pid == 0) {
      close(paths[0]);
      close(holdPipe[1]);
      vx::tools::EchoPeer plain, dialog;
      std::string error;
      if (!plain.Start(&error) || !dialog.Start(&error)) _exit(1);
      std::string line = plain.DevicePath() + "\n" + dialog.DevicePath() + "\n";
      if (write(paths[1], line.data(), line.size()) != ssize_t(line.size())) _exit(1);
      close(paths[1]);
      char c;
      while (read(holdPipe[0], &c, 1) > 0) {
      }
      plain.HangUp();
      dialog.HangUp();
      _exit(0);
    }
    close(paths[1]);
    close(holdPipe[0]);
    hold = holdPipe[1];
    std::string text;
    char buffer[256];
    ssize_t n;
    while ((n = read(paths[0], buffer, sizeof buffer)) > 0) text.append(buffer, std::size_t(n));
    close(paths[0]);
    std::size_t cut = text.find('\n');
    if (cut == std::string::npos) return false;
    plainPath = text.substr(0, cut);
    dialogPath = text.substr(cut + 1, text.find('\n', cut + 1) - cut - 1);
    return !plainPath.empty() && !dialogPath.empty();
  }
  ~PeerProcess() {
    if (hold >= 0) close(hold);
    if (pid > 0) waitpid(pid, nullptr, 0);
  }
};

// The plain paced client: nothing but the timer, the write and the read-back.
Figures PlainClient(const std::string& device, double warmup, double seconds) {
  Figures f;
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
  std::vector<char> packet(kPacket, 'p'), in(64 * 1024);
  std::uint64_t ticks = 0, written = 0;
  std::size_t pending = 0;  // the part of the current packet the pty has not taken yet
  auto begin = Clock::now();
  bool measuring = false;
  double cpu0 = 0;
  Clock::time_point start;
  for (;;) {
    double elapsed = Seconds(begin);
    if (!measuring && elapsed >= warmup) {
      measuring = true;
      ticks = written = 0;
      cpu0 = CpuSeconds();
      start = Clock::now();
    }
    if (measuring && Seconds(start) >= seconds) break;
    pollfd p[2] = {{timer, POLLIN, 0}, {fd, POLLIN, 0}};
    if (poll(p, 2, 100) < 0 && errno != EINTR) break;
    if (p[1].revents & POLLIN)
      while (read(fd, in.data(), in.size()) > 0) {
      }
    if (p[0].revents & POLLIN) {
      std::uint64_t expirations;
      if (read(timer, &expirations, sizeof expirations) == sizeof expirations) {
        ++ticks;  // missed ticks are dropped, as the dialog's timer drops them
        if (pending == 0) pending = kPacket;
        ssize_t n = write(fd, packet.data() + (kPacket - pending), pending);
        if (n > 0) {
          pending -= std::size_t(n);
          written += std::uint64_t(n);
        }
      }
    }
  }
  double s = Seconds(start);
  f.ticksPerSecond = ticks / s;
  f.cpuPerMb = (CpuSeconds() - cpu0) / (written / 1e6);
  close(timer);
  close(fd);
  return f;
}

// The dialog, counting the ticks its timer delivers.
class CountingDlg : public CExerciserDlg {
 public:
  std::uint64_t ticks = 0;

 protected:
  void OnTimer(UINT id) {
    ++ticks;
    CExerciserDlg::OnTimer(id);
  }
  DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CountingDlg, CExerciserDlg)
ON_WM_TIMER()
END_MESSAGE_MAP()

// Counts paint events of the dialog and its controls.
class PaintCounter : public QObject {
 public:
  std::uint64_t paints = 0;
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Paint) ++paints;
    return false;
  }
};

Figures Dialog(const std::string& device, const std::string& file, double warmup, double seconds) {
  Figures f;
  CountingDlg dlg;
  PaintCounter counter;
  vx::fw::SetModalHook([&](CDialog* d) {
    if (d != &dlg) return;
    dlg.GetDlgItem(IDC_FILE_PATH)->SetWindowText(file.c_str());
    dlg.GetDlgItem(IDC_PORT_NAME)->SetWindowText(device.c_str());
    dlg.GetDlgItem(IDC_PACKET_SIZE)->SetWindowText("2048");
    qobject_cast<QCheckBox*>(dlg.GetDlgItem(IDC_STRESS_TEST)->widget())->setChecked(true);
    dlg.SendMessage(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    vx::fw::PumpEvents(static_cast<int>(warmup * 1000));
    qApp->installEventFilter(&counter);
    std::uint64_t ticks0 = dlg.ticks, written0 = dlg.m_nWritten;
    double cpu0 = CpuSeconds(), ui0 = CpuSeconds(RUSAGE_THREAD);
    auto start = Clock::now();
    vx::fw::PumpEvents(static_cast<int>(seconds * 1000));
    double s = Seconds(start);
    double cpu = CpuSeconds() - cpu0;
    f.uiShare = (CpuSeconds(RUSAGE_THREAD) - ui0) / cpu;
    qApp->removeEventFilter(&counter);
    f.ticksPerSecond = (dlg.ticks - ticks0) / s;
    f.cpuPerMb = cpu / ((dlg.m_nWritten - written0) / 1e6);
    f.paintsPerSecond = counter.paints / s;
    dlg.SendMessage(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  });
  dlg.DoModal();
  vx::fw::SetModalHook(nullptr);
  return f;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  std::size_t n = v.size();
  return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void Summary(const char* what, const std::vector<double>& ratios, const char* target) {
  auto [lo, hi] = std::minmax_element(ratios.begin(), ratios.end());
  std::printf("%-34s median %.3f  spread %.3f .. %.3f  (%s)\n", what, Median(ratios), *lo, *hi, target);
}

}  // namespace

int main(int argc, char** argv) {
  int pairs = argc > 1 ? std::max(5, std::atoi(argv[1])) : 7;
  double seconds = argc > 2 ? std::atof(argv[2]) : 3.0;
  const double warmup = 0.5;

  PeerProcess peers;  // forked before Qt or any thread exists
  if (!peers.Start()) {
    std::fprintf(stderr, "pace_bench: cannot start the echo peers\n");
    return 1;
  }
  qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
  vx::fw::SetResourceModule(&vx::res::VarnelixResources());
  vx::fw::EnsureApplication(argc, argv);

  // Large enough that no stress rewind falls inside a measured window.
  std::string file = "/tmp/vx-pace-bench.bin";
  {
    std::ofstream out(file, std::ios::binary);
    std::string block(1 << 20, '\0');
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = (i % 64 == 62) ? '\r' : (i % 64 == 63) ? '\n' : char('A' + i % 26);
    for (int i = 0; i < 32; ++i) out << block;
  }

  std::printf("Varnelix pace benchmark: %d pairs of %.1f s, 2048-byte packets on a 1 ms timer, pty echo\n", pairs,
              seconds);
  std::printf("load average at start: %s\n", LoadAverage().c_str());
  std::printf("%4s  %12s %12s %8s  %12s %12s %8s  %10s %9s\n", "pair", "plain tick/s", "dialog tick/s", "ratio",
              "plain s/MB", "dialog s/MB", "ratio", "paints/s", "UI share");
  std::vector<double> tickRatios, cpuRatios, paints;
  for (int i = 0; i < pairs; ++i) {
    Figures plain = PlainClient(peers.plainPath, warmup, seconds);
    Figures dialog = Dialog(peers.dialogPath, file, warmup, seconds);
    tickRatios.push_back(dialog.ticksPerSecond / plain.ticksPerSecond);
    cpuRatios.push_back(dialog.cpuPerMb / plain.cpuPerMb);
    paints.push_back(dialog.paintsPerSecond);
    std::printf("%4d  %12.1f %12.1f %8.3f  %12.4f %12.4f %8.2f  %10.1f %8.0f%%\n", i + 1, plain.ticksPerSecond,
                dialog.ticksPerSecond, tickRatios.back(), plain.cpuPerMb, dialog.cpuPerMb, cpuRatios.back(),
                dialog.paintsPerSecond, dialog.uiShare * 100);
    std::fflush(stdout);
  }
  Summary("ticks/s, dialog / plain", tickRatios, "target >= 0.99");
  Summary("CPU per MB, dialog / plain", cpuRatios, "target <= 3");
  std::printf("%-34s median %.1f\n", "dialog paint events/s", Median(paints));
  std::printf("load average at end: %s\n", LoadAverage().c_str());
  unlink(file.c_str());
  return 0;
}
