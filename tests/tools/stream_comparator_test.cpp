// The comparator against streams whose faults are known: what it counts as
// lost, corrupted and extra must be exactly what was done to the stream, fed in
// blocks of any size.
#include "tools/stream_comparator.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <unistd.h>

namespace vx::tools {
namespace {

std::string Random(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  unsigned x = seed * 2654435761u + 1;
  for (auto& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 23);
  }
  return s;
}

// Numbered lines much alike, as the shipped sample file is.
std::string Text(std::size_t n) {
  std::string s;
  char number[16];
  for (int line = 0; s.size() < n; ++line) {
    std::snprintf(number, sizeof number, "%05d", line);
    s += std::string(number) + " The quick brown fox jumps over the lazy dog 0123456789 ABCDEFGHIJKLMNOPQRSTUVWXYZ\r\n";
  }
  s.resize(n);
  return s;
}

// A device's measurement log: lines of figures, each unlike the others.
std::string Log(std::size_t n) {
  std::string s;
  char line[64];
  unsigned x = 12345;
  while (s.size() < n) {
    x = x * 1103515245u + 12345u;
    std::snprintf(line, sizeof line, "%u,%d.%04u,%u.%04u,%u\r\n", x >> 12, static_cast<int>(x % 90) - 45,
                  (x >> 3) % 10000, (x >> 7) % 360, (x >> 9) % 10000, (x >> 20) % 100);
    s += line;
  }
  s.resize(n);
  return s;
}

// Binary with long runs of zero bytes, which the display would cut off.
std::string Zeros(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t k = 0; k < n; k += 97) s[k] = static_cast<char>(k / 97 + 1);
  return s;
}

// What a chattering device sends unasked, 28 bytes a line.
std::string Chatter(int lines) {
  std::string s;
  for (int k = 0; k < lines; ++k) s += "Varnelix echo peer chatter\r\n";
  return s;
}

std::string Periodic(std::size_t n) {
  std::string s;
  while (s.size() < n) s += "ABCD";
  s.resize(n);
  return s;
}

std::string Repeat(const std::string& file, std::size_t total) {
  std::string s;
  while (s.size() < total) s += file;
  s.resize(total);
  return s;
}

std::string Flip(std::string s, std::size_t at, unsigned mask = 1) {
  s.at(at) = static_cast<char>(s.at(at) ^ mask);
  return s;
}

std::string Erase(std::string s, std::size_t at, std::size_t n) { return s.erase(at, n); }
// The `first` bytes at `at` and the `second` bytes after them, in swapped order.
std::string Swap(const std::string& s, std::size_t at, std::size_t first, std::size_t second) {
  return s.substr(0, at) + s.substr(at + first, second) + s.substr(at, first) + s.substr(at + first + second);
}
std::string Put(std::string s, std::size_t at, const std::string& what) { return s.insert(at, what); }

struct Expect {
  std::uint64_t lost = 0, gaps = 0, corrupted = 0, bitErrors = 0, extra = 0;
  std::uint64_t repeated = 0;  // of the extra
};

void ExpectCounts(const CompareCounts& k, const Expect& want) {
  EXPECT_EQ(k.lost, want.lost);
  EXPECT_EQ(k.gaps, want.gaps);
  EXPECT_EQ(k.corrupted, want.corrupted);
  EXPECT_EQ(k.bitErrors, want.bitErrors);
  EXPECT_EQ(k.extra, want.extra);
  EXPECT_EQ(k.repeated, want.repeated);
}

struct Case {
  const char* name;
  std::string file;
  bool repeat;
  std::size_t sent;  // bytes of the stream sent
  std::function<std::string(const std::string&)> line;  // what the line did to the stream
  Expect expect;
  // How much had been sent when `got` bytes had come back, as the runner
  // tells the comparator while bytes come; empty: everything at once.
  std::function<std::size_t(std::size_t got)> sentBy = nullptr;
};

CompareCounts Compare(const Case& c, std::size_t block, std::vector<Difference>* differences = nullptr) {
  MemoryStream stream(c.file, c.repeat);
  std::string sentBytes = c.repeat ? Repeat(c.file, c.sent) : c.file.substr(0, c.sent);
  std::string received = c.line(sentBytes);
  StreamComparator comparator(stream);
  comparator.SetSent(c.sentBy ? std::min(c.sent, c.sentBy(0)) : c.sent);
  for (std::size_t at = 0; at < received.size(); at += block) {
    std::size_t n = std::min(block, received.size() - at);
    if (c.sentBy) comparator.SetSent(std::min(c.sent, c.sentBy(at + n)));
    comparator.Feed(reinterpret_cast<const std::uint8_t*>(received.data() + at), n);
  }
  comparator.Finish(c.sent);
  const CompareCounts& k = comparator.Counts();
  // Every byte on each side is judged once, whatever happened.
  EXPECT_EQ(k.expected, c.sent);
  EXPECT_EQ(k.received, received.size());
  EXPECT_EQ(k.matched + k.corrupted + k.lost, k.expected);
  EXPECT_EQ(k.matched + k.corrupted + k.extra, k.received);
  EXPECT_EQ(comparator.Pending(), 0u);
  if (differences) *differences = comparator.Differences();
  return k;
}

auto Same = [](const std::string& s) { return s; };

const std::string kText = Text(20000);
const std::string kRandom = Random(20000, 7);
const std::string kZeros = Zeros(20000);
const std::string kPeriodic = Periodic(20000);
const std::string kSmall = Text(1500);
const std::string kBanner = "U-Boot 2031.04 (booting...)\r\nlogin: ";

std::string Pattern(std::size_t n, std::size_t period) {
  std::string s(n, '\0');
  for (std::size_t k = 0; k < n; ++k) s[k] = static_cast<char>(period == 4 ? "ABCD"[k % 4] : k % period);
  return s;
}
const std::string kCounter = Pattern(65536, 256);  // 00 01 ... ff, the usual serial test file
const std::string kAbcd = Pattern(20000, 4);

