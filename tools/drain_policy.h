// When to stop waiting for the line after the last byte was sent. A read
// completes at 2048 bytes or 20 ms after the last byte, so on a slow line the
// received count stands still for a whole block at a time (over two seconds at
// 9600 baud): the quiet time that ends the wait must cover a block at the rate
// the line has shown, or at a slow rate while nothing has come back yet.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>

namespace vx::tools {

class DrainPolicy {
 public:
  // The reader's largest block.
  static constexpr double kBlockBytes = 2048;
  // What is assumed of a line that has not shown its rate yet: 1200 baud, so
  // that a perfect but slow line is not called silent before its first bytes
  // (a far end that answers a whole block at a time). A silent line costs
  // 1.5 blocks at that rate (26 s) from the start of sending.
  static constexpr double kSlowestRate = 120;
  // Quiet time when nothing more is owed (only extra bytes could still come):
  // the read's 20 ms, the post to the dialog and the runner's 20 ms poll, with
  // room to spare on a busy machine.
  static constexpr double kQuietFloor = 0.25;
  // Quiet time at least while sent bytes are still owed: a peer may answer in
  // bursts, or pause for a second or two (a device flushing, a server busy),
  // and waiting a little longer before calling bytes lost is cheap.
  static constexpr double kOwedFloor = 3.0;
  // The same behind a network port: the server and its line hold bytes this
  // side cannot see, and a far end holding them back (XOFF, RTS/CTS at the
  // server's line) looks just like one that lost them.
  static constexpr double kOwedFloorOutOfSight = 10.0;
  // The owed floor of a run: what was asked (--max-pause), or the default
  // for where the far end is. A far end may pause longer than the default
  // mid-answer; nothing tells such a pause from a stop but its end.
  static double OwedFloorFor(bool outOfSight, double asked) {
    return asked > 0 ? asked : outOfSight ? kOwedFloorOutOfSight : kOwedFloor;
  }

  // `sendStart`: when sending began; `timeout`: the most the drain may last;
  // `owedFloor`: the quiet time at least while bytes are owed.
  DrainPolicy(double sendStart, double timeout, double owedFloor = kOwedFloor)
      : sendStart_(sendStart), timeout_(timeout), owedFloor_(owedFloor) {}

  // Called as the runner polls, with the time in seconds and the count so far.
  void Observe(double now, std::uint64_t received);
  // Called as the judge goes on: the received bytes up to `upTo` are judged,
  // and when they came need not be kept beyond the answering window; those
  // after it may still be found in step, however late.
  void Judged(std::uint64_t upTo) { judgedUpTo_ = upTo; }
  // Called as bytes go out to the line, with the time.
  void Sent(double now) { lastSent_ = now; }
  // From now on the drain counts: sending has stopped.
  void Begin(double now) { drainStart_ = now; }
  // The quiet time needed while `owed` sent bytes have not come back.
  double QuietNeeded(std::uint64_t owed) const;
  // True once the line has been quiet long enough, or the time is up. With
  // nothing owed only extra bytes can still come: they are waited for as for
  // owed ones, quiet time and all, but a line that keeps talking (a console,
  // a trickle) is not waited out for longer than the owed floor from when the
  // last owed byte came back, not from the start of the drain: a slow line's
  // last bytes come back seconds into it, and what its far end sends after
  // them must still be seen.
  bool Done(double now, std::uint64_t owed) {
    if (TimedOut(now)) return true;
    if (owed > 0) {
      settled_ = -1;
      // A far end cannot answer before its bytes reach it: one that answers
      // only once its input has gone quiet (a device that gathers a whole
      // message first) has the owed floor from the last byte sent too.
      return now - lastActivity_ >= QuietNeeded(owed) && now - lastSent_ >= owedFloor_;
    }
    if (settled_ < 0) settled_ = now;
    if (now - lastActivity_ >= QuietNeeded(0)) return true;
    if (now - settled_ < kOwedFloor) return false;
    // Cut off: talking only if bytes came since; a line quiet since, whose
    // pauses were long, has only not yet been quiet for as long as them.
    endedTalking_ = lastActivity_ > settled_;
    return true;
  }
  bool TimedOut(double now) const { return now - drainStart_ >= timeout_; }
  // True when the line has answered lately: when the received byte number
  // `answeredTo`, the last that came back in step with the bytes sent, came
  // within the owed floor, or within half as long again as the longest pause
  // the line has made. Evidence, not the patience of QuietNeeded: a far end
  // silent since its first block is not answering, nor is one that only
  // talks of its own (a heartbeat, a console). What a read held when the
  // link closed counts as lately.
  bool AnsweredLately(double now, std::uint64_t answeredTo) const {
    const double at = answeredTo ? ArrivalOf(answeredTo) : -1;
    return at >= 0 && now - at < AnswerWindow();
  }
  // When the received count reached `count`: the time of the first receipt
  // that brought it there, or of the oldest one kept when that is longer
  // ago than the answering window reaches; -1 before it is reached.
  double ArrivalOf(std::uint64_t count) const;
  // The line's rate as seen so far, in bytes a second; 0 until something has
  // come back after the first receipt.
  double ObservedRate() const;
  // The line's rate of late, in bytes a second: over the last kRecentSeconds
  // and at least two gaps between receipts (a slow line answers a block every
  // few seconds). What a line that slowed down runs at now, which the rate
  // since the start hides; 0 until two receipts after the first.
  static constexpr double kRecentSeconds = 3.0;
  double RecentRate() const;
  double LastReceipt() const { return lastReceipt_; }
  // True when the last Done() ended a drain with nothing owed whose line
  // never fell quiet: the far end still talking the owed floor after the
  // last byte owed was judged.
  bool EndedTalking() const { return endedTalking_; }

 private:
  double sendStart_, timeout_, owedFloor_;
  double drainStart_ = 0;
  double lastSent_ = 0;  // when a byte last went out to the line
  double settled_ = -1;  // when nothing was owed any more, as Done first saw it
  bool endedTalking_ = false;
  double lastReceipt_ = -1;
  double firstReceipt_ = -1;
  std::uint64_t firstBlock_ = 0;  // the count at the first receipt
  double longestGap_ = 0;  // between receipts, the first counted from the start of sending
  // Quiet is counted from the last byte received, or from the start of
  // sending: the first block is due a block's time after the first byte went.
  double lastActivity_ = sendStart_;
  std::uint64_t received_ = 0;
  // Receipts of the last few seconds, the oldest one just before them.
  struct Receipt {
    double at;
    std::uint64_t count;
  };
  std::deque<Receipt> recent_;
  // Receipts as far back as the answering window reaches, the oldest one
  // just before it, and all of those the judge has not got past: when each
  // received byte came, for AnsweredLately and the times of the answers.
  std::deque<Receipt> arrivals_;
  std::uint64_t judgedUpTo_ = 0;
  double AnswerWindow() const { return std::max(owedFloor_, 1.5 * longestGap_); }
};

}  // namespace vx::tools
