#include "tools/stream_comparator.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace vx::tools {

namespace {

// Read ahead of the expected stream beyond the search window, so that bytes
// in step are compared a large piece at a time.
constexpr std::size_t kReadAhead = 128 * 1024;
// Hash collisions and long runs of one byte are walked this far at most.
constexpr int kChainLimit = 64;
// Skipped stretches up to this many cells (expected by received bytes) are
// aligned byte by byte; wider ones are paired up in order.
constexpr std::size_t kAlignCells = 4096 * 1024;
// A table larger than this is given back once used: such stretches are rare.
constexpr std::size_t kKeptAlignCells = 64 * 1024;
// When nothing agrees for a whole window, this many received bytes are
// aligned byte by byte against up to twice as many expected ones, to tell
// faults too close together to leave an agreeing run (a byte lost or put in
// every few bytes) from bytes that are not the stream at all.
constexpr std::size_t kDenseStretch = 1024;
// Extra bytes fewer than this that equal the ones before them (a doubled
// letter, a zero among zeros) are as likely chance as a far end repeating
// itself, and are not called a repeat.
constexpr std::size_t kShortestRepeat = 8;

// Blocks shorter than this found in each other's place are as likely chance
// as a far end that sent them out of order, and are aligned like any fault.
constexpr std::size_t kShortestMove = 16;

// Where n expected bytes came back as two blocks of them in swapped order
// (the second block first), exactly: the length of the first expected block,
// or 0 if they did not. Both blocks must be kShortestMove bytes or longer.
std::size_t SwappedAt(const std::uint8_t* want, const std::uint8_t* got, std::size_t n) {
  for (std::size_t a = kShortestMove; a + kShortestMove <= n; ++a) {
    if (got[0] == want[a] && std::memcmp(got, want + a, n - a) == 0 && std::memcmp(got + n - a, want, a) == 0) return a;
  }
  return 0;
}

// How far the search for the place looks once nothing agrees within the
// window: ahead (never past what has been sent) for a stretch lost in one
// piece, as a full buffer of a network server or an adapter can lose, and
// behind for one sent again. It reads the expected stream a band at a time,
// both ways at once, and stops at the first band where the place is found.
constexpr std::uint64_t kFarAhead = 4u << 20;
constexpr std::uint64_t kFarBehind = 256u << 10;
constexpr std::size_t kFarBand = 64 * 1024;

struct Cost {
  std::size_t edits, skipped;
  bool operator<(const Cost& o) const { return edits != o.edits ? edits < o.edits : skipped < o.skipped; }
};
// What a skip of d expected and i received bytes costs: the bytes it passes
// on the longer side, plus the change of step between the streams. The second
// term keeps a stretch that agrees by chance one period away, in text that
// repeats, from looking cheaper than the true place a few faults further on.
// At equal cost the smaller skip wins: in a run of one byte value a lost byte
// stays a loss, not a pair of changed bytes.
Cost CostOf(std::size_t d, std::size_t i) { return {std::max(d, i) + (d > i ? d - i : i - d), d + i}; }

// What standing one received byte in place of an expected one costs, in
// half edits: nothing when equal, half an edit when one bit differs, a whole
// edit otherwise. A byte lost or put in costs a whole edit too. A line that
// damages bytes nearly always flips a bit or two, while a byte of the stream
// out of step differs in about four: so a stretch of one-bit changes stays a
// stretch of changed bytes, and is never traded for a byte lost here and one
// put in there at the same price.
constexpr unsigned kWholeEdit = 2;
unsigned PairCost(std::uint8_t want, std::uint8_t got) {
  if (want == got) return 0;
  return std::has_single_bit(static_cast<unsigned>(want ^ got)) ? 1 : kWholeEdit;
}

// Received bytes fewer than this that agree nowhere may be text by chance
// (a random byte is printable four times in ten), and are not told apart.
constexpr std::size_t kShortestText = 16;

// Whether n bytes are text as a console prints it: printable ASCII, the
// controls of text (bell, backspace, tab, line breaks, escape for colours)
// and UTF-8 sequences (a lead byte and as many continuation bytes as it
// says; overlong forms are not told apart, which chance makes as rarely).
bool IsText(const std::uint8_t* p, std::size_t n) {
  for (std::size_t k = 0; k < n;) {
    const std::uint8_t c = p[k];
    if ((c >= 0x20 && c < 0x7f) || (c >= 0x07 && c <= 0x0d) || c == 0x1b) {
      ++k;
      continue;
    }
    // A UTF-8 lead byte and its continuation bytes; a sequence the end of
    // the bytes cuts off counts as text.
    const std::size_t more = c >= 0xc2 && c <= 0xdf ? 1 : c >= 0xe0 && c <= 0xef ? 2 : c >= 0xf0 && c <= 0xf4 ? 3 : 0;
    if (more == 0) return false;
    for (std::size_t j = 1; j <= more; ++j)
      if (k + j < n && (p[k + j] & 0xc0) != 0x80) return false;
    k += 1 + more;
  }
  return true;
}

std::string Hex(const std::uint8_t* p, std::size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t k = 0; k < n; ++k) {
    if (k) out += ' ';
    out += kDigits[p[k] >> 4];
    out += kDigits[p[k] & 15];
  }
  return out;
}

}  // namespace

