// Echo throughput through the serial layer (2048-byte overlapped reads and
// writes on two threads) against a plain non-blocking read/write loop on the
// same kind of pty pair, and the same through loop://. Then the link itself
// (CSerialLink with 2048-byte packets) on both, against the same baseline.
#include "bench_util.h"
#include "medians.h"
#include "plain_pairs.h"
#include "link/SerialLink.h"
#include "platform/win32.h"
#include "tools/echo_peer.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <csignal>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace vx::bench;

namespace {

constexpr std::size_t kBytes = 64u << 20;
constexpr DWORD kChunk = 2048;

// MB/s of a plain non-blocking loop on the slave of an echoing pty.
double PlainPtyLoop() {
  vx::tools::EchoPeer peer;
  std::string error;
  if (!peer.Start(&error)) return 0;
  int fd = OpenRaw(peer.DevicePath(), O_NONBLOCK);
  std::vector<char> out(kChunk, 'x'), in(kChunk);
  std::size_t sent = 0, got = 0, offset = 0;
  auto start = Clock::now();
  while (got < kBytes) {
    pollfd p{fd, static_cast<short>(POLLIN | (sent < kBytes ? POLLOUT : 0)), 0};
    poll(&p, 1, 1000);
    if (p.revents & POLLIN) {
      ssize_t n = read(fd, in.data(), in.size());
      if (n > 0) got += static_cast<std::size_t>(n);
    }
    if ((p.revents & POLLOUT) && sent < kBytes) {
      ssize_t n = write(fd, out.data() + offset, kChunk - offset);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
        offset = (offset + static_cast<std::size_t>(n)) % kChunk;
      }
    }
  }
  double mbps = kBytes / Seconds(start) / 1e6;
  close(fd);
  return mbps;
}

