#include "tools/run_report.h"

#include "platform/hooks.h"
#include "platform/win32.h"
#include "tools/drain_policy.h"
#include "tools/stop_signals.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <csignal>
#include <cstring>
#include <initializer_list>
#include <utility>

namespace vx::tools {

namespace {

double Rate(std::uint64_t bytes, double seconds) { return seconds > 0 ? static_cast<double>(bytes) / seconds : 0; }

double ErrorRate(const RunFacts& f) {
  std::uint64_t wrong = f.counts.lost + f.counts.corrupted + f.counts.extra;
  std::uint64_t base = std::max(f.counts.expected, f.counts.received);
  return base ? static_cast<double>(wrong) / static_cast<double>(base) : 0;
}

double BitErrorRate(const RunFacts& f) {
  std::uint64_t bits = 8 * (f.counts.matched + f.counts.corrupted);
  return bits ? static_cast<double>(f.counts.bitErrors) / static_cast<double>(bits) : 0;
}

double ReceivedRate(const RunFacts& f) { return Rate(f.received, f.lastReceiptSeconds); }
// The rate at which the bytes sent came back, from the first answer on:
// chatter that goes on after the echo has ended dilutes the received rate,
// not this one, and a far end that held everything for seconds before it
// answered at the pace it was sent is late, not slow. 0 when the answers
// came all at once (or when is not known).
double AnswerRate(const RunFacts& f) {
  if (f.firstAnswerSeconds < 0) return f.lastAnswerSeconds < 0 ? ReceivedRate(f) : 0;
  const double span = f.lastAnswerSeconds - f.firstAnswerSeconds;
  return span > 0 ? Rate(f.counts.matched - std::min(f.counts.matched, f.firstAnswerBytes), span) : 0;
}
double WrittenRate(const RunFacts& f) { return Rate(f.written, f.sendingSeconds); }

const char* DrainEndName(DrainEnd end) {
  switch (end) {
    case DrainEnd::NotReached: return "not-reached";
    case DrainEnd::Quiet: return "quiet";
    case DrainEnd::TimedOut: return "timeout";
    case DrainEnd::LinkError: return "link-error";
    case DrainEnd::Interrupted: return "interrupted";
  }
  return "";
}

// "framing, parity" for CE_ flags.
std::string LineErrorNames(std::uint32_t kinds) {
  std::string names;
  for (auto [flag, name] : {std::pair{CE_FRAME, "framing"}, std::pair{CE_RXPARITY, "parity"},
                            std::pair{CE_OVERRUN, "overrun"}, std::pair{CE_RXOVER, "buffer overflow"},
                            std::pair{CE_BREAK, "break"}})
    if (kinds & flag) names += (names.empty() ? "" : ", ") + std::string(name);
  return names.empty() ? "unnamed" : names;
}

// The first line of `bytes` if it is printable text, else "".
std::string FirstLine(const std::string& bytes) {
  const std::string line = bytes.substr(0, bytes.find_first_of("\r\n"));
  for (unsigned char c : line)
    if (c < 0x20 || c > 0x7e) return "";
  return line;
}

std::string Hex2(char c) {
  char text[3];
  std::snprintf(text, sizeof text, "%02x", static_cast<unsigned char>(c));
  return text;
}

std::string Bytes(std::uint64_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

// Whether the loss at the end could as well have been a good way earlier:
// the data before it repeats with the loss's length as its period.
bool TailLossUnplaced(const CompareCounts& k) {
  constexpr std::uint64_t kFarEnoughToSay = 64;
  return k.lostAtEnd && k.lostAtEndSpan >= kFarEnoughToSay;
}

// For a link that failed: whether the whole file had gone out and come back
// before, which tells a line that died mid-transfer from one that went away
// once its echo was complete.
bool AllBackBeforeTheEnd(const RunFacts& f) {
  return !f.options.stress && f.written >= f.fileSize && f.written > 0 && f.counts.lost == 0 &&
         f.accepted == f.written;
}

// When the link failed, as the hint for it says. After sending has ended,
// with bytes still owed, how long after, and when the last answer came: a
// far end that stopped answering long before it hung up lost those bytes
// then, not with the hang-up.
std::string WhenTheLineWentAway(const RunFacts& f) {
  if (AllBackBeforeTheEnd(f)) return "after every byte sent had come back";
  // Sending is over once the whole file went out (a stress run's time is up
  // when its drain begins); the dialog then still waits a second for the
  // last bytes, which is after it too.
  const bool sendingOver =
      f.options.stress ? f.drainSeconds > 0 : f.accepted >= f.fileSize && f.written == f.accepted;
  const double after = f.linkErrorSeconds - f.sendingSeconds;
  if (!sendingOver || f.linkErrorSeconds < 0 || after < 0.5) return "during the transfer";
  char text[160];
  const double answered = f.lastAnswerSeconds;
  if (answered < 0)
    std::snprintf(text, sizeof text, "%.1f s after sending ended, nothing sent having come back", after);
  else
    std::snprintf(text, sizeof text, "%.1f s after sending ended, the last byte sent having come back %.1f s after Start",
                  after, answered);
  return text;
}

// "another program has /dev/pts/3 open too (1234 (cat))".
std::string SharedWith(const RunFacts& f) {
  const std::size_t n = f.otherHolders.size();
  return std::string(n == 1 ? "another program has " : "other programs have ") +
         vx::PortDevicePath(f.options.port.c_str()) + " open too (" + HoldersText(f.otherHolders) + ")";
}

std::string LineHint(const RunFacts& f);

// What to try next, for a run that did not come out right. Another program
// on the port explains any byte gone astray, whatever the line did: it reads
// what it finds and may write; so it is named first.
std::string Hint(const RunFacts& f) {
  const std::string line = LineHint(f);
  if (JudgeRun(f) != Verdict::Failed || !f.counts.Faulty()) return line;
  if (f.otherHolders.empty())
    return line + (f.holdersUnseen ? "; programs of other users (a modem manager, a getty) could not be looked at for "
                                     "having the port open too: run as root to see them"
                                   : "");
  // What they may have done: read bytes meant for the run, put their own in.
  const auto& holders = f.otherHolders;
  const bool reads = std::any_of(holders.begin(), holders.end(), [](const PortHolder& h) { return h.reads; });
  const bool writes = std::any_of(holders.begin(), holders.end(), [](const PortHolder& h) { return h.writes; });
  const CompareCounts& k = f.counts;
  const bool took = reads && k.lost, put = writes && k.extra;
  // Changed bytes: one taken and one of its own put in its place.
  const bool swapped = reads && writes && k.corrupted && !took && !put;
  if (!took && !put && !swapped) return line;  // named on the "shared" line, but no suspect for these faults
  return SharedWith(f) + (holders.size() == 1 ? ": it may have " : ": they may have ") +
         (swapped ? "read bytes and written others in their place"
                  : std::string(took ? "read the bytes called lost" : "") + (took && put ? " and " : "") +
                        (put ? "written the extra ones" : "")) +
         "; close " + (holders.size() == 1 ? "it" : "them") + " and run again. Otherwise: " + line;
}

std::string LineHint(const RunFacts& f) {
  const bool overNetwork = vx::IsNetworkPort(vx::PortKindOf(f.options.port.c_str()));
  switch (JudgeRun(f)) {
    case Verdict::Ok: return "";
    case Verdict::PortError: return f.portHint;
    case Verdict::Interrupted: return "the run was interrupted: the counts cover what had come back by then";
    case Verdict::LinkError:
      // A serial server that closes a connection at once is busy with
      // another client or without its device; it has not hung up on a line.
      if (f.written == 0 && vx::PortKindOf(f.options.port.c_str()) == vx::PortKind::RawNetwork) {
        const std::string said = FirstLine(f.firstBytesBack);
        if (!said.empty()) return "the serial server closed the connection before anything was sent, saying \"" + said + "\"";
        return "the serial server closed the connection before anything was sent: it may be serving another "
               "client, or be unable to open its device; see its log";
      }
      // Behind a network port it is the server that closes the connection,
      // for its line or for reasons of its own.
      return std::string(overNetwork ? "the serial server closed the connection " : "the line went away ") +
             WhenTheLineWentAway(f) +
             (overNetwork ? ": the far end hung up, another client took the port over (ser2net's kickolduser), or "
                            "the server stopped"
                          : ": the far end hung up, or the adapter was unplugged");
    case Verdict::Failed: break;
  }
  const CompareCounts& k = f.counts;
  // Whatever came back, it came over another line than the one asked for.
  if (!f.settingsNotHeld.empty())
    return "the port holds " + f.settingsNotHeld + ": the run did not test the line asked for; " +
           (f.pseudoTerminal ? "a pseudo-terminal carries 8 data bits without parity whatever it is told: leave "
                               "format= out of its name"
                             : "ask for settings the adapter supports, or leave them out to keep what it holds");
  if (f.fileChanged)
    return "the file changed while it was being sent (appended to, truncated or rewritten): the bytes that came "
           "back were compared with what it held when read, which need not be what was sent, so the counts say "
           "nothing about the line; send a file nothing writes to";
  if (f.fileReadFailed || (!f.options.stress && f.accepted < f.fileSize && !f.sendingStalled))
    return "the file could not be read to its end: only part of it was sent";
  // A Telnet server greets with its option negotiation, IAC (0xFF) and a
  // verb, and takes every 0xFF sent as a command: a raw port it is not.
  // (Unless the file itself begins so: a UTF-16 text's FF FE, echoed.)
  const std::string& first = f.firstBytesBack;
  if (vx::PortKindOf(f.options.port.c_str()) == vx::PortKind::RawNetwork && first.size() >= 2 &&
      static_cast<unsigned char>(first[0]) == 0xFF &&
      static_cast<unsigned char>(first[1]) >= 0xFB && static_cast<unsigned char>(first[1]) <= 0xFE &&
      first.compare(0, 2, f.firstBytesSent) != 0)
    return "the server answered in Telnet (its first bytes were an option negotiation, ff " + Hex2(first[1]) +
           " ...): it is an RFC 2217 port; name it rfc2217://" + f.options.port.substr(6) +
           ", or use the server's raw port with tcp://";
  // Those bytes, echoed, stop the sender and vanish: they explain a stall,
  // and as many bytes lost as they are, better than anything below. More
  // lost than that, the line did something else too: that comes first.
  if (f.flowControlBytes && f.received > 0) {
    const std::string bytes = Bytes(f.flowControlBytes) + " 0x11 (XON) or 0x13 (XOFF)";
    const std::uint64_t passes = f.fileSize ? Offered(f) / f.fileSize : 1;
    if (f.sendingStalled || f.accepted > f.written || k.lost <= f.flowControlBytes * passes)
      return "the port uses XON/XOFF flow control and the file holds " + bytes +
             ", which the line takes as flow control, not data: send this file with flow=rtscts or flow=none, or "
             "send a file without those bytes";
    RunFacts rest = f;
    rest.flowControlBytes = 0;
    return LineHint(rest) + "; besides, on this XON/XOFF line the file's " + bytes +
           " are flow control, not data, and account for as many of the bytes lost";
  }
  // A line that stopped taking bytes says more than the silence it causes.
  if (f.sendingStalled)
    return std::string("the line stopped taking bytes before ") +
           (f.options.stress ? "the time asked was up" : "the file was sent") +
           ": the far end stopped reading, or flow control holds the sender";
  if (f.received == 0)
    return std::string("nothing came back: is the far end looped back or echoing, with the same line settings?") +
           (overNetwork ? " Or the serial server, serving another client, never took this connection up (TCP "
                          "connects before the server accepts)"
                        : "");
  // Bytes came, but none of those sent: the far end talks (a console, a
  // banner, a heartbeat) and does not echo.
  if (k.matched == 0 && k.corrupted == 0 && k.extra == f.received && k.lost)
    return "none of the bytes sent came back, only " + Bytes(k.extra) +
           " of the far end's own (a console, a banner, chatter): is it looped back or echoing?";
  if (k.unreturned && !k.Faulty() && f.drainEnd == DrainEnd::TimedOut && f.accepted > f.written &&
      !f.stillAnswering)
    return "the far end was holding the line back when --drain-timeout ended (it had paused its reading, or flow "
           "control held the sender): " + Bytes(k.unreturned) + " sent were not back yet and " +
           Bytes(f.accepted - f.written) + " never went out; raise --drain-timeout if it pauses that long";
  if (k.unreturned && !k.Faulty() && f.drainEnd == DrainEnd::TimedOut) {
    // At the rate of late: a line that slowed down needs far longer than the
    // rate since Start says. The bytes the line had not taken yet come after.
    const bool recent = f.recentReceiveRate > 0;
    const double line = recent ? f.recentReceiveRate : ReceivedRate(f);
    const std::uint64_t unsent = f.accepted > f.written ? f.accepted - f.written : 0;
    const std::uint64_t owed = k.unreturned + unsent;
    char text[320];
    std::snprintf(text, sizeof text,
                  "the line was still answering when --drain-timeout ended: at the %.0f B/s it ran at %s, the %s "
                  "on their way%s needed about %.0f s more; raise --drain-timeout",
                  line, recent ? "last" : "on average", Bytes(k.unreturned).c_str(),
                  unsent ? (" and the " + Bytes(unsent) + " it had not taken").c_str() : "",
                  line > 0 ? std::max(1.0, std::ceil(static_cast<double>(owed) / line)) : 0.0);
    return text;
  }
  if (f.accepted > f.written)
    return "the line stopped taking bytes before all the link accepted went out: the far end stopped reading, "
           "flow control holds the sender, or --drain-timeout ended first";
  // Bytes that came back as good as random (several bits wrong in each, where
  // a line that damages bytes flips one or two) are another stream: the two
  // ends do not agree on speed or framing. That explains the losses beside
  // them too, however much of it came back. Such a mismatch garbles a good
  // share of what comes back, not one block in a run otherwise intact.
  constexpr std::uint64_t kFewChanged = 64;
  if (k.corrupted >= kFewChanged && k.bitErrors >= 3 * k.corrupted && 4 * k.corrupted >= k.matched) {
    char text[280];
    std::snprintf(text, sizeof text,
                  "the bytes that came back are unlike those sent (%s changed, %.1f bits in each, as in random "
                  "bytes): the two ends do not agree on line speed or framing; check both ends' settings",
                  Bytes(k.corrupted).c_str(), static_cast<double>(k.bitErrors) / static_cast<double>(k.corrupted));
    return text;
  }
  // The last write, not the dialog's end of the file: the dialog waits up to
  // a second there for the last bytes, and a far end that answered every
  // byte but one has not stopped answering a second early.
  const double transferEnd = f.sendingSeconds;
  // Bytes of the far end's own after its last answer are no answer.
  const double answered = f.lastAnswerSeconds;
  if (k.lost && answered >= 0 && answered + 1.0 < transferEnd) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "the far end stopped answering %.1f s after Start, %.1f s before the transfer ended: it stalled, "
                  "hung, or stopped reading",
                  answered, transferEnd - answered);
    return text;
  }
  if (k.lost && k.lostAtEnd == k.lost && f.lastReceiptSeconds >= 0 && TailLossUnplaced(k)) {
    // The loss shows at the end only because the data repeats: it may have
    // been anywhere in that stretch, and the far end answered to the end.
    char text[320];
    std::snprintf(text, sizeof text,
                  "the last %s sent never came back, but the data repeats itself before %s (from sent byte %" PRIu64
                  " on%s), so the bytes cannot tell where they went missing: the far end dropped them along the way, "
                  "or stopped answering at the end",
                  k.lost == 1 ? "byte" : Bytes(k.lost).c_str(), k.lost == 1 ? "it" : "them", k.LostAtEndFrom(),
                  k.lostAtEndSpanGoesFurther ? ", or further back" : "");
    return text;
  }
  if (k.lost && k.lostAtEnd == k.lost && answered >= 0) {
    // Everything lost was still owed when the answers stopped: a far end that
    // stalled, or one that dropped the last bytes and had nothing more to
    // answer. Which, the counts cannot tell.
    char text[360];
    std::snprintf(text, sizeof text,
                  "the last %s sent never came back: the far end stopped answering %.1f s after Start; it stalled, "
                  "hung or stopped reading, or dropped the end of the stream (a far end that pauses longer than "
                  "%g s before it answers again needs --max-pause)",
                  k.lost == 1 ? "byte" : Bytes(k.lost).c_str(), answered,
                  DrainPolicy::OwedFloorFor(overNetwork, f.options.maxPause));
    return text;
  }
  if (f.lineErrors)
    return "the port reported " + std::to_string(f.lineErrors) + " line error" + (f.lineErrors == 1 ? "" : "s") +
           " (" + LineErrorNames(f.lineErrorKinds) +
           "): check that both ends use the same speed and framing, the cable and its ground, and for overruns "
           "flow control or a lower speed";
  // Blocks missing in one place and about as many bytes never sent in
  // another are the far end reordering or repeating blocks, not a line too
  // slow for the pacing (single bytes dropped beside a banner are not).
  const bool blocks = k.gaps && k.lost / k.gaps >= 8;
  if (blocks && k.extra && k.lost <= 2 * k.extra && k.extra <= 2 * k.lost)
    return "bytes came back out of place (reordered, repeated, or others in their stead): check the far end's "
           "buffering, and that nothing else talks on the line";
  double pacing = f.options.packetSize * 1000.0;
  double line = AnswerRate(f);
  if (k.lost && line > 0 && line < 0.8 * WrittenRate(f)) {
    char text[256];
    unsigned fits = static_cast<unsigned>(std::max(1.0, line / 1000.0));
    std::snprintf(text, sizeof text,
                  "the line carries about %.0f B/s but the pacing offers up to %.0f B/s: lower --packet-size "
                  "(about %u fits this line), or check the far end's buffer",
                  line, pacing, fits);
    return text;
  }
  if (k.corrupted)
    return "bytes came back changed: check that both ends use the same speed and framing, and the cable and its ground";
  if (k.extra && !k.lost && 2 * k.repeated >= k.extra)
    return "the far end sent pieces of the stream twice (" + Bytes(k.repeated) +
           " repeating the bytes just before them): check its buffering, and whether something on the way retries";
  if (k.extra && !k.lost && !k.corrupted && k.carriageReturnsAdded == k.extra)
    return "the extra bytes are carriage returns put before line feeds (CR LF came back where LF was sent): "
           "something on the way converts line endings (a terminal's onlcr, socat's crnl); make the path raw";
  if (k.extra && !k.lost)
    return "the far end sent bytes it was never sent (a banner, a console, chatter): make sure nothing else talks on the line";
  if (k.lost) return "bytes went missing on the way: check the far end's buffer and flow control";
  return "the far end sent bytes it was never sent";
}

void JsonString(FILE* out, const std::string& s) {
  std::fputc('"', out);
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      std::fprintf(out, "\\%c", c);
    } else if (c < 0x20) {
      std::fprintf(out, "\\u%04x", c);
    } else {
      std::fputc(c, out);
    }
  }
  std::fputc('"', out);
}

}  // namespace