StreamComparator::StreamComparator(ExpectedStream& expected, const Settings& settings)
    : stream_(expected), settings_(settings) {
  settings_.agree = std::max<std::size_t>(settings_.agree, 1);
  settings_.confirm = std::max(settings_.confirm, settings_.agree);
  settings_.window = std::max<std::size_t>(settings_.window, 1);
  exp_.resize(settings_.window + settings_.confirm + kReadAhead);
  far_.resize(kFarBand + settings_.confirm);
  std::size_t buckets = std::bit_ceil(2 * (settings_.window + 1));
  for (GramTable* t : {&expTable_, &recTable_}) {
    t->head.assign(buckets, 0);
    t->stamp.assign(buckets, 0);
    t->prev.assign(settings_.window + 1, 0);
  }
}

void StreamComparator::SetSent(std::uint64_t sent) { sent_ = std::max(sent_, sent); }

std::size_t StreamComparator::ExpectedAvailable(std::size_t n) {
  std::uint64_t limit = std::min(sent_, streamEnd_);
  if (limit <= e_) return 0;
  n = static_cast<std::size_t>(std::min<std::uint64_t>(n, limit - e_));
  std::size_t have = static_cast<std::size_t>(expBase_ + expLen_ - e_);
  if (have < n) {
    // Keep the bytes from e_ on, move them to the front, and fill up behind them.
    std::memmove(exp_.data(), exp_.data() + (e_ - expBase_), have);
    expBase_ = e_;
    expLen_ = have;
    while (expLen_ < exp_.size()) {
      std::size_t got = stream_.Read(expBase_ + expLen_, exp_.data() + expLen_, exp_.size() - expLen_);
      if (got == 0) {
        streamEnd_ = expBase_ + expLen_;
        break;
      }
      expLen_ += got;
    }
    have = expLen_;
  }
  return std::min(n, have);
}

std::size_t StreamComparator::MatchInStep(const std::uint8_t* data, std::size_t n) {
  std::size_t consumed = 0;
  while (consumed < n) {
    std::size_t avail = ExpectedAvailable(n - consumed);
    if (avail == 0) break;
    const std::uint8_t* want = ExpectedAt(0);
    const std::uint8_t* got = data + consumed;
    std::size_t same = avail;
    if (std::memcmp(want, got, avail) != 0) {
      same = 0;
      while (want[same] == got[same]) ++same;
    }
    e_ += same;
    consumed += same;
    counts_.matched += same;
    counts_.expected += same;
    counts_.received += same;
    if (same < avail) break;
  }
  return consumed;
}

void StreamComparator::Feed(const std::uint8_t* data, std::size_t n) {
  const std::size_t hold = settings_.window + settings_.confirm;
  while (n > 0) {
    if (!searching_ && !replaying_ && Pending() == 0) {
      // In step: compare straight from the caller's bytes, no copy.
      std::size_t same = MatchInStep(data, n);
      r_ += same;
      if (same) answeredTo_ = r_;
      data += same;
      n -= same;
      if (n == 0) break;
    }
    // Hold what is needed to look ahead, and no more: a search always ends
    // once a full window is held, so memory stays bounded.
    std::size_t take = std::min(n, hold + 1 - std::min(Pending(), hold));
    pend_.insert(pend_.end(), data, data + take);
    data += take;
    n -= take;
    Drain(false);
  }
}

void StreamComparator::Finish(std::uint64_t sent, bool lineStillAnswering) {
  // What went out in all can be less than the bound the feeds were given:
  // bytes accepted for sending that the line never took. Never less than
  // what has already been matched against.
  sent_ = std::max(sent, e_);
  atCut_ = lineStillAnswering;
  if (!atCut_) TakeForeignBytesInRepeatsAsPutIn();
  Drain(true);
  if (sent_ > e_ && atCut_) {
    counts_.unreturned = sent_ - e_;
    e_ = sent_;
  } else if (sent_ > e_) {
    // Sent and never seen: one gap at the end.
    counts_.lostAtEnd = sent_ - e_;
    // Byte j may stand where byte j + n does as long as the two are equal.
    counts_.lostAtEndSpan = e_ - RepeatsFrom(e_, sent_ - e_, &counts_.lostAtEndSpanGoesFurther);
    SkipLost(sent_ - e_);
  }
}

void StreamComparator::TakeForeignBytesInRepeatsAsPutIn() {
  // Only with every place on record, and every byte sent judged: what is
  // held now comes after the end, and would be extra.
  if (replaying_ || e_ != sent_ || Pending() == 0 || counts_.places != differences_.size()) return;
  bool taken = false;
  for (std::size_t n = differences_.size(); n-- > 0 && Pending() > 0;) {
    Difference& place = differences_[n];
    const std::uint64_t c = place.corrupted;
    // Changed bytes, each unlike the sent one in several bits (a line that
    // damages a byte flips one or two): bytes of another stream, put in.
    if (!c || place.lost || place.extra || place.bitErrors < 2 * c || c > Pending()) continue;
    // Put in, they leave the stream after them in step one place earlier:
    // it must pair up there as well, up to the held bytes that end it.
    std::vector<std::uint8_t> last(static_cast<std::size_t>(c));
    if (RepeatsFrom(sent_ - c, c) > place.expectedOffset || ReadExpected(sent_ - c, last.data(), last.size()) != c ||
        std::memcmp(last.data(), PendingAt(0), last.size()) != 0)
      continue;
    counts_.matched += c;
    counts_.corrupted -= c;
    counts_.bitErrors -= place.bitErrors;
    counts_.extra += c;
    counts_.received += c;
    place.extra = c;
    place.corrupted = place.bitErrors = 0;
    ConsumePending(last.size());
    // The places after it stand that much earlier in the stream.
    for (std::size_t later = n + 1; later < differences_.size(); ++later) differences_[later].expectedOffset -= c;
    taken = true;
  }
  if (taken) searching_ = false;  // the held bytes the search had begun on are gone
}