// MB/s of the same echo with plain blocking reads and writes on two threads,
// the shape the layer has: how much of the layer's gap is the two threads.
double PlainTwoThreads() {
  vx::tools::EchoPeer peer;
  std::string error;
  if (!peer.Start(&error)) return 0;
  int fd = OpenRaw(peer.DevicePath(), 0);
  std::atomic<std::size_t> got{0};
  std::thread writer([&] {
    std::vector<char> out(kChunk, 'z');
    for (std::size_t sent = 0; sent < kBytes;) {
      KeepInFlight(sent, got);
      ssize_t n = write(fd, out.data(), kChunk);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
  });
  std::vector<char> in(kChunk);
  auto start = Clock::now();
  while (got.load() < kBytes) {
    ssize_t n = read(fd, in.data(), in.size());
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  double mbps = got / Seconds(start) / 1e6;
  writer.join();
  close(fd);
  return mbps;
}

HANDLE OpenPort(const std::string& name) {
  HANDLE h = CreateFileA(name.c_str(), GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  COMMTIMEOUTS t{20, 0, 0, 0, 0};
  SetCommTimeouts(h, &t);
  return h;
}

// MB/s echoed through the layer: a writer thread and a reader thread, each
// with 2048-byte overlapped operations. The writer keeps at most 1 MiB
// ahead of the reader (KeepInFlight), as the plain loop does by reading between its
// writes: an echo peer holds a bounded backlog and drops what overflows it.
double LayerEcho(const std::string& name, std::size_t total = kBytes) {
  HANDLE port = OpenPort(name);
  std::atomic<std::size_t> got{0};
  std::thread writer([&] {
    std::vector<char> out(kChunk, 'y');
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (std::size_t sent = 0; sent < total; sent += kChunk) {
      KeepInFlight(sent, got);
      DWORD n;
      if (!WriteFile(port, out.data(), kChunk, &n, &ov)) GetOverlappedResult(port, &ov, &n, TRUE);
    }
    CloseHandle(ov.hEvent);
  });
  std::vector<char> in(kChunk);
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  auto start = Clock::now();
  while (got.load() < total) {
    DWORD n = 0;
    if (!ReadFile(port, in.data(), kChunk, &n, &ov) && !GetOverlappedResult(port, &ov, &n, TRUE)) break;
    got += n;
  }
  double mbps = got / Seconds(start) / 1e6;
  writer.join();
  CloseHandle(ov.hEvent);
  CloseHandle(port);
  return mbps;
}

struct Counter {
  std::size_t bytes = 0;
};

LRESULT CALLBACK CountingProc(HWND h, UINT m, WPARAM w, LPARAM l) {
  if (m == WM_LINK_DATA) {
    reinterpret_cast<Counter*>(GetWindowLongPtrA(h, GWLP_USERDATA))->bytes += static_cast<std::size_t>(l);
    LocalFree(reinterpret_cast<HLOCAL>(w));
  }
  return 0;
}

// MB/s echoed through CSerialLink: packets of 2048 bytes handed to Send as
// fast as its queue takes them, received blocks counted by an owner window.
double LinkEcho(const std::string& name, std::size_t total = kBytes) {
  static bool registered = false;
  if (!registered) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = CountingProc;
    wc.lpszClassName = "VxBenchOwner";
    RegisterClassA(&wc);
    registered = true;
  }
  Counter counter;
  HWND owner = CreateWindowExA(0, "VxBenchOwner", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  SetWindowLongPtrA(owner, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&counter));
  CSerialLink link(owner);
  link.Open(OpenPort(name));
  Sleep(50);
  std::size_t sent = 0;
  auto start = Clock::now();
  MSG m;
  while (counter.bytes < total && Seconds(start) < 60) {
    while (sent < total && sent < counter.bytes + (4u << 20)) {  // keep 4 MiB in flight
      void* block = LocalAlloc(LMEM_ZEROINIT, kChunk);
      if (!link.Send(block, kChunk)) {
        LocalFree(block);
        break;
      }
      sent += kChunk;
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
  }
  double mbps = counter.bytes / Seconds(start) / 1e6;
  link.Close();
  while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
  DestroyWindow(owner);
  return mbps;
}

// CPU seconds per MB of an echo through `name` when the writer offers 2048
// bytes at a time at `rate` bytes a second for `seconds`, the reader reading
// with the link's timeouts. On a paced loopback the line sets the pace too.
double PacedCpuPerMb(const char* name, double rate, double seconds) {
  HANDLE port = CreateFileA(name, GENERIC_ALL, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (port == INVALID_HANDLE_VALUE) return 0;
  COMMTIMEOUTS t{20, 0, 0, 0, 0};
  SetCommTimeouts(port, &t);
  const std::size_t total = static_cast<std::size_t>(rate * seconds);
  std::atomic<bool> done{false};
  const double cpu = CpuSeconds();
  std::thread writer([&] {
    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = ev;
    std::vector<char> out(kChunk, 'p');
    const auto start = Clock::now();
    for (std::size_t sent = 0; sent < total && !done; sent += kChunk) {
      std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                                std::chrono::duration<double>(sent / rate)));
      DWORD n = 0;
      if (!WriteFile(port, out.data(), kChunk, &n, &ov)) GetOverlappedResult(port, &ov, &n, TRUE);
    }
    CloseHandle(ev);
  });
  HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED ov{};
  ov.hEvent = ev;
  std::vector<char> in(kChunk);
  std::size_t got = 0;
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(seconds * 2 + 1));
  while (got < total && Clock::now() < deadline) {
    DWORD n = 0;
    if (!ReadFile(port, in.data(), kChunk, &n, &ov)) {
      if (WaitForSingleObject(ev, 1000) != WAIT_OBJECT_0) continue;
      GetOverlappedResult(port, &ov, &n, TRUE);
    }
    got += n;
  }
  done = true;
  PurgeComm(port, PURGE_RXABORT | PURGE_TXABORT);
  writer.join();
  const double used = CpuSeconds() - cpu;
  CloseHandle(ev);
  CloseHandle(port);
  return got ? used / (got / 1e6) : 0;
}

// An echo peer in a process of its own, so that what this process uses is
// only the side under test. Prints nothing; the device is read from a pipe.
struct PeerProcess {
  pid_t pid = -1;
  std::string device;
  PeerProcess() {
    int p[2];
    if (pipe(p) != 0) return;
    pid = fork();
    if (pid == 0) {
      close(p[0]);
      prctl(PR_SET_NAME, "echo-peer");  // told apart from the side under test in perf
      vx::tools::EchoPeer peer;
      std::string error;
      if (!peer.Start(&error)) _exit(1);
      std::string line = peer.DevicePath() + "\n";
      ssize_t rc = write(p[1], line.data(), line.size());
      (void)rc;
      close(p[1]);
      pause();  // until killed
      _exit(0);
    }
    close(p[1]);
    char buf[128] = {};
    ssize_t n = read(p[0], buf, sizeof buf - 1);
    close(p[0]);
    if (n > 1) device.assign(buf, static_cast<std::size_t>(n - 1));
  }
  ~PeerProcess() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};

constexpr std::size_t kFairBytes = 32u << 20;

// CPU per MB of one of the echoes above (the layer's or the link's).
double CpuPerMb(double (*echo)(const std::string&, std::size_t), const std::string& device) {
  const double cpu = CpuSeconds();
  const double mbps = echo(device, kFairBytes);
  return mbps > 0 ? (CpuSeconds() - cpu) / (kFairBytes / 1e6) : 0;
}
double LayerCpuPerMb(const std::string& device) { return CpuPerMb(LayerEcho, device); }
double LinkCpuPerMb(const std::string& device) { return CpuPerMb(LinkEcho, device); }
double PlainCpuPerMb(const std::string& device) { return PlainPairCpuPerMb(device, kFairBytes); }
double OverlappedCpuPerMb(const std::string& device) { return OverlappedPairCpuPerMb(device, kFairBytes); }
double HandOffCpuPerMb(const std::string& device) { return HandOffPairCpuPerMb(device, kFairBytes); }

// One side of the fair yardstick: how it is measured, and its runs.
struct FairSide {
  double (*measure)(const std::string& device);
  std::vector<double> runs;
};

// The paired ratios of two sides' runs, round by round.
std::vector<double> PairedRatios(const FairSide& ours, const FairSide& base) {
  std::vector<double> ratios;
  for (std::size_t i = 0; i < ours.runs.size() && i < base.runs.size(); ++i)
    ratios.push_back(base.runs[i] > 0 ? ours.runs[i] / base.runs[i] : 0);
  return ratios;
}

// "what: ours ms/MB against base ms/MB", then the median of the paired
// ratios with their spread, and the verdict when there is a target.
void CompareSides(const char* what, const FairSide& ours, const FairSide& base, double target = 0) {
  const std::vector<double> ratios = PairedRatios(ours, base);
  Report(what, Median(ours.runs) * 1e3, Median(base.runs) * 1e3, "ms/MB", false);
  std::printf("  median of the paired ratios: %.2f (lowest %.2f, highest %.2f)", Median(ratios),
              *std::min_element(ratios.begin(), ratios.end()), *std::max_element(ratios.begin(), ratios.end()));
  if (target > 0) std::printf("; target at most %.2f: %s", target, Median(ratios) <= target ? "met" : "NOT met");
  std::printf("\n");
}

// The fair yardstick: CPU per MB of the layer and the link against the plain
// pair, each echoed by a peer in its own process, in rounds. A run costs less
// or more for what ran just before it in the process (the link, twice as
// dear, leaves the machine in another state than the plain pair does), so
// every other round runs in the reverse order, and no side always follows
// the same one. Beside the plain pair run two plain pairs that make the
// calls the layer and the link cannot do without, so that the figures say
// what is the price of overlapped I/O and of the link's messages, and what
// is the layer's and the link's own.
int FairBenchmark() {
  constexpr int kRounds = 10;
  enum { kPlain, kOverlapped, kLayer, kHandOff, kLink, kSides };
  FairSide sides[kSides] = {
      {PlainCpuPerMb, {}}, {OverlappedCpuPerMb, {}}, {LayerCpuPerMb, {}}, {HandOffCpuPerMb, {}}, {LinkCpuPerMb, {}}};
  for (int round = 0; round < kRounds; ++round) {
    for (int k = 0; k < kSides; ++k) {
      FairSide& side = sides[round % 2 == 0 ? k : kSides - 1 - k];
      PeerProcess peer;
      side.runs.push_back(side.measure(peer.device));
    }
  }
  double load[3] = {};
  getloadavg(load, 3);
  std::printf("CPU per MB echoed through a pty, %d rounds of %zu MiB in alternating order, load %.2f %.2f %.2f\n",
              kRounds, kFairBytes >> 20, load[0], load[1], load[2]);
  CompareSides("layer (ms of CPU per MB)", sides[kLayer], sides[kPlain], 1.10);
  CompareSides("link (ms of CPU per MB)", sides[kLink], sides[kPlain], 1.25);
  std::printf("What the calls themselves cost: plain pairs that try each read and write at once first, as\n"
              "overlapped I/O must, and that also hand each block across threads, as the link's messages do\n");
  CompareSides("plain pair, overlapped calls", sides[kOverlapped], sides[kPlain]);
  CompareSides("plain pair, overlapped calls, hand-offs", sides[kHandOff], sides[kPlain]);
  CompareSides("layer against its plain pair", sides[kLayer], sides[kOverlapped]);
  CompareSides("link against its plain pair", sides[kLink], sides[kHandOff]);
  return 0;
}

// The paced loopback against the plain one moving the same bytes at the same
// rate, in pairs: what pacing itself costs. As in the fair yardstick, every
// other pair runs in the reverse order, so that neither side always runs
// first.
int PacedBenchmark() {
  constexpr double kRate = 300000;  // 3 Mbaud at 10 bits a byte
  // Long enough that each side uses tens of milliseconds of CPU: shorter runs
  // are lost in the scheduler's accounting.
  constexpr double kSeconds = 3.0;
  constexpr int kPairs = 8;
  std::vector<double> paced, plain, ratios;
  for (int i = 0; i < kPairs; ++i) {
    const bool plainFirst = i % 2 == 0;
    if (plainFirst) plain.push_back(PacedCpuPerMb("loop://", kRate, kSeconds));
    paced.push_back(PacedCpuPerMb("loop://?baud=3000000", kRate, kSeconds));
    if (!plainFirst) plain.push_back(PacedCpuPerMb("loop://", kRate, kSeconds));
    ratios.push_back(plain.back() > 0 ? paced.back() / plain.back() : 0);
  }
  double load[3] = {};
  getloadavg(load, 3);
  std::printf("paced loop:// at 300 KB/s against plain loop:// at the same rate, %d pairs, load %.2f %.2f %.2f\n",
              kPairs, load[0], load[1], load[2]);
  Report("paced loop:// CPU (ms per MB)", Median(paced) * 1e3, Median(plain) * 1e3, "ms/MB", false);
  std::printf("median of the paired ratios: %.2f (lowest %.2f, highest %.2f); target at most 1.2: %s\n",
              Median(ratios), *std::min_element(ratios.begin(), ratios.end()),
              *std::max_element(ratios.begin(), ratios.end()), Median(ratios) <= 1.2 ? "met" : "NOT met");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // One part alone, for profiling: "plain", "two" (plain, two threads) or
  // "layer" (on a pty); or "paced", the cost of the paced loopback; or
  // "fair", the layer's CPU per MB against the plain pair's.
  const std::string only = argc > 1 ? argv[1] : "";
  if (only == "paced") return PacedBenchmark();
  // One side of it once, for strace or perf: "paced-plain" or "paced-line".
  if (only == "paced-plain" || only == "paced-line") {
    const char* name = only == "paced-plain" ? "loop://" : "loop://?baud=3000000";
    std::printf("%s: %.2f ms of CPU per MB\n", only.c_str(), PacedCpuPerMb(name, 300000, 1.0) * 1e3);
    return 0;
  }
  if (only == "fair") return FairBenchmark();
  // One side of the fair yardstick once, for strace or perf: "fair-plain",
  // "fair-overlapped", "fair-hand-off", "fair-layer" or "fair-link".
  if (only.rfind("fair-", 0) == 0) {
    auto measure = only == "fair-plain"      ? PlainCpuPerMb
                   : only == "fair-overlapped" ? OverlappedCpuPerMb
                   : only == "fair-hand-off"   ? HandOffCpuPerMb
                   : only == "fair-layer"      ? LayerCpuPerMb
                                               : LinkCpuPerMb;
    PeerProcess peer;
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const double cpu = measure(peer.device);
    getrusage(RUSAGE_SELF, &after);
    const double mb = kFairBytes / 1e6;
    std::printf("%s: %.2f ms of CPU per MB, %.0f voluntary and %.0f forced context switches per MB\n", only.c_str(),
                cpu * 1e3, (after.ru_nvcsw - before.ru_nvcsw) / mb, (after.ru_nivcsw - before.ru_nivcsw) / mb);
    return 0;
  }
  if (only == "plain") {
    std::printf("plain: %.1f MB/s\n", PlainPtyLoop());
    return 0;
  }
  if (only == "two") {
    std::printf("two threads: %.1f MB/s\n", PlainTwoThreads());
    return 0;
  }
  if (only == "layer") {
    vx::tools::EchoPeer peer;
    std::string error;
    if (!peer.Start(&error)) return 1;
    std::printf("layer: %.1f MB/s\n", LayerEcho(peer.DevicePath()));
    return 0;
  }
  std::printf("Varnelix serial-layer benchmark: %zu MiB echoed in 2048-byte operations\n", kBytes >> 20);
  // A pty's speed swings from run to run with what else the machine does, so
  // the plain loop and the layer run in pairs, back to back, and the target
  // is judged by the median of the pairs' ratios: a pair shares the
  // machine's mood of the moment.
  constexpr int kRounds = 7;
  std::vector<double> plainRuns, layerRuns, twoThreadRuns, pairRatios;
  for (int round = 0; round < kRounds; ++round) {
    plainRuns.push_back(PlainPtyLoop());
    twoThreadRuns.push_back(PlainTwoThreads());
    vx::tools::EchoPeer peer;
    std::string error;
    peer.Start(&error);
    layerRuns.push_back(LayerEcho(peer.DevicePath()));
    pairRatios.push_back(plainRuns.back() > 0 ? layerRuns.back() / plainRuns.back() : 0);
  }
  const double plain = Median(plainRuns);
  const double ratio = Median(pairRatios);
  std::printf("medians of %d alternating runs of each\n", kRounds);
  Report("layer on a pty echo (MB/s)", Median(layerRuns), plain, "MB/s");
  std::printf("median of the %d paired ratios: %.3f (lowest %.3f, highest %.3f)\n", kRounds, ratio,
              *std::min_element(pairRatios.begin(), pairRatios.end()),
              *std::max_element(pairRatios.begin(), pairRatios.end()));
  std::printf("target: at least 0.8 of the plain loop: %s\n", ratio >= 0.8 ? "met" : "NOT met");
  Report("plain blocking I/O on two threads (MB/s)", Median(twoThreadRuns), plain, "MB/s");
  std::string error;
  Report("layer on loop:// (MB/s)", LayerEcho("loop://"), plain, "MB/s");

  vx::tools::EchoPeer linkPeer;
  linkPeer.Start(&error);
  Report("link on a pty echo (MB/s)", LinkEcho(linkPeer.DevicePath()), plain, "MB/s");
  Report("link on loop:// (MB/s)", LinkEcho("loop://"), plain, "MB/s");
  return 0;
}