std::vector<Case> Cases() {
  return {
      {"intact text", kText, false, kText.size(), Same, {}},
      {"intact zeros", kZeros, false, kZeros.size(), Same, {}},
      {"nothing sent, nothing back", "", false, 0, Same, {}},
      {"loss at start", kText, false, kText.size(), [](auto s) { return Erase(s, 0, 1); }, {1, 1, 0, 0, 0}},
      {"loss in the middle", kRandom, false, kRandom.size(), [](auto s) { return Erase(s, 9000, 1); }, {1, 1, 0, 0, 0}},
      {"loss of the last byte", kText, false, kText.size(), [](auto s) { return Erase(s, s.size() - 1, 1); }, {1, 1, 0, 0, 0}},
      {"loss of the last ten", kText, false, kText.size(), [](auto s) { return Erase(s, s.size() - 10, 10); }, {10, 1, 0, 0, 0}},
      {"loss near the end", kRandom, false, kRandom.size(), [](auto s) { return Erase(s, s.size() - 7, 1); }, {1, 1, 0, 0, 0}},
      {"burst loss of a block", kRandom, false, kRandom.size(), [](auto s) { return Erase(s, 4000, 2048); }, {2048, 1, 0, 0, 0}},
      // In a pattern that repeats, a loss of most of a period leaves the
      // same bytes as a repeat of the rest of it: a loss it is taken for.
      {"200 lost from a counter pattern", kCounter, false, kCounter.size(),
       [](auto s) { return Erase(s, 5000, 200); }, {200, 1, 0, 0, 0}},
      {"3 lost from ABCD", kAbcd, false, kAbcd.size(), [](auto s) { return Erase(s, 5000, 3); }, {3, 1, 0, 0, 0}},
      {"a banner in a counter pattern", kCounter, false, kCounter.size(),
       [](auto s) { return Put(s, 5000, "BOOT v1.0 ready\r\n"); }, {0, 0, 0, 0, 17}},
      {"a burst lost from numbered lines, longer than a line", kText, false, kText.size(),
       [](auto s) { return Erase(s, 7000, 120); }, {120, 1, 0, 0, 0}},
      {"three separate losses", kText, false, kText.size(),
       [](auto s) { return Erase(Erase(Erase(s, 15000, 3), 9000, 1), 100, 40); }, {44, 3, 0, 0, 0}},
      {"everything lost", kText, false, kText.size(), [](auto) { return std::string(); }, {20000, 1, 0, 0, 0}},
      {"one bit flipped", kText, false, kText.size(), [](auto s) { return Flip(s, 12345); }, {0, 0, 1, 1, 0}},
      {"first byte flipped", kRandom, false, kRandom.size(), [](auto s) { return Flip(s, 0, 0x80); }, {0, 0, 1, 1, 0}},
      {"last byte flipped", kText, false, kText.size(), [](auto s) { return Flip(s, s.size() - 1); }, {0, 0, 1, 1, 0}},
      {"a byte with all bits wrong", kRandom, false, kRandom.size(), [](auto s) { return Flip(s, 500, 0xff); }, {0, 0, 1, 8, 0}},
      {"two flips close together", kText, false, kText.size(), [](auto s) { return Flip(Flip(s, 700, 4), 703, 2); }, {0, 0, 2, 2, 0}},
      {"a flip in a run of zeros", kZeros, false, kZeros.size(), [](auto s) { return Flip(s, 5050, 0x10); }, {0, 0, 1, 1, 0}},
      {"a flip of a zero byte in periodic text", kPeriodic, false, kPeriodic.size(), [](auto s) { return Flip(s, 888); }, {0, 0, 1, 1, 0}},
      {"loss in a run of zeros", kZeros, false, kZeros.size(), [](auto s) { return Erase(s, 5050, 1); }, {1, 1, 0, 0, 0}},
      {"loss in periodic text", kPeriodic, false, kPeriodic.size(), [](auto s) { return Erase(s, 1001, 1); }, {1, 1, 0, 0, 0}},
      {"banner before the echo", kText, false, kText.size(), [](auto s) { return kBanner + s; }, {0, 0, 0, 0, kBanner.size()}},
      {"a long stretch of chatter before the echo", kText, false, kText.size(), [](auto s) { return Chatter(55) + s; },
       {0, 0, 0, 0, 55 * 28}},
      {"chatter now and then", kText, false, kText.size(),
       [](auto s) { return Put(Put(Put(s, 15000, Chatter(1)), 9000, Chatter(2)), 777, Chatter(1)); }, {0, 0, 0, 0, 4 * 28}},
      {"bytes put in the middle", kRandom, false, kRandom.size(), [](auto s) { return Put(s, 10000, "\r\n>>> "); }, {0, 0, 0, 0, 6}},
      {"chatter after the end", kText, false, kText.size(), [](auto s) { return s + Text(300); }, {0, 0, 0, 0, 300}},
      {"a zero byte put into zeros", kZeros, false, kZeros.size(), [](auto s) { return Put(s, 3001, std::string(1, '\0')); }, {0, 0, 0, 0, 1}},
      {"the echo twice", kSmall, false, kSmall.size(), [](auto s) { return s + s; }, {0, 0, 0, 0, 1500, 1500}},
      {"a block sent twice", kRandom, false, kRandom.size(), [](auto s) { return Put(s, 8000, s.substr(7744, 256)); },
       {0, 0, 0, 0, 256, 256}},
      {"8000 bytes sent twice", kRandom, false, kRandom.size(), [](auto s) { return Put(s, 12000, s.substr(4000, 8000)); },
       {0, 0, 0, 0, 8000, 8000}},
      {"a block sent twice, then a byte from elsewhere", kRandom, false, kRandom.size(),
       [](auto s) { return Put(s, 8000, s.substr(7744, 255) + "#"); }, {0, 0, 0, 0, 256, 0}},
      {"two 100-byte blocks swapped", kRandom, false, kRandom.size(), [](auto s) { return Swap(s, 5000, 100, 100); },
       {100, 1, 0, 0, 100}},
      {"two 40-byte blocks swapped", kRandom, false, kRandom.size(), [](auto s) { return Swap(s, 5000, 40, 40); },
       {40, 1, 0, 0, 40}},
      {"two 16-byte blocks swapped", kRandom, false, kRandom.size(), [](auto s) { return Swap(s, 5000, 16, 16); },
       {16, 1, 0, 0, 16}},
      {"blocks of 60 and 50 bytes swapped in numbered lines", kText, false, kText.size(),
       [](auto s) { return Swap(s, 3010, 60, 50); }, {50, 1, 0, 0, 50}},
      {"stress passes, two 100-byte blocks swapped across a rewind", Random(1500, 9), true, 4 * 1500,
       [](auto s) { return Swap(s, 2950, 100, 100); }, {100, 1, 0, 0, 100}},
      {"two 200-byte blocks swapped", kRandom, false, kRandom.size(), [](auto s) { return Swap(s, 5000, 200, 200); },
       {200, 1, 0, 0, 200}},
      {"loss and insertion apart", kText, false, kText.size(),
       [](auto s) { return Put(Erase(s, 3000, 5), 12000, "XYZ"); }, {5, 1, 0, 0, 3}},
      {"a loss and an insertion 10 bytes apart", kText, false, kText.size(),
       [](auto s) { return Put(Erase(s, 4000, 1), 4010, "#"); }, {1, 1, 0, 0, 1}},
      {"a flip, a loss and a flip within 20 bytes", kRandom, false, kRandom.size(),
       [](auto s) { return Flip(Erase(Flip(s, 6000, 8), 6007, 2), 6015, 1); }, {2, 1, 2, 2, 0}},
      {"stress passes intact", kSmall, true, 5 * 1500 + 700, Same, {}},
      {"stress passes, a loss in the third", kSmall, true, 5 * 1500 + 700, [](auto s) { return Erase(s, 3100, 2); }, {2, 1, 0, 0, 0}},
      {"stress passes, a flip across a rewind", kSmall, true, 4 * 1500, [](auto s) { return Flip(Flip(s, 1499), 1500); }, {0, 0, 2, 2, 0}},
      {"stress passes, a piece across the rewind sent twice", kSmall, true, 4 * 1500,
       [](auto s) { return Put(s, 1600, s.substr(1400, 200)); }, {0, 0, 0, 0, 200, 200}},
      {"stress passes of zeros, a flip", Zeros(1000), true, 9000, [](auto s) { return Flip(s, 4444, 0x40); }, {0, 0, 1, 1, 0}},
      {"stress cut short: the last pass partly sent", kSmall, true, 2 * 1500 + 1, [](auto s) { return s; }, {}},
  };
}

