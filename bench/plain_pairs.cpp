#include "plain_pairs.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vx::bench {
namespace {

constexpr std::size_t kBlock = 2048;
constexpr int kGapMs = 20;
// The slave of the pty as a shape uses it: always a blocking description,
// and for the overlapped calls a second, non-blocking one (-1 otherwise).
struct Device {
  int blocking = -1;
  int nonblocking = -1;
  Device(const std::string& path, bool overlapped) : blocking(OpenRaw(path, 0)) {
    if (overlapped) nonblocking = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  }
  ~Device() {
    if (nonblocking >= 0) close(nonblocking);
    if (blocking >= 0) close(blocking);
  }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  bool overlapped() const { return nonblocking >= 0; }
};

// Writes one block of kBlock bytes whole: for the overlapped calls first
// without blocking, then the rest with blocking writes. The bytes taken;
// fewer than kBlock only when the device failed.
std::size_t WriteBlock(const Device& device, const char* data) {
  std::size_t taken = 0;
  if (device.overlapped()) {
    ssize_t n = write(device.nonblocking, data, kBlock);
    if (n > 0) taken = static_cast<std::size_t>(n);
    else if (errno != EAGAIN) return 0;
  }
  while (taken < kBlock) {
    ssize_t n = write(device.blocking, data + taken, kBlock - taken);
    if (n <= 0) break;
    taken += static_cast<std::size_t>(n);
  }
  return taken;
}

// Reads one block by the fill rule. For the overlapped calls the first read
// is tried at once and a poll waits for the first byte when it finds none;
// otherwise the first read itself waits. 0 when the device failed.
std::size_t ReadBlock(const Device& device, char* block) {
  const bool overlapped = device.overlapped();
  const int fd = overlapped ? device.nonblocking : device.blocking;
  std::size_t fill = 0;
  if (overlapped) {
    ssize_t n = read(fd, block, kBlock);
    if (n > 0) fill = static_cast<std::size_t>(n);
    else if (n == 0 || errno != EAGAIN) return 0;
  }
  while (fill < kBlock) {
    if (fill > 0 || overlapped) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, fill > 0 ? kGapMs : -1) == 0) break;  // the gap ends the block
    }
    ssize_t n = read(fd, block + fill, kBlock - fill);
    if (n > 0) fill += static_cast<std::size_t>(n);
    else if (n == 0 || errno != EAGAIN) break;
  }
  return fill;
}

// The two-thread echo.
double PairCpuPerMb(const std::string& path, std::size_t total, bool overlapped) {
  const Device device(path, overlapped);
  if (device.blocking < 0 || (overlapped && !device.overlapped())) return 0;
  const double cpu = CpuSeconds();
  std::atomic<std::size_t> got{0};
  std::thread writer([&] {
    std::vector<char> out(kBlock, 'z');
    for (std::size_t sent = 0; sent < total;) {
      KeepInFlight(sent, got);
      std::size_t n = WriteBlock(device, out.data());
      if (n == 0) break;
      sent += n;
    }
  });
  std::vector<char> in(kBlock);
  while (got.load() < total) {
    std::size_t n = ReadBlock(device, in.data());
    if (n == 0) break;
    got += n;
  }
  writer.join();
  return got ? (CpuSeconds() - cpu) / (got / 1e6) : 0;
}

// Blocks passed from one thread to another. An empty block says the sender
// has ended.
class BlockQueue {
 public:
  void Push(std::vector<char> block) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      blocks_.push_back(std::move(block));
    }
    ready_.notify_one();
  }
  // Waits without limit for one block.
  std::vector<char> TakeOne() {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [this] { return !blocks_.empty(); });
    std::vector<char> block = std::move(blocks_.front());
    blocks_.pop_front();
    return block;
  }
  // Waits at most `limit` for a block, then takes every block there is.
  std::deque<std::vector<char>> TakeAll(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait_for(lock, limit, [this] { return !blocks_.empty(); });
    std::deque<std::vector<char>> all;
    all.swap(blocks_);
    return all;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::vector<char>> blocks_;
};

}  // namespace

void KeepInFlight(std::size_t sent, const std::atomic<std::size_t>& got) {
  constexpr std::size_t kInFlight = 1u << 20;
  while (sent - got.load() > kInFlight) std::this_thread::sleep_for(std::chrono::microseconds(100));
}

int OpenRaw(const std::string& path, int flags) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | flags);
  termios t;
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  return fd;
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double PlainPairCpuPerMb(const std::string& device, std::size_t total) { return PairCpuPerMb(device, total, false); }

double OverlappedPairCpuPerMb(const std::string& device, std::size_t total) { return PairCpuPerMb(device, total, true); }

double HandOffPairCpuPerMb(const std::string& path, std::size_t total) {
  // As the link bounds its writer's queue, and as the benchmark's owner keeps
  // packets in flight and looks at its queue at least every 5 ms.
  constexpr std::size_t kBacklogLimit = 16 * 1024;
  constexpr std::size_t kOwnerInFlight = 4u << 20;
  constexpr std::chrono::milliseconds kOwnerWait{5};
  const Device device(path, true);
  if (device.blocking < 0 || !device.overlapped()) return 0;
  const double cpu = CpuSeconds();
  BlockQueue packets, received;
  std::atomic<std::size_t> backlog{0};
  std::thread writer([&] {
    for (std::vector<char> packet = packets.TakeOne(); !packet.empty(); packet = packets.TakeOne()) {
      WriteBlock(device, packet.data());
      backlog -= packet.size();
    }
  });
  std::thread reader([&] {
    std::vector<char> in(kBlock);
    for (std::size_t got = 0; got < total;) {
      std::size_t n = ReadBlock(device, in.data());
      if (n == 0) break;
      received.Push(std::vector<char>(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(n)));
      got += n;
    }
    received.Push({});
  });
  std::size_t sent = 0, got = 0;
  for (bool readerEnded = false; !readerEnded && got < total;) {
    while (sent < total && backlog.load() < kBacklogLimit && sent < got + kOwnerInFlight) {
      packets.Push(std::vector<char>(kBlock, 'h'));
      backlog += kBlock;
      sent += kBlock;
    }
    for (const std::vector<char>& block : received.TakeAll(kOwnerWait)) {
      readerEnded = readerEnded || block.empty();
      got += block.size();
    }
  }
  packets.Push({});
  writer.join();
  reader.join();
  return got ? (CpuSeconds() - cpu) / (got / 1e6) : 0;
}

}  // namespace vx::bench
