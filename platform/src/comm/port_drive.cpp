// Waits that move their own bytes. A thread that waits for a pending read or
// write on a device it can poll takes the operation over: it sleeps in poll()
// on the device and on its own wake descriptor, moves the bytes when they
// come and completes the operation, so one thread wakes once. The service
// thread keeps every operation nobody waits for, and gets an operation back
// when its waiter gives up while it is still pending.
//
// Purge, close and a failure elsewhere on the port complete the operation as
// before, under the side's lock, and the completion wakes the waiter through
// its descriptor; the waiter only ever touches the operation with that lock
// held and after checking that it is still the one it claimed.
//
// A thread that waits for a write with no timeout and no message queue
// (alone, or beside other objects such as a stop event) does better still on
// a terminal: it sleeps inside the device's own blocking write (on a second,
// blocking description of the terminal), which returns once every byte is
// taken, where polling wakes it each time a little room appears. There it
// reads the caller's buffer without the lock and hears nothing but a signal,
// so whoever ends the write for it first cuts the call short and waits until
// the thread is out (HaltBlockingWriteLocked); any other object of its wait
// being signalled cuts it short too (WakeList), and the wait hands the write
// back.
#include "platform/hooks.h"
#include "port.h"

#include <atomic>
#include <cstdint>
#include <poll.h>
#include <unistd.h>

