// Serial ports: one engine of overlapped-I/O semantics (Port) over byte
// movers for real character devices and for the built-in loopback (Backend).
#pragma once

#include "../kernel.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace vx::comm {

using kernel::Clock;

struct LineQuery;

// Opens `name` if it names a port: the built-in loopback, a network port, or
// a character device (with line settings after a '?', if any). True with
// *handle set (INVALID_HANDLE_VALUE and the last error on failure) when it
// does; false when the name is for the file layer.
bool OpenPort(const char* name, HANDLE* handle);

// The built-in loopback, paced at `baud` (0: as fast as memory).
HANDLE OpenLoopback(DWORD baud, const LineQuery& query);
// Takes over `fd`, a character device opened non-blocking, and sets the line
// as `query` says.
HANDLE OpenDevice(int fd, const LineQuery& query);
// Connects to a serial server at "host:port": a raw byte stream, or Telnet
// with the COM-PORT option when `rfc2217`.
HANDLE OpenNetworkPort(const std::string& hostPort, bool rfc2217, const LineQuery& query);

// Whether a line holding `held` bits a second holds the rate `asked`: within
// 3 %, as a UART's divisor makes a rate (and a serial server answers one).
inline bool RatesAgree(DWORD held, DWORD asked) {
  const double ratio = asked ? static_cast<double>(held) / asked : 1;
  return ratio >= 0.97 && ratio <= 1.03;
}

// Moves bytes without ever blocking (but for WriteBlocking, below). Reads
// are called with the port's read lock held and writes with its write lock,
// so the two may run at once.
class Backend {
 public:
  virtual ~Backend() = default;
  // Bytes moved (0 when none can move now), or -1 with *error set when the
  // device has failed or gone away.
  virtual long ReadSome(void* buffer, std::size_t size, DWORD* error) = 0;
  virtual long WriteSome(const void* buffer, std::size_t size, DWORD* error) = 0;
  // Whether a read that moved fewer bytes than asked took all the device
  // held, so that asking again at once would only be refused.
  virtual bool ShortReadsDrain() const { return false; }
  virtual int Fd() const { return -1; }
  // Whether WriteBlocking can be used: a write that sleeps in the device
  // until it has taken every byte, for a thread that would only wait anyway
  // (one system call where a non-blocking engine needs a poll and a write
  // each time room appears). It is called with no port lock held, and
  // returns the bytes moved, 0 when a signal cut it short before any moved,
  // or -1 with *error set.
  virtual bool CanWriteBlocking() const { return false; }
  virtual long WriteBlocking(const void* buffer, std::size_t size, DWORD* error) { return 0; }
  // Whether this is a device with line settings at all (a tty or the loopback).
  virtual bool IsCommDevice() const = 0;
  virtual BOOL ReadState(DCB* dcb) = 0;
  virtual BOOL WriteState(const DCB& dcb) = 0;
  // For a line whose far end answers for its settings (an RFC 2217 server):
  // makes sure the settings `query` names were sent, waits briefly for the
  // answers, and says whether the settings `asked` were taken. Called only
  // before the port starts.
  virtual bool ConfirmState(const DCB& asked, const LineQuery& query) { return true; }
  // What of `kept`, the settings last set, the device does not hold, in
  // words; "" when it holds them all, or cannot tell (no local driver).
  virtual std::string SettingsNotHeld(const DCB& kept) { return ""; }
  virtual void PurgeInput() = 0;
  virtual void PurgeOutput() = 0;
  // CE_* errors seen on the line since the last call; false when the device
  // cannot tell.
  virtual bool SampleLineErrors(DWORD* errors) { return false; }
  virtual DWORD InQueue() { return 0; }
  virtual DWORD OutQueue() { return 0; }
  // For a line that delivers bytes on a schedule (the paced loopback): when a
  // read still wanting `wanted` bytes, ended by a pause longer than `gap`,
  // should be looked at again. False when no bytes are on their way.
  virtual bool NextReadable(std::size_t wanted, Clock::duration gap, Clock::time_point* when) { return false; }
  // Set by the port: tells it that data or room appeared (loopback only).
  std::function<void()> poke;
  // Set by the port: tells it that bytes were written onto a paced line and
  // will arrive on schedule. Called by the writing thread, with the port's
  // write lock held and none of the backend's.
  std::function<void()> onTheirWay;
};

// Takes over `fd`. Null, with `fd` closed and *error set, when it is a
// terminal that another handle or program holds.
std::unique_ptr<Backend> MakeTtyBackend(int fd, DWORD* error);
std::unique_ptr<Backend> MakeLoopBackend(DWORD baud);
void LoopInjectErrors(Backend* backend, DWORD errors);

class Port final : public kernel::Object, public kernel::IoDriver {
 public:
  explicit Port(std::unique_ptr<Backend> backend);
  ~Port() override;
  DWORD FileType() const override { return FILE_TYPE_CHAR; }
  void OnLastHandleClosed() override;
  // False when the descriptors the port sleeps on could not be had (the
  // process is out of them); such a port must not be started.
  bool Usable() const;
  void Start();

