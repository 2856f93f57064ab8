// The port engine: COMMTIMEOUTS, overlapped completion, purge, masks and
// line errors, the same for every backend. The calling thread moves what bytes
// it can at once; a thread that then waits for the operation moves the rest
// (port_drive.cpp), and the port's service thread (port_service.cpp) those of
// operations nobody waits for, and completes their reads when their timeouts
// run out.
#include "port.h"

#include <atomic>

namespace vx::comm {

// What the comm calls fail with on a descriptor that is no serial port, as
// Windows fails them on a handle that is no comm device.
constexpr DWORD kNotACommDevice = ERROR_INVALID_HANDLE;

void CompleteOverlapped(OVERLAPPED* ov, kernel::Event* event, DWORD status, DWORD count) {
  std::atomic_ref<ULONG_PTR>(ov->InternalHigh).store(count, std::memory_order_relaxed);
  std::atomic_ref<ULONG_PTR>(ov->Internal).store(status, std::memory_order_release);
  if (event) event->Set();
}

namespace {

// Marks an OVERLAPPED pending and resets its event. The event is looked up
// once, here, and kept with the operation until it completes: as Windows
// does, an operation signals the event it was started with.
std::shared_ptr<kernel::Event> StartOverlapped(OVERLAPPED* ov) {
  std::atomic_ref<ULONG_PTR>(ov->InternalHigh).store(0, std::memory_order_relaxed);
  std::atomic_ref<ULONG_PTR>(ov->Internal).store(kStatusPending, std::memory_order_release);
  auto event = kernel::Lookup<kernel::Event>(ov->hEvent);
  if (event) event->Reset();
  return event;
}


constexpr auto kErrorSamplePeriod = std::chrono::milliseconds(20);

}  // namespace

void Port::EndPending(DWORD error, const OVERLAPPED* only) {
  const auto ends = [only](const OVERLAPPED* ov) { return !only || ov == only; };
  std::lock_guard readSide(readLock_);
  std::unique_lock writeSide(writeLock_);
  if (write_.active && ends(write_.ov)) HaltBlockingWriteLocked(writeSide);
  std::lock_guard rest(lock_);
  if (read_.active && ends(read_.ov)) {
    read_.active = false;
    CompleteOverlapped(read_.ov, read_.event.get(), error, read_.got);
  }
  if (write_.active && ends(write_.ov)) {
    write_.active = false;
    CompleteOverlapped(write_.ov, write_.event.get(), error, write_.done);
  }
  if (wait_.active && ends(wait_.ov)) {
    wait_.active = false;
    *wait_.mask = 0;
    CompleteOverlapped(wait_.ov, wait_.event.get(), error, 0);
  }
}

void Port::AbortOperation(const OVERLAPPED* ov) { EndPending(ERROR_OPERATION_ABORTED, ov); }

// The first failure found decides the error every later operation fails
// with; the service thread fails whatever else is pending.
DWORD Port::DeviceFailed(DWORD error) {
  DWORD first = 0;
  if (!deadError_.compare_exchange_strong(first, error)) error = first;
  Wake();
  return error;
}

namespace {

// A call made without an OVERLAPPED runs as an overlapped one on an OVERLAPPED
// and event of its own, and waits for its end before returning.
class SyncCall {
 public:
  // Points `ov` at this call's own OVERLAPPED when the caller gave none.
  SyncCall(OVERLAPPED*& ov, Port& port) : port_(port) {
    if (ov) return;
    event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    local_.hEvent = event_;
    ov = &local_;
    made_ = true;
  }
  ~SyncCall() {
    if (!event_) return;
    const DWORD error = GetLastError();  // the call's own result stands
    // Left while the operation pends only when TerminateThread unwinds the
    // thread from its wait: the OVERLAPPED is about to go with the stack.
    if (StatusOf(&local_) == kStatusPending) port_.AbortOperation(&local_);
    // Not CloseHandle: on a terminated thread that would end the thread again,
    // in the middle of its unwinding, and so the process.
    kernel::RemoveHandle(event_);
    SetLastError(error);
  }
  SyncCall(const SyncCall&) = delete;
  SyncCall& operator=(const SyncCall&) = delete;

