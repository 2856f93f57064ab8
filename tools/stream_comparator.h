// Compares the bytes that came back with the bytes that were sent, as they
// arrive, and names what differs: bytes lost (and in how many gaps), bytes
// corrupted (and the bit errors among them), bytes extra (received though never
// sent). After a loss or an insertion it finds its place again by looking
// ahead a bounded window on both sides for the smallest skip after which a run
// of bytes agrees, so one dropped byte costs one "lost", not the rest of the
// run; where faults are too dense for any run to agree, it aligns a short
// stretch byte by byte instead. Where nothing agrees within the window, it
// looks further off in the stream sent, ahead for a lost stretch longer than
// the window and behind for one sent again, reading the stream a band at a
// time. Memory stays bounded by the window and that band, whatever the
// length of the streams.
#pragma once

#include "tools/expected_stream.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vx::tools {

struct CompareCounts {
  std::uint64_t expected = 0;   // expected bytes judged (matched + corrupted + lost)
  std::uint64_t received = 0;   // received bytes judged (matched + corrupted + extra)
  std::uint64_t matched = 0;
  std::uint64_t lost = 0;
  std::uint64_t gaps = 0;       // runs of lost bytes
  std::uint64_t corrupted = 0;
  std::uint64_t bitErrors = 0;  // differing bits among the corrupted bytes
  std::uint64_t extra = 0;
  std::uint64_t repeated = 0;   // of the extra, runs that repeat the bytes just before them
  std::uint64_t carriageReturnsAdded = 0;  // of the extra, a CR put before a sent LF (line endings converted)
  std::uint64_t places = 0;     // places where the streams part (kept or not)
  std::uint64_t lostAtEnd = 0;  // of the lost, those sent after the last byte that came back
  // How much earlier those may have gone missing instead: the stream before
  // them repeats itself that far with their length as its period (one byte
  // value over and over, a pattern), and a loss anywhere there leaves the
  // same bytes behind. 0 where nothing repeats.
  std::uint64_t lostAtEndSpan = 0;
  bool lostAtEndSpanGoesFurther = false;  // and the data repeats further back than the judge looks
  // The earliest sent byte the loss at the end may have begun at.
  std::uint64_t LostAtEndFrom() const { return expected - lostAtEnd - lostAtEndSpan; }
  std::uint64_t unreturned = 0;  // sent, not back when the run was cut short, and not judged
  // Something found wrong among the bytes judged.
  bool Faulty() const { return lost || corrupted || extra; }
  bool Intact() const { return !Faulty() && unreturned == 0; }
};

// One place where the streams part: what was skipped on each side to agree again.
struct Difference {
  std::uint64_t expectedOffset = 0;  // in the stream sent (passes of the file one after another)
  std::uint64_t receivedOffset = 0;
  std::uint64_t lost = 0, corrupted = 0, extra = 0, bitErrors = 0;
  std::uint64_t gaps = 0;      // runs the lost bytes here fall in: faults a few bytes apart share one place
  std::uint64_t repeated = 0;  // of the extra, a repeat of the bytes that came just before
  std::string expectedHex, receivedHex;  // a few bytes from the point where they part
};

class StreamComparator {
 public:
  struct Settings {
    std::size_t window = 16384;  // how far to look ahead on each side for the place to agree again
    std::size_t agree = 32;      // bytes that must agree to call the streams in step again
    std::size_t confirm = 128;   // agreement that tells a true place from a chance one
    std::size_t keepDifferences = 8;
    std::size_t excerpt = 16;    // bytes shown of each side of a difference
  };

  explicit StreamComparator(ExpectedStream& expected) : StreamComparator(expected, Settings{}) {}
  StreamComparator(ExpectedStream& expected, const Settings& settings);

  // How many bytes of the expected stream have been sent so far: received
  // bytes are never matched beyond it. It only grows.
  void SetSent(std::uint64_t sent);
  // Takes the next received bytes.
  void Feed(const std::uint8_t* data, std::size_t n);
  // Judges what remains once nothing more will come: `sent` bytes went out
  // in all (fewer than SetSent said when some were never sent); expected
  // bytes not received are lost, received ones left over extra. When the
  // run was cut short while the line still answered, the bytes sent after
  // the last one judged were still on their way: unreturned, not lost.
  void Finish(std::uint64_t sent, bool lineStillAnswering = false);