Verdict JudgeRun(const RunFacts& f) {
  if (f.signal) return Verdict::Interrupted;
  if (!f.portError.empty()) return Verdict::PortError;
  if (f.linkError) return Verdict::LinkError;
  // Bytes left unsent are not judged, but a run that could not send them all
  // (or could not even offer the whole file) did not succeed.
  const bool allSent = f.accepted <= f.written && !f.sendingStalled;
  // A one-shot run that ended short of the file (it could not be read to its
  // end) did not send it; nor does a file changed meanwhile hold what was sent.
  // In a stress run, a read that failed ended the sending before its time.
  const bool wholeFile = f.options.stress ? !f.fileReadFailed : f.accepted >= f.fileSize;
  // Errors the port itself saw on the line fail the run even when the bytes
  // that came back were right: the line is not sound.
  // Nor did a run over a line other than the one asked for test it.
  return f.counts.Intact() && allSent && wholeFile && !f.fileChanged && f.lineErrors == 0 &&
                 f.settingsNotHeld.empty()
             ? Verdict::Ok
             : Verdict::Failed;
}

int ExitStatus(const RunFacts& f) {
  switch (JudgeRun(f)) {
    case Verdict::Ok: return 0;
    case Verdict::Interrupted: return 128 + f.signal;
    default: return 1;
  }
}

