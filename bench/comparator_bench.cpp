// What checking every received byte costs varnelix-run: the streaming
// comparator fed 2048-byte blocks (the reader's size), its expected stream
// from memory and from a file on disk, beside a plain memcmp of the same data
// in the same blocks. Runs alternate (memcmp, memory, file) for seven rounds;
// medians, spread, CPU time per MB, and the load average are printed.
#include "bench_util.h"
#include "medians.h"
#include "tools/expected_stream.h"
#include "tools/stream_comparator.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

using namespace vx::bench;
using vx::tools::ExpectedStream;
using vx::tools::FileStream;
using vx::tools::MemoryStream;
using vx::tools::StreamComparator;

namespace {

constexpr std::size_t kBytes = 32u << 20;
constexpr std::size_t kBlock = 2048;
constexpr int kRounds = 7;

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Sample {
  double seconds, cpu;
};

template <typename Body>
Sample Time(Body body) {
  double cpu = CpuSeconds();
  auto start = Clock::now();
  body();
  return {Seconds(start), CpuSeconds() - cpu};
}

void Print(const char* what, const std::vector<Sample>& runs) {
  std::vector<double> ms, cpu;
  for (const Sample& s : runs) {
    ms.push_back(s.seconds * 1e3 / (kBytes >> 20));
    cpu.push_back(s.cpu * 1e3 / (kBytes >> 20));
  }
  auto [lo, hi] = std::minmax_element(ms.begin(), ms.end());
  std::printf("%-36s median %7.3f ms/MB  (spread %.3f .. %.3f)  CPU %.3f ms/MB\n", what, Median(ms), *lo, *hi,
              Median(cpu));
}

}  // namespace

int main() {
  std::string data(kBytes, '\0');
  unsigned x = 12345;
  for (auto& c : data) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 23);
  }
  const std::string received = data;  // an intact echo: the common case, all fast path
  char path[] = "/tmp/vx-comparator-bench-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0 || write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) {
    std::perror("cannot write the bench file");
    return 1;
  }
  close(fd);

  volatile int sink = 0;
  auto plain = [&] {
    int differs = 0;
    for (std::size_t at = 0; at < kBytes; at += kBlock) differs |= std::memcmp(data.data() + at, received.data() + at, kBlock);
    sink = sink + differs;
  };
  auto compare = [&](ExpectedStream& expected) {
    StreamComparator comparator(expected);
    comparator.SetSent(kBytes);
    for (std::size_t at = 0; at < kBytes; at += kBlock)
      comparator.Feed(reinterpret_cast<const std::uint8_t*>(received.data() + at), kBlock);
    comparator.Finish(kBytes);
    if (!comparator.Counts().Intact() || comparator.Counts().matched != kBytes) std::abort();
  };

  MemoryStream inMemory(data, false);  // holds its own copy: made once, outside the timing
  std::vector<Sample> plainRuns, memoryRuns, fileRuns;
  std::vector<double> memoryRatios, fileRatios;
  for (int round = 0; round < kRounds; ++round) {
    Sample p = Time(plain);
    Sample m = Time([&] { compare(inMemory); });
    Sample f = Time([&] {
      FileStream expected(false);
      std::string error;
      if (!expected.Open(path, &error)) std::abort();
      compare(expected);
    });
    plainRuns.push_back(p);
    memoryRuns.push_back(m);
    fileRuns.push_back(f);
    memoryRatios.push_back(m.seconds / p.seconds);
    fileRatios.push_back(f.seconds / p.seconds);
  }
  unlink(path);

  // The worst case: nothing agrees (a wrong line speed). The cost stays
  // linear: per window of bytes, the window searched, then the stream
  // further off (ahead as far as was sent, here all 4 MiB at once, the most
  // it reads, and behind).
  std::string garbage(4u << 20, '\0');
  for (auto& c : garbage) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 23);
  }
  Sample worst = Time([&] {
    StreamComparator comparator(inMemory);
    comparator.SetSent(garbage.size());
    for (std::size_t at = 0; at < garbage.size(); at += kBlock)
      comparator.Feed(reinterpret_cast<const std::uint8_t*>(garbage.data() + at), kBlock);
    comparator.Finish(garbage.size());
  });

  double load[3] = {0, 0, 0};
  getloadavg(load, 3);
  std::printf("comparator: %zu MiB in %zu-byte blocks, %d rounds; load average %.2f %.2f %.2f\n", kBytes >> 20, kBlock,
              kRounds, load[0], load[1], load[2]);
  Print("plain memcmp (baseline)", plainRuns);
  Print("comparator, expected from memory", memoryRuns);
  Print("comparator, expected from a file", fileRuns);
  auto [mlo, mhi] = std::minmax_element(memoryRatios.begin(), memoryRatios.end());
  auto [flo, fhi] = std::minmax_element(fileRatios.begin(), fileRatios.end());
  std::printf("ratio to memcmp, median of rounds: from memory %.2fx (%.2f .. %.2f), from a file %.2fx (%.2f .. %.2f); "
              "target within 3x\n",
              Median(memoryRatios), *mlo, *mhi, Median(fileRatios), *flo, *fhi);
  std::printf("comparator on garbage (nothing agrees): %.3f ms/MB, CPU %.3f ms/MB\n", worst.seconds * 1e3 / 4,
              worst.cpu * 1e3 / 4);
  return 0;
}