  const CompareCounts& Counts() const { return counts_; }
  const std::vector<Difference>& Differences() const { return differences_; }
  // Bytes that have come in but are held while the comparator looks for its place.
  std::size_t Pending() const { return pend_.size() - pendStart_; }
  // How many bytes had come in up to the last one found in step with the
  // bytes sent: up to there the far end was answering; what came after may
  // be bytes of its own (chatter) or not yet placed. 0 while none was.
  std::uint64_t AnsweredTo() const { return answeredTo_; }

 private:
  struct Candidate {
    std::size_t d = 0, i = 0;  // expected bytes skipped, received bytes skipped
    bool found = false;
    std::size_t agree = 0;     // bytes that agree after the skip (up to `confirm`)
  };
  struct GramTable {
    std::vector<std::uint32_t> head;   // hash bucket -> 1 + newest index, stamped by generation
    std::vector<std::uint32_t> stamp;
    std::vector<std::uint32_t> prev;   // index -> 1 + previous index in its bucket
    std::size_t inserted = 0;          // grams 0..inserted-1 are in the table
  };

  // Makes expected bytes [e_, e_ + n) readable in the buffer as far as sent; returns how many are.
  std::size_t ExpectedAvailable(std::size_t n);
  // Expected bytes from e_ already in the buffer, as far as sent.
  std::size_t Buffered() const {
    std::uint64_t end = std::min({sent_, streamEnd_, expBase_ + expLen_});
    return end > e_ ? static_cast<std::size_t>(end - e_) : 0;
  }
  const std::uint8_t* ExpectedAt(std::size_t offset) const { return exp_.data() + (e_ - expBase_) + offset; }
  const std::uint8_t* PendingAt(std::size_t offset) const { return pend_.data() + pendStart_ + offset; }
  // Matches in-step bytes directly from `data`; returns how many agreed (the caller moves r_).
  std::size_t MatchInStep(const std::uint8_t* data, std::size_t n);
  // Works through the held bytes: matching while in step, searching after a difference.
  void Drain(bool final);
  // Looks for the place to agree again; false when it needs more bytes first.
  bool Search(bool final);
  void StartSearch();
  void Resolve(std::size_t d, std::size_t i);
  // Where nothing agrees for a window: resolves a short stretch by the
  // fewest edits if it is the stream with faults too dense for an agreeing
  // run, and says so; false for bytes that are not the stream.
  bool ResolveDenseFaults(std::size_t nE, std::size_t nR);
  // Aligns m received bytes with up to n expected ones: where on the
  // expected side they end (*end), and whether they are the stream at all.
  bool DenseStretchEnd(std::size_t m, std::size_t n, std::size_t* end) const;
  // Where nothing agrees within the window: the first n held bytes, if they
  // are text and not the stream with dense faults, are extra (a console,
  // chatter): a line at the wrong speed or one that damages bytes does not
  // make text.
  bool TakeTextAsExtra(std::size_t nE, std::size_t n);
  // At the end, where nothing agrees: places the held bytes with the
  // expected side left open, since what was sent after them is still on its
  // way (a cut) or was lost (a far end that stopped). Bytes that are not the
  // stream are paired up in order when `pairUnknown`, else extra.
  void PlaceOpenEnded(std::size_t nE, std::size_t nR, bool pairUnknown);
  // Classify the d expected and i received bytes skipped: by the fewest edits, or in order when too wide.
  void Align(const std::uint8_t* want, const std::uint8_t* got, std::size_t d, std::size_t i, Difference* diff,
             std::uint64_t* gaps);
  static void PairUp(const std::uint8_t* want, const std::uint8_t* got, std::size_t d, std::size_t i,
                     Difference* diff, std::uint64_t* gaps);
  // Whether the `i` held bytes at the front, standing for `d` expected ones
  // and i - d extra, are the stream played again from i - d bytes back: a
  // far end that sent a piece twice, not bytes of its own.
  bool RepeatsWhatCameBefore(std::size_t d, std::size_t i) const;
  // Where the i received bytes about to be called extra repeat what came
  // before them and the stream further on agrees as well (of the nE expected
  // bytes at hand): the expected bytes a loss would skip instead, else 0.
  std::size_t LossInPlaceOfRepeat(std::size_t nE, std::size_t i);
  // Whether the i received bytes are the d expected ones with a carriage
  // return put before some of their line feeds, and nothing else.
  bool CarriageReturnsAddedOnly(std::size_t d, std::size_t i) const;
  void ConsumePending(std::size_t n);
  std::uint32_t Hash(const std::uint8_t* p) const;
  void Insert(GramTable& table, std::size_t index, std::uint32_t hash);
  // Newest index in `table` whose gram equals `gram`, at most `limit`; -1 if none.
  long Lookup(const GramTable& table, std::uint32_t hash, const std::uint8_t* gram, bool expectedSide) const;
  Candidate TailCandidate(std::size_t nE, std::size_t nR) const;
  // Where nothing agrees within the window: looks for the place further
  // off, ahead as far as has been sent (a loss longer than the window) and
  // behind (a stretch sent again), nearest first; takes it and returns true,
  // or false when there is none.
  bool FarSearch();
  // A place where the streams part, here: both offsets.
  Difference PlaceHere() const;
  // A few bytes of each side from here, for the place's record.
  void Excerpt(Difference* place);
  // Counts the next n expected bytes lost, in one gap, and moves past them:
  // the search is over, and the read-ahead starts again past them when they
  // run beyond it.
  void SkipLost(std::uint64_t n);
  // Received bytes that play the stream again from replayAt_: extra, and a
  // repeat when they run up to where the stream stands. False when it needs
  // more bytes first.
  void StartReplay(std::uint64_t from);
  bool Replay(bool final);
  void EndReplay(bool reachedTheStream);
  // Reads expected bytes from anywhere in the stream, past the window too.
  std::size_t ReadExpected(std::uint64_t from, std::uint8_t* out, std::size_t n) const;
  // The earliest byte j from which the stream repeats itself with period n
  // up to `at`: byte k equals byte k + n for every k in [j, at). A loss or an
  // insertion of n bytes anywhere there leaves the same bytes behind.
  // *further: the stream repeats so as far back as the look went.
  std::uint64_t RepeatsFrom(std::uint64_t at, std::uint64_t n, bool* further = nullptr) const;
  // At the end, with received bytes left over after the last one sent: in
  // data that repeats, a place where bytes unlike those sent stood in for
  // them is taken as those bytes put in, and the stream after it as in step
  // one place earlier, up to the left-over bytes, when that pairs up too: a
  // foreign byte put into one byte value over and over otherwise reads as a
  // changed byte plus the stream's own last byte extra.
  void TakeForeignBytesInRepeatsAsPutIn();
  // How many bytes agree from expected byte d and received byte i on, up to
  // `most` (both sides must hold that many).
  std::size_t AgreeFrom(std::size_t d, std::size_t i, std::size_t most) const;