const char* VerdictName(Verdict v) {
  switch (v) {
    case Verdict::Ok: return "ok";
    case Verdict::Failed: return "failed";
    case Verdict::LinkError: return "link-error";
    case Verdict::PortError: return "port-error";
    case Verdict::Interrupted: return "interrupted";
  }
  return "";
}

std::uint64_t Offered(const RunFacts& f) {
  if (!f.options.stress || f.fileSize == 0) return f.fileSize;
  // The passes the dialog began: counted by what the link accepted, since a
  // line that never took the end of a pass was still offered all of it.
  std::uint64_t passes = (f.accepted + f.fileSize - 1) / f.fileSize;
  return std::max<std::uint64_t>(passes, 1) * f.fileSize;
}

void WriteSummary(FILE* out, const RunFacts& f) {
  const Verdict verdict = JudgeRun(f);
  const CompareCounts& k = f.counts;
  if (verdict == Verdict::PortError) {
    std::fprintf(out, "varnelix-run: FAILED: %s\n", f.portError.c_str());
    if (!f.portHint.empty()) std::fprintf(out, "  hint: %s\n", f.portHint.c_str());
    return;
  }
  const char* word = verdict == Verdict::Ok ? "OK" : verdict == Verdict::Interrupted ? "INTERRUPTED" : "FAILED";
  if (verdict == Verdict::Ok) {
    std::fprintf(out, "varnelix-run: OK: all %s written came back intact, nothing extra\n", Bytes(f.written).c_str());
  } else {
    // Counts against a file that changed under the run are not the line's.
    std::fprintf(out, "varnelix-run: %s%s%s: %s%" PRIu64 " lost (%" PRIu64 " %s), %" PRIu64 " corrupted (%" PRIu64
                 " bit %s), %" PRIu64 " extra, of %s written\n",
                 word, verdict == Verdict::LinkError ? " (link ERROR)" : "",
                 verdict == Verdict::Interrupted ? (std::string(" by ") + StopSignalName(f.signal)).c_str() : "",
                 f.fileChanged ? "the file changed during the run; against what it held when read, " : "", k.lost,
                 k.gaps, k.gaps == 1 ? "gap" : "gaps", k.corrupted, k.bitErrors, k.bitErrors == 1 ? "error" : "errors",
                 k.extra, Bytes(f.written).c_str());
  }
  if (k.unreturned)
    std::fprintf(out, "  not back  %s still on their way when the wait was cut short (not judged)\n",
                 Bytes(k.unreturned).c_str());
  const char* changed = f.fileChanged ? " (when read: it changed during the run)" : "";
  // A stress run cut short (a signal, a line that stopped taking bytes or
  // went away) sent for less than the time asked: it says how long.
  if (f.options.stress && f.sendingSeconds + 0.5 < f.options.duration)
    std::fprintf(out, "  file      %s, %s%s, sent again and again for %.1f s of the %.1f s asked\n",
                 f.options.file.c_str(), Bytes(f.fileSize).c_str(), changed, f.sendingSeconds, f.options.duration);
  else if (f.options.stress)
    std::fprintf(out, "  file      %s, %s%s, sent again and again for %.1f s\n", f.options.file.c_str(),
                 Bytes(f.fileSize).c_str(), changed, f.options.duration);
  else
    std::fprintf(out, "  file      %s, %s%s, sent once\n", f.options.file.c_str(), Bytes(f.fileSize).c_str(), changed);
  std::fprintf(out, "  port      %s, %u-byte packets%s\n", f.options.port.c_str(), f.options.packetSize,
               PortSettingsIgnored(f.options.port.c_str())
                   ? " (a raw tcp:// port: its line keeps the server's settings, not these)"
                   : "");
  if (!f.settingsNotHeld.empty())
    std::fprintf(out, "  settings  the port holds %s: not the line asked for\n", f.settingsNotHeld.c_str());
  if (!f.otherHolders.empty())
    std::fprintf(out, "  shared    %s is open in %s too: %s\n", vx::PortDevicePath(f.options.port.c_str()).c_str(),
                 f.otherHolders.size() == 1 ? "another program" : "other programs", HoldersText(f.otherHolders).c_str());
  std::fprintf(out, "  written   %s in %.2f s, %.0f B/s", Bytes(f.written).c_str(), f.sendingSeconds, WrittenRate(f));
  // The link goes on writing what it had accepted when sending stopped.
  if (f.lastLineWriteSeconds > f.sendingSeconds + 0.5)
    std::fprintf(out, " (the line took the last of them %.2f s after Start)", f.lastLineWriteSeconds);
  std::fprintf(out, "\n");
  if (f.accepted > f.written)
    std::fprintf(out, "  unsent    %s the link accepted and the line never took (neither sent nor judged)\n",
                 Bytes(f.accepted - f.written).c_str());
  if (f.lastReceiptSeconds >= 0)
    std::fprintf(out, "  received  %s, %.0f B/s, the last %.2f s after Start\n", Bytes(f.received).c_str(),
                 ReceivedRate(f), f.lastReceiptSeconds);
  else
    std::fprintf(out, "  received  nothing\n");
  std::fprintf(out, "  drain     %.2f s, %s\n", f.drainSeconds,
               f.sendingStalled    ? "not reached: the line stopped taking bytes"
               : f.drainEndedTalking ? "ended with nothing more owed, the far end still sending bytes of its own "
                                       "(the line never fell quiet)"
               : f.drainEnd == DrainEnd::Quiet     ? "ended when the line had been quiet long enough"
               : f.drainEnd == DrainEnd::TimedOut  ? "ended by --drain-timeout"
               : f.drainEnd == DrainEnd::LinkError ? "cut short by the link's ERROR"
                                                   : "cut short");
  if (k.Faulty() && !f.fileChanged)
    std::fprintf(out, "  errors    %.3g%% of the bytes, bit error rate %.3g\n", 100 * ErrorRate(f), BitErrorRate(f));
  if (f.lineErrors)
    std::fprintf(out, "  line      %u error%s reported by the port (%s)\n", f.lineErrors, f.lineErrors == 1 ? "" : "s",
                 LineErrorNames(f.lineErrorKinds).c_str());
  const std::uint64_t pass = f.fileSize ? f.fileSize : 1;
  for (const Difference& d : f.differences) {
    std::fprintf(out, "  at sent byte %" PRIu64, d.expectedOffset);
    if (f.options.stress) std::fprintf(out, " (pass %" PRIu64 ", file offset %" PRIu64 ")", d.expectedOffset / pass + 1, d.expectedOffset % pass);
    std::fprintf(out, ", received byte %" PRIu64 ":", d.receivedOffset);
    if (d.lost) std::fprintf(out, " %" PRIu64 " lost", d.lost);
    if (d.gaps > 1) std::fprintf(out, " (in %" PRIu64 " gaps)", d.gaps);
    if (d.lost && d.lost == k.lostAtEnd && d.expectedOffset + d.lost == k.expected && TailLossUnplaced(k))
      std::fprintf(out, " (or anywhere from sent byte %" PRIu64 " on%s: the data repeats)", k.LostAtEndFrom(),
                   k.lostAtEndSpanGoesFurther ? ", or further back" : "");
    if (d.corrupted) std::fprintf(out, " %" PRIu64 " corrupted (%" PRIu64 " bits)", d.corrupted, d.bitErrors);
    if (d.extra) std::fprintf(out, " %" PRIu64 " extra%s", d.extra, d.repeated ? " (a repeat of the bytes before)" : "");
    std::fprintf(out, "\n    expected %s\n    received %s\n", d.expectedHex.empty() ? "(nothing)" : d.expectedHex.c_str(),
                 d.receivedHex.empty() ? "(nothing)" : d.receivedHex.c_str());
  }
  if (k.places > f.differences.size())
    std::fprintf(out, "  ... %" PRIu64 " more places differ\n", k.places - f.differences.size());
  std::string hint = Hint(f);
  if (!hint.empty()) std::fprintf(out, "  hint: %s\n", hint.c_str());
}