  // Its event could not be made (GetLastError says why).
  bool Unusable() const { return made_ && !event_; }
  // The pending operation is this call's own: wait for it, as the caller
  // would have with GetOverlappedResult. Otherwise the caller's pends.
  BOOL Result(const OVERLAPPED* ov, DWORD* count) {
    if (ov != &local_) return kernel::Fail(ERROR_IO_PENDING, FALSE);
    return WaitOverlapped(&local_, count, TRUE);
  }

 private:
  Port& port_;
  OVERLAPPED local_{};
  HANDLE event_ = nullptr;
  bool made_ = false;
};

}  // namespace

BOOL Port::Read(void* buffer, DWORD size, DWORD* read, OVERLAPPED* ov) {
  if (read) *read = 0;
  if (!buffer && size) return kernel::Fail(ERROR_INVALID_PARAMETER, FALSE);
  SyncCall call(ov, *this);
  if (call.Unusable()) return FALSE;
  bool serviceTold;
  {
    std::lock_guard lock(readLock_);
    const DWORD dead = stopping_ ? DWORD(ERROR_INVALID_HANDLE) : deadError_.load();
    if (dead || abortedByError_ || read_.active) {
      DWORD error = dead ? dead : read_.active ? ERROR_INVALID_PARAMETER : ERROR_OPERATION_ABORTED;
      return kernel::Fail(error, FALSE);
    }
    auto event = StartOverlapped(ov);
    read_ = PendingRead{};
    read_.event = std::move(event);
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
      CompleteOverlapped(ov, read_.event.get(), ERROR_SUCCESS, read_.got);
    }
    if (!read_.active) {
      const DWORD status = StatusOf(ov);
      if (read) *read = static_cast<DWORD>(ov->InternalHigh);
      if (status != ERROR_SUCCESS) return kernel::Fail(status, FALSE);
      return TRUE;
    }
    if (Drivable() && read_.event) {
      OfferToWaiters(kDriveRead, ov, read_.event, &readOffer_);
      Clock::time_point due;
      if (ReadDeadlineLocked(&due)) ScheduleLocked(due);
      serviceTold = DeferWatch(&readDeferred_) || ArmReadLocked();
    } else {
      serviceTold = ArmReadLocked();
    }
  }
  if (!serviceTold) Wake();
  return call.Result(ov, read);
}

DWORD Port::PendingReadBytes() {
  std::lock_guard lock(readLock_);
  return read_.active ? read_.got : 0;
}

BOOL Port::Write(const void* buffer, DWORD size, DWORD* written, OVERLAPPED* ov) {
  if (written) *written = 0;
  if (!buffer && size) return kernel::Fail(ERROR_INVALID_PARAMETER, FALSE);
  SyncCall call(ov, *this);
  if (call.Unusable()) return FALSE;
  bool serviceTold;
  {
    std::lock_guard lock(writeLock_);
    const DWORD dead = stopping_ ? DWORD(ERROR_INVALID_HANDLE) : deadError_.load();
    if (dead || abortedByError_ || write_.active) {
      DWORD error = dead ? dead : write_.active ? ERROR_INVALID_PARAMETER : ERROR_OPERATION_ABORTED;
      return kernel::Fail(error, FALSE);
    }
    write_ = PendingWrite{};
    write_.active = true;
    write_.buffer = static_cast<const char*>(buffer);
    write_.size = size;
    write_.ov = ov;
    write_.event = StartOverlapped(ov);
    ProgressWriteLocked();
    if (!write_.active) {
      const DWORD status = StatusOf(ov);
      if (written) *written = static_cast<DWORD>(ov->InternalHigh);
      if (status != ERROR_SUCCESS) return kernel::Fail(status, FALSE);
      return TRUE;
    }
    if (Drivable() && write_.event) {
      OfferToWaiters(kDriveWrite, ov, write_.event, &writeOffer_);
      serviceTold = DeferWatch(&writeDeferred_) || ArmWriteLocked();
    } else {
      serviceTold = ArmWriteLocked();
    }
  }
  if (!serviceTold) Wake();
  return call.Result(ov, written);
}