class ComparatorCases : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ComparatorCases, CountsWhatTheLineDid) {
  const std::size_t block = GetParam();
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    ExpectCounts(Compare(c, block), c.expect);
  }
}

// The reader delivers up to 2048 bytes a block; a slow line gives a few at a time.
INSTANTIATE_TEST_SUITE_P(Blocks, ComparatorCases, ::testing::Values(1, 7, 2048, 1u << 20));

TEST(Comparator, ManyFaultsAtRandomAreCountedOneByOne) {
  // What a noisy line does: losses, bit flips and stray bytes, often closer
  // together than the run that must agree, each counted as what it was.
  std::string sent = Text(200000);
  std::string received;
  Expect want;
  unsigned x = 4242;
  auto next = [&x] { return x = x * 1103515245u + 12345u, (x >> 8) % 1000; };
  std::size_t sinceFault = 3;
  for (char c : sent) {
    unsigned roll = ++sinceFault > 2 ? next() : 999;  // faults at least 3 bytes apart: each unambiguous
    if (roll < 3) {
      ++want.lost, ++want.gaps, sinceFault = 0;
    } else if (roll < 6) {
      received += static_cast<char>(c ^ (1 << roll));
      ++want.corrupted, ++want.bitErrors, sinceFault = 0;
    } else if (roll < 9) {
      received += c;
      received += '\x7f';  // never in the text, so never mistaken for its neighbour
      ++want.extra, sinceFault = 0;
    } else {
      received += c;
    }
  }
  Case c{"noise", sent, false, sent.size(), [&](auto) { return received; }, want};
  CompareCounts k = Compare(c, 2048);
  EXPECT_EQ(k.lost, want.lost);
  EXPECT_EQ(k.gaps, want.gaps);
  EXPECT_EQ(k.corrupted, want.corrupted);
  EXPECT_EQ(k.bitErrors, want.bitErrors);
  EXPECT_EQ(k.extra, want.extra);
}

// Feeds `received` to the comparator in blocks of random size (1 to 2048, as
// the reader delivers), all of `sent` counted as sent, and finishes.
template <class Next>
void FeedInRandomBlocks(StreamComparator& comparator, std::size_t sent, const std::string& received, Next& next) {
  comparator.SetSent(sent);
  for (std::size_t at = 0; at < received.size();) {
    std::size_t n = std::min<std::size_t>(1 + next(2048), received.size() - at);
    comparator.Feed(reinterpret_cast<const std::uint8_t*>(received.data() + at), n);
    at += n;
  }
  comparator.Finish(sent);
}

// Pieces sent twice far into a long run, where what came before them has
// left the comparator's window and is read again from the stream.
TEST(Comparator, PiecesSentTwiceAreCountedAsRepeatsAnywhereInALongRun) {
  const std::string file = Random(1 << 20, 11);
  std::string received = file;
  for (std::size_t k = 10; k-- > 0;) {
    const std::size_t at = 50000 + k * 97000;
    received.insert(at, file.substr(at - 4000, 4000));
  }
  Case c{"repeats", file, false, file.size(), [&](auto) { return received; }, {}};
  for (std::size_t block : {7u, 2048u}) {
    const CompareCounts k = Compare(c, block);
    EXPECT_EQ(k.lost + k.corrupted, 0u);
    EXPECT_EQ(k.extra, 40000u);
    EXPECT_EQ(k.repeated, 40000u);
  }
}

TEST(Comparator, ChatterBeforeAndBetweenNumberedLinesIsAllExtra) {
  // A device that talks unasked: a pile of lines queued before the echo
  // starts, then a line now and then, anywhere in the echo, which comes in
  // blocks of any size.
  const std::string sent = Text(16442);
  for (unsigned seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE(seed);
    unsigned x = seed;
    auto next = [&x](unsigned n) { return x = x * 1103515245u + 12345u, (x >> 8) % n; };
    std::string received = Chatter(static_cast<int>(next(200)));
    for (char c : sent) {
      received += c;
      if (next(1000) == 0) received += Chatter(1);
    }
    received += Chatter(static_cast<int>(next(50)));
    MemoryStream stream(sent, false);
    StreamComparator comparator(stream);
    FeedInRandomBlocks(comparator, sent.size(), received, next);
    EXPECT_EQ(comparator.Counts().matched, sent.size());
    EXPECT_EQ(comparator.Counts().extra, received.size() - sent.size());
  }
}

