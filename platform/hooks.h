// Services of the platform layer that Win32 has no name for: the hook through
// which a GUI event loop drives the user-interface thread's queue, the serial
// devices present (for a port list), fault injection for tests, and the test
// hooks of the built-in loopback port.
// Nothing here exists on a Windows build.
#pragma once

#include "platform/win32.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vx {

// ---- GUI event loop integration ---------------------------------------
// Registers, for the calling thread, a function that the layer calls (from any
// thread) when that thread's queue goes from empty to holding work, and when its
// timers change. The event loop then drains the queue with PeekMessageA.
using QueueWakeHook = void (*)(void* context);
void SetQueueWakeHook(QueueWakeHook hook, void* context);

// A descriptor that becomes readable when the calling thread's next timer
// falls due; the layer re-arms it as timers are set, killed and fire. An event
// loop that watches it wakes on time to the microsecond. -1 if none can be made.
int QueueTimerDescriptor();

// A descriptor that becomes readable when the process is asked to end
// (SIGTERM; SIGHUP, its terminal or session closed; SIGINT), for the GUI event
// loop, which then asks its windows to close as Windows asks a program to at
// logoff. The first call installs the handlers, on those signals the program
// leaves at their default, for one request: a second one, by any of them,
// ends the process at once. -1 when none could be installed.
int TerminationRequestDescriptor();
// Takes the request off the descriptor and posts WM_CLOSE to `windows`, the
// innermost first; with none, ends the process as the signal would have.
void AnswerTerminationRequest(const HWND* windows, std::size_t count);

// Microseconds until the calling thread's next timer falls due (0 when one is
// due now), or -1 when it has no timer.
std::int64_t NextTimerDueMicros();

// Shifts GetTickCount by `offset` milliseconds, so that tests can cross the
// 2^32 wrap on purpose.
void SetTickCountOffset(DWORD offset);

// How many handles are open: what tests and the soak benchmark watch for leaks.
std::size_t OpenHandleCount();

// How many port reads and writes a waiting thread has completed itself,
// moving their bytes as they came, rather than the port's service thread:
// what tests watch to see that waits do their own I/O.
std::uint64_t WaitDrivenCompletions();
// How many times such a thread has slept inside the device's own write.
std::uint64_t WaitBlockingWrites();

// What is wrong with the line settings in a port name ("baud 'fast' is not a
// rate ..."), or an empty string when there is nothing wrong with them.
// CreateFileA fails such a name with ERROR_INVALID_PARAMETER; this says why.
std::string PortNameProblem(const char* name);
// Bytes a pending overlapped read on `port` has already taken off the line
// (0 when none is pending, or for a handle that is no port). Such a read
// completes only when full or after a gap, so on a line that delivers
// steadily but slowly its count is the only sign that bytes still come; a
// tool that judges the line reads it, Win32 has no call for it.
DWORD PendingReadBytes(HANDLE port);
// What of the line settings kept on `port` (those the name or SetCommState
// gave it, which GetCommState gives back) the device does not hold, in words:
// "8 data bits and no parity where 7 data bits and even parity were set". A
// driver keeps only what it can make (a pseudo-terminal: 8 data bits without
// parity, whatever it is told) and says nothing; Win32 has no call that reads
// the device back. Empty when it holds them all, and for a port with no local
// driver (the loopback, a network port).
std::string LineSettingsNotHeld(HANDLE port);
// True when the name carries line settings its kind of port cannot apply: a
// raw tcp:// port is a byte stream, and its line keeps the server's settings.
bool PortSettingsIgnored(const char* name);
// Which kind of port a name opens, as the port layer reads it: a device
// path, the built-in loopback, a raw network port (tcp://), a Telnet one
// (rfc2217://); Unknown when the name cannot be read (a bad query). Behind
// a network port the server and its line hold bytes, and may hold them
// back, out of sight.
enum class PortKind { Unknown, Device, Loopback, RawNetwork, Rfc2217 };
PortKind PortKindOf(const char* name);
// A port served over the network, raw or Telnet: a serial server between.
inline bool IsNetworkPort(PortKind kind) { return kind == PortKind::RawNetwork || kind == PortKind::Rfc2217; }
// The device file a name opens (COM3: /dev/ttyS2; the line settings after
// '?' left off), or "" when it names no device: a tool that looks for other
// programs holding the port needs the file, not the name.
std::string PortDevicePath(const char* name);

// ---- Serial devices present (Linux) --------------------------------------
// Paths of the serial ports present under `root` (the machine's is /dev):
// serial/by-id/* links, ttyUSB* and ttyACM* devices, and the ttyS* behind which
// the driver reports a UART; each group in order (ttyS2 before ttyS10).
std::vector<std::string> SerialDevicesPresent(const std::string& root = "/dev");

// ---- Fault injection ----------------------------------------------------
namespace fault {

struct Rule {
  const char* function = nullptr;  // the layer function's Win32 name, e.g. "WriteFile"
  unsigned skip = 0;               // let this many matching calls through first
  unsigned count = 1;              // then act on this many calls
  DWORD error = ERROR_GEN_FAILURE; // the call fails with this last error ...
  bool overrideResult = false;     // ... or, for waits, returns `result` instead
  DWORD result = WAIT_FAILED;
  bool block = false;              // the call blocks until its thread is terminated or Reset()
  LPTHREAD_START_ROUTINE onlyInThread = nullptr;  // match only threads started with this routine
};

void Inject(const Rule& rule);
// Drops every rule and releases calls blocked by a rule (they fail with
// ERROR_OPERATION_ABORTED).
void Reset();
// How many calls the rules for `function` have acted on since the last Reset.
unsigned Hits(const char* function);

}  // namespace fault

// ---- The built-in loopback port -----------------------------------------
// Makes the loopback behind `port` see line errors (CE_FRAME, CE_OVERRUN,
// CE_RXPARITY, CE_BREAK bits) as a UART would report them.
BOOL LoopInjectLineError(HANDLE port, DWORD errors);

}  // namespace vx
