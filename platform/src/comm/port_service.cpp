// A port's service thread: it sleeps in epoll on a wake descriptor, a timer
// for the nearest deadline, the grace timer and the device itself, and moves
// bytes for the pending operations no waiting thread drives when it wakes.
#include "port.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace vx::comm {
namespace {

// What woke the service thread, as tagged in its epoll set.
enum : std::uint32_t { kWakeTag, kTimerTag, kGraceTag, kReadTag, kWriteTag };

// How long a pending operation may wait for a thread to drive it before the
// service thread watches the device for it: long enough that a busy port sets
// the grace timer seldom, short enough that an operation nobody waits for
// (its caller polls the OVERLAPPED) is hardly held back.
constexpr auto kDriveGrace = std::chrono::milliseconds(5);

bool EpollControl(int epollFd, int op, int fd, std::uint32_t events, std::uint32_t tag) {
  epoll_event e{};
  e.events = events;
  e.data.u32 = tag;
  return epoll_ctl(epollFd, op, fd, &e) == 0;
}

}  // namespace

Port::Port(std::unique_ptr<Backend> backend) : backend_(std::move(backend)) {
  epollFd_ = epoll_create1(EPOLL_CLOEXEC);
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  timerFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  graceFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  const int fd = backend_->Fd();
  if (fd >= 0) writeWatchFd_ = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (Usable()) {
    EpollControl(epollFd_, EPOLL_CTL_ADD, wakeFd_, EPOLLIN, kWakeTag);
    EpollControl(epollFd_, EPOLL_CTL_ADD, timerFd_, EPOLLIN, kTimerTag);
    EpollControl(epollFd_, EPOLL_CTL_ADD, graceFd_, EPOLLIN, kGraceTag);
    // Registered disarmed: one-shot, with no events but the hang-up and error
    // that epoll always reports, so even those come once and cannot spin the
    // loop. Epoll refuses a device whose driver cannot be polled.
    if (fd >= 0)
      deviceWatchable_ = EpollControl(epollFd_, EPOLL_CTL_ADD, fd, EPOLLONESHOT, kReadTag) &&
                         EpollControl(epollFd_, EPOLL_CTL_ADD, writeWatchFd_, EPOLLONESHOT, kWriteTag);
  }
  backend_->poke = [this] { Wake(); };
  backend_->onTheirWay = [this] { BytesOnTheirWay(); };
  DWORD ignored;
  canSample_ = backend_->SampleLineErrors(&ignored);  // also takes the counters' baseline
}

Port::~Port() {
  if (service_.joinable()) {
    stopping_ = true;
    Wake();
    service_.join();
  }
  for (int fd : {epollFd_, wakeFd_, timerFd_, graceFd_, writeWatchFd_})
    if (fd >= 0) ::close(fd);
}

bool Port::Usable() const {
  return epollFd_ >= 0 && wakeFd_ >= 0 && timerFd_ >= 0 && graceFd_ >= 0 && (backend_->Fd() < 0 || writeWatchFd_ >= 0);
}

void Port::Start() { service_ = std::thread([this] { ServiceLoop(); }); }

void Port::OnLastHandleClosed() {
  // Closing aborts what is pending, as PurgeComm would; a call that comes
  // through a reference taken before the close finds the port stopping.
  stopping_ = true;
  EndPending(ERROR_OPERATION_ABORTED);
  Wake();
  if (service_.joinable()) service_.join();
}

void Port::Wake() {
  std::uint64_t one = 1;
  ssize_t rc = ::write(wakeFd_, &one, sizeof one);
  (void)rc;  // a full counter already means "wake"
}

// Arms a one-shot watch of the device for `events`. False when the device
// cannot be watched and the service thread must be woken instead.
bool Port::Watch(int fd, std::uint32_t events, std::uint32_t tag, std::uint32_t* armed) {
  if (fd < 0 || !deviceWatchable_) return false;
  if (hungUp_ || deadError_) return true;  // nothing will be waited for
  // Armed already (even if it has just fired: the service thread arms the
  // watch again after every event), or armed for an operation completed since:
  // at most one needless wake-up.
  if ((events & ~*armed) == 0) return true;
  if (!EpollControl(epollFd_, EPOLL_CTL_MOD, fd, events | EPOLLONESHOT, tag)) return false;
  *armed = events;
  return true;
}