TEST(Comparator, DenseChatterIsNearlyAlwaysCountedExactly) {
  // Up to three lines of chatter as often as every few hundred bytes: where
  // two land within a line of each other in numbered lines, a place one line
  // off can look as good as the true one. The verdict is right every time;
  // the counts are exact in all but a few runs.
  const std::string sent = Text(16442);
  int exact = 0;
  for (unsigned seed = 1; seed <= 40; ++seed) {
    unsigned x = seed;
    auto next = [&x](unsigned n) { return x = x * 1103515245u + 12345u, (x >> 8) % n; };
    std::string received = Chatter(static_cast<int>(next(200)));
    for (char c : sent) {
      received += c;
      if (next(1000) < seed % 5 + 1) received += Chatter(1 + static_cast<int>(next(3)));
    }
    received += Chatter(static_cast<int>(next(50)));
    MemoryStream stream(sent, false);
    StreamComparator comparator(stream);
    FeedInRandomBlocks(comparator, sent.size(), received, next);
    EXPECT_FALSE(comparator.Counts().Intact());
    if (comparator.Counts().matched == sent.size() && comparator.Counts().extra == received.size() - sent.size()) ++exact;
  }
  EXPECT_GE(exact, 36) << "of 40 runs";
}

TEST(Comparator, OnlyBlocksThatCameBackWholeAreCalledReordered) {
  // Two blocks swapped are told as moved (a loss and as many extra bytes in
  // one place) only when both came back exactly: noise in place of two
  // blocks, or a swap with a byte changed in it, stays changed bytes.
  Case noise{"noise over two blocks", kRandom, false, kRandom.size(),
             [](auto s) { return s.replace(5000, 200, Random(200, 4)); }, {}};
  CompareCounts k = Compare(noise, 2048);
  EXPECT_GT(k.corrupted, 150u);
  EXPECT_LT(k.lost, 16u);
  Case damaged{"a swap with a byte changed", kRandom, false, kRandom.size(),
               [](auto s) { return Flip(Swap(s, 5000, 100, 100), 5050, 0x40); }, {}};
  k = Compare(damaged, 2048);
  EXPECT_LT(k.lost, 16u);
  EXPECT_GT(k.corrupted, 100u);
}

TEST(Comparator, GarbageIsNeverIntactAndEveryByteIsJudged) {
  // A wrong line speed: the same number of bytes, none of them right.
  Case c{"garbage", kText, false, kText.size(), [](auto s) { return Random(s.size(), 99); }, {}};
  CompareCounts k = Compare(c, 2048);
  EXPECT_FALSE(k.Intact());
  EXPECT_GT(k.corrupted + k.lost, kText.size() * 9 / 10);
}

// A far end that never echoes but prints its console lines: text is no line
// at the wrong speed garbling the stream, whatever was sent. Its lines are
// extra and every byte sent is lost, not paired with them as changed bytes;
// with the echo's last bytes among them, those still come back.
TEST(Comparator, AFarEndThatOnlyTalksOfItsOwnIsExtraNotTheStreamGarbled) {
  for (const std::string* file : {&kRandom, &kText}) {
    SCOPED_TRACE(file == &kRandom ? "random" : "text");
    CompareCounts k = Compare({"chatter only", *file, false, file->size(), [](auto) { return Chatter(1000); }, {}}, 2048);
    EXPECT_EQ(k.extra, 28000u);
    EXPECT_EQ(k.lost, file->size());
    EXPECT_EQ(k.corrupted, 0u);
  }
  CompareCounts k = Compare({"the last bytes between chatter", kText, false, kText.size(),
                             [](auto s) { return s.substr(0, 19994) + Chatter(3) + s.substr(19994) + Chatter(40); }, {}},
                            2048);
  EXPECT_EQ(k.matched, kText.size());
  EXPECT_EQ(k.extra, 43 * 28u);
  // Noise, as at a wrong line speed, is still paired up (the test above).
}

// A far end or an adapter that overflows loses a buffer's worth at once,
// tens of kilobytes, more than the window the search looks ahead; one that
// sends its buffer again repeats as much. Past the window the place is found
// further off, so the rest of the run is judged in step again, not as bytes
// changed one after another.
TEST(Comparator, AStretchLostOrSentAgainBeyondTheWindowIsOnePlace) {
  const std::string file = Random(64 * 1024, 21);
  const std::string big = Random(3 << 20, 22);
  struct FarCase {
    const char* what;
    const std::string& file;
    bool repeat;
    std::size_t sent;
    std::function<std::string(const std::string&)> line;
    Expect expect;
    std::function<std::size_t(std::size_t)> sentBy = nullptr;
  };
  // The sender is ahead of what came back by what a pty, the link's queue
  // and a far end's buffer hold, and by what the line lost; less what it
  // added, which was never sent.
  auto ahead = [](long lost) {
    return [lost](std::size_t got) { return static_cast<std::size_t>(static_cast<long>(got) + lost + 24 * 1024); };
  };
  auto addedAt = [](std::size_t at, std::size_t n) {
    return [at, n](std::size_t got) { return got - std::min(n, got > at ? got - at : 0) + 24 * 1024; };
  };
  const std::string halves = file + file;  // a file of two equal halves, as A/B firmware images
  const std::string log = Log(300000);        // text: a loss past the window leaves text behind it
  const FarCase cases[] = {
      {"20000 lost from a text log", log, false, log.size(), [](auto s) { return Erase(s, 50000, 20000); },
       {20000, 1, 0, 0, 0}, ahead(20000)},
      {"17000 lost", file, false, file.size(), [](auto s) { return Erase(s, 10000, 17000); }, {17000, 1, 0, 0, 0}},
      {"20000 lost, stress", file, true, 5 * file.size() + 999, [](auto s) { return Erase(s, 10000, 20000); },
       {20000, 1, 0, 0, 0}},
      {"30000 lost across a rewind, stress", file, true, 6 * file.size(),
       [](auto s) { return Erase(s, 120000, 30000); }, {30000, 1, 0, 0, 0}},
      {"2 MiB lost", big, false, big.size(), [](auto s) { return Erase(s, 300000, 2u << 20); }, {2u << 20, 1, 0, 0, 0}},
      {"two stretches lost, a flip between", file, false, file.size(),
       [](auto s) { return Erase(Flip(Erase(s, 40000, 20000), 30000), 5000, 18000); }, {38000, 2, 1, 1, 0}},
      {"20000 sent again", file, false, file.size(), [](auto s) { return Put(s, 30000, s.substr(10000, 20000)); },
       {0, 0, 0, 0, 20000, 20000}},
      {"20000 sent again, stress: the same bytes one pass on are beyond what was sent", file, true,
       4 * file.size(), [](auto s) { return Put(s, 100000, s.substr(80000, 20000)); }, {0, 0, 0, 0, 20000, 20000},
       addedAt(100000, 20000)},
      // In a stream that repeats, a loss longer than half a pass is a repeat
      // of the rest nearer by; the loss is the one within what was sent.
      {"40000 lost, stress", file, true, 5 * file.size(), [](auto s) { return Erase(s, 100000, 40000); },
       {40000, 1, 0, 0, 0}, ahead(40000)},
      {"40000 sent again, stress", file, true, 5 * file.size(),
       [](auto s) { return Put(s, 100000, s.substr(60000, 40000)); }, {0, 0, 0, 0, 40000, 40000},
       addedAt(100000, 40000)},
      {"40000 lost in the second of two equal halves", halves, false, halves.size(),
       [](auto s) { return Erase(s, 70000, 40000); }, {40000, 1, 0, 0, 0}, ahead(40000)},
      {"20000 of older bytes sent again", file, false, file.size(),
       [](auto s) { return Put(s, 40000, s.substr(5000, 20000)); }, {0, 0, 0, 0, 20000, 0}},
  };
  for (const FarCase& f : cases) {
    for (std::size_t block : {7u, 2048u}) {
      SCOPED_TRACE(testing::Message() << f.what << ", blocks of " << block);
      ExpectCounts(Compare({f.what, f.file, f.repeat, f.sent, f.line, f.expect, f.sentBy}, block), f.expect);
    }
  }
}