BOOL Port::WaitEvent(DWORD* mask, OVERLAPPED* ov) {
  if (!mask) return kernel::Fail(ERROR_INVALID_PARAMETER, FALSE);
  SyncCall call(ov, *this);
  if (call.Unusable()) return FALSE;
  {
    std::lock_guard lock(lock_);
    const DWORD dead = stopping_ ? DWORD(ERROR_INVALID_HANDLE) : deadError_.load();
    if (dead || wait_.active || !backend_->IsCommDevice()) {
      DWORD error = dead ? dead : wait_.active ? ERROR_INVALID_PARAMETER : kNotACommDevice;
      return kernel::Fail(error, FALSE);
    }
    auto event = StartOverlapped(ov);
    if (eventPending_ && (mask_ & EV_ERR)) {
      // An error seen while no wait was pending is reported at once.
      eventPending_ = false;
      *mask = EV_ERR;
      CompleteOverlapped(ov, event.get(), ERROR_SUCCESS, 0);
      return TRUE;
    }
    wait_ = PendingWait{true, mask, ov, std::move(event)};
  }
  Wake();
  return call.Result(ov, nullptr);
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
      CompleteOverlapped(wait_.ov, wait_.event.get(), ERROR_SUCCESS, 0);
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
  std::unique_lock writeSide(writeLock_);  // for the bytes still to write
  // A thread asleep in the device's write counts its bytes only when it
  // comes out: have it come out, or they would be counted as still to go.
  if (write_.blocking) CatchUpBlockingWriteLocked(writeSide);
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
  std::unique_lock writeSide(writeLock_);
  if ((flags & PURGE_RXABORT) && read_.active) {
    read_.active = false;
    CompleteOverlapped(read_.ov, read_.event.get(), ERROR_OPERATION_ABORTED, read_.got);
  }
  if ((flags & PURGE_TXABORT) && write_.active) HaltBlockingWriteLocked(writeSide);
  if ((flags & PURGE_TXABORT) && write_.active) {
    write_.active = false;
    CompleteOverlapped(write_.ov, write_.event.get(), ERROR_OPERATION_ABORTED, write_.done);
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

std::string Port::SettingsNotHeld() {
  std::lock_guard lock(lock_);
  return haveDcb_ ? backend_->SettingsNotHeld(dcb_) : "";
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
    const DWORD asked = read_.size - read_.got;
    long n = backend_->ReadSome(read_.buffer + read_.got, asked, &error);
    if (n < 0) {
      read_.active = false;
      CompleteOverlapped(read_.ov, read_.event.get(), DeviceFailed(error), read_.got);
      return;
    }
    if (n == 0) break;
    read_.got += static_cast<DWORD>(n);
    arrived = true;
    if (static_cast<DWORD>(n) < asked && backend_->ShortReadsDrain()) break;
  }
  if (read_.got == read_.size) {
    read_.active = false;
    CompleteOverlapped(read_.ov, read_.event.get(), ERROR_SUCCESS, read_.got);
    return;
  }
  if (arrived && timeouts_.ReadIntervalTimeout && timeouts_.ReadIntervalTimeout != MAXDWORD) {
    read_.hasInterval = true;
    read_.intervalDue = now + std::chrono::milliseconds(timeouts_.ReadIntervalTimeout);
  }
  if ((read_.hasInterval && read_.got > 0 && now >= read_.intervalDue) || (read_.hasTotal && now >= read_.totalDue)) {
    read_.active = false;
    CompleteOverlapped(read_.ov, read_.event.get(), ERROR_SUCCESS, read_.got);
  }
}

void Port::ProgressWriteLocked() {
  if (!write_.active) return;
  while (write_.done < write_.size) {
    DWORD error = 0;
    long n = backend_->WriteSome(write_.buffer + write_.done, write_.size - write_.done, &error);
    if (n < 0) {
      write_.active = false;
      CompleteOverlapped(write_.ov, write_.event.get(), DeviceFailed(error), write_.done);
      return;
    }
    if (n == 0) return;
    const bool full = static_cast<DWORD>(n) < write_.size - write_.done;
    write_.done += static_cast<DWORD>(n);
    // The driver took all it had room for: asking again now would only be refused.
    if (full) return;
  }
  // A write completes once the driver has taken all of its bytes.
  write_.active = false;
  CompleteOverlapped(write_.ov, write_.event.get(), ERROR_SUCCESS, write_.done);
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
    CompleteOverlapped(wait_.ov, wait_.event.get(), ERROR_SUCCESS, 0);
  }
}

}  // namespace vx::comm