namespace vx::comm {
namespace {

std::atomic<std::uint64_t> drivenCompletions{0};
std::atomic<std::uint64_t> blockingWrites{0};

// Sleeps until `fd` is ready for `events`, `wakeFd` is readable or `until`
// comes; the device's poll events (0 when it was not ready).
short SleepOn(int fd, short events, int wakeFd, Clock::time_point until) {
  pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
  timespec timeout{};
  timespec* limit = nullptr;
  if (until != Clock::time_point::max()) {
    const auto left = std::max(Clock::duration::zero(), until - Clock::now());
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
    timeout.tv_nsec = static_cast<long>(ns % 1000000000);
    limit = &timeout;
  }
  if (ppoll(fds, 2, limit, nullptr) <= 0) return 0;
  if (fds[1].revents & POLLIN) {
    std::uint64_t drained;
    ssize_t rc = ::read(wakeFd, &drained, sizeof drained);
    (void)rc;
  }
  return fds[0].revents;
}

bool HungUp(short revents) { return (revents & (POLLHUP | POLLERR)) && !(revents & (POLLIN | POLLOUT)); }

}  // namespace

void Port::OfferToWaiters(DrivenOp op, const OVERLAPPED* ov, const std::shared_ptr<kernel::Event>& event,
                          Offer* last) {
  if (!event) return;
  // The event still holds this side's last offer for the same OVERLAPPED.
  if (last->ov == ov && last->serial == event->DriverSerial() && last->event.lock() == event) return;
  last->serial = event->SetDriver({std::static_pointer_cast<Port>(shared_from_this()), op, ov});
  last->event = event;
  last->ov = ov;
}

namespace {

// The claims of all ports: a ticket is never given twice.
std::atomic<std::uint64_t> nextTicket{1};

// Whether `pending` (a PendingRead or PendingWrite) is still driven by the
// claim `ticket`.
template <class Pending>
bool DrivenBy(const Pending& pending, std::uint64_t ticket) {
  return pending.active && pending.driver == ticket;
}

// Whether `pending` is the operation on `ov`, signalling `via`, with nobody
// driving it yet.
template <class Pending>
bool Claimable(const Pending& pending, const OVERLAPPED* ov, const kernel::Waitable* via) {
  return pending.active && pending.ov == ov && pending.event.get() == via && pending.driver == 0;
}

}  // namespace

bool Port::Claim(int op, const OVERLAPPED* ov, const kernel::Waitable* via, std::uint64_t* ticket) {
  const bool usable = !stopping_ && !hungUp_ && !deadError_;
  if (!usable) return false;
  if (op == kDriveRead) {
    std::lock_guard lock(readLock_);
    if (!Claimable(read_, ov, via)) return false;
    read_.driver = *ticket = nextTicket.fetch_add(1);
    readDeferred_ = false;
    UnwatchReadLocked();  // the thread watches the device itself
  } else {
    std::lock_guard lock(writeLock_);
    if (!Claimable(write_, ov, via)) return false;
    write_.driver = *ticket = nextTicket.fetch_add(1);
    writeDeferred_ = false;
    UnwatchWriteLocked();
  }
  return true;
}

void Port::Release(int op, std::uint64_t ticket) {
  bool serviceTold = true;
  if (op == kDriveRead) {
    std::lock_guard lock(readLock_);
    if (!DrivenBy(read_, ticket)) return;
    read_.driver = 0;
    serviceTold = ArmReadLocked();
  } else {
    std::lock_guard lock(writeLock_);
    if (!DrivenBy(write_, ticket)) return;
    write_.driver = 0;
    serviceTold = ArmWriteLocked();
  }
  if (!serviceTold) Wake();
}

DWORD Port::DrivenDeviceHungUp() {
  hungUp_ = true;
  return DeviceFailed(ERROR_DEVICE_NOT_CONNECTED);
}

bool Port::Step(int op, std::uint64_t ticket, kernel::Waiter& waiter, Clock::time_point until, bool untimed) {
  const bool reading = op == kDriveRead;
  // A write whose thread waits with no timeout may sleep in the device's own
  // write, if a signal can reach it there.
  const bool mayBlock = !reading && untimed && backend_->CanWriteBlocking() && kernel::BlockingCallsInterruptible();
  std::unique_lock lock(reading ? readLock_ : writeLock_);
  const auto stillMine = [&] { return reading ? DrivenBy(read_, ticket) : DrivenBy(write_, ticket); };
  if (!stillMine()) return false;
  if (mayBlock && !write_.halting) return StepBlockingWrite(lock, waiter);
  // A read's interval or total timeout ends it even when no byte comes.
  Clock::time_point due;
  if (reading && ReadDeadlineLocked(&due)) until = std::min(until, due);
  lock.unlock();

  const short revents = SleepOn(backend_->Fd(), reading ? POLLIN : POLLOUT, waiter.wakeFd, until);

  lock.lock();
  if (!stillMine()) return false;  // purged, closed or failed meanwhile
  OVERLAPPED* ov = reading ? read_.ov : write_.ov;
  if (reading)
    ProgressReadLocked(Clock::now());
  else
    ProgressWriteLocked();
  if (!stillMine()) {
    if (StatusOf(ov) == ERROR_SUCCESS) drivenCompletions.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  if (!HungUp(revents)) return true;
  // The far side is gone and the device says no more: end the operation now,
  // since polling a hung-up device again would return at once, forever.
  const DWORD error = DrivenDeviceHungUp();
  if (reading) {
    read_.active = false;
    CompleteOverlapped(read_.ov, read_.event.get(), error, read_.got);
  } else {
    write_.active = false;
    CompleteOverlapped(write_.ov, write_.event.get(), error, write_.done);
  }
  return false;
}

bool Port::StepBlockingWrite(std::unique_lock<std::mutex>& writeSide, kernel::Waiter& waiter) {
  write_.blocking = true;
  write_.blockingTid = waiter.tid;
  const char* from = write_.buffer + write_.done;
  const std::size_t left = write_.size - write_.done;
  const std::uint64_t ticket = write_.driver;
  writeSide.unlock();

  long moved = 0;
  DWORD error = 0;
  waiter.inBlockingCall.store(true);
  std::atomic_thread_fence(std::memory_order_seq_cst);
  // TerminateThread looks at inBlockingCall after setting its request, and a
  // waker after posting a wake-up: one of the two sees the other.
  // A wake-up (any object of the wait signalled) ends this step unwritten, so
  // that the wait looks at the objects again.
  if (!waiter.interruptRequested.load() && !waiter.wakePosted.exchange(false)) {
    blockingWrites.fetch_add(1, std::memory_order_relaxed);
    moved = backend_->WriteBlocking(from, left, &error);
  }
  kernel::LeaveBlockingCall(waiter);

  writeSide.lock();
  write_.blocking = false;
  ++write_.blockingExits;
  writerOut_.notify_all();
  // Nobody ends a write while its thread blocks (HaltBlockingWriteLocked),
  // so the operation is still this claim's.
  if (!DrivenBy(write_, ticket)) return false;
  if (moved < 0) {
    write_.active = false;
    CompleteOverlapped(write_.ov, write_.event.get(), DeviceFailed(error), write_.done);
    return false;
  }
  write_.done += static_cast<DWORD>(moved);
  if (write_.done < write_.size) return true;  // cut short: the wait looks at why
  write_.active = false;
  CompleteOverlapped(write_.ov, write_.event.get(), ERROR_SUCCESS, write_.done);
  drivenCompletions.fetch_add(1, std::memory_order_relaxed);
  return false;
}

void Port::HaltBlockingWriteLocked(std::unique_lock<std::mutex>& writeSide) {
  write_.halting = true;  // once out, the thread does not go in again
  CatchUpBlockingWriteLocked(writeSide);
}

void Port::CatchUpBlockingWriteLocked(std::unique_lock<std::mutex>& writeSide) {
  // A signal that lands just before the thread enters the write is lost:
  // send it again until the thread is out.
  const std::uint64_t exits = write_.blockingExits;
  while (write_.blocking && write_.blockingExits == exits) {
    kernel::InterruptBlockingCall(write_.blockingTid);
    writerOut_.wait_for(writeSide, std::chrono::milliseconds(1));
  }
}

}  // namespace vx::comm

std::uint64_t vx::WaitBlockingWrites() { return vx::comm::blockingWrites.load(); }
std::uint64_t vx::WaitDrivenCompletions() { return vx::comm::drivenCompletions.load(); }
