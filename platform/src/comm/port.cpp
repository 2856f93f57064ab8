// The port engine: COMMTIMEOUTS, overlapped completion, purge, masks and
// line errors, the same for every backend. The calling thread moves what bytes
// it can at once; a service thread per port moves them for operations left
// pending, and completes reads whose timeouts run out.
#include "port.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace vx::comm {

// What the comm calls fail with on a descriptor that is no serial port, as
// Windows fails them on a handle that is no comm device.
constexpr DWORD kNotACommDevice = ERROR_INVALID_HANDLE;

void CompleteOverlapped(OVERLAPPED* ov, DWORD status, DWORD count) {
  std::atomic_ref<ULONG_PTR>(ov->InternalHigh).store(count, std::memory_order_relaxed);
  std::atomic_ref<ULONG_PTR>(ov->Internal).store(status, std::memory_order_release);
  if (auto event = kernel::Lookup<kernel::Event>(ov->hEvent)) event->Set();
}

namespace {

void StartOverlapped(OVERLAPPED* ov) {
  std::atomic_ref<ULONG_PTR>(ov->InternalHigh).store(0, std::memory_order_relaxed);
  std::atomic_ref<ULONG_PTR>(ov->Internal).store(kStatusPending, std::memory_order_release);
  if (auto event = kernel::Lookup<kernel::Event>(ov->hEvent)) event->Reset();
}

// The status an operation that completed at the call completed with.
DWORD StatusOf(const OVERLAPPED* ov) {
  return static_cast<DWORD>(std::atomic_ref<const ULONG_PTR>(ov->Internal).load(std::memory_order_acquire));
}

constexpr auto kErrorSamplePeriod = std::chrono::milliseconds(20);

// What woke the service thread, as tagged in its epoll set.
enum : std::uint32_t { kWakeTag, kTimerTag, kReadTag, kWriteTag };

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
  const int fd = backend_->Fd();
  if (fd >= 0) writeWatchFd_ = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (Usable()) {
    EpollControl(epollFd_, EPOLL_CTL_ADD, wakeFd_, EPOLLIN, kWakeTag);
    EpollControl(epollFd_, EPOLL_CTL_ADD, timerFd_, EPOLLIN, kTimerTag);
    // Registered disarmed: one-shot, with no events but the hang-up and error
    // that epoll always reports, so even those come once and cannot spin the
    // loop. Epoll refuses a device whose driver cannot be polled.
    if (fd >= 0)
      deviceWatchable_ = EpollControl(epollFd_, EPOLL_CTL_ADD, fd, EPOLLONESHOT, kReadTag) &&
                         EpollControl(epollFd_, EPOLL_CTL_ADD, writeWatchFd_, EPOLLONESHOT, kWriteTag);
  }
  backend_->poke = [this] { Wake(); };
  DWORD ignored;
  canSample_ = backend_->SampleLineErrors(&ignored);  // also takes the counters' baseline
}

Port::~Port() {
  if (service_.joinable()) {
    stopping_ = true;
    Wake();
    service_.join();
  }
  for (int fd : {epollFd_, wakeFd_, timerFd_, writeWatchFd_})
    if (fd >= 0) ::close(fd);
}

bool Port::Usable() const {
  return epollFd_ >= 0 && wakeFd_ >= 0 && timerFd_ >= 0 && (backend_->Fd() < 0 || writeWatchFd_ >= 0);
}

void Port::Start() { service_ = std::thread([this] { ServiceLoop(); }); }

void Port::OnLastHandleClosed() {
  // Closing aborts what is pending, as PurgeComm would; a call that comes
  // through a reference taken before the close finds the port stopping.
  stopping_ = true;
  EndAllPending(ERROR_OPERATION_ABORTED);
  Wake();
  if (service_.joinable()) service_.join();
}

void Port::Wake() {
  std::uint64_t one = 1;
  ssize_t rc = ::write(wakeFd_, &one, sizeof one);
  (void)rc;  // a full counter already means "wake"
}

