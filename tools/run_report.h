// The outcome of a varnelix-run: its verdict and exit status, the summary a
// person reads, and the JSON report a script reads. No Qt, no port: only facts.
#pragma once

#include "tools/port_holders.h"
#include "tools/run_options.h"
#include "tools/stream_comparator.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vx::tools {

enum class Verdict {
  Ok,           // every byte back intact, nothing extra
  Failed,       // bytes lost, corrupted, extra, unsent or not back; or not the line asked for
  LinkError,    // the link reported ERROR during the transfer
  PortError,    // the port could not be opened
  Interrupted,  // a signal asked the run to end (SIGINT, SIGTERM, ...)
};

enum class DrainEnd { NotReached, Quiet, TimedOut, LinkError, Interrupted };

struct RunFacts {
  RunOptions options;
  std::uint64_t fileSize = 0;
  std::uint64_t written = 0;   // bytes written to the port
  std::uint64_t accepted = 0;  // bytes the link accepted: more than written when the line stopped taking them
  std::uint64_t received = 0;  // bytes the dialog counted
  CompareCounts counts;
  std::vector<Difference> differences;
  double sendingSeconds = 0;   // Start to the end of sending
  // Start to when the line took the last byte written: later than the end of
  // sending when the link still held packets then (a line slower than the
  // pacing); -1 if not known.
  double lastLineWriteSeconds = -1;
  double drainSeconds = 0;     // end of the transfer to the verdict
  double totalSeconds = 0;     // Start to the verdict
  double lastReceiptSeconds = -1;  // Start to the last byte received; -1 if none came
  // Start to the last time a byte sent came back intact (bytes of the far
  // end's own may come long after it); -1 if none did, or it is not known.
  double lastAnswerSeconds = -1;
  // Start to the first time bytes sent came back, and how many had then: a
  // far end that answers late is not thereby slow.
  double firstAnswerSeconds = -1;
  std::uint64_t firstAnswerBytes = 0;
  double recentReceiveRate = 0;  // bytes a second over the last few seconds of receipts; 0 if unknown
  DrainEnd drainEnd = DrainEnd::NotReached;
  bool linkError = false;
  double linkErrorSeconds = -1;  // Start to when the link's ERROR came; -1 if it did not, or it is not known
  bool sendingStalled = false;  // the line stopped taking bytes before the file was sent
  // The drain ended with every byte back, the far end still sending bytes of
  // its own the owed floor after the last of them: the line was never quiet.
  bool drainEndedTalking = false;
  bool stillAnswering = false;  // bytes were still coming back when the run ended
  bool fileChanged = false;     // the file was truncated or rewritten during the run
  bool fileReadFailed = false;  // a read of the file failed (the window showed ERROR and stopped sending)
  // On a port with XON/XOFF flow control, the file's bytes 0x11 and 0x13,
  // which the line takes as flow control rather than data.
  std::uint64_t flowControlBytes = 0;
  std::string firstBytesBack;  // the first bytes that came back (up to 80)
  std::string firstBytesSent;  // the file's first two bytes
  std::uint32_t lineErrors = 0;      // line errors the port reported (framing, parity, overrun, break)
  std::uint32_t lineErrorKinds = 0;  // the CE_ flags among them
  // Other programs that had the port open while it ran: they may have read
  // bytes meant for the run, and written their own. (Not a fault of the line.)
  std::vector<PortHolder> otherHolders;
  // Some programs could not be looked at (other users', to a user who is not
  // root): one of them may have the port open unseen.
  bool holdersUnseen = false;
  // What of the line settings asked for the port's device does not hold, in
  // words ("" when it holds them all): the run did not test that line.
  std::string settingsNotHeld;
  bool pseudoTerminal = false;  // the port is one: it carries 8 data bits without parity
  std::string portError;       // why the port could not be opened
  std::string portHint;
  int signal = 0;              // the signal that interrupted the run
};

Verdict JudgeRun(const RunFacts& facts);
int ExitStatus(const RunFacts& facts);
const char* VerdictName(Verdict verdict);
// Bytes the run set out to send: the file for a one-shot run; the file times
// the passes begun for a stress run.
std::uint64_t Offered(const RunFacts& facts);

// One screen: the verdict first, then counts, rates, differences and a hint.
void WriteSummary(FILE* out, const RunFacts& facts);
void WriteJson(FILE* out, const RunFacts& facts);

}  // namespace vx::tools