Difference StreamComparator::PlaceHere() const {
  Difference place;
  place.expectedOffset = e_;
  place.receivedOffset = r_;
  return place;
}

void StreamComparator::Excerpt(Difference* place) {
  place->expectedHex = Hex(ExpectedAt(0), ExpectedAvailable(settings_.excerpt));
  place->receivedHex = Hex(PendingAt(0), std::min(settings_.excerpt, Pending()));
}

void StreamComparator::SkipLost(std::uint64_t n) {
  Difference diff = PlaceHere();
  diff.lost = n;
  diff.gaps = 1;
  Excerpt(&diff);
  counts_.lost += n;
  counts_.expected += n;
  ++counts_.gaps;
  ++counts_.places;
  if (differences_.size() < settings_.keepDifferences) differences_.push_back(diff);
  e_ += n;
  if (e_ > expBase_ + expLen_) {
    // Past all that is read ahead: read again from there.
    expBase_ = e_;
    expLen_ = 0;
  }
  searching_ = false;
}

void StreamComparator::Drain(bool final) {
  for (;;) {
    if (replaying_) {
      if (!Replay(final)) return;
      continue;
    }
    if (searching_) {
      if (!Search(final)) return;
      continue;
    }
    if (Pending() == 0) return;
    std::size_t same = MatchInStep(PendingAt(0), Pending());
    ConsumePending(same);
    if (same) answeredTo_ = r_;
    if (Pending() > 0) StartSearch();
  }
}

void StreamComparator::StartSearch() {
  searching_ = true;
  if (++generation_ == 0) {
    // Once in four billion searches the stamps come round again: really empty the tables.
    for (GramTable* t : {&expTable_, &recTable_}) std::fill(t->stamp.begin(), t->stamp.end(), 0);
    generation_ = 1;
  }  // otherwise a new generation empties both tables without touching them
  expTable_.inserted = recTable_.inserted = 0;
  strong_ = weak_ = {};
}

void StreamComparator::ConsumePending(std::size_t n) {
  pendStart_ += n;
  r_ += n;
  if (pendStart_ == pend_.size()) {
    pend_.clear();
    pendStart_ = 0;
  } else if (pendStart_ >= 64 * 1024 && pendStart_ * 2 >= pend_.size()) {
    pend_.erase(pend_.begin(), pend_.begin() + static_cast<std::ptrdiff_t>(pendStart_));
    pendStart_ = 0;
  }
}

std::uint32_t StreamComparator::Hash(const std::uint8_t* p) const {
  std::uint64_t h = 0x9e3779b97f4a7c15ull;
  std::size_t k = 0;
  for (; k + 8 <= settings_.agree; k += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + k, 8);
    h = (h ^ w) * 0xff51afd7ed558ccdull;
    h ^= h >> 29;
  }
  for (; k < settings_.agree; ++k) h = (h ^ p[k]) * 0x100000001b3ull;
  h ^= h >> 32;
  return static_cast<std::uint32_t>(h);
}

void StreamComparator::Insert(GramTable& table, std::size_t index, std::uint32_t hash) {
  std::size_t bucket = hash & (table.head.size() - 1);
  bool live = table.stamp[bucket] == generation_;
  table.prev[index] = live ? table.head[bucket] : 0;
  table.head[bucket] = static_cast<std::uint32_t>(index + 1);
  table.stamp[bucket] = generation_;
  table.inserted = index + 1;
}

long StreamComparator::Lookup(const GramTable& table, std::uint32_t hash, const std::uint8_t* gram,
                              bool expectedSide) const {
  std::size_t bucket = hash & (table.head.size() - 1);
  if (table.stamp[bucket] != generation_) return -1;
  std::uint32_t link = table.head[bucket];
  for (int walked = 0; link && walked < kChainLimit; ++walked) {
    std::size_t index = link - 1;
    const std::uint8_t* other = expectedSide ? ExpectedAt(index) : PendingAt(index);
    if (std::memcmp(other, gram, settings_.agree) == 0) return static_cast<long>(index);
    link = table.prev[index];
  }
  return -1;
}

StreamComparator::Candidate StreamComparator::TailCandidate(std::size_t nE, std::size_t nR) const {
  // The longest agreeing ends, shorter than a full run (a full run would have been found).
  std::size_t t = std::min({settings_.agree - 1, nE, nR});
  for (;; --t) {
    if (std::memcmp(ExpectedAt(nE - t), PendingAt(nR - t), t) == 0) return {nE - t, nR - t, true};
  }
}