TEST(Comparator, ShortPiecesOfTheStreamFurtherOnAreNotTakenForThePlace) {
  // Noise with pieces of the stream from 50000 bytes on in it, each shorter
  // than a trusted place: the search further off must not jump to them and
  // call everything between lost.
  const std::string file = Random(200000, 23);
  std::string noise = Random(40000, 24);
  for (std::size_t at = 1000; at + 100 < noise.size(); at += 3000) noise.replace(at, 100, file.substr(50000 + at, 100));
  Case c{"noise", file, false, file.size(),
         [&](auto s) { return s.substr(0, 5000) + noise + s.substr(5000 + noise.size()); }, {}};
  CompareCounts k = Compare(c, 2048);
  EXPECT_LT(k.lost, 200u);
  EXPECT_GT(k.corrupted, noise.size() * 8 / 10);
  // A line stuck at break sends zero bytes without end: a run of zeros in
  // the file further on is no place to jump to (within the window, where it
  // agrees longer than anything else, it is taken as any place is).
  std::string holed = file;
  holed.replace(100000, 3000, std::string(3000, '\0'));
  Case stuck{"stuck", holed, false, holed.size(), [](auto s) { return s.substr(0, 5000) + std::string(s.size() - 5000, '\0'); }, {}};
  k = Compare(stuck, 2048);
  EXPECT_LT(k.lost, 16384u + 128u);
}

// The first `received` bytes of kText come back intact, the feeds having
// been told `bound` bytes went out; then `sent` is the final word.
CompareCounts IntactPrefix(std::uint64_t bound, std::size_t received, std::uint64_t sent,
                           bool lineStillAnswering = false) {
  MemoryStream stream(kText, false);
  StreamComparator comparator(stream);
  comparator.SetSent(bound);
  comparator.Feed(reinterpret_cast<const std::uint8_t*>(kText.data()), received);
  comparator.Finish(sent, lineStillAnswering);
  return comparator.Counts();
}

TEST(Comparator, ReceivedBytesBeyondWhatWasSentAreExtra) {
  CompareCounts k = IntactPrefix(100, 150, 100);
  EXPECT_EQ(k.matched, 100u);
  EXPECT_EQ(k.extra, 50u);
}

TEST(Comparator, BytesAcceptedButNeverSentAreNotLost) {
  // The feeds were told 1000 bytes might come back; only 600 went out (the
  // line stopped taking them) and 300 of those came back.
  CompareCounts k = IntactPrefix(1000, 300, 600);
  EXPECT_EQ(k.matched, 300u);
  EXPECT_EQ(k.lost, 300u);
  EXPECT_EQ(k.expected, 600u);
  // What has been matched stays matched, whatever the final word.
  k = IntactPrefix(1000, 300, 200);
  EXPECT_EQ(k.matched, 300u);
  EXPECT_EQ(k.lost, 0u);
  EXPECT_EQ(k.extra, 0u);
}

// The tail sent after the last byte back: lost when the line went quiet with
// it owed, still on its way when the wait was cut short with the line still
// answering. Neither hides a fault before it.
TEST(Comparator, TheTailOfACutShortRunIsUnreturnedNotLost) {
  CompareCounts k = IntactPrefix(1000, 300, 1000);
  EXPECT_EQ(k.lost, 700u);
  EXPECT_EQ(k.lostAtEnd, 700u);
  EXPECT_EQ(k.unreturned, 0u);
  k = IntactPrefix(1000, 300, 1000, true);
  EXPECT_EQ(k.lost, 0u);
  EXPECT_EQ(k.unreturned, 700u);
  EXPECT_EQ(k.expected, 300u) << "bytes on their way were judged";
  EXPECT_FALSE(k.Intact());

  MemoryStream stream(kText, false);
  StreamComparator comparator(stream);
  comparator.SetSent(1000);
  std::string back = kText.substr(0, 100) + kText.substr(110, 390);  // 10 bytes dropped
  comparator.Feed(reinterpret_cast<const std::uint8_t*>(back.data()), back.size());
  comparator.Finish(1000, true);
  EXPECT_EQ(comparator.Counts().lost, 10u);
  EXPECT_EQ(comparator.Counts().lostAtEnd, 0u);
  EXPECT_EQ(comparator.Counts().unreturned, 500u);
}

