// The exerciser's own figures, through the real dialog on Qt's offscreen
// platform, each beside a baseline measured in the same run:
// (a) a stress run with 2048-byte packets, on a pseudo-terminal whose far end
//     echoes and on loop://, against a plain paced client (a 1 ms timerfd,
//     one packet written a tick, the echo read back) on a pty of its own; the
//     three alternate (plain, pty, loop, plain, ...) and each round gives
//     ratios of packets per second and of CPU seconds per MB (getrusage);
// (b) the cost of taking in one 2048-byte block when the received box holds
//     1, 16 and 64 MB, with and without line breaks, against the cost at an
//     empty box, in alternating rounds;
// (c) the process's peak memory while 64 MB pass through the box, against
//     the bytes received, for 3-byte lines, 64-byte lines and one line.
// Medians judge, with their spread and the load average beside them.
#include "bench_util.h"
#include "medians.h"
#include "console/ExerciserDlg.h"
#include "paced_client.h"
#include "process_memory.h"
#include "res/varnelix_res.h"

#include <QApplication>
#include <QCheckBox>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace vx::bench;

namespace {

// Runs `body` inside the modal loop of a main dialog.
void WithDialog(const std::function<void(CExerciserDlg&)>& body) {
  CExerciserDlg dlg;
  vx::fw::SetModalHook([&](CDialog* d) {
    if (d != &dlg) return;
    body(dlg);
    dlg.SendMessage(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  });
  dlg.DoModal();
  vx::fw::SetModalHook(nullptr);
}

// A stress run of the dialog on `port`: after `warmup`, `seconds` measured.
PacedFigures StressRun(const std::string& port, const std::string& file, double warmup, double seconds) {
  PacedFigures f;
  WithDialog([&](CExerciserDlg& dlg) {
    dlg.GetDlgItem(IDC_FILE_PATH)->SetWindowText(file.c_str());
    dlg.GetDlgItem(IDC_PORT_NAME)->SetWindowText(port.c_str());
    dlg.GetDlgItem(IDC_PACKET_SIZE)->SetWindowText("2048");
    qobject_cast<QCheckBox*>(dlg.GetDlgItem(IDC_STRESS_TEST)->widget())->setChecked(true);
    dlg.SendMessage(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    vx::fw::PumpEvents(static_cast<int>(warmup * 1000));  // past the start pause
    ULONGLONG written0 = dlg.m_nWritten, received0 = dlg.m_nReceived;
    double cpu0 = CpuSeconds();
    auto start = Clock::now();
    vx::fw::PumpEvents(static_cast<int>(seconds * 1000));
    double s = Seconds(start);
    double cpu = CpuSeconds() - cpu0;
    double written = double(dlg.m_nWritten - written0);
    f.packetsPerSecond = written / kPacedPacket / s;
    f.writtenMbPerSecond = written / 1e6 / s;
    f.echoedMbPerSecond = double(dlg.m_nReceived - received0) / 1e6 / s;
    f.cpuPerMb = written > 0 ? cpu / (written / 1e6) : 0;
  });
  return f;
}

std::string Payload(std::size_t size, bool lineBreaks) {
  std::string payload(size, 'x');
  if (lineBreaks)
    for (std::size_t i = 60; i + 1 < payload.size(); i += 62) payload[i] = '\r', payload[i + 1] = '\n';
  return payload;
}

// A block as the link's reader hands it over.
void Deliver(CExerciserDlg& dlg, const std::string& payload, bool post) {
  void* block = LocalAlloc(LMEM_ZEROINIT, payload.size());
  std::memcpy(block, payload.data(), payload.size());
  if (post)
    dlg.PostMessage(WM_LINK_DATA, reinterpret_cast<WPARAM>(block), LPARAM(payload.size()));
  else
    dlg.SendMessage(WM_LINK_DATA, reinterpret_cast<WPARAM>(block), LPARAM(payload.size()));
}

// Microseconds to take in one 2048-byte block, averaged over `blocks`.
double BlockCost(CExerciserDlg& dlg, bool lineBreaks, int blocks) {
  const std::string payload = Payload(2048, lineBreaks);
  auto start = Clock::now();
  for (int i = 0; i < blocks; ++i) {
    Deliver(dlg, payload, false);
    QCoreApplication::processEvents();  // painting included
  }
  return Seconds(start) * 1e6 / blocks;
}

void Fill(CExerciserDlg& dlg, std::size_t bytes, bool lineBreaks) {
  dlg.m_editReceived.SetWindowText("");
  const std::string chunk = Payload(1 << 20, lineBreaks);
  for (std::size_t done = 0; done < bytes; done += chunk.size()) dlg.m_editReceived.ReplaceSel(chunk.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  const int pairs = argc > 1 ? std::max(5, std::atoi(argv[1])) : 5;
  const double seconds = argc > 2 ? std::atof(argv[2]) : 3.0;
  const double warmup = 0.5;
  EchoPeerProcess peers;  // forked before Qt or any thread exists
  if (!peers.Start()) {
    std::fprintf(stderr, "transfer_bench: cannot start the echo peers\n");
    return 1;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  vx::fw::SetResourceModule(&vx::res::VarnelixResources());
  vx::fw::EnsureApplication(argc, argv);
  std::printf("Varnelix transfer benchmark: %d rounds, load average at start %s\n", pairs, LoadAverage().c_str());

  // Large enough that no stress rewind falls inside a measured window.
  std::string file = "/tmp/vx-transfer-bench.bin";
  {
    std::ofstream out(file, std::ios::binary);
    std::string block(1 << 20, '\0');
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>('A' + i % 26);
    for (int i = 0; i < 32; ++i) out << block;
  }

  std::printf("(a) stress runs of %.1f s, 2048-byte packets on a 1 ms timer\n", seconds);
  std::printf("%5s  %9s %9s %9s  %11s %11s %11s  %13s\n", "round", "plain p/s", "pty p/s", "loop p/s", "plain s/MB",
              "pty s/MB", "loop s/MB", "pty MB/s w/e");
  std::vector<double> ptyRate, loopRate, ptyCpu, loopCpu;
  for (int i = 0; i < pairs; ++i) {
    PacedFigures plain = PlainPacedClient(peers.PlainPath(), warmup, seconds);
    PacedFigures pty = StressRun(peers.ClientPath(), file, warmup, seconds);
    PacedFigures loop = StressRun("loop://", file, warmup, seconds);
    ptyRate.push_back(pty.packetsPerSecond / plain.packetsPerSecond);
    loopRate.push_back(loop.packetsPerSecond / plain.packetsPerSecond);
    ptyCpu.push_back(pty.cpuPerMb / plain.cpuPerMb);
    loopCpu.push_back(loop.cpuPerMb / plain.cpuPerMb);
    std::printf("%5d  %9.1f %9.1f %9.1f  %11.4f %11.4f %11.4f  %6.2f / %.2f\n", i + 1, plain.packetsPerSecond,
                pty.packetsPerSecond, loop.packetsPerSecond, plain.cpuPerMb, pty.cpuPerMb, loop.cpuPerMb,
                pty.writtenMbPerSecond, pty.echoedMbPerSecond);
    std::fflush(stdout);
  }
  Summary("(a) packets/s, pty dialog / plain", ptyRate, "target >= 0.99");
  Summary("(a) packets/s, loop:// dialog / plain", loopRate, "target >= 0.99");
  Summary("(a) CPU per MB, pty dialog / plain", ptyCpu, "target <= 3");
  Summary("(a) CPU per MB, loop:// dialog / plain (no pty)", loopCpu, "lower is better");
  std::printf("load average after (a): %s\n", LoadAverage().c_str());

  WithDialog([&](CExerciserDlg& dlg) {
    for (bool breaks : {true, false}) {
      for (std::size_t mb : {1, 16, 64}) {
        std::vector<double> ratios, emptyUs, fullUs;
        for (int i = 0; i < pairs; ++i) {
          Fill(dlg, 0, breaks);
          emptyUs.push_back(BlockCost(dlg, breaks, 2000));
          Fill(dlg, mb << 20, breaks);
          fullUs.push_back(BlockCost(dlg, breaks, 2000));
          ratios.push_back(fullUs.back() / emptyUs.back());
        }
        char label[96];
        std::snprintf(label, sizeof label, "(b) block into %zu MB / empty, %s", mb, breaks ? "lines" : "one line");
        std::printf("%-44s %.1f us / %.1f us (medians)\n", label, Median(fullUs), Median(emptyUs));
        Summary("", ratios, "target ~1");
      }
    }
  });
  std::printf("load average after (b): %s\n", LoadAverage().c_str());

  struct Shape {
    const char* name;
    std::string payload;
  };
  std::string tiny;
  while (tiny.size() < 2048) tiny += "x\r\n";  // 683 lines in 2049 bytes
  for (const Shape& shape : {Shape{"3-byte lines", tiny}, Shape{"62-byte lines", Payload(2048, true)},
                             Shape{"one line", Payload(2048, false)}}) {
    WithDialog([&](CExerciserDlg& dlg) {
      dlg.m_editReceived.SetWindowText("");
      vx::fw::PumpEvents(50);
      ResetPeak();
      long before = StatusKb("VmRSS:");
      const std::size_t blocks = (64 << 20) / shape.payload.size();
      for (std::size_t i = 0; i < blocks; ++i) {
        Deliver(dlg, shape.payload, true);
        if (i % 256 == 0) vx::fw::PumpEvents(1);
      }
      vx::fw::PumpEvents(500);
      long peak = StatusKb("VmHWM:");
      double received = double(blocks * shape.payload.size());
      char label[96];
      std::snprintf(label, sizeof label, "(c) peak memory, 64 MB of %s", shape.name);
      std::printf("%-44s %8.2f bytes per byte received (target under 2)\n", label, (peak - before) * 1024.0 / received);
    });
  }
  std::printf("load average at end: %s\n", LoadAverage().c_str());
  unlink(file.c_str());
  return 0;
}