bool StreamComparator::Search(bool final) {
  const std::size_t W = settings_.window, K = settings_.agree, C = settings_.confirm;
  const std::size_t nE = ExpectedAvailable(W + C);
  const std::size_t nR = std::min(Pending(), W + C);
  // A received gram goes in only once the bytes after it are here to tell
  // how far it agrees, so that every place is judged when it is found.
  const std::size_t gE = nE >= K ? std::min(nE - K + 1, W + 1) : 0;
  const std::size_t gR = final ? (nR >= K ? std::min(nR - K + 1, W + 1) : 0) : (nR >= C ? std::min(nR - C + 1, W + 1) : 0);
  // A side is done when no gram it lacks can still come. Received bytes are
  // echoes of bytes sent before them: once a full window has been received,
  // expected bytes sent later cannot be what it holds.
  const bool rDone = final || gR == W + 1;
  const bool eDone = final || gE == W + 1 || rDone;

  // How far a place agrees tells a true one from one that agrees by chance:
  // a true place agrees until the next fault, a chance one (text that
  // repeats) soon parts again. One that agrees to the end of what there is
  // counts as true: the received side always holds enough to tell, so that
  // end is the end of what was sent, or of the window.
  auto consider = [&](std::size_t d, std::size_t i) {
    const std::size_t agree = AgreeFrom(d, i, std::min({nE - d, nR - i, C}));
    if (agree >= C) {
      if (!strong_.found || CostOf(d, i) < CostOf(strong_.d, strong_.i)) strong_ = {d, i, true, agree};
    } else if (!weak_.found || agree > weak_.agree ||
               (agree == weak_.agree && CostOf(d, i) < CostOf(weak_.d, weak_.i))) {
      // Among places that part again soon, the one that agrees longest: in
      // text that repeats, a chance place one line off agrees until the
      // counters differ, a true one until the next fault.
      weak_ = {d, i, true, agree};
    }
  };
  auto searchedTo = [&](std::size_t cost) {
    return (expTable_.inserted > cost || (eDone && expTable_.inserted >= gE)) &&
           (recTable_.inserted > cost || (rDone && recTable_.inserted >= gR));
  };
  // The candidate to take now, or none yet. A skip costs at least its longer
  // side: once every skip up to a candidate's cost has been tried, none can
  // beat it.
  auto settled = [&]() -> const Candidate* {
    if (strong_.found) {
      return searchedTo(CostOf(strong_.d, strong_.i).edits) ? &strong_ : nullptr;
    }
    if (!weak_.found) return nullptr;
    // Only places that part again soon: look on for a true one, but not
    // without end, or every fault on a lossy line would search the window.
    // A stretch put in or lost costs twice its length, while a chance place
    // in text that repeats costs about its length: four times covers both.
    std::size_t cost = CostOf(weak_.d, weak_.i).edits;
    return searchedTo(std::min(W, std::max(4 * cost, cost + 2 * C))) ? &weak_ : nullptr;
  };

  while (!settled()) {
    // The two sides go in step, so that the newest match a lookup finds is the
    // one nearest the diagonal; one side runs alone only once the other is done.
    const std::size_t eIns = expTable_.inserted, rIns = recTable_.inserted;
    bool eFinished = eDone && eIns >= gE, rFinished = rDone && rIns >= gR;
    bool canE = eIns < gE && (eIns <= rIns || rFinished);
    bool canR = rIns < gR && (rIns <= eIns || eFinished);
    if (!canE && !canR) break;
    if (canR && (!canE || rIns <= eIns)) {
      std::size_t i = recTable_.inserted;
      std::uint32_t h = Hash(PendingAt(i));
      long d = Lookup(expTable_, h, PendingAt(i), true);
      if (d >= 0) consider(static_cast<std::size_t>(d), i);
      Insert(recTable_, i, h);
    } else {
      std::size_t d = expTable_.inserted;
      std::uint32_t h = Hash(ExpectedAt(d));
      Insert(expTable_, d, h);
      long i = Lookup(recTable_, h, ExpectedAt(d), false);
      if (i >= 0) consider(d, static_cast<std::size_t>(i));
    }
  }
  if (const Candidate* take = settled()) {
    const std::size_t lost = take->d == 0 && take->i > 0 ? LossInPlaceOfRepeat(nE, take->i) : 0;
    if (lost)
      Resolve(lost, 0);
    else
      Resolve(take->d, take->i);
    return true;
  }
  if (!(eDone && rDone)) return false;  // more bytes first
  // The window is searched: the best place there is, if any.
  const Candidate* best = strong_.found ? &strong_ : weak_.found ? &weak_ : nullptr;
  if (best) {
    Resolve(best->d, best->i);
    return true;
  }

  // Nothing agrees within the window.
  std::uint64_t limit = std::min(sent_, streamEnd_);
  if (atCut_) {
    if (!FarSearch()) PlaceOpenEnded(nE, nR, nR >= settings_.agree);
    return true;
  }
  if (final && 2 * static_cast<std::uint64_t>(Pending()) < limit - e_) {
    if (FarSearch()) return true;
    // Far fewer bytes than are owed, at the very end: the far end stopped,
    // and what it sent last (a few echoes, chatter) is placed where it
    // stands; aligned against the whole owed tail instead, chatter would
    // pair with bytes here and there and break the loss into many gaps.
    PlaceOpenEnded(nE, nR, false);
    return true;
  }
  bool allInView = final && limit - e_ <= nE && Pending() <= nR;
  const Candidate tail = allInView ? TailCandidate(nE, nR) : Candidate{};
  // Text found nowhere is the far end's own, up to the ends that agree. With
  // more of the stream still to come it may instead be the stream further on,
  // after a loss longer than the window: that is looked for first.
  if (allInView && TakeTextAsExtra(nE, tail.i)) return true;
  if (allInView && tail.d * tail.i <= kAlignCells) {
    Resolve(tail.d, tail.i);
    return true;
  }
  if (ResolveDenseFaults(nE, nR)) return true;
  if (FarSearch()) return true;
  if (!allInView && TakeTextAsExtra(nE, nR)) return true;
  if (allInView) {
    Resolve(tail.d, tail.i);
  } else {
    // Garbage for a whole window (a wrong line speed, noise): pair it up and
    // go on, so the cost stays linear in the bytes.
    Resolve(std::min(W, nE), std::min(W, nR));
  }
  return true;
}