// A loss whose length is the period of data that repeats leaves the same
// bytes behind wherever it was: it shows at the end, and the judge says how
// far back it may have been instead. Where nothing repeats, it stands where
// it shows, a tail the far end never answered.
TEST(Comparator, ALossAtTheEndSaysHowFarBackTheDataLetsItLie) {
  struct TailCase {
    const char* what;
    std::string file;
    std::size_t drop, length;  // what the line dropped
    std::uint64_t span;
  };
  const std::string ones(20000, 'U');
  const TailCase cases[] = {
      {"one byte value, 1 dropped", ones, 5000, 1, 19999},
      {"ABCD, 4 dropped", kPeriodic, 5000, 4, 19996},
      {"ABCD, 3 dropped", kPeriodic, 5000, 3, 0},  // found where it was
      {"random, the tail dropped", kRandom, 19000, 1000, 0},
  };
  for (const TailCase& c : cases) {
    MemoryStream stream(c.file, false);
    StreamComparator comparator(stream);
    const std::string back = c.file.substr(0, c.drop) + c.file.substr(c.drop + c.length);
    comparator.SetSent(c.file.size());
    comparator.Feed(reinterpret_cast<const std::uint8_t*>(back.data()), back.size());
    comparator.Finish(c.file.size());
    const CompareCounts& k = comparator.Counts();
    EXPECT_EQ(k.lost, c.length) << c.what;
    EXPECT_EQ(k.lostAtEndSpan, c.span) << c.what;
    if (k.lostAtEnd) {
      EXPECT_EQ(k.LostAtEndFrom(), c.file.size() - c.length - c.span) << c.what;
    }
    EXPECT_FALSE(k.lostAtEndSpanGoesFurther) << c.what;
  }
  // Data that repeats further back than the judge looks (16 MiB): it says so.
  const std::string big = Random(24u << 20, 3) + std::string(20u << 20, 'U');
  MemoryStream stream(big, false);
  StreamComparator comparator(stream);
  comparator.SetSent(big.size());
  comparator.Feed(reinterpret_cast<const std::uint8_t*>(big.data()), big.size() - 1);
  comparator.Finish(big.size());
  EXPECT_EQ(comparator.Counts().lostAtEndSpan, 16u << 20);
  EXPECT_TRUE(comparator.Counts().lostAtEndSpanGoesFurther);
}

// Bytes unlike the stream put into data that repeats: at the place they read
// as changed bytes, since the end is not yet in view; at the end, where the
// stream's own last bytes come out extra, they are taken as put in. A byte
// changed in one bit stays a changed byte.
TEST(Comparator, ForeignBytesPutIntoDataThatRepeatsAreExtraNotChanged) {
  struct InsertCase {
    const char* what;
    std::string file, back;
    std::uint64_t corrupted, extra;
    std::vector<std::uint64_t> extraAt;  // sent offsets of the places with bytes put in
  };
  const std::string ones(20000, 'U');
  std::string flipped = ones;
  flipped[12000] ^= 0x08;
  const InsertCase cases[] = {
      {"one byte value, one put in", ones, ones.substr(0, 5000) + "~" + ones.substr(5000), 0, 1, {5000}},
      {"two put in, a bit flipped between", ones,
       flipped.substr(0, 5000) + "~" + flipped.substr(5000, 4000) + "~" + flipped.substr(9000), 1, 2, {5000, 9000}},
      {"ABCD, four put in", kPeriodic, kPeriodic.substr(0, 5000) + "wxyz" + kPeriodic.substr(5000), 0, 4, {5000}},
      {"random, one put in", kRandom, kRandom.substr(0, 5000) + "~" + kRandom.substr(5000), 0, 1, {5000}},
  };
  for (const InsertCase& c : cases) {
    MemoryStream stream(c.file, false);
    StreamComparator comparator(stream);
    comparator.SetSent(c.file.size());
    comparator.Feed(reinterpret_cast<const std::uint8_t*>(c.back.data()), c.back.size());
    comparator.Finish(c.file.size());
    const CompareCounts& k = comparator.Counts();
    EXPECT_EQ(k.corrupted, c.corrupted) << c.what;
    EXPECT_EQ(k.extra, c.extra) << c.what;
    EXPECT_EQ(k.matched + k.corrupted, c.file.size()) << c.what;
    EXPECT_EQ(k.matched + k.corrupted + k.extra, c.back.size()) << c.what;
    std::vector<std::uint64_t> extraAt;
    for (const Difference& d : comparator.Differences())
      if (d.extra) extraAt.push_back(d.expectedOffset);
    EXPECT_EQ(extraAt, c.extraAt) << c.what;
  }
  // A stress run of a small file of one byte value, a byte put in 3 MB
  // before the end: every pass repeats as the file does.
  MemoryStream stream(std::string(4096, 'U'), true);
  StreamComparator comparator(stream);
  const std::size_t sent = 4u << 20;
  const std::string back = std::string(1u << 20, 'U') + "~" + std::string(sent - (1u << 20), 'U');
  comparator.SetSent(sent);
  comparator.Feed(reinterpret_cast<const std::uint8_t*>(back.data()), back.size());
  comparator.Finish(sent);
  EXPECT_EQ(comparator.Counts().corrupted, 0u);
  EXPECT_EQ(comparator.Counts().extra, 1u);
}

// The counts for `back` coming in at once and the run ending there, with
// `sent` bytes of kRandom sent; `cut`: cut short while the line answered.
CompareCounts JudgedAtTheEnd(const std::string& back, std::uint64_t sent, bool cut) {
  MemoryStream stream(kRandom, false);
  StreamComparator comparator(stream);
  comparator.SetSent(sent);
  comparator.Feed(reinterpret_cast<const std::uint8_t*>(back.data()), back.size());
  comparator.Finish(sent, cut);
  return comparator.Counts();
}