  ExpectedStream& stream_;
  Settings settings_;
  std::uint64_t sent_ = 0;
  std::uint64_t e_ = 0;  // next expected byte to judge
  std::uint64_t r_ = 0;  // next received byte to judge
  std::uint64_t answeredTo_ = 0;

  std::vector<std::uint8_t> exp_;  // expected bytes [expBase_, expBase_ + expLen_)
  std::uint64_t expBase_ = 0;
  std::size_t expLen_ = 0;
  std::uint64_t streamEnd_ = UINT64_MAX;  // where a stream that does not repeat ended

  std::vector<std::uint8_t> pend_;  // received bytes [r_, ...) not yet judged
  std::size_t pendStart_ = 0;

  bool searching_ = false;
  bool atCut_ = false;  // finishing a run cut short while the line still answered
  GramTable expTable_, recTable_;
  std::uint32_t generation_ = 0;
  // The best places found so far: confirmed by a long agreement, or parting again soon.
  Candidate strong_, weak_;

  std::vector<std::uint16_t> cost_;  // the alignment's table, kept for reuse
  std::vector<std::uint8_t> far_;    // expected bytes read from further off

  bool replaying_ = false;
  std::uint64_t replayAt_ = 0;  // the expected byte the received ones are playing again
  Difference replay_;           // the place of the bytes played again, while they come

  CompareCounts counts_;
  std::vector<Difference> differences_;
};

}  // namespace vx::tools