// Takes a side's watch off: a waiting thread polls the device itself, and
// the service thread need not wake when the bytes come.
void Port::Unwatch(int fd, std::uint32_t tag, std::uint32_t* armed) {
  if (*armed == 0) return;
  if (EpollControl(epollFd_, EPOLL_CTL_MOD, fd, EPOLLONESHOT, tag)) *armed = 0;
}
void Port::UnwatchReadLocked() { Unwatch(backend_->Fd(), kReadTag, &readArmed_); }
void Port::UnwatchWriteLocked() { Unwatch(writeWatchFd_, kWriteTag, &writeArmed_); }

// Tells the service thread of the pending read: its deadline and the device
// to watch. Cheaper than waking the service thread to set them itself.
bool Port::ArmReadLocked() {
  ScheduleLocked(ReadDueLocked());
  // A backend with no device (the loopback) pokes the port itself when bytes
  // are written or on their way, so the timer is all the read needs.
  if (backend_->Fd() < 0) return true;
  return WatchReadLocked();
}

bool Port::WatchReadLocked() {
  return Watch(backend_->Fd(), EPOLLIN, kReadTag, &readArmed_);
}

bool Port::ArmWriteLocked() {
  return Watch(writeWatchFd_, EPOLLOUT, kWriteTag, &writeArmed_);
}

// Arming a watch that the waiting thread takes off again costs two system
// calls, and if the bytes come between the two, a needless wake-up of the
// service thread. A grace timer already running covers this operation too.
bool Port::DeferWatch(std::atomic<bool>* deferred) {
  // Marked before the timer is looked at: the service thread clears its
  // "armed" before it reads the marks, so a mark it misses finds the timer
  // disarmed here and sets it again.
  deferred->store(true);
  if (!graceArmed_.exchange(true)) {
    itimerspec when{};
    when.it_value.tv_nsec = std::chrono::duration_cast<std::chrono::nanoseconds>(kDriveGrace).count();
    if (timerfd_settime(graceFd_, 0, &when, nullptr) != 0) {
      graceArmed_ = false;
      return false;
    }
  }
  return true;
}

Clock::time_point Port::ReadDueLocked() {
  auto until = Clock::time_point::max();
  ReadDeadlineLocked(&until);
  // A paced line's bytes already on their way are due at a time known now.
  Clock::time_point readable;
  if (read_.active && backend_->NextReadable(read_.size - read_.got, ReadGapLocked(), &readable))
    until = std::min(until, readable);
  return until;
}

bool Port::ReadDeadlineLocked(Clock::time_point* due) const {
  if (!read_.active) return false;
  auto until = Clock::time_point::max();
  if (read_.hasInterval && read_.got > 0) until = std::min(until, read_.intervalDue);
  if (read_.hasTotal) until = std::min(until, read_.totalDue);
  *due = until;
  return until != Clock::time_point::max();
}

Clock::duration Port::ReadGapLocked() const {
  const DWORD interval = timeouts_.ReadIntervalTimeout;
  if (interval == 0 || interval == MAXDWORD) return Clock::duration::max();
  return std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(interval));
}

// When the pending read can next move is known as soon as the bytes are
// written, so the writing thread sets the timer for it rather than wake the
// service thread to work it out: that wake-up was the paced line's one cost
// beyond the plain loopback's. The read lock comes before the write lock in
// the port's order, so it is only tried; when it is busy, or no read is
// pending that the bytes could move, the service thread is woken as before.
void Port::BytesOnTheirWay() {
  {
    std::unique_lock lock(readLock_, std::try_to_lock);
    Clock::time_point when;
    if (lock.owns_lock() && read_.active &&
        backend_->NextReadable(read_.size - read_.got, ReadGapLocked(), &when)) {
      ScheduleLocked(when);
      return;
    }
  }
  Wake();
}

