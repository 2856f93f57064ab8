// The port engine: COMMTIMEOUTS, overlapped completion, purge, masks and
// line errors, the same for every backend. A service thread per port moves
// bytes for pending operations; every touch of a caller's buffer happens under
// the port's lock, so once Purge or CloseHandle returns the buffers are free.
#include "port.h"

#include <atomic>
#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace vx::comm {

void CompleteOverlapped(OVERLAPPED* ov, DWORD status, DWORD count) {
  std::atomic_ref<ULONG_PTR>(ov->InternalHigh).store(count, std::memory_order_relaxed);
  std::atomic_ref<ULONG_PTR>(ov->Internal).store(status, std::memory_order_release);
  if (auto event = kernel::Lookup<kernel::Event>(ov->hEvent)) event->Set();
}

namespace {

void StartOverlapped(OVERLAPPED* ov) {
  std::atomic_ref<ULONG_PTR>(ov->InternalHigh).store(0, std::memory_order_relaxed);
  std::atomic_ref<ULONG_PTR>(ov->Internal).store(kStatusPending, std::memory_order_release);
  if (auto event = kernel::Lookup<kernel::Event>(ov->hEvent)) {
    std::lock_guard lock(kernel::SyncLock());
    event->ResetLocked();
  }
}

constexpr auto kErrorSamplePeriod = std::chrono::milliseconds(20);

}  // namespace

Port::Port(std::unique_ptr<Backend> backend) : backend_(std::move(backend)) {
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  backend_->poke = [this] { Wake(); };
  DWORD ignored;
  canSample_ = backend_->SampleLineErrors(&ignored);  // also takes the counters' baseline
}