void Port::EndAllPending(DWORD error) {
  std::lock_guard readSide(readLock_);
  std::lock_guard writeSide(writeLock_);
  std::lock_guard rest(lock_);
  if (read_.active) {
    read_.active = false;
    CompleteOverlapped(read_.ov, error, read_.got);
  }
  if (write_.active) {
    write_.active = false;
    CompleteOverlapped(write_.ov, error, write_.done);
  }
  if (wait_.active) {
    wait_.active = false;
    *wait_.mask = 0;
    CompleteOverlapped(wait_.ov, error, 0);
  }
}

// The first failure found decides the error every later operation fails
// with; the service thread fails whatever else is pending.
DWORD Port::DeviceFailed(DWORD error) {
  DWORD first = 0;
  if (!deadError_.compare_exchange_strong(first, error)) error = first;
  Wake();
  return error;
}

// Waits for an operation this call made synchronous (no OVERLAPPED given).
BOOL Port::Finish(OVERLAPPED* ov, OVERLAPPED* local, HANDLE localEvent, DWORD* count) {
  if (ov != local) return FALSE;  // the caller's overlapped operation is pending
  BOOL ok = WaitOverlapped(local, count, TRUE);
  DWORD error = GetLastError();
  CloseHandle(localEvent);
  SetLastError(error);
  return ok;
}

BOOL Port::Read(void* buffer, DWORD size, DWORD* read, OVERLAPPED* ov) {
  if (read) *read = 0;
  if (!buffer && size) return kernel::Fail(ERROR_INVALID_PARAMETER, FALSE);
  OVERLAPPED local{};
  HANDLE localEvent = nullptr;
  if (!ov) {
    localEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!localEvent) return FALSE;
    local.hEvent = localEvent;
    ov = &local;
  }
  bool serviceTold;
  {
    std::lock_guard lock(readLock_);
    const DWORD dead = stopping_ ? DWORD(ERROR_INVALID_HANDLE) : deadError_.load();
    if (dead || abortedByError_ || read_.active) {
      DWORD error = dead ? dead : read_.active ? ERROR_INVALID_PARAMETER : ERROR_OPERATION_ABORTED;
      if (localEvent) CloseHandle(localEvent);
      return kernel::Fail(error, FALSE);
    }
    StartOverlapped(ov);
    read_ = PendingRead{};
    read_.active = true;
    read_.buffer = static_cast<char*>(buffer);
    read_.size = size;
    read_.ov = ov;
    const auto now = Clock::now();
    const COMMTIMEOUTS& t = timeouts_;
    const bool returnAtOnce = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                              t.ReadTotalTimeoutConstant == 0;
    if (t.ReadTotalTimeoutMultiplier || t.ReadTotalTimeoutConstant) {
      read_.hasTotal = true;
      read_.totalDue =
          now + std::chrono::milliseconds(std::uint64_t(t.ReadTotalTimeoutMultiplier) * size + t.ReadTotalTimeoutConstant);
    }
    // Bytes already buffered are taken now; if they do not fill the request,
    // the interval clock starts at the call.
    ProgressReadLocked(now);
    if (read_.active && (returnAtOnce || size == 0)) {
      read_.active = false;
      CompleteOverlapped(ov, ERROR_SUCCESS, read_.got);
    }
    if (!read_.active) {
      const DWORD status = StatusOf(ov);
      if (read) *read = static_cast<DWORD>(ov->InternalHigh);
      if (localEvent) CloseHandle(localEvent);
      if (status != ERROR_SUCCESS) return kernel::Fail(status, FALSE);
      return TRUE;
    }
    serviceTold = ArmReadLocked();
  }
  if (!serviceTold) Wake();
  if (ov == &local) return Finish(ov, &local, localEvent, read);
  return kernel::Fail(ERROR_IO_PENDING, FALSE);
}

