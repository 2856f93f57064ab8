// The received box's bound: taking in a 2048-byte block costs the same
// whether the box is empty or full at its 64 MiB, dropping its oldest lines
// with every block, for 3-byte lines, 64-byte lines and one endless line. Two real boxes on Qt's offscreen platform, one emptied
// before each round (the baseline), one kept full; rounds alternate (empty,
// full, empty, full, ...) and the median of the paired ratios judges. Then
// the process's peak memory while 256 MiB pass through a box, per byte kept,
// for each of those.
#include "bench_util.h"
#include "medians.h"
#include "process_memory.h"
#include "framework/afxwin.h"
#include "framework/receive_box.h"

#include <QApplication>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

using namespace vx::bench;

namespace {

std::string Block(bool lineBreaks) {
  std::string block(2048, 'x');
  if (lineBreaks)
    for (std::size_t i = 62; i + 1 < block.size(); i += 64) block[i] = '\r', block[i + 1] = '\n';
  return block;
}

// Microseconds a block, over `blocks` appends, frames shown between rounds.
double Round(vx::fw::ReceiveBox& box, const std::string& block, int blocks) {
  auto start = Clock::now();
  for (int i = 0; i < blocks; ++i) box.Append(block.data(), block.size());
  double us = Seconds(start) * 1e6 / blocks;
  QCoreApplication::processEvents();
  return us;
}

void Fill(vx::fw::ReceiveBox& box, const std::string& block, std::uint64_t bytes) {
  for (std::uint64_t done = 0; done < bytes; done += block.size()) box.Append(block.data(), block.size());
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
  vx::fw::EnsureApplication(argc, argv);
  const int pairs = argc > 1 ? std::max(5, std::atoi(argv[1])) : 7;
  const std::uint64_t limit = vx::fw::TextStore::kDefaultLimit;
  double load[3] = {0, 0, 0};
  getloadavg(load, 3);
  std::printf("Varnelix scrollback benchmark: %d pairs, load average %.2f %.2f %.2f\n", pairs, load[0], load[1], load[2]);

  // The shortest a line can be ("x" and its CR LF), 64-byte lines, one endless line.
  struct Shape {
    const char* name;
    std::string block;
  };
  std::string tiny;
  while (tiny.size() < 2048) tiny += "x\r\n";  // 683 lines in 2049 bytes
  const Shape shapes[] = {{"3-byte lines", tiny}, {"64-byte lines", Block(true)}, {"one line", Block(false)}};

  for (const Shape& shape : shapes) {
    vx::fw::ReceiveBox empty, full;
    empty.resize(600, 250);
    full.resize(600, 250);
    empty.show();
    full.show();
    Fill(full, shape.block, limit + (16u << 20));  // past the bound: every block now drops old text
    std::vector<double> ratios, emptyUs, fullUs;
    for (int i = 0; i < pairs; ++i) {
      empty.SetText("");
      emptyUs.push_back(Round(empty, shape.block, 4000));
      fullUs.push_back(Round(full, shape.block, 4000));
      ratios.push_back(fullUs.back() / emptyUs.back());
    }
    auto [lo, hi] = std::minmax_element(ratios.begin(), ratios.end());
    std::printf("%-14s block into an empty box %.2f us, into a full one %.2f us: ratio median %.3f, spread %.3f .. "
                "%.3f (target ~1)\n",
                (std::string(shape.name) + ":").c_str(), Median(emptyUs), Median(fullUs), Median(ratios), *lo, *hi);
    std::printf("%-14s kept %llu bytes in %zu lines\n", "", static_cast<unsigned long long>(full.Size()), full.LineCount());
  }

  // Peak memory against the bytes kept, for each shape of line. The
  // process's peak is reset before each, so each is measured alone.
  for (const Shape& shape : shapes) {
    ResetPeak();
    long before = StatusKb("VmRSS:");
    std::uint64_t kept;
    {
      vx::fw::ReceiveBox box;
      Fill(box, shape.block, 256ull << 20);
      kept = box.Size();
    }
    long peak = StatusKb("VmHWM:");
    std::printf("peak memory, 256 MiB of %-14s %7.1f MiB for %.1f MiB kept: %.2f bytes per byte kept (target < 2)\n",
                (std::string(shape.name) + ":").c_str(), (peak - before) / 1024.0, kept / 1048576.0,
                (peak - before) * 1024.0 / double(kept));
  }
  return 0;
}
