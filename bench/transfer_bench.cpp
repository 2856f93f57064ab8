// The exerciser's own figures, through the real dialog on Qt's offscreen
// platform: (a) the packet and byte rates of a stress run with 2048-byte
// packets, against the 1,000 packets a second the timer allows; (b) the cost of
// taking in one 2048-byte block when the received box already holds 1, 16 and
// 64 MB, with and without line breaks, against the cost at an empty box; (c)
// the peak memory of the process while 64 MB pass through the box.
#include "bench_util.h"
#include "console/ExerciserDlg.h"
#include "res/varnelix_res.h"
#include "tools/echo_peer.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>

using namespace vx::bench;

namespace {

void Pump(int ms) {
  QElapsedTimer t;
  t.start();
  do QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  while (t.elapsed() < ms);
}

long StatusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
  return 0;
}

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

void StressRate(const char* what, const std::string& port, const std::string& file, double seconds) {
  WithDialog([&](CExerciserDlg& dlg) {
    dlg.GetDlgItem(IDC_FILE_PATH)->SetWindowText(file.c_str());
    dlg.GetDlgItem(IDC_PORT_NAME)->SetWindowText(port.c_str());
    dlg.GetDlgItem(IDC_PACKET_SIZE)->SetWindowText("2048");
    qobject_cast<QCheckBox*>(dlg.GetDlgItem(IDC_STRESS_TEST)->widget())->setChecked(true);
    dlg.SendMessage(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    Pump(200);  // past the start pause
    ULONGLONG written0 = dlg.m_nWritten, received0 = dlg.m_nReceived;
    auto start = Clock::now();
    Pump(static_cast<int>(seconds * 1000));
    double s = Seconds(start);
    double packets = (dlg.m_nWritten - written0) / 2048.0 / s;
    char label[96];
    std::snprintf(label, sizeof label, "(a) %s: packets/s", what);
    Report(label, packets, 1000, "pkt/s");
    std::snprintf(label, sizeof label, "(a) %s: MB/s written / echoed", what);
    std::printf("%-48s %12.2f / %.2f MB/s (target 2.0 both ways)\n", label, (dlg.m_nWritten - written0) / s / 1e6,
                (dlg.m_nReceived - received0) / s / 1e6);
  });
}

// Microseconds to take in one 2048-byte block, averaged over `blocks`.
double BlockCost(CExerciserDlg& dlg, bool lineBreaks, int blocks) {
  std::string payload(2048, 'x');
  if (lineBreaks)
    for (std::size_t i = 60; i + 1 < payload.size(); i += 62) payload[i] = '\r', payload[i + 1] = '\n';
  auto start = Clock::now();
  for (int i = 0; i < blocks; ++i) {
    void* block = LocalAlloc(LMEM_ZEROINIT, payload.size());
    std::memcpy(block, payload.data(), payload.size());
    dlg.SendMessage(WM_LINK_DATA, reinterpret_cast<WPARAM>(block), LPARAM(payload.size()));
    QCoreApplication::processEvents();  // painting included
  }
  return Seconds(start) * 1e6 / blocks;
}

void Fill(CExerciserDlg& dlg, std::size_t bytes, bool lineBreaks) {
  dlg.m_editReceived.SetWindowText("");
  std::string chunk(1 << 20, 'f');
  if (lineBreaks)
    for (std::size_t i = 60; i + 1 < chunk.size(); i += 62) chunk[i] = '\r', chunk[i + 1] = '\n';
  for (std::size_t done = 0; done < bytes; done += chunk.size()) dlg.m_editReceived.ReplaceSel(chunk.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  vx::fw::SetResourceModule(&vx::res::VarnelixResources());
  vx::fw::EnsureApplication(argc, argv);
  std::printf("Varnelix transfer benchmark\n");

  std::string file = "/tmp/vx-bench-send.bin";
  {
    std::ofstream out(file, std::ios::binary);
    std::string block(1 << 20, '\0');
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>('A' + i % 26);
    for (int i = 0; i < 8; ++i) out << block;
  }
  StressRate("loop://", "loop://", file, 5);
  vx::tools::EchoPeer peer;
  std::string error;
  if (peer.Start(&error)) StressRate("pty echo", peer.DevicePath(), file, 5);

  WithDialog([&](CExerciserDlg& dlg) {
    for (bool breaks : {true, false}) {
      Fill(dlg, 0, breaks);
      double empty = BlockCost(dlg, breaks, 2000);
      for (std::size_t mb : {1, 16, 64}) {
        Fill(dlg, mb << 20, breaks);
        char label[96];
        std::snprintf(label, sizeof label, "(b) block into %zu MB, %s (us)", mb, breaks ? "lines" : "one line");
        Report(label, BlockCost(dlg, breaks, 2000), empty, "us", false);
      }
    }
  });

  WithDialog([&](CExerciserDlg& dlg) {
    dlg.m_editReceived.SetWindowText("");
    Pump(50);
    long before = StatusKb("VmRSS:");
    std::string payload(2048, 'm');
    for (int i = 0; i < (64 << 20) / 2048; ++i) {
      void* block = LocalAlloc(LMEM_ZEROINIT, payload.size());
      std::memcpy(block, payload.data(), payload.size());
      dlg.PostMessage(WM_LINK_DATA, reinterpret_cast<WPARAM>(block), LPARAM(payload.size()));
      if (i % 256 == 0) Pump(1);
    }
    Pump(500);
    long peak = StatusKb("VmHWM:");
    double perByte = (peak - before) * 1024.0 / (64 << 20);
    std::printf("%-48s %12.2f bytes of memory per byte received (target under 3)\n", "(c) peak memory, 64 MB received", perByte);
  });
  unlink(file.c_str());
  return 0;
}