void WriteJson(FILE* out, const RunFacts& f) {
  const Verdict verdict = JudgeRun(f);
  const CompareCounts& k = f.counts;
  std::fprintf(out, "{\n  \"verdict\": ");
  JsonString(out, VerdictName(verdict));
  std::fprintf(out, ",\n  \"exit_status\": %d,\n  \"settings\": {\"port\": ", ExitStatus(f));
  JsonString(out, f.options.port);
  std::fprintf(out, ", \"file\": ");
  JsonString(out, f.options.file);
  std::fprintf(out,
               ", \"file_size\": %" PRIu64 ", \"packet_size\": %u, \"stress\": %s, \"duration_s\": %g, "
               "\"drain_timeout_s\": %g},\n",
               f.fileSize, f.options.packetSize, f.options.stress ? "true" : "false", f.options.duration,
               f.options.drainTimeout);
  std::fprintf(out,
               "  \"counts\": {\"offered\": %" PRIu64 ", \"accepted\": %" PRIu64 ", \"written\": %" PRIu64
               ", \"received\": %" PRIu64 ", \"matched\": %" PRIu64 ", \"lost\": %" PRIu64 ", \"lost_gaps\": %" PRIu64
               ", \"lost_at_end\": %" PRIu64 ", \"lost_at_end_from\": %" PRIu64
               ", \"corrupted\": %" PRIu64 ", \"bit_errors\": %" PRIu64 ", \"extra\": %" PRIu64
               ", \"repeated\": %" PRIu64 ", \"carriage_returns_added\": %" PRIu64 ", \"places\": %" PRIu64
               ", \"unreturned\": %" PRIu64 "},\n",
               Offered(f), f.accepted, f.written, f.received, k.matched, k.lost, k.gaps, k.lostAtEnd,
               k.lostAtEnd ? k.LostAtEndFrom() : 0, k.corrupted, k.bitErrors, k.extra, k.repeated,
               k.carriageReturnsAdded, k.places, k.unreturned);
  // Error rates against a file that changed under the run are not the line's.
  char errorRates[96] = "\"error_rate\": null, \"bit_error_rate\": null";
  if (!f.fileChanged)
    std::snprintf(errorRates, sizeof errorRates, "\"error_rate\": %.6g, \"bit_error_rate\": %.6g", ErrorRate(f),
                  BitErrorRate(f));
  std::fprintf(out, "  \"rates\": {\"written_bytes_per_s\": %.1f, \"received_bytes_per_s\": %.1f, %s},\n",
               WrittenRate(f), ReceivedRate(f), errorRates);
  std::fprintf(out,
               "  \"durations\": {\"sending_s\": %.3f, \"drain_s\": %.3f, \"total_s\": %.3f, \"last_receipt_s\": %.3f},\n",
               f.sendingSeconds, f.drainSeconds, f.totalSeconds, f.lastReceiptSeconds);
  std::fprintf(out,
               "  \"line_errors\": %u,\n  \"line_error_kinds\": \"%s\",\n"
               "  \"drain_end\": \"%s\",\n  \"sending_stalled\": %s,\n  \"file_changed\": %s,\n"
               "  \"file_read_failed\": %s,\n  \"link_error\": %s,\n  \"port_error\": ",
               f.lineErrors, f.lineErrors ? LineErrorNames(f.lineErrorKinds).c_str() : "",
               DrainEndName(f.drainEnd), f.sendingStalled ? "true" : "false", f.fileChanged ? "true" : "false",
               f.fileReadFailed ? "true" : "false", f.linkError ? "true" : "false");
  if (f.portError.empty()) std::fprintf(out, "null"); else JsonString(out, f.portError);
  std::fprintf(out, ",\n  \"settings_not_held\": ");
  if (f.settingsNotHeld.empty()) std::fprintf(out, "null"); else JsonString(out, f.settingsNotHeld);
  std::fprintf(out, ",\n  \"other_holders\": [");
  for (std::size_t n = 0; n < f.otherHolders.size(); ++n) {
    std::fprintf(out, "%s{\"pid\": %ld, \"command\": ", n ? ", " : "", f.otherHolders[n].pid);
    JsonString(out, f.otherHolders[n].command);
    std::fputc('}', out);
  }
  std::fputc(']', out);
  std::fprintf(out, ",\n  \"signal\": ");
  if (f.signal) JsonString(out, StopSignalName(f.signal)); else std::fprintf(out, "null");
  std::fprintf(out, ",\n  \"hint\": ");
  JsonString(out, Hint(f));
  std::fprintf(out, ",\n  \"differences\": [");
  const std::uint64_t pass = f.fileSize ? f.fileSize : 1;
  for (std::size_t n = 0; n < f.differences.size(); ++n) {
    const Difference& d = f.differences[n];
    std::fprintf(out,
                 "%s\n    {\"expected_offset\": %" PRIu64 ", \"received_offset\": %" PRIu64 ", \"pass\": %" PRIu64
                 ", \"file_offset\": %" PRIu64 ", \"lost\": %" PRIu64 ", \"lost_gaps\": %" PRIu64
                 ", \"corrupted\": %" PRIu64 ", \"bit_errors\": %" PRIu64 ", \"extra\": %" PRIu64
                 ", \"repeated\": %" PRIu64 ", \"expected_hex\": \"%s\", \"received_hex\": \"%s\"}",
                 n ? "," : "", d.expectedOffset, d.receivedOffset, d.expectedOffset / pass + 1, d.expectedOffset % pass,
                 d.lost, d.gaps, d.corrupted, d.bitErrors, d.extra, d.repeated, d.expectedHex.c_str(),
                 d.receivedHex.c_str());
  }
  std::fprintf(out, "%s]\n}\n", f.differences.empty() ? "" : "\n  ");
}

}  // namespace vx::tools
