// The built-in loopback: every byte written comes back to the reader of the
// same handle, through a bounded buffer, optionally paced like a real line.
#include "port.h"

#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

namespace vx::comm {
namespace {

constexpr std::size_t kLoopCapacity = 64 * 1024;
// A paced loop holds what a real port's driver would, its output and input
// buffers together: a writer that runs ahead of the line is held back there,
// as by a real line, rather than queue a minute of bytes at 9600 baud that
// the end of a run must then wait out.
constexpr std::size_t kPacedLoopCapacity = 8 * 1024;

class LoopBackend final : public Backend {
 public:
  explicit LoopBackend(DWORD baud)
      : baud_(baud), capacity_(baud ? kPacedLoopCapacity : kLoopCapacity), ring_(capacity_) {}

  long ReadSome(void* buffer, std::size_t size, DWORD*) override {
    std::lock_guard lock(lock_);
    std::size_t n = std::min(size, Readable(Clock::now()));
    Take(static_cast<char*>(buffer), n);
    // Room for a write that found the ring full; nobody else needs telling.
    if (n && writerWaits_) {
      writerWaits_ = false;
      if (poke) poke();
    }
    return static_cast<long>(n);
  }

  long WriteSome(const void* buffer, std::size_t size, DWORD*) override {
    std::size_t n;
    {
      std::lock_guard lock(lock_);
      n = std::min(size, capacity_ - used_);
      writerWaits_ = n < size;
      if (n == 0) return 0;
      Put(static_cast<const char*>(buffer), n);
      if (baud_) {
        // Bytes leave at 10 bits each, after those already on the line.
        auto now = Clock::now();
        auto start = std::max(now, lineFreeAt_);
        lineFreeAt_ = start + ByteTime() * static_cast<long>(n);
        segments_.push_back({start, n});
      }
    }
    // Outside the ring's lock: the port may ask NextReadable at once.
    if (baud_ && onTheirWay) {
      onTheirWay();
    } else if (poke) {
      poke();
    }
    return static_cast<long>(n);
  }

  bool IsCommDevice() const override { return true; }

  BOOL ReadState(DCB* dcb) override {
    *dcb = DCB{};
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = baud_ ? baud_ : CBR_115200;
    dcb->fBinary = TRUE;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fRtsControl = RTS_CONTROL_ENABLE;
    dcb->ByteSize = 8;
    dcb->Parity = NOPARITY;
    dcb->StopBits = ONESTOPBIT;
    dcb->XonChar = 0x11;
    dcb->XoffChar = 0x13;
    return TRUE;
  }
  BOOL WriteState(const DCB&) override { return TRUE; }

  void PurgeInput() override {
    std::lock_guard lock(lock_);
    head_ = tail_ = used_ = 0;
    segments_.clear();
    lineFreeAt_ = Clock::time_point{};
    if (poke) poke();
  }
  // What has been written is already on the line: there is no separate output buffer.
  void PurgeOutput() override {}

  bool SampleLineErrors(DWORD* errors) override {
    *errors = 0;
    return false;  // errors arrive only through the injection hook
  }

  DWORD InQueue() override {
    std::lock_guard lock(lock_);
    return static_cast<DWORD>(Readable(Clock::now()));
  }

  // When a read still wanting `wanted` bytes can next make progress worth
  // waking for: when the last of them arrives, or when the line pauses for
  // longer than `gap` before that (the read's interval then ends it). Only on
  // a line so slow that every byte is a pause of its own is each byte a
  // wake-up; otherwise a 2048-byte read costs one.
  bool NextReadable(std::size_t wanted, Clock::duration gap, Clock::time_point* when) override {
    std::lock_guard lock(lock_);
    if (!baud_ || segments_.empty() || wanted == 0) return false;
    const auto byteTime = ByteTime();
    if (byteTime >= gap) wanted = 1;
    Clock::time_point last{};
    bool any = false;
    for (const Segment& s : segments_) {
      const auto next = s.start + byteTime * static_cast<long>(s.taken + 1);
      if (any && next - last > gap) break;  // the line falls silent first
      const std::size_t left = s.count - s.taken;
      if (left >= wanted) {
        *when = s.start + byteTime * static_cast<long>(s.taken + wanted);
        return true;
      }
      wanted -= left;
      last = s.start + byteTime * static_cast<long>(s.count);
      any = true;
    }
    *when = last;
    return true;
  }

 private:
  struct Segment {
    Clock::time_point start;
    std::size_t count;
    std::size_t taken = 0;
  };

  Clock::duration ByteTime() const {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(10'000'000'000LL / baud_));
  }

  // Bytes whose time on the line has passed.
  std::size_t Readable(Clock::time_point now) {
    if (!baud_) return used_;
    std::size_t ready = 0;
    for (auto& s : segments_) {
      if (now < s.start) break;
      auto arrived = static_cast<std::size_t>((now - s.start) / ByteTime());
      std::size_t n = std::min(arrived, s.count) - s.taken;
      ready += n;
      if (arrived < s.count) break;
    }
    return ready;
  }

  void Take(char* out, std::size_t n) {
    for (std::size_t left = n; left;) {
      std::size_t chunk = std::min(left, capacity_ - head_);
      std::memcpy(out, ring_.data() + head_, chunk);
      out += chunk;
      head_ = (head_ + chunk) % capacity_;
      left -= chunk;
    }
    used_ -= n;
    if (!baud_) return;
    for (std::size_t left = n; left;) {
      Segment& s = segments_.front();
      std::size_t step = std::min(left, s.count - s.taken);
      s.taken += step;
      left -= step;
      if (s.taken == s.count) segments_.pop_front();
    }
  }

  void Put(const char* in, std::size_t n) {
    for (std::size_t left = n; left;) {
      std::size_t chunk = std::min(left, capacity_ - tail_);
      std::memcpy(ring_.data() + tail_, in, chunk);
      in += chunk;
      tail_ = (tail_ + chunk) % capacity_;
      left -= chunk;
    }
    used_ += n;
  }

  // The port reads and writes from two threads at once; the ring is shared.
  std::mutex lock_;
  const DWORD baud_;
  const std::size_t capacity_;
  std::vector<char> ring_;
  std::size_t head_ = 0, tail_ = 0, used_ = 0;
  std::deque<Segment> segments_;
  Clock::time_point lineFreeAt_{};
  bool writerWaits_ = false;  // a write found no room: tell the port when there is
};

}  // namespace

std::unique_ptr<Backend> MakeLoopBackend(DWORD baud) { return std::make_unique<LoopBackend>(baud); }

}  // namespace vx::comm
