// Serial ports: one engine of overlapped-I/O semantics (Port) over byte
// movers for real character devices and for the built-in loopback (Backend).
#pragma once

#include "../kernel.h"

#include <functional>
#include <string>
#include <thread>

namespace vx::comm {

using kernel::Clock;

enum class NameKind { Path, Loopback, BadLoopback };
// Maps a Windows port name to what to open: COMn and \\.\COMn become
// /dev/ttyS(n-1), loop:// names the built-in loopback, anything else is a path.
NameKind ClassifyName(const char* name, std::string* path);

HANDLE OpenLoopback(const char* name, DWORD flags);
// Takes over `fd`, a character device opened non-blocking.
HANDLE OpenDevice(int fd, const std::string& path, DWORD flags);

// Moves bytes without ever blocking. Called with the port's lock held.
class Backend {
 public:
  virtual ~Backend() = default;
  // Bytes moved (0 when none can move now), or -1 with *error set when the
  // device has failed or gone away.
  virtual long ReadSome(void* buffer, std::size_t size, DWORD* error) = 0;
  virtual long WriteSome(const void* buffer, std::size_t size, DWORD* error) = 0;
  virtual int Fd() const { return -1; }
  // Whether this is a device with line settings at all (a tty or the loopback).
  virtual bool IsCommDevice() const = 0;
  virtual BOOL ReadState(DCB* dcb) = 0;
  virtual BOOL WriteState(const DCB& dcb) = 0;
  virtual void PurgeInput() = 0;
  virtual void PurgeOutput() = 0;
  // CE_* errors seen on the line since the last call; false when the device
  // cannot tell.
  virtual bool SampleLineErrors(DWORD* errors) { return false; }
  virtual DWORD InQueue() { return 0; }
  virtual DWORD OutQueue() { return 0; }
  // When bytes not yet readable become readable (a paced loopback), if ever.
  virtual bool NextReadable(Clock::time_point* when) { return false; }
  // Set by the port: tells it that data or room appeared (loopback only).
  std::function<void()> poke;
};

std::unique_ptr<Backend> MakeTtyBackend(int fd);
std::unique_ptr<Backend> MakeLoopBackend(DWORD baud);
void LoopInjectErrors(Backend* backend, DWORD errors);

class Port final : public kernel::Object {
 public:
  explicit Port(std::unique_ptr<Backend> backend);
  ~Port() override;
  DWORD FileType() const override { return FILE_TYPE_CHAR; }
  void OnLastHandleClosed() override;
  void Start();

  BOOL Read(void* buffer, DWORD size, DWORD* read, OVERLAPPED* ov);
  BOOL Write(const void* buffer, DWORD size, DWORD* written, OVERLAPPED* ov);
  BOOL WaitEvent(DWORD* mask, OVERLAPPED* ov);
  BOOL SetMask(DWORD mask);
  BOOL GetMask(DWORD* mask);
  BOOL ClearError(DWORD* errors, COMSTAT* stat);
  BOOL Purge(DWORD flags);
  BOOL GetState(DCB* dcb);
  BOOL SetState(const DCB* dcb);
  BOOL GetTimeouts(COMMTIMEOUTS* t);
  BOOL SetTimeouts(const COMMTIMEOUTS* t);
  // Line errors reported by the loopback's test hook.
  BOOL InjectLineErrors(DWORD errors);

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
  };
  struct PendingWrite {
    bool active = false;
    const char* buffer = nullptr;
    DWORD size = 0;
    DWORD done = 0;
    OVERLAPPED* ov = nullptr;
  };
  struct PendingWait {
    bool active = false;
    DWORD* mask = nullptr;
    OVERLAPPED* ov = nullptr;
  };

  BOOL Finish(OVERLAPPED* ov, OVERLAPPED* local, HANDLE localEvent, DWORD* count);
  void ProgressLocked();
  bool ProgressReadLocked(Clock::time_point now);
  void ProgressWriteLocked();
  void CollectLineErrorsLocked(DWORD errors);
  void FailAllLocked(DWORD error);
  bool AbortedByErrorLocked() const;
  void Wake();
  void ServiceLoop();

  std::mutex lock_;
  std::unique_ptr<Backend> backend_;
  std::thread service_;
  int wakeFd_ = -1;
  bool stopping_ = false;
  bool hungUp_ = false;
  DWORD deadError_ = 0;  // set once the device has gone away

  PendingRead read_;
  PendingWrite write_;
  PendingWait wait_;
  COMMTIMEOUTS timeouts_{};
  DWORD mask_ = 0;
  DWORD errors_ = 0;          // CE_* since the last ClearCommError
  bool eventPending_ = false; // EV_ERR seen, not yet reported to a wait
  bool abortOnError_ = false;
  bool haveDcb_ = false;
  DCB dcb_{};
  bool canSample_ = true;
  Clock::time_point nextSample_{};
};

// Marks an OVERLAPPED complete and sets its event (no fault injection: this is
// the layer finishing its own work).
void CompleteOverlapped(OVERLAPPED* ov, DWORD status, DWORD count);
constexpr ULONG_PTR kStatusPending = 0x103;
// GetOverlappedResult's work, for any handle kind.
BOOL WaitOverlapped(OVERLAPPED* ov, DWORD* count, BOOL wait);

}  // namespace vx::comm