  BOOL Read(void* buffer, DWORD size, DWORD* read, OVERLAPPED* ov) override;
  // Bytes the pending read has already taken off the line; 0 with none pending.
  DWORD PendingReadBytes();
  BOOL Write(const void* buffer, DWORD size, DWORD* written, OVERLAPPED* ov) override;
  BOOL WaitEvent(DWORD* mask, OVERLAPPED* ov);
  BOOL SetMask(DWORD mask);
  BOOL GetMask(DWORD* mask);
  BOOL ClearError(DWORD* errors, COMSTAT* stat);
  BOOL Purge(DWORD flags);
  BOOL GetState(DCB* dcb);
  BOOL SetState(const DCB* dcb);
  // What of the settings kept since SetState the device does not hold.
  std::string SettingsNotHeld();
  BOOL GetTimeouts(COMMTIMEOUTS* t);
  BOOL SetTimeouts(const COMMTIMEOUTS* t);
  // Line errors reported by the loopback's test hook.
  BOOL InjectLineErrors(DWORD errors);
  // Ends whatever pends on `ov` with ERROR_OPERATION_ABORTED, as PurgeComm
  // would, for a synchronous call whose thread is being terminated.
  void AbortOperation(const OVERLAPPED* ov);

  // A thread waiting for a pending read or write moves its bytes itself
  // (port_drive.cpp); the operations are named by these.
  enum DrivenOp { kDriveRead, kDriveWrite };
  bool Claim(int op, const OVERLAPPED* ov, const kernel::Waitable* via, std::uint64_t* ticket) override;
  bool Step(int op, std::uint64_t ticket, kernel::Waiter& waiter, Clock::time_point until, bool untimed) override;
  void Release(int op, std::uint64_t ticket) override;

 private:
  struct PendingRead {
    bool active = false;
    char* buffer = nullptr;
    DWORD size = 0;
    DWORD got = 0;
    OVERLAPPED* ov = nullptr;
    bool hasInterval = false;
    Clock::time_point intervalDue;
    bool hasTotal = false;
    Clock::time_point totalDue;
    // The ticket of the waiting thread's claim that moves its bytes (0: the
    // service thread moves them).
    std::uint64_t driver = 0;
    std::shared_ptr<kernel::Event> event;  // the OVERLAPPED's, as it was at the start
  };
  struct PendingWrite {
    bool active = false;
    const char* buffer = nullptr;
    DWORD size = 0;
    DWORD done = 0;
    OVERLAPPED* ov = nullptr;
    std::uint64_t driver = 0;
    std::shared_ptr<kernel::Event> event;
    // The driving thread sleeps inside the device's blocking write, reading
    // the buffer without the lock; `halting`: it must not start another.
    bool blocking = false;
    bool halting = false;
    pid_t blockingTid = 0;
    std::uint64_t blockingExits = 0;  // how often the thread has come out
  };
  struct PendingWait {
    bool active = false;
    DWORD* mask = nullptr;
    OVERLAPPED* ov = nullptr;
    std::shared_ptr<kernel::Event> event;
  };

  // The read side; readLock_ held.
  void ProgressReadLocked(Clock::time_point now);
  bool ArmReadLocked();    // schedules the read's deadline and watches the device
  bool WatchReadLocked();  // watches the device only
  bool ReadDeadlineLocked(Clock::time_point* due) const;
  // When the pending read must next be looked at: its deadline, or the time
  // the bytes it waits for are due on a paced line (max: no such time).
  Clock::time_point ReadDueLocked();
  // How long a pause ends the pending read (max: no interval timeout).
  Clock::duration ReadGapLocked() const;
  // A paced line's bytes are on their way: sets the timer for the pending read.
  void BytesOnTheirWay();
  void ScheduleLocked(Clock::time_point due);
  // The write side; writeLock_ held.
  void ProgressWriteLocked();
  bool ArmWriteLocked();
  // Before the pending write is ended for its driving thread: cuts short
  // the blocking write it may sleep in and waits until it is out, so that
  // the bytes it moved are counted and the caller's buffer is free.
  void HaltBlockingWriteLocked(std::unique_lock<std::mutex>& writeSide);
  // Cuts the blocking write short once and waits until its thread has
  // counted what it moved; the thread may go in again afterwards.
  void CatchUpBlockingWriteLocked(std::unique_lock<std::mutex>& writeSide);
  // A driving thread's step that sleeps in the device's blocking write.
  bool StepBlockingWrite(std::unique_lock<std::mutex>& writeSide, kernel::Waiter& waiter);
  // The rest; lock_ held.
  void CollectLineErrorsLocked(DWORD errors);
  void ProgressWaitLocked(Clock::time_point now);
  // Either side, on finding the device failed or gone: returns the error
  // the port now fails with.
  DWORD DeviceFailed(DWORD error);
  // Completes every pending operation with `error`, or only the one on
  // `only`; takes all three locks.
  void EndPending(DWORD error, const OVERLAPPED* only = nullptr);
  bool Watch(int fd, std::uint32_t events, std::uint32_t tag, std::uint32_t* armed);
  void Unwatch(int fd, std::uint32_t tag, std::uint32_t* armed);
  void UnwatchReadLocked();   // readLock_
  void UnwatchWriteLocked();  // writeLock_
  // Leaves a pending operation's device unwatched for a moment, in the
  // expectation that a thread will wait for it and drive it; the grace timer
  // makes the service thread watch it if none has by then. False when the
  // timer cannot be set (the caller then arms the watch itself). `deferred`
  // is the side's mark that its operation waits for a driver.
  bool DeferWatch(std::atomic<bool>* deferred);
  // Whether a waiting thread can sleep on the device itself.
  bool Drivable() const { return deviceWatchable_ && backend_->Fd() >= 0; }
  // The last offer a side made, so that a caller that reuses one OVERLAPPED
  // and event costs no lock after its first pending operation.
  struct Offer {
    std::weak_ptr<kernel::Event> event;
    const OVERLAPPED* ov = nullptr;
    std::uint64_t serial = 0;
  };
  // Names the pending operation in its event, so that a thread waiting for
  // the event can drive it.
  void OfferToWaiters(DrivenOp op, const OVERLAPPED* ov, const std::shared_ptr<kernel::Event>& event, Offer* last);
  // A driving thread saw the device hang up: fails the port, and its own
  // operation at once rather than poll a hung-up device again.
  DWORD DrivenDeviceHungUp();
  void Wake();
  void ServiceLoop();