std::size_t StreamComparator::ReadExpected(std::uint64_t from, std::uint8_t* out, std::size_t n) const {
  std::size_t got = 0;
  while (got < n) {
    const std::size_t part = stream_.Read(from + got, out + got, n - got);
    if (part == 0) break;
    got += part;
  }
  return got;
}

std::uint64_t StreamComparator::RepeatsFrom(std::uint64_t at, std::uint64_t n, bool* further) const {
  // Looked at a band at a time, back at most 16 MiB: far enough to tell a
  // pattern from a place, and cheap once at the end.
  const std::uint64_t stop = at - std::min<std::uint64_t>(at, 256 * kFarBand);
  if (further) *further = false;
  std::vector<std::uint8_t> early(kFarBand), late(kFarBand);
  std::uint64_t from = at;
  while (from > stop) {
    const std::size_t m = static_cast<std::size_t>(std::min<std::uint64_t>(kFarBand, from - stop));
    if (ReadExpected(from - m, early.data(), m) != m || ReadExpected(from - m + n, late.data(), m) != m) break;
    std::size_t k = m;
    while (k > 0 && early[k - 1] == late[k - 1]) --k;
    from -= m - k;
    if (k > 0) break;
    // A whole pass that repeats so: the file does, and so does every pass of
    // a stress run, back to the first.
    if (at - from >= stream_.PassLength()) return 0;
  }
  if (further && from == stop && stop > 0) *further = true;  // as far as it looked
  return from;
}

bool StreamComparator::FarSearch() {
  const std::size_t K = settings_.agree, C = settings_.confirm;
  // The received grams are in their table from the search just made.
  const std::size_t indexed = recTable_.inserted;
  if (indexed == 0 || Pending() < C) return false;
  const std::uint64_t limit = std::min(sent_, streamEnd_);
  // Nothing further off than a pass is new where the stream repeats (a
  // stress run), and a small file would otherwise be read again and again,
  // pass by pass, at every window of noise.
  const std::uint64_t reach = stream_.PassLength() + C;
  const std::uint64_t ahead = limit > e_ ? std::min({limit - e_, kFarAhead, reach}) : 0;
  const std::uint64_t behind = std::min({e_, kFarBehind, reach});
  struct Place {
    bool found = false, behind = false;
    std::uint64_t at = 0;  // where in the expected stream received byte i stands
    std::size_t i = 0;
    std::uint64_t shift = 0;  // how far the streams' step moves there
  } best;
  // Of the bytes read, a gram every `stride` bytes is looked up among the
  // received ones: a stretch that agrees as long as a trusted place holds
  // one whole, wherever it starts, and the search costs one lookup per
  // stride read. Gram starts in [from, to); the bytes after `to` are read
  // too, to tell how far a place agrees.
  const std::size_t stride = std::max<std::size_t>(C - K, 1);
  auto look = [&](std::uint64_t from, std::uint64_t to, bool isBehind) {
    const std::size_t n = ReadExpected(from, far_.data(), static_cast<std::size_t>(std::min(to + C, limit) - from));
    for (std::uint64_t at = (from + stride - 1) / stride * stride; at < to && at - from + K <= n; at += stride) {
      const std::uint8_t* gram = far_.data() + (at - from);
      const long found = Lookup(recTable_, Hash(gram), gram, false);
      if (found < 0) continue;
      std::size_t i = static_cast<std::size_t>(found);
      std::size_t agree = K;
      const std::size_t room = std::min<std::size_t>(n - (at - from), Pending() - i);
      while (agree < std::min(room, C) && gram[agree] == *PendingAt(i + agree)) ++agree;
      // Back to where the agreement starts, read again from the stream
      // where it runs before this band.
      std::uint64_t start = at;
      while (i > 0 && start > from && far_[start - 1 - from] == *PendingAt(i - 1)) --start, --i;
      std::uint8_t before[256];
      while (i > 0 && start > 0 && start <= from) {
        const std::size_t m = static_cast<std::size_t>(std::min<std::uint64_t>({sizeof before, i, start}));
        if (ReadExpected(start - m, before, m) != m) break;
        std::size_t k = 0;
        while (k < m && before[m - 1 - k] == *PendingAt(i - 1 - k)) ++k;
        start -= k, i -= k;
        if (k < m) break;
      }
      const std::size_t length = agree + static_cast<std::size_t>(at - start);
      // As long as a trusted place, and not one byte value over and over:
      // a line stuck at break or idle sends that, and a file holds runs of
      // it here and there.
      if (length < C) continue;
      const std::uint8_t* run = PendingAt(i);
      if (std::all_of(run, run + length, [run](std::uint8_t b) { return b == run[0]; })) continue;
      // Ahead, a loss: the streams' step moves forward. Behind, bytes sent
      // again. Anything else is within the window's reach and was judged there.
      if (!isBehind && start <= e_ + i) continue;
      if (isBehind && start >= e_) continue;
      const std::uint64_t shift = isBehind ? e_ + i - start : start - e_ - i;
      if (!best.found || shift < best.shift) best = {true, isBehind, start, i, shift};
    }
  };
  // Ahead first, all of it: where the stream repeats (a stress run, a file
  // of two equal halves) a loss of L and a repeat of the pass less L look
  // alike, and the nearer is not the likelier. A loss lies within what has
  // been sent, as the lost bytes were; the mirror of a repeat lies a pass
  // less its length ahead, further than the sender usually is.
  for (std::uint64_t band = 0; band < ahead && !best.found; band += kFarBand)
    look(e_ + band, e_ + std::min(ahead, band + kFarBand), false);
  for (std::uint64_t band = 0; band < behind && !best.found; band += kFarBand)
    look(e_ - std::min(behind, band + kFarBand), e_ - band, true);
  if (!best.found) return false;
  if (!best.behind) {
    // Lost in one piece; the received bytes before the place, if any, are
    // judged against the bytes just before it by the next search.
    SkipLost(best.at - best.i - e_);
    return true;
  }
  if (best.i) Resolve(0, best.i);
  StartReplay(best.at);
  return true;
}