BOOL Port::Write(const void* buffer, DWORD size, DWORD* written, OVERLAPPED* ov) {
  if (written) *written = 0;
  if (!buffer && size) return kernel::Fail(ERROR_INVALID_PARAMETER, FALSE);
  OVERLAPPED local{};
  HANDLE localEvent = nullptr;
  if (!ov) {
    localEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!localEvent) return FALSE;
    local.hEvent = localEvent;
    ov = &local;
  }
  bool serviceTold;
  {
    std::lock_guard lock(writeLock_);
    const DWORD dead = stopping_ ? DWORD(ERROR_INVALID_HANDLE) : deadError_.load();
    if (dead || abortedByError_ || write_.active) {
      DWORD error = dead ? dead : write_.active ? ERROR_INVALID_PARAMETER : ERROR_OPERATION_ABORTED;
      if (localEvent) CloseHandle(localEvent);
      return kernel::Fail(error, FALSE);
    }
    StartOverlapped(ov);
    write_ = PendingWrite{true, static_cast<const char*>(buffer), size, 0, ov};
    ProgressWriteLocked();
    if (!write_.active) {
      const DWORD status = StatusOf(ov);
      if (written) *written = static_cast<DWORD>(ov->InternalHigh);
      if (localEvent) CloseHandle(localEvent);
      if (status != ERROR_SUCCESS) return kernel::Fail(status, FALSE);
      return TRUE;
    }
    serviceTold = ArmWriteLocked();
  }
  if (!serviceTold) Wake();
  if (ov == &local) return Finish(ov, &local, localEvent, written);
  return kernel::Fail(ERROR_IO_PENDING, FALSE);
}

BOOL Port::WaitEvent(DWORD* mask, OVERLAPPED* ov) {
  if (!mask) return kernel::Fail(ERROR_INVALID_PARAMETER, FALSE);
  OVERLAPPED local{};
  HANDLE localEvent = nullptr;
  if (!ov) {
    localEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!localEvent) return FALSE;
    local.hEvent = localEvent;
    ov = &local;
  }
  {
    std::lock_guard lock(lock_);
    const DWORD dead = stopping_ ? DWORD(ERROR_INVALID_HANDLE) : deadError_.load();
    if (dead || wait_.active || !backend_->IsCommDevice()) {
      DWORD error = dead ? dead : wait_.active ? ERROR_INVALID_PARAMETER : kNotACommDevice;
      if (localEvent) CloseHandle(localEvent);
      return kernel::Fail(error, FALSE);
    }
    StartOverlapped(ov);
    if (eventPending_ && (mask_ & EV_ERR)) {
      // An error seen while no wait was pending is reported at once.
      eventPending_ = false;
      *mask = EV_ERR;
      CompleteOverlapped(ov, ERROR_SUCCESS, 0);
      if (localEvent) CloseHandle(localEvent);
      return TRUE;
    }
    wait_ = PendingWait{true, mask, ov};
  }
  Wake();
  if (ov == &local) return Finish(ov, &local, localEvent, nullptr);
  return kernel::Fail(ERROR_IO_PENDING, FALSE);
}

BOOL Port::SetMask(DWORD mask) {
  {
    std::lock_guard lock(lock_);
    if (!backend_->IsCommDevice()) return kernel::Fail(kNotACommDevice, FALSE);
    if (const DWORD dead = deadError_) return kernel::Fail(dead, FALSE);
    // A new mask completes (does not cancel) a pending wait, with mask 0.
    if (wait_.active) {
      wait_.active = false;
      *wait_.mask = 0;
      CompleteOverlapped(wait_.ov, ERROR_SUCCESS, 0);
    }
    mask_ = mask;
    nextSample_ = Clock::now();
  }
  Wake();
  return TRUE;
}

BOOL Port::GetMask(DWORD* mask) {
  std::lock_guard lock(lock_);
  if (!backend_->IsCommDevice()) return kernel::Fail(kNotACommDevice, FALSE);
  *mask = mask_;
  return TRUE;
}