// Makes the service thread wake by `due`. A timer due no later, or fired
// and not yet read, is left alone: the service thread works out the next
// deadline whenever it wakes.
void Port::ScheduleLocked(Clock::time_point due) {
  if (due >= timerDue_) return;
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(due.time_since_epoch()).count();
  itimerspec when{};
  when.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
  when.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
  if (when.it_value.tv_sec <= 0 && when.it_value.tv_nsec <= 0) when.it_value.tv_nsec = 1;  // zero disarms
  if (timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &when, nullptr) == 0) timerDue_ = due;
}

void Port::ServiceLoop() {
  // Each side is visited only when something happened to it, so that the
  // service thread does not queue for a lock the other side's caller holds
  // while it moves bytes. The first round visits both.
  bool readSide = true, writeSide = true, readFired = false, writeFired = false, timerFired = false;
  bool readPending = false, writePending = false;
  while (!stopping_) {
    const auto now = Clock::now();
    if (writeSide) {
      std::lock_guard lock(writeLock_);
      if (writeFired) writeArmed_ = 0;  // one-shot: the watch is off until armed again
      // An operation a waiting thread drives is that thread's alone to move:
      // it works out its own deadlines from what it has moved.
      if (!write_.driver) {
        ProgressWriteLocked();
        if (write_.active) ArmWriteLocked();
      }
      writePending = write_.active;
    }
    if (readSide) {
      // The read's deadline joins the others below: one timer setting a round.
      auto until = Clock::time_point::max();
      // Line events first, before the read side's lock: a read completed
      // below wakes its caller, who comes straight back for that lock with
      // the next read, and should find it free rather than queue behind work
      // that is not the read's.
      {
        std::lock_guard rest(lock_);
        ProgressWaitLocked(now);
        if (canSample_ && (mask_ & EV_ERR) && !deadError_) until = nextSample_;
      }
      std::lock_guard lock(readLock_);
      if (readFired) readArmed_ = 0;
      if (timerFired) {
        std::uint64_t expirations;
        ssize_t rc = ::read(timerFd_, &expirations, sizeof expirations);
        (void)rc;
        timerDue_ = Clock::time_point::max();
      }
      if (!read_.driver) {
        ProgressReadLocked(now);
        if (read_.active) {
          WatchReadLocked();
          until = std::min(until, ReadDueLocked());
        }
      }
      readPending = read_.active;
      ScheduleLocked(until);
    }
    if (const DWORD dead = deadError_) EndPending(dead);
    // A device that cannot be watched reports itself always ready; while
    // something pends on it, look again every millisecond.
    const bool pollDevice =
        backend_->Fd() >= 0 && !deviceWatchable_ && !deadError_ && (readPending || writePending);

    epoll_event events[4];
    const int count = epoll_wait(epollFd_, events, 4, pollDevice ? 1 : -1);
    readSide = writeSide = pollDevice;
    readFired = writeFired = timerFired = false;
    for (int i = 0; i < count; ++i) {
      const std::uint32_t what = events[i].events;
      switch (events[i].data.u32) {
        case kWakeTag: {
          std::uint64_t drained;
          ssize_t rc = ::read(wakeFd_, &drained, sizeof drained);
          (void)rc;
          readSide = writeSide = true;
          continue;
        }
        case kTimerTag:
          readSide = timerFired = true;
          continue;
        case kGraceTag: {
          // Operations still unclaimed get their watches in the visits below;
          // one deferred from now on sets the timer again.
          std::uint64_t expirations;
          ssize_t rc = ::read(graceFd_, &expirations, sizeof expirations);
          (void)rc;
          graceArmed_ = false;
          if (readDeferred_.exchange(false)) readSide = true;
          if (writeDeferred_.exchange(false)) writeSide = true;
          continue;
        }
        case kReadTag:
          readSide = readFired = true;
          break;
        case kWriteTag:
          writeSide = writeFired = true;
          break;
      }
      if ((what & (EPOLLHUP | EPOLLERR)) && !(what & (EPOLLIN | EPOLLOUT))) {
        // The far side is gone (a pseudo-terminal's master closed, a USB
        // adapter pulled): fail what is pending and never arm the watches
        // again, so a hung-up device cannot make this loop spin.
        hungUp_ = true;
        DeviceFailed(ERROR_DEVICE_NOT_CONNECTED);
      }
    }
  }
}

}  // namespace vx::comm