void StreamComparator::StartReplay(std::uint64_t from) {
  replaying_ = true;
  searching_ = false;
  replayAt_ = from;
  replay_ = PlaceHere();
  Excerpt(&replay_);
}

bool StreamComparator::Replay(bool final) {
  while (Pending() > 0 && replayAt_ < e_) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>({Pending(), e_ - replayAt_, far_.size()}));
    const std::size_t n = ReadExpected(replayAt_, far_.data(), want);
    std::size_t same = 0;
    while (same < n && far_[same] == *PendingAt(same)) ++same;
    replay_.extra += same;
    counts_.extra += same;
    counts_.received += same;
    replayAt_ += same;
    ConsumePending(same);
    if (same < want) {
      EndReplay(false);
      return true;
    }
  }
  if (replayAt_ == e_ || final) {
    EndReplay(replayAt_ == e_);
    return true;
  }
  return false;
}

void StreamComparator::EndReplay(bool reachedTheStream) {
  replaying_ = false;
  if (reachedTheStream && replay_.extra >= kShortestRepeat) counts_.repeated += replay_.repeated = replay_.extra;
  if (!replay_.extra) return;
  ++counts_.places;
  if (differences_.size() < settings_.keepDifferences) differences_.push_back(replay_);
}

bool StreamComparator::ResolveDenseFaults(std::size_t nE, std::size_t nR) {
  const std::size_t m = std::min(kDenseStretch, nR);
  // A short look first: noise fails it at a sixty-fourth of the cost, and
  // noise can come window after window.
  const std::size_t look = std::min(kDenseStretch / 8, m);
  std::size_t end = 0;
  if (look == 0 || !DenseStretchEnd(look, std::min(2 * look, nE), &end)) return false;
  if (m > look && !DenseStretchEnd(m, std::min(2 * m, nE), &end)) return false;
  Resolve(end, m);
  return true;
}

bool StreamComparator::TakeTextAsExtra(std::size_t nE, std::size_t n) {
  const std::size_t m = std::min(n, settings_.window);
  if (m < kShortestText || !IsText(PendingAt(0), m)) return false;
  // The next bytes of the stream among them: the last few, between chatter,
  // left for the alignment to place.
  const std::size_t head = std::min<std::size_t>(nE, 8);
  if (head && std::search(PendingAt(0), PendingAt(m), ExpectedAt(0), ExpectedAt(head)) != PendingAt(m)) return false;
  // Text with faults too dense for an agreeing run is still the stream.
  const std::size_t look = std::min(kDenseStretch, m);
  std::size_t end = 0;
  if (DenseStretchEnd(look, std::min(2 * look, nE), &end)) return false;
  Resolve(0, m);
  return true;
}

