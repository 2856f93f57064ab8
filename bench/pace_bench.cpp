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
#include "medians.h"
#include "paced_client.h"
#include "console/ExerciserDlg.h"
#include "res/varnelix_res.h"

#include <QApplication>
#include <QCheckBox>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace vx::bench;

namespace {

// The dialog's figures beyond the plain client's.
struct Figures : PacedFigures {
  double paintsPerSecond = 0;
  double uiShare = 0;  // the part of the CPU spent on the user-interface thread
};

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

}  // namespace

int main(int argc, char** argv) {
  int pairs = argc > 1 ? std::max(5, std::atoi(argv[1])) : 7;
  double seconds = argc > 2 ? std::atof(argv[2]) : 3.0;
  const double warmup = 0.5;

  EchoPeerProcess peers;  // forked before Qt or any thread exists
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
    PacedFigures plain = PlainPacedClient(peers.PlainPath(), warmup, seconds);
    Figures dialog = Dialog(peers.ClientPath(), file, warmup, seconds);
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