// The last few bytes before a cut, too few for a run that agrees, are placed
// where they stand with the rest of the stream still open: a fault among them
// is counted, chatter is extra, and neither the tail nor a loss before them
// changes with how much more was sent.
TEST(Comparator, BytesJustBeforeACutArePlacedWithTheRestStillOnItsWay) {
  struct CutCase {
    const char* what;
    std::string back;
    std::uint64_t matched, lost, corrupted, extra;
  };
  std::string flipped = kRandom.substr(0, 5000);
  flipped[4990] ^= 0x10;
  std::string lastFlipped = kRandom.substr(0, 5000);
  lastFlipped[4999] ^= 0x04;
  const CutCase cases[] = {
      {"10 lost, 20 back", kRandom.substr(0, 5000) + kRandom.substr(5010, 20), 5020, 10, 0, 0},
      {"500 lost, 20 back", kRandom.substr(0, 5000) + kRandom.substr(5500, 20), 5020, 500, 0, 0},
      {"chatter", kRandom.substr(0, 5000) + "*** hello ***", 5000, 0, 0, 13},
      {"lines of chatter, longer than a run", kRandom.substr(0, 5000) + Chatter(6), 5000, 0, 0, 6 * 28},
      {"chatter and 18 bytes of the stream after it", kRandom.substr(0, 4982) + "*** hello ***" + kRandom.substr(4982, 18),
       5000, 0, 0, 13},
      {"12 bytes of the stream between chatter", kRandom.substr(0, 4988) + "." + kRandom.substr(4988, 12) + "......",
       5000, 0, 0, 7},
      {"a bit flipped", flipped, 4999, 0, 1, 0},
      {"a bit flipped in the last byte", lastFlipped, 4999, 0, 1, 0},
  };
  for (const CutCase& c : cases) {
    for (std::uint64_t sent : {10000u, 20000u}) {
      const CompareCounts k = JudgedAtTheEnd(c.back, sent, true);
      EXPECT_EQ(k.matched, c.matched) << c.what << ", " << sent << " sent";
      EXPECT_EQ(k.lost, c.lost) << c.what << ", " << sent << " sent";
      EXPECT_EQ(k.corrupted, c.corrupted) << c.what << ", " << sent << " sent";
      EXPECT_EQ(k.extra, c.extra) << c.what << ", " << sent << " sent";
      EXPECT_EQ(k.unreturned, sent - k.expected) << c.what << ", " << sent << " sent";
      EXPECT_EQ(k.expected, c.matched + c.lost + c.corrupted) << c.what << ", " << sent << " sent";
    }
  }
  // The same with the last 12 bytes of its echo between dots, the line
  // quiet at the end: they came back.
  CompareCounts k = JudgedAtTheEnd(kRandom.substr(0, 4988) + "." + kRandom.substr(4988, 12) + std::string(30, '.'),
                                   20000, false);
  EXPECT_EQ(k.matched, 5000u);
  EXPECT_EQ(k.extra, 31u);
  EXPECT_EQ(k.lost, 15000u);
  // A far end that stopped after 5000 bytes and then chattered, the line
  // quiet at the end: one loss to the end, and the chatter extra.
  std::string chatter;
  for (int n = 0; n < 9; ++n) chatter += "chatter 00" + std::to_string(n) + "\r\n";
  k = JudgedAtTheEnd(kRandom.substr(0, 5000) + chatter, 10000, false);
  EXPECT_EQ(k.matched, 5000u);
  EXPECT_EQ(k.extra, chatter.size());
  EXPECT_EQ(k.lost, 5000u);
  EXPECT_EQ(k.gaps, 1u);
  EXPECT_EQ(k.lostAtEnd, 5000u);
  // Noise is another stream, not chatter: paired up in order, as anywhere.
  k = JudgedAtTheEnd(kRandom.substr(0, 5000) + Random(600, 3), 10000, true);
  EXPECT_GT(k.corrupted, 550u);
  EXPECT_LT(k.extra, 20u);
  EXPECT_EQ(k.unreturned, 10000 - k.expected);
}

TEST(Comparator, FaultsTooDenseForAnAgreeingRunAreStillCountedOneByOne) {
  // A byte lost, put in or changed every few bytes all along: never 32 bytes
  // in step, yet each fault is what it is, not a stretch of corruption.
  const std::string file = Random(30000, 5);
  auto every = [](std::size_t n, auto fault) {
    return [n, fault](std::string s) {
      std::string out;
      for (std::size_t k = 0; k < s.size(); ++k) fault(out, s[k], k % n == n - 1);
      return out;
    };
  };
  auto drop = [](std::string& out, char c, bool hit) { if (!hit) out += c; };
  auto insert = [](std::string& out, char c, bool hit) { out += c; if (hit) out += '~'; };
  auto flip = [](std::string& out, char c, bool hit) { out += hit ? static_cast<char>(c ^ 0x10) : c; };
  for (std::size_t n : {3u, 8u, 20u}) {
    SCOPED_TRACE(n);
    const std::uint64_t faults = file.size() / n;
    CompareCounts k = Compare({"drop", file, false, file.size(), every(n, drop), {}}, 2048);
    EXPECT_EQ(k.lost, faults);
    EXPECT_EQ(k.corrupted + k.extra, 0u);
    k = Compare({"insert", file, false, file.size(), every(n, insert), {}}, 2048);
    EXPECT_EQ(k.extra, faults);
    EXPECT_EQ(k.corrupted + k.lost, 0u);
    k = Compare({"flip", file, false, file.size(), every(n, flip), {}}, 2048);
    EXPECT_EQ(k.corrupted, faults);
    EXPECT_EQ(k.bitErrors, faults);
    EXPECT_EQ(k.lost + k.extra, 0u);
  }
}

// UTF-8 text in numbered lines, each with a number of its own: short runs of
// ASCII between bytes above 127.
std::string Utf8Text(std::size_t n) {
  std::string s;
  char line[96];
  unsigned x = 17;
  for (int k = 0; s.size() < n; ++k) {
    x = x * 1103515245u + 12345u;
    std::snprintf(line, sizeof line, "%05d Gr\xc3\xbc\xc3\x9f" "e aus K\xc3\xb6ln \xe2\x80\x93 na\xc3\xafve caf\xc3\xa9 %u\n", k,
                  (x >> 8) % 1000000);
    s += line;
  }
  s.resize(n);
  return s;
}

TEST(Comparator, ASevenBitLineOnUtf8TextChangesBytesAndLosesNone) {
  // A line with seven data bits clears bit 7 of every byte: as many bytes
  // come back as went out, each byte above 127 changed in one bit, and
  // nothing lost or put in, however densely the changed bytes stand.
  const std::string text = Utf8Text(12000);
  auto strip = [](std::string s) {
    for (char& c : s) c = static_cast<char>(c & 0x7f);
    return s;
  };
  for (bool stress : {false, true}) {
    const std::size_t sent = stress ? 3 * text.size() + 123 : text.size();
    for (std::size_t block : {1u, 2048u}) {
      SCOPED_TRACE(block);
      std::uint64_t high = 0;
      for (char c : Repeat(text, sent)) high += static_cast<unsigned char>(c) >= 0x80;
      const CompareCounts k = Compare({"7 bits", text, stress, sent, strip, {}}, block);
      EXPECT_EQ(k.lost, 0u);
      EXPECT_EQ(k.extra, 0u);
      EXPECT_EQ(k.corrupted, high);
      EXPECT_EQ(k.bitErrors, high);
    }
  }
}

TEST(Comparator, HoldsNoMoreThanAWindowWhateverComesIn) {
  MemoryStream stream(kText, true);
  StreamComparator comparator(stream);
  std::string garbage = Random(1 << 20, 5);
  std::uint64_t sent = 0;
  for (std::size_t at = 0; at < garbage.size(); at += 4096) {
    sent += 4096;
    comparator.SetSent(sent);
    comparator.Feed(reinterpret_cast<const std::uint8_t*>(garbage.data() + at), 4096);
    ASSERT_LE(comparator.Pending(), 16384u + 128u);
  }
}