Port::~Port() {
  if (service_.joinable()) {
    {
      std::lock_guard lock(lock_);
      stopping_ = true;
    }
    Wake();
    service_.join();
  }
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void Port::Start() { service_ = std::thread([this] { ServiceLoop(); }); }

void Port::OnLastHandleClosed() {
  {
    std::lock_guard lock(lock_);
    // Closing aborts what is pending, as PurgeComm would.
    if (read_.active) {
      read_.active = false;
      CompleteOverlapped(read_.ov, ERROR_OPERATION_ABORTED, read_.got);
    }
    if (write_.active) {
      write_.active = false;
      CompleteOverlapped(write_.ov, ERROR_OPERATION_ABORTED, write_.done);
    }
    if (wait_.active) {
      wait_.active = false;
      *wait_.mask = 0;
      CompleteOverlapped(wait_.ov, ERROR_OPERATION_ABORTED, 0);
    }
    stopping_ = true;
  }
  Wake();
  if (service_.joinable()) service_.join();
}

void Port::Wake() {
  std::uint64_t one = 1;
  ssize_t rc = ::write(wakeFd_, &one, sizeof one);
  (void)rc;  // a full counter already means "wake"
}

bool Port::AbortedByErrorLocked() const { return abortOnError_ && errors_ != 0; }

void Port::FailAllLocked(DWORD error) {
  deadError_ = error;
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
  {
    std::lock_guard lock(lock_);
    if (deadError_ || AbortedByErrorLocked() || read_.active) {
      DWORD error = deadError_ ? deadError_ : read_.active ? ERROR_INVALID_PARAMETER : ERROR_OPERATION_ABORTED;
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
    bool returnAtOnce = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                        t.ReadTotalTimeoutConstant == 0;
    if (t.ReadTotalTimeoutMultiplier || t.ReadTotalTimeoutConstant) {
      read_.hasTotal = true;
      read_.totalDue =
          now + std::chrono::milliseconds(std::uint64_t(t.ReadTotalTimeoutMultiplier) * size + t.ReadTotalTimeoutConstant);
    }
    bool progressed = ProgressReadLocked(now);
    if (read_.active && (returnAtOnce || size == 0)) {
      read_.active = false;
      CompleteOverlapped(ov, ERROR_SUCCESS, read_.got);
    }
    if (read_.active && read_.got > 0 && t.ReadIntervalTimeout && t.ReadIntervalTimeout != MAXDWORD) {
      // Bytes were buffered but did not fill the request: the interval clock
      // starts at the call.
      read_.hasInterval = true;
      read_.intervalDue = now + std::chrono::milliseconds(t.ReadIntervalTimeout);
    }
    (void)progressed;
    if (!read_.active && ov == read_.ov) {
      // Completed at once.
      DWORD status = static_cast<DWORD>(std::atomic_ref<ULONG_PTR>(ov->Internal).load());
      DWORD got = static_cast<DWORD>(ov->InternalHigh);
      if (read) *read = got;
      if (localEvent) CloseHandle(localEvent);
      if (status != ERROR_SUCCESS) return kernel::Fail(status, FALSE);
      return TRUE;
    }
  }
  Wake();
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
  {
    std::lock_guard lock(lock_);
    if (deadError_ || AbortedByErrorLocked() || write_.active) {
      DWORD error = deadError_ ? deadError_ : write_.active ? ERROR_INVALID_PARAMETER : ERROR_OPERATION_ABORTED;
      if (localEvent) CloseHandle(localEvent);
      return kernel::Fail(error, FALSE);
    }
    StartOverlapped(ov);
    write_ = PendingWrite{true, static_cast<const char*>(buffer), size, 0, ov};
    ProgressWriteLocked();
    // A loopback write feeds this port's own pending read, and on any device
    // the read may take waiting bytes here. Bytes taken on this thread move
    // the read's interval deadline, which the service thread must hear of.
    const bool readDeadlineMoved = read_.active && ProgressReadLocked(Clock::now()) && read_.active;
    if (!write_.active) {
      DWORD status = static_cast<DWORD>(std::atomic_ref<ULONG_PTR>(ov->Internal).load());
      if (written) *written = static_cast<DWORD>(ov->InternalHigh);
      if (localEvent) CloseHandle(localEvent);
      if (readDeadlineMoved) Wake();
      if (status != ERROR_SUCCESS) return kernel::Fail(status, FALSE);
      return TRUE;
    }
  }
  Wake();
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
    if (deadError_ || wait_.active || !backend_->IsCommDevice()) {
      DWORD error = deadError_         ? deadError_
                    : wait_.active     ? ERROR_INVALID_PARAMETER
                                       : ERROR_INVALID_FUNCTION;
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
    if (!backend_->IsCommDevice()) return kernel::Fail(ERROR_INVALID_FUNCTION, FALSE);
    if (deadError_) return kernel::Fail(deadError_, FALSE);
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
  if (!backend_->IsCommDevice()) return kernel::Fail(ERROR_INVALID_FUNCTION, FALSE);
  *mask = mask_;
  return TRUE;
}

BOOL Port::ClearError(DWORD* errors, COMSTAT* stat) {
  std::lock_guard lock(lock_);
  if (!backend_->IsCommDevice()) return kernel::Fail(ERROR_INVALID_FUNCTION, FALSE);
  if (deadError_) return kernel::Fail(deadError_, FALSE);
  DWORD sampled;
  if (canSample_ && backend_->SampleLineErrors(&sampled)) CollectLineErrorsLocked(sampled);
  if (errors) *errors = errors_;
  errors_ = 0;
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
  std::lock_guard lock(lock_);
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
  if (!backend_->IsCommDevice()) return kernel::Fail(ERROR_INVALID_FUNCTION, FALSE);
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
  if (!backend_->IsCommDevice()) return kernel::Fail(ERROR_INVALID_FUNCTION, FALSE);
  if (dcb->ByteSize < 5 || dcb->ByteSize > 8 || dcb->Parity > SPACEPARITY || dcb->StopBits > TWOSTOPBITS ||
      dcb->BaudRate == 0)
    return kernel::Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (!backend_->WriteState(*dcb)) return FALSE;
  dcb_ = *dcb;
  dcb_.fBinary = TRUE;
  dcb_.DCBlength = sizeof(DCB);
  haveDcb_ = true;
  abortOnError_ = dcb->fAbortOnError;
  return TRUE;
}

BOOL Port::GetTimeouts(COMMTIMEOUTS* t) {
  std::lock_guard lock(lock_);
  if (!backend_->IsCommDevice()) return kernel::Fail(ERROR_INVALID_FUNCTION, FALSE);
  *t = timeouts_;
  return TRUE;
}

BOOL Port::SetTimeouts(const COMMTIMEOUTS* t) {
  std::lock_guard lock(lock_);
  if (!backend_->IsCommDevice()) return kernel::Fail(ERROR_INVALID_FUNCTION, FALSE);
  timeouts_ = *t;
  return TRUE;
}

BOOL Port::InjectLineErrors(DWORD errors) {
  {
    std::lock_guard lock(lock_);
    CollectLineErrorsLocked(errors);
    ProgressLocked();
  }
  Wake();
  return TRUE;
}

void Port::CollectLineErrorsLocked(DWORD errors) {
  if (!errors) return;
  errors_ |= errors;
  if (mask_ & EV_ERR) eventPending_ = true;
}

// Moves bytes into the pending read. Returns whether any arrived.
bool Port::ProgressReadLocked(Clock::time_point now) {
  if (!read_.active) return false;
  bool arrived = false;
  while (read_.got < read_.size) {
    DWORD error = 0;
    long n = backend_->ReadSome(read_.buffer + read_.got, read_.size - read_.got, &error);
    if (n < 0) {
      FailAllLocked(error);
      return arrived;
    }
    if (n == 0) break;
    read_.got += static_cast<DWORD>(n);
    arrived = true;
  }
  if (read_.got == read_.size) {
    read_.active = false;
    CompleteOverlapped(read_.ov, ERROR_SUCCESS, read_.got);
    return arrived;
  }
  if (arrived && timeouts_.ReadIntervalTimeout && timeouts_.ReadIntervalTimeout != MAXDWORD) {
    read_.hasInterval = true;
    read_.intervalDue = now + std::chrono::milliseconds(timeouts_.ReadIntervalTimeout);
  }
  if ((read_.hasInterval && read_.got > 0 && now >= read_.intervalDue) || (read_.hasTotal && now >= read_.totalDue)) {
    read_.active = false;
    CompleteOverlapped(read_.ov, ERROR_SUCCESS, read_.got);
  }
  return arrived;
}

void Port::ProgressWriteLocked() {
  if (!write_.active) return;
  while (write_.done < write_.size) {
    DWORD error = 0;
    long n = backend_->WriteSome(write_.buffer + write_.done, write_.size - write_.done, &error);
    if (n < 0) {
      FailAllLocked(error);
      return;
    }
    if (n == 0) return;
    write_.done += static_cast<DWORD>(n);
  }
  // A write completes once the driver has taken all of its bytes.
  write_.active = false;
  CompleteOverlapped(write_.ov, ERROR_SUCCESS, write_.done);
}

void Port::ProgressLocked() {
  auto now = Clock::now();
  ProgressWriteLocked();
  ProgressReadLocked(now);
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

void Port::ServiceLoop() {
  std::unique_lock lock(lock_);
  while (!stopping_) {
    ProgressLocked();

    // What to wait for: the device's readiness for pending operations, the
    // wake descriptor, and the nearest deadline.
    pollfd fds[2];
    nfds_t nfds = 0;
    fds[nfds++] = {wakeFd_, POLLIN, 0};
    int fd = backend_->Fd();
    short events = 0;
    if (!deadError_) {
      if (read_.active) events |= POLLIN;
      if (write_.active) events |= POLLOUT;
    }
    if (fd >= 0 && events && !hungUp_) fds[nfds++] = {fd, events, 0};

    auto now = Clock::now();
    auto until = Clock::time_point::max();
    if (read_.active && read_.hasInterval && read_.got > 0) until = std::min(until, read_.intervalDue);
    if (read_.active && read_.hasTotal) until = std::min(until, read_.totalDue);
    if (canSample_ && (mask_ & EV_ERR) && !deadError_) until = std::min(until, nextSample_);
    Clock::time_point readable;
    if (read_.active && backend_->NextReadable(&readable)) until = std::min(until, readable);
    int timeoutMs = -1;
    if (until != Clock::time_point::max()) {
      auto us = std::chrono::duration_cast<std::chrono::microseconds>(until - now).count();
      timeoutMs = us <= 0 ? 0 : static_cast<int>((us + 999) / 1000);
    }

    lock.unlock();
    int rc = ::poll(fds, nfds, timeoutMs);
    lock.lock();
    if (rc > 0 && (fds[0].revents & POLLIN)) {
      std::uint64_t count;
      ssize_t drained = ::read(wakeFd_, &count, sizeof count);
      (void)drained;
    }
    if (rc > 0 && nfds > 1 && (fds[1].revents & (POLLHUP | POLLERR)) && !(fds[1].revents & (POLLIN | POLLOUT))) {
      // The far side is gone (a pseudo-terminal's master closed, a USB adapter
      // pulled). Fail what is pending and stop polling the descriptor, so that a
      // hung-up device cannot make this loop spin.
      hungUp_ = true;
      FailAllLocked(ERROR_DEVICE_NOT_CONNECTED);
    }
  }
}

}  // namespace vx::comm