  // Reads and writes run at once from two threads, so each side has its own
  // lock and its own watch on the device, and neither waits for the other's
  // system calls. Lock order: readLock_, writeLock_, lock_. A thread moving
  // bytes for an operation holds its side's lock, or (in a blocking write)
  // is waited out under it, so once Purge or CloseHandle (which take both)
  // return, the callers' buffers are free.
  std::mutex readLock_;
  std::mutex writeLock_;
  std::mutex lock_;
  std::unique_ptr<Backend> backend_;
  std::thread service_;

  // The service thread sleeps in epoll on the wake descriptor, a timer for
  // the nearest deadline, the grace timer, and the device. The device is
  // watched one-shot, once per direction, armed by whichever thread makes an
  // operation pend (or, for an operation a thread may wait for and drive, by
  // the service thread when the grace timer finds it unclaimed); the timer is
  // set by whichever thread makes a deadline. So a pending operation costs at
  // most a system call, and no wake-up of the service thread.
  int epollFd_ = -1;
  int wakeFd_ = -1;
  int timerFd_ = -1;
  int graceFd_ = -1;                // the grace timer of deferred watches
  std::atomic<bool> graceArmed_{false};
  // Set when a side's operation is left for a thread to drive, cleared when
  // one claims it: when the grace timer fires, the service thread visits
  // only the sides still waiting, and does not queue for the lock of a side
  // whose thread is busy moving bytes.
  std::atomic<bool> readDeferred_{false};
  std::atomic<bool> writeDeferred_{false};
  int writeWatchFd_ = -1;           // the device again, for a separate watch
  bool deviceWatchable_ = false;    // some character devices cannot be polled
  std::atomic<bool> stopping_{false};
  std::atomic<bool> hungUp_{false};
  std::atomic<DWORD> deadError_{0};  // set once the device has failed or gone
  std::atomic<bool> abortedByError_{false};  // fAbortOnError and errors not yet cleared

  // readLock_
  PendingRead read_;
  COMMTIMEOUTS timeouts_{};
  std::uint32_t readArmed_ = 0;
  Offer readOffer_;
  Clock::time_point timerDue_ = Clock::time_point::max();
  // writeLock_
  PendingWrite write_;
  std::condition_variable writerOut_;  // a driving thread has left its blocking write
  std::uint32_t writeArmed_ = 0;
  Offer writeOffer_;
  // lock_
  PendingWait wait_;
  DWORD mask_ = 0;
  DWORD errors_ = 0;          // CE_* since the last ClearCommError
  bool eventPending_ = false; // EV_ERR seen, not yet reported to a wait
  bool abortOnError_ = false;
  bool haveDcb_ = false;
  DCB dcb_{};
  bool canSample_ = true;
  Clock::time_point nextSample_{};
};

// Marks an OVERLAPPED complete and sets `event`, the one it carried when the
// operation started (no fault injection: this is the layer finishing its own
// work).
void CompleteOverlapped(OVERLAPPED* ov, kernel::Event* event, DWORD status, DWORD count);
constexpr ULONG_PTR kStatusPending = 0x103;
// The status an operation completed with (kStatusPending while it pends).
inline DWORD StatusOf(const OVERLAPPED* ov) {
  return static_cast<DWORD>(std::atomic_ref<const ULONG_PTR>(ov->Internal).load(std::memory_order_acquire));
}
// GetOverlappedResult's work, for any handle kind.
BOOL WaitOverlapped(OVERLAPPED* ov, DWORD* count, BOOL wait);

}  // namespace vx::comm