BOOL Port::ClearError(DWORD* errors, COMSTAT* stat) {
  std::lock_guard writeSide(writeLock_);  // for the bytes still to write
  std::lock_guard lock(lock_);
  if (!backend_->IsCommDevice()) return kernel::Fail(kNotACommDevice, FALSE);
  if (const DWORD dead = deadError_) return kernel::Fail(dead, FALSE);
  DWORD sampled;
  if (canSample_ && backend_->SampleLineErrors(&sampled)) CollectLineErrorsLocked(sampled);
  if (errors) *errors = errors_;
  errors_ = 0;
  abortedByError_ = false;
  if (stat) {
    *stat = COMSTAT{};
    stat->cbInQue = backend_->InQueue();
    stat->cbOutQue = backend_->OutQueue() + (write_.active ? write_.size - write_.done : 0);
  }
  return TRUE;
}

BOOL Port::Purge(DWORD flags) {
  if (flags & ~DWORD(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
    return kernel::Fail(ERROR_INVALID_PARAMETER, FALSE);
  std::lock_guard readSide(readLock_);
  std::lock_guard writeSide(writeLock_);
  if ((flags & PURGE_RXABORT) && read_.active) {
    read_.active = false;
    CompleteOverlapped(read_.ov, ERROR_OPERATION_ABORTED, read_.got);
  }
  if ((flags & PURGE_TXABORT) && write_.active) {
    write_.active = false;
    CompleteOverlapped(write_.ov, ERROR_OPERATION_ABORTED, write_.done);
  }
  if (flags & PURGE_RXCLEAR) backend_->PurgeInput();
  if (flags & PURGE_TXCLEAR) backend_->PurgeOutput();
  return TRUE;
}

BOOL Port::GetState(DCB* dcb) {
  std::lock_guard lock(lock_);
  if (!backend_->IsCommDevice()) return kernel::Fail(kNotACommDevice, FALSE);
  if (haveDcb_) {
    *dcb = dcb_;
    return TRUE;
  }
  // The first read after opening comes from the device itself.
  if (!backend_->ReadState(dcb)) return FALSE;
  dcb->fAbortOnError = abortOnError_;
  return TRUE;
}

BOOL Port::SetState(const DCB* dcb) {
  std::lock_guard lock(lock_);
  if (!backend_->IsCommDevice()) return kernel::Fail(kNotACommDevice, FALSE);
  if (dcb->ByteSize < 5 || dcb->ByteSize > 8 || dcb->Parity > SPACEPARITY || dcb->StopBits > TWOSTOPBITS ||
      dcb->BaudRate == 0)
    return kernel::Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (!backend_->WriteState(*dcb)) return FALSE;
  dcb_ = *dcb;
  dcb_.fBinary = TRUE;
  dcb_.DCBlength = sizeof(DCB);
  haveDcb_ = true;
  abortOnError_ = dcb->fAbortOnError;
  abortedByError_ = abortOnError_ && errors_ != 0;
  return TRUE;
}

BOOL Port::GetTimeouts(COMMTIMEOUTS* t) {
  if (!backend_->IsCommDevice()) return kernel::Fail(kNotACommDevice, FALSE);
  std::lock_guard lock(readLock_);
  *t = timeouts_;
  return TRUE;
}

BOOL Port::SetTimeouts(const COMMTIMEOUTS* t) {
  if (!backend_->IsCommDevice()) return kernel::Fail(kNotACommDevice, FALSE);
  std::lock_guard lock(readLock_);
  timeouts_ = *t;
  return TRUE;
}

BOOL Port::InjectLineErrors(DWORD errors) {
  {
    std::lock_guard lock(lock_);
    CollectLineErrorsLocked(errors);
    ProgressWaitLocked(Clock::now());
  }
  Wake();
  return TRUE;
}

void Port::CollectLineErrorsLocked(DWORD errors) {
  if (!errors) return;
  errors_ |= errors;
  abortedByError_ = abortOnError_;
  if (mask_ & EV_ERR) eventPending_ = true;
}

// Moves bytes into the pending read and completes it when it is full or its
// time is up.
void Port::ProgressReadLocked(Clock::time_point now) {
  if (!read_.active) return;
  bool arrived = false;
  while (read_.got < read_.size) {
    DWORD error = 0;
    long n = backend_->ReadSome(read_.buffer + read_.got, read_.size - read_.got, &error);
    if (n < 0) {
      read_.active = false;
      CompleteOverlapped(read_.ov, DeviceFailed(error), read_.got);
      return;
    }
    if (n == 0) break;
    read_.got += static_cast<DWORD>(n);
    arrived = true;
  }
  if (read_.got == read_.size) {
    read_.active = false;
    CompleteOverlapped(read_.ov, ERROR_SUCCESS, read_.got);
    return;
  }
  if (arrived && timeouts_.ReadIntervalTimeout && timeouts_.ReadIntervalTimeout != MAXDWORD) {
    read_.hasInterval = true;
    read_.intervalDue = now + std::chrono::milliseconds(timeouts_.ReadIntervalTimeout);
  }
  if ((read_.hasInterval && read_.got > 0 && now >= read_.intervalDue) || (read_.hasTotal && now >= read_.totalDue)) {
    read_.active = false;
    CompleteOverlapped(read_.ov, ERROR_SUCCESS, read_.got);
  }
}

void Port::ProgressWriteLocked() {
  if (!write_.active) return;
  while (write_.done < write_.size) {
    DWORD error = 0;
    long n = backend_->WriteSome(write_.buffer + write_.done, write_.size - write_.done, &error);
    if (n < 0) {
      write_.active = false;
      CompleteOverlapped(write_.ov, DeviceFailed(error), write_.done);
      return;
    }
    if (n == 0) return;
    write_.done += static_cast<DWORD>(n);
  }
  // A write completes once the driver has taken all of its bytes.
  write_.active = false;
  CompleteOverlapped(write_.ov, ERROR_SUCCESS, write_.done);
}

void Port::ProgressWaitLocked(Clock::time_point now) {
  if (canSample_ && (mask_ & EV_ERR) && now >= nextSample_) {
    DWORD sampled = 0;
    if (backend_->SampleLineErrors(&sampled))
      CollectLineErrorsLocked(sampled);
    else
      canSample_ = false;
    nextSample_ = now + kErrorSamplePeriod;
  }
  if (wait_.active && eventPending_ && (mask_ & EV_ERR)) {
    eventPending_ = false;
    wait_.active = false;
    *wait_.mask = EV_ERR;
    CompleteOverlapped(wait_.ov, ERROR_SUCCESS, 0);
  }
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

// Tells the service thread of the pending read: its deadline and the device
// to watch. Cheaper than waking the service thread to set them itself.
bool Port::ArmReadLocked() {
  Clock::time_point due;
  if (ReadDeadlineLocked(&due)) ScheduleLocked(due);
  return Watch(backend_->Fd(), EPOLLIN, kReadTag, &readArmed_);
}

bool Port::ArmWriteLocked() { return Watch(writeWatchFd_, EPOLLOUT, kWriteTag, &writeArmed_); }

bool Port::ReadDeadlineLocked(Clock::time_point* due) const {
  if (!read_.active) return false;
  auto until = Clock::time_point::max();
  if (read_.hasInterval && read_.got > 0) until = std::min(until, read_.intervalDue);
  if (read_.hasTotal) until = std::min(until, read_.totalDue);
  *due = until;
  return until != Clock::time_point::max();
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
      ProgressWriteLocked();
      if (write_.active) ArmWriteLocked();
      writePending = write_.active;
    }
    if (readSide) {
      std::lock_guard lock(readLock_);
      if (readFired) readArmed_ = 0;
      if (timerFired) {
        std::uint64_t expirations;
        ssize_t rc = ::read(timerFd_, &expirations, sizeof expirations);
        (void)rc;
        timerDue_ = Clock::time_point::max();
      }
      ProgressReadLocked(now);
      if (read_.active) ArmReadLocked();
      readPending = read_.active;
      auto until = Clock::time_point::max();
      {
        std::lock_guard rest(lock_);
        ProgressWaitLocked(now);
        if (canSample_ && (mask_ & EV_ERR) && !deadError_) until = nextSample_;
      }
      Clock::time_point readable;
      if (read_.active && backend_->NextReadable(&readable)) until = std::min(until, readable);
      ScheduleLocked(until);
    }
    if (const DWORD dead = deadError_) EndAllPending(dead);
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