void StreamComparator::PlaceOpenEnded(std::size_t nE, std::size_t nR, bool pairUnknown) {
  // The ends of the two sides do not meet here: the bytes sent after the
  // held ones are still on their way, or were lost when the far end stopped.
  // A few faults near where the held bytes stand: resolved there byte by byte.
  const std::size_t m = std::min(kDenseStretch, nR);
  std::size_t end = 0;
  if (DenseStretchEnd(m, std::min(2 * m, nE), &end)) {
    Resolve(end, m);
    return;
  }
  const std::uint8_t* want = ExpectedAt(0);
  const std::uint8_t* got = PendingAt(0);
  // The last few bytes before the end, each one bit off the byte sent in its
  // place: changed there, as a line damages bytes, not put in.
  bool oneBitOff = m < 8 && m <= nE;
  for (std::size_t k = 0; oneBitOff && k < m; ++k) oneBitOff = PairCost(want[k], got[k]) <= 1;
  if (oneBitOff) {
    Resolve(m, m);
    return;
  }
  // Too few to have made a run that agrees, after a longer loss: found as
  // they stand further on, the bytes before them are lost. Fewer than 8 could
  // stand anywhere by chance.
  const std::size_t probe = std::min(m, settings_.agree);
  if (probe >= 8) {
    for (std::size_t d = 0; d + probe <= nE; ++d) {
      if (std::memcmp(want + d, got, probe) == 0) {
        Resolve(d, 0);
        return;
      }
    }
  }
  // The other way round: bytes put in (chatter) and after them the stream
  // again, too few before the end or the next chatter to have made a run
  // that agrees: the bytes before it are extra, and those after it come back.
  for (std::size_t i = 1; i + 8 <= m; ++i) {
    if (nE >= 8 && AgreeFrom(0, i, 8) == 8) {
      Resolve(0, i);
      return;
    }
  }
  // Bytes found nowhere are extra (an aside, such as chatter), unless the
  // caller takes them for another stream (noise, a wrong line speed): then
  // they are paired up in order, as anywhere else. Printable text is never
  // that: a line at the wrong speed or garbling bytes does not make it.
  Resolve(pairUnknown && !IsText(got, m) ? std::min(m, nE) : 0, m);
}

bool StreamComparator::DenseStretchEnd(std::size_t m, std::size_t n, std::size_t* end) const {
  if (n == 0) return false;
  const std::uint8_t* want = ExpectedAt(0);
  const std::uint8_t* got = PendingAt(0);
  // How well got[0, m) pairs in order with want[0, a), for every a at once:
  // an equal byte counts two, one that differs in a single bit one (a line
  // that drops bit 7 changes every byte of UTF-8 text above 127, and those
  // bytes still stand in the stream's step). One row per received byte, kept
  // two at a time.
  std::vector<std::uint32_t> row(n + 1, 0), next(n + 1, 0);
  for (std::size_t b = 1; b <= m; ++b) {
    for (std::size_t a = 1; a <= n; ++a) {
      const unsigned pair = kWholeEdit - PairCost(want[a - 1], got[b - 1]);
      next[a] = std::max({pair ? row[a - 1] + pair : 0u, row[a], next[a - 1]});
    }
    row.swap(next);
  }
  // Where the stretch ends on the expected side: the most pairs, less half a
  // point for every expected byte passed unpaired. Without that charge the
  // last received byte would pair with an equal byte by chance far ahead,
  // calling everything between lost; with it, the end keeps to the stream's
  // step even when every second byte is lost.
  auto score = [&](std::size_t a) { return 3 * static_cast<long>(row[a]) - 2 * static_cast<long>(a); };
  std::size_t a = 0;
  for (std::size_t k = 1; k <= n; ++k)
    if (score(k) > score(a)) a = k;
  *end = a;
  // Bytes of another stream (noise, a wrong line speed) pair up by chance
  // only here and there; the stream with dense faults pairs up nearly
  // everywhere.
  return 3 * row[a] >= 4 * m;
}

void StreamComparator::PairUp(const std::uint8_t* want, const std::uint8_t* got, std::size_t d, std::size_t i,
                              Difference* diff, std::uint64_t* gaps) {
  std::size_t pairs = std::min(d, i);
  for (std::size_t k = 0; k < pairs; ++k) {
    unsigned bits = static_cast<unsigned>(std::popcount(static_cast<unsigned>(want[k] ^ got[k])));
    if (bits) {
      ++diff->corrupted;
      diff->bitErrors += bits;
    }
  }
  diff->lost += d - pairs;
  diff->extra += i - pairs;
  *gaps += d > pairs ? 1 : 0;
}

void StreamComparator::Align(const std::uint8_t* want, const std::uint8_t* got, std::size_t d, std::size_t i,
                             Difference* diff, std::uint64_t* gaps) {
  // Fewest edits (a changed, a lost or an extra byte costs one, a change of
  // a single bit half) that turn the expected bytes into the received ones;
  // faults closer together than the run that must agree come out one by
  // one, not as a shifted block.
  const std::size_t cols = i + 1;
  cost_.assign((d + 1) * cols, 0);
  auto at = [&](std::size_t a, std::size_t b) -> std::uint16_t& { return cost_[a * cols + b]; };
  for (std::size_t a = 0; a <= d; ++a) at(a, 0) = static_cast<std::uint16_t>(kWholeEdit * a);
  for (std::size_t b = 0; b <= i; ++b) at(0, b) = static_cast<std::uint16_t>(kWholeEdit * b);
  for (std::size_t a = 1; a <= d; ++a)
    for (std::size_t b = 1; b <= i; ++b)
      at(a, b) = static_cast<std::uint16_t>(std::min({at(a - 1, b - 1) + PairCost(want[a - 1], got[b - 1]),
                                                      at(a - 1, b) + kWholeEdit, at(a, b - 1) + kWholeEdit}));
  // Back from the end, preferring a pair, then a loss, then an extra byte.
  bool inGap = false;
  for (std::size_t a = d, b = i; a || b;) {
    if (a && b && at(a, b) == at(a - 1, b - 1) + PairCost(want[a - 1], got[b - 1])) {
      unsigned bits = static_cast<unsigned>(std::popcount(static_cast<unsigned>(want[a - 1] ^ got[b - 1])));
      if (bits) {
        ++diff->corrupted;
        diff->bitErrors += bits;
      }
      --a, --b;
      inGap = false;
    } else if (a && at(a, b) == at(a - 1, b) + kWholeEdit) {
      ++diff->lost;
      if (!inGap) ++*gaps;
      inGap = true;
      --a;
    } else {
      ++diff->extra;
      --b;
      inGap = false;  // lost bytes on both sides of an extra one are two gaps
    }
  }
}