TEST(Comparator, KeepsTheFirstDifferencesWithTheirPlaceAndBytes) {
  Case c{"flip and loss", kText, false, kText.size(), [](auto s) { return Erase(Flip(s, 100, 0x20), 5000, 2); },
         {0, 1, 1, 1, 0}};
  std::vector<Difference> diffs;
  Compare(c, 2048, &diffs);
  ASSERT_EQ(diffs.size(), 2u);
  EXPECT_EQ(diffs[0].expectedOffset, 100u);
  EXPECT_EQ(diffs[0].receivedOffset, 100u);
  EXPECT_EQ(diffs[0].corrupted, 1u);
  char want[4], got[4];
  std::snprintf(want, sizeof want, "%02x", static_cast<unsigned char>(kText[100]));
  std::snprintf(got, sizeof got, "%02x", static_cast<unsigned char>(kText[100] ^ 0x20));
  EXPECT_EQ(diffs[0].expectedHex.substr(0, 2), want);
  EXPECT_EQ(diffs[0].receivedHex.substr(0, 2), got);
  EXPECT_EQ(diffs[0].expectedHex.size(), 16u * 3 - 1);
  EXPECT_EQ(diffs[1].expectedOffset, 5000u);
  EXPECT_EQ(diffs[1].receivedOffset, 5000u);
  EXPECT_EQ(diffs[1].lost, 2u);
  EXPECT_EQ(diffs[1].gaps, 1u);
}

TEST(Comparator, APlaceSaysHowManyGapsItsLostBytesFallIn) {
  // Single bytes dropped 10 bytes apart share one place; it must not read as
  // one gap of two bytes. A loss at the very end is a gap of its own.
  Case c{"drops 10 apart", kRandom, false, kRandom.size(),
         [](auto s) { return Erase(Erase(Erase(s, 19000, 1000), 4010, 1), 4000, 1); }, {1002, 3, 0, 0, 0}};
  std::vector<Difference> diffs;
  const CompareCounts k = Compare(c, 2048, &diffs);
  EXPECT_EQ(k.gaps, 3u);
  ASSERT_EQ(diffs.size(), 2u);
  EXPECT_EQ(diffs[0].expectedOffset, 4000u);
  EXPECT_EQ(diffs[0].lost, 2u);
  EXPECT_EQ(diffs[0].gaps, 2u);
  EXPECT_EQ(diffs[1].lost, 1000u);
  EXPECT_EQ(diffs[1].gaps, 1u);
}

TEST(FileStream, ReadsPassesFromDiskAcrossTheRewind) {
  char path[] = "/tmp/vx-stream-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "0123456789", 10), 10);
  close(fd);
  std::string error;
  FileStream once(false), again(true);
  ASSERT_TRUE(once.Open(path, &error)) << error;
  ASSERT_TRUE(again.Open(path, &error)) << error;
  std::uint8_t buf[32];
  EXPECT_EQ(once.Read(7, buf, 32), 3u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 3), "789");
  EXPECT_EQ(once.Read(10, buf, 32), 0u);
  EXPECT_EQ(again.Read(7, buf, 25), 25u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 25), "7890123456789012345678901");
  EXPECT_EQ(again.Read(1000000007, buf, 3), 3u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 3), "789");
  FileStream missing(false);
  EXPECT_FALSE(missing.Open(std::string(path) + ".none", &error));
  EXPECT_FALSE(error.empty());
  unlink(path);
}

// A file renamed or deleted during a run is still the one both sides read;
// one truncated or rewritten in place is not what was sent.
TEST(FileStream, CountsChosenBytesInOnePass) {
  std::string bytes = Random(200000, 3);
  std::uint64_t want = 0;
  for (char c : bytes) want += c == 0x11 || c == 0x13;
  MemoryStream stream(bytes, true);  // a stress run's stream: one pass is counted, not the repeats
  EXPECT_EQ(CountInPass(stream, {0x11, 0x13}), want);
  MemoryStream text(kText, false);
  EXPECT_EQ(CountInPass(text, {0x11, 0x13}), 0u);
}

TEST(FileStream, TellsAFileChangedUnderItFromOneMovedAway) {
  char path[] = "/tmp/vx-stream-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "0123456789", 10), 10);
  std::string error;
  FileStream stream(false);
  ASSERT_TRUE(stream.Open(path, &error)) << error;
  EXPECT_FALSE(stream.Changed());
  std::string moved = std::string(path) + ".moved";
  ASSERT_EQ(rename(path, moved.c_str()), 0);
  EXPECT_FALSE(stream.Changed()) << "renamed";
  ASSERT_EQ(ftruncate(fd, 4), 0);
  EXPECT_TRUE(stream.Changed()) << "truncated";
  close(fd);
  unlink(moved.c_str());
  EXPECT_TRUE(stream.Changed()) << "deleted after it changed";

  char other[] = "/tmp/vx-stream-XXXXXX";
  fd = mkstemp(other);
  ASSERT_EQ(write(fd, "0123456789", 10), 10);
  FileStream same(false);
  ASSERT_TRUE(same.Open(other, &error)) << error;
  timespec later[2] = {{0, UTIME_OMIT}, {2000000000, 0}};  // rewritten in place: same size, a new time
  ASSERT_EQ(futimens(fd, later), 0);
  EXPECT_TRUE(same.Changed()) << "rewritten";
  close(fd);
  unlink(other);

  // Written in place with its time put back, as cp -p and rsync -t leave a
  // file; a new mode or a second name leave the bytes alone.
  char kept[] = "/tmp/vx-stream-XXXXXX";
  fd = mkstemp(kept);
  ASSERT_EQ(write(fd, "0123456789", 10), 10);
  struct stat before;
  ASSERT_EQ(fstat(fd, &before), 0);
  FileStream quiet(false);
  ASSERT_TRUE(quiet.Open(kept, &error)) << error;
  usleep(20000);  // past the file system's clock step
  ASSERT_EQ(fchmod(fd, 0640), 0);
  const std::string link = std::string(kept) + ".link";
  ASSERT_EQ(::link(kept, link.c_str()), 0);
  EXPECT_FALSE(quiet.Changed()) << "a new mode and a second name";
  unlink(link.c_str());
  ASSERT_EQ(fchmod(fd, before.st_mode & 07777), 0);
  FileStream stealth(false);
  ASSERT_TRUE(stealth.Open(kept, &error)) << error;
  usleep(20000);
  ASSERT_EQ(pwrite(fd, "ABCDEFGHIJ", 10, 0), 10);
  timespec back[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(futimens(fd, back), 0);
  EXPECT_TRUE(stealth.Changed()) << "written with its time put back";
  close(fd);
  unlink(kept);
}

}  // namespace
}  // namespace vx::tools