std::size_t StreamComparator::LossInPlaceOfRepeat(std::size_t nE, std::size_t i) {
  // In a stream that repeats itself (a counter pattern, a short period), a
  // loss of L and a repeat of the period less L leave the same bytes behind,
  // and the repeat may be the nearer step. A line loses bytes far more often
  // than it plays them again: where the bytes skipped are a repeat and the
  // stream further on agrees as well, the loss is taken.
  const std::size_t C = settings_.confirm;
  if (Pending() < C || !RepeatsWhatCameBefore(0, i)) return 0;
  for (std::size_t d = 1; d + C <= nE; ++d)
    if (AgreeFrom(d, 0, C) == C) return d;
  return 0;
}

std::size_t StreamComparator::AgreeFrom(std::size_t d, std::size_t i, std::size_t most) const {
  std::size_t agree = 0;
  while (agree < most && *ExpectedAt(d + agree) == *PendingAt(i + agree)) ++agree;
  return agree;
}

bool StreamComparator::CarriageReturnsAddedOnly(std::size_t d, std::size_t i) const {
  const std::uint8_t* want = ExpectedAt(0);
  const std::uint8_t* got = PendingAt(0);
  // The line feed a carriage return was put before may be the first byte
  // after the place, where the streams agree again.
  const std::size_t wantHeld = Buffered();
  const std::size_t gotHeld = Pending();
  std::size_t a = 0;
  for (std::size_t b = 0; b < i; ++b) {
    if (a < d && got[b] == want[a]) {
      ++a;
    } else if (got[b] != '\r' || a >= wantHeld || want[a] != '\n' || b + 1 >= gotHeld || got[b + 1] != '\n') {
      return false;
    }
  }
  return a == d;
}

bool StreamComparator::RepeatsWhatCameBefore(std::size_t d, std::size_t i) const {
  if (e_ + d < i) return false;
  const std::uint64_t from = e_ + d - i;
  if (from >= expBase_) return std::memcmp(exp_.data() + (from - expBase_), PendingAt(0), i) == 0;
  // Read again from the stream: the window has moved past them.
  std::vector<std::uint8_t> before(i);
  return ReadExpected(from, before.data(), i) == i && std::memcmp(before.data(), PendingAt(0), i) == 0;
}

void StreamComparator::Resolve(std::size_t d, std::size_t i) {
  const std::uint8_t* want = ExpectedAt(0);
  const std::uint8_t* got = PendingAt(0);
  Difference diff = PlaceHere();
  std::uint64_t gaps = 0;
  if (const std::size_t first = d == i ? SwappedAt(want, got, d) : 0) {
    // Two blocks that came back whole but in swapped order: nothing in them
    // changed. Aligned by edits, blocks of about the same length would pair
    // up byte by byte as changed bytes with several bit errors each; told
    // instead as the shorter one taken out of its place and put in at the
    // other, as a longer moved block is found by the search.
    diff.lost = diff.extra = std::min(first, d - first);
    gaps = 1;
  } else if (d && i && d * i <= kAlignCells && kWholeEdit * (d + i) < 65535) {
    Align(want, got, d, i, &diff, &gaps);
    if (cost_.capacity() > kKeptAlignCells) std::vector<std::uint16_t>().swap(cost_);
  } else {
    PairUp(want, got, d, i, &diff, &gaps);
  }
  counts_.matched += d - diff.lost - diff.corrupted;  // pairs that were equal after all
  counts_.corrupted += diff.corrupted;
  counts_.bitErrors += diff.bitErrors;
  counts_.lost += diff.lost;
  counts_.gaps += diff.gaps = gaps;
  counts_.extra += diff.extra;
  if (!diff.lost && !diff.corrupted && diff.extra >= kShortestRepeat && RepeatsWhatCameBefore(d, i))
    counts_.repeated += diff.repeated = diff.extra;
  else if (!diff.lost && !diff.corrupted && diff.extra && CarriageReturnsAddedOnly(d, i))
    counts_.carriageReturnsAdded += diff.extra;
  counts_.places += (diff.corrupted || diff.lost || diff.extra) ? 1 : 0;
  counts_.expected += d;
  counts_.received += i;
  if (differences_.size() < settings_.keepDifferences && (diff.corrupted || diff.lost || diff.extra)) {
    Excerpt(&diff);
    differences_.push_back(diff);
  }
  e_ += d;
  ConsumePending(i);
  searching_ = false;
}

}  // namespace vx::tools
