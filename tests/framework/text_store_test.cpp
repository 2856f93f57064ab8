// The received-data store: bytes kept whole and in order, lines found across
// appends and chunk boundaries.
#include "framework/text_store.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <malloc.h>
#include <random>
#include <vector>

namespace vx::fw {
namespace {

TEST(TextStore, CrLfBreaksLinesEvenAcrossAppends) {
  TextStore s;
  s.Append("one\r", 4);
  s.Append("\ntwo\nthree\rfour\r\n", 17);
  s.Append("", 0);
  ASSERT_EQ(s.LineCount(), 3u);
  EXPECT_EQ(s.Line(0), "one");
  EXPECT_EQ(s.Line(1), "two\nthree\rfour");  // a lone LF or CR is a character, not a break
  EXPECT_EQ(s.Line(2), "");
  EXPECT_EQ(s.LongestLine(), 14u);  // measured even though it ended inside one append
  EXPECT_EQ(s.Text(), "one\r\ntwo\nthree\rfour\r\n");
}

TEST(TextStore, EveryByteValueIsKept) {
  TextStore s;
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  s.Append(all.data(), all.size());
  EXPECT_EQ(s.Text(), all);
  EXPECT_EQ(s.LineCount(), 1u);
}

TEST(TextStore, LargeContentCrossesChunksWithoutLosingLines) {
  TextStore s;
  std::string line(1000, 'x');
  line += "\r\n";
  std::string expected;
  // 3 MiB in odd-sized appends, so that both chunk edges and CR|LF splits occur.
  std::string stream;
  while (stream.size() < (3u << 20)) stream += line;
  for (std::size_t at = 0; at < stream.size();) {
    std::size_t n = std::min<std::size_t>(stream.size() - at, 4093);
    s.Append(stream.data() + at, n);
    at += n;
  }
  EXPECT_EQ(s.Size(), stream.size());
  EXPECT_EQ(s.LineCount(), stream.size() / line.size() + 1);
  EXPECT_EQ(s.Line(1047), std::string(1000, 'x'));
  EXPECT_EQ(s.LongestLine(), 1000u);
  EXPECT_TRUE(s.Text() == stream);
  s.Clear();
  EXPECT_EQ(s.Size(), 0u);
  EXPECT_EQ(s.LineCount(), 1u);
}

TEST(TextStore, OneEndlessLine) {
  TextStore s;
  std::string block(2048, 'z');
  for (int i = 0; i < 2048; ++i) s.Append(block.data(), block.size());
  EXPECT_EQ(s.LineCount(), 1u);
  EXPECT_EQ(s.LongestLine(), 2048u * 2048);
}

TEST(TextStore, TabsAdvanceToEightColumnStops) {
  TextStore s;
  s.Append("a\tbc\t\tX\r\n\t", 10);
  s.Append("12345678\tZ", 10);
  EXPECT_EQ(s.LongestLine(), 25u);
  s.Append("\t", 1);  // the open line: TAB to 8, eight digits to 16, TAB to 24, Z, TAB to 32
  EXPECT_EQ(s.LongestLine(), 32u);
  TextStore::Position p = s.SeekColumn(0, 0);
  EXPECT_EQ(p.byte, 0u);
  p = s.SeekColumn(0, 5);  // inside the first TAB, which covers columns 1 to 7
  EXPECT_EQ(p.byte, 1u);
  EXPECT_EQ(p.column, 1u);
  p = s.SeekColumn(0, 9);  // 'c'
  EXPECT_EQ(p.byte, 3u);
  EXPECT_EQ(p.column, 9u);
  p = s.SeekColumn(0, 24);  // 'X', after two TABs
  EXPECT_EQ(p.byte, 6u);
  EXPECT_EQ(p.column, 24u);
  p = s.SeekColumn(0, 99);  // past the end: the end and the line's width
  EXPECT_EQ(p.byte, 7u);
  EXPECT_EQ(p.column, 25u);
  EXPECT_EQ(AdvanceColumns(3, "\t", 1), 8u);
  EXPECT_EQ(AdvanceColumns(8, "\t", 1), 16u);
}

TEST(TextStore, CrOfAnOpenLineIsNotShownUntilItsLfDecides) {
  TextStore s;
  s.Append("ab\r", 3);
  EXPECT_EQ(s.Line(0), "ab");
  EXPECT_EQ(s.LongestLine(), 2u);
  s.Append("c", 1);  // a lone CR: a character of its line
  EXPECT_EQ(s.Line(0), "ab\rc");
  EXPECT_EQ(s.LongestLine(), 4u);
}

// The scrollback bound: at most `limit` bytes, whole lines dropped oldest first.
TEST(TextStore, KeepsTheNewestBytesDroppingWholeLines) {
  TextStore s(100);
  std::string all;
  for (int i = 0; i < 40; ++i) {
    std::string line = "line" + std::to_string(i) + "\r\n";  // 7 or 8 bytes
    s.Append(line.data(), line.size());
    all += line;
    ASSERT_LE(s.Size(), 100u);
  }
  std::string kept = s.Text();
  // What is kept is the end of what came, and begins at a line start.
  ASSERT_LE(kept.size(), 100u);
  EXPECT_GT(kept.size(), 100u - 8);
  EXPECT_EQ(all.substr(all.size() - kept.size()), kept);
  EXPECT_EQ(kept.rfind("line", 0), 0u);
  EXPECT_EQ(s.LineCount() + s.DroppedLines(), 41u);  // 40 ended lines and the empty open one
  EXPECT_EQ(s.Line(s.LineCount() - 2), "line39");
  EXPECT_EQ(s.Line(0), kept.substr(0, kept.find('\r')));
}

TEST(TextStore, OneLineLongerThanTheLimitLosesItsOldestBytesKeepingTabStops) {
  TextStore s(64);
  std::string all;
  for (int i = 0; i < 50; ++i) {
    std::string piece = "ab\tc";  // a TAB whose width depends on where it stands
    s.Append(piece.data(), piece.size());
    all += piece;
  }
  EXPECT_EQ(s.Size(), 64u);
  EXPECT_EQ(s.Text(), all.substr(all.size() - 64));
  EXPECT_EQ(s.LineCount(), 1u);
  // The columns of the kept bytes are those they had in the whole line, less
  // whole tab stops: the same layout modulo 8.
  std::uint64_t whole = AdvanceColumns(0, all.data(), all.size() - 64);
  EXPECT_EQ(s.LineStartColumn(0), whole % 8);
  EXPECT_EQ(s.LongestLine(), AdvanceColumns(whole % 8, all.data() + all.size() - 64, 64));
  // Chunks wholly dropped are freed: a long stream stays within its bound.
  TextStore big(3u << 20);
  std::string block(4096, 'q');
  for (int i = 0; i < 2048; ++i) big.Append(block.data(), block.size());
  EXPECT_EQ(big.Size(), 3u << 20);
  EXPECT_EQ(big.Text(), std::string(3u << 20, 'q'));
}

// A line cut short at the front shows from the column its kept bytes had;
// the whole line that takes its place shows from column 0, however it comes
// to be first (here: at exactly the limit, at a line the index marks).
TEST(TextStore, TheLineAfterACutOneStartsAtColumnZero) {
  TextStore s(200);
  std::string cut;
  while (cut.size() < 300) cut += "ab\tc";
  s.Append(cut.data(), cut.size());
  ASSERT_NE(s.LineStartColumn(0), 0u);
  std::string next;
  for (std::uint64_t i = 0; i < TextStore::kMarkEveryLines; ++i) next += "\r\n";
  next += std::string(200, 'y');  // the bound falls exactly at the start of this line
  s.Append(next.data(), next.size());
  ASSERT_EQ(s.LineCount(), 1u);
  EXPECT_EQ(s.Text(), std::string(200, 'y'));
  EXPECT_EQ(s.LineStartColumn(0), 0u);
  EXPECT_EQ(s.SeekColumn(0, 5).byte, s.LineStart(0) + 5);
}

// Received text of every line length, lines split the plain way for comparison.
struct MixedText {
  std::string text;
  std::vector<std::string> lines{""};  // the lines as the store should find them
  void Add(const std::string& body, bool end) {
    text += body;
    lines.back() += body;
    if (end) {
      text += "\r\n";
      lines.emplace_back();
    }
  }
};

// Runs of empty and 1-byte lines longer than the index's spacing, lines
// around and far beyond its byte spacing, lone CRs and LFs and TABs.
MixedText MakeMixedText(std::size_t bytes, unsigned seed) {
  std::mt19937 random(seed);
  MixedText m;
  while (m.text.size() < bytes) {
    switch (random() % 6) {
      case 0:
      case 1:
        for (int i = 0, n = int(random() % 200); i < n; ++i) m.Add(i % 3 ? "x" : "", true);
        break;
      case 2:
        m.Add(std::string(random() % 100, 'a') + "\t|\r" + std::string(1 + random() % 10, 'b') + "\n", true);
        break;
      case 3:
        m.Add(std::string(TextStore::kMarkEveryBytes - 3 + random() % 6, 'c'), true);
        break;
      case 4:
        m.Add(std::string(random() % (5 * TextStore::kMarkEveryBytes), 'd'), true);
        break;
      default:
        m.Add(std::string(random() % 300000, 'e'), random() % 2);  // sometimes continued by the next piece
    }
  }
  return m;
}

void AppendInOddBlocks(TextStore& s, const std::string& text, unsigned seed) {
  std::mt19937 random(seed);
  for (std::size_t at = 0; at < text.size();) {
    std::size_t n = std::min<std::size_t>(text.size() - at, 1 + random() % 5000);
    s.Append(text.data() + at, n);
    at += n;
  }
}

// The sparse line index finds every line, whatever the lengths and however
// the bytes arrived, in a whole store and in one that drops its oldest lines.
TEST(TextStore, FindsEveryLineOfEveryLength) {
  const MixedText m = MakeMixedText(5u << 20, 7);
  TextStore whole, bounded((3u << 20) + 12345);
  AppendInOddBlocks(whole, m.text, 1);
  AppendInOddBlocks(bounded, m.text, 2);
  ASSERT_EQ(whole.LineCount(), m.lines.size());
  std::uint64_t at = 0;
  for (std::size_t i = 0; i < m.lines.size(); ++i) {
    ASSERT_EQ(whole.LineStart(i), at) << "line " << i;
    ASSERT_EQ(whole.LineEnd(i) - at, m.lines[i].size()) << "line " << i;
    at += m.lines[i].size() + 2;
  }
  for (std::size_t i = 0; i < m.lines.size(); i += 97) ASSERT_EQ(whole.Line(i), m.lines[i]) << "line " << i;

  const std::size_t dropped = static_cast<std::size_t>(bounded.DroppedLines());
  ASSERT_EQ(bounded.LineCount() + dropped, m.lines.size());
  ASSERT_GT(dropped, 0u);
  const std::string kept = bounded.Text();
  EXPECT_TRUE(kept == m.text.substr(m.text.size() - kept.size()));
  for (std::size_t i = 1; i < bounded.LineCount(); ++i) ASSERT_EQ(bounded.Line(i), m.lines[dropped + i]) << "line " << i;
  // The first kept line may have lost its beginning (then it is the last).
  EXPECT_EQ(kept.substr(0, bounded.Line(0).size()), bounded.Line(0));
}

// Peak memory of a full scrollback of the shortest lines, "x" and its CR LF:
// under two bytes per byte kept, by the store's own count and by the
// process's peak resident size (each test runs in a process of its own).
TEST(TextStore, ShortLinesCostUnderTwoBytesOfMemoryPerByte) {
  auto statusKb = [](const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
      if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
    return 0L;
  };
  malloc_trim(0);
  bool peakReset = static_cast<bool>(std::ofstream("/proc/self/clear_refs") << "5");
  const long before = statusKb("VmRSS:");
  std::string lines;
  while (lines.size() < 2048 + 3) lines += "x\r\n";
  TextStore s;
  std::uint64_t peakUsed = 0;
  for (std::uint64_t fed = 0; fed < TextStore::kDefaultLimit + (8u << 20); fed += 2048) {
    s.Append(lines.data() + fed % 3, 2048);  // 2048-byte blocks of one stream: lines straddle them
    if (fed % (1u << 20) == 0) peakUsed = std::max(peakUsed, s.MemoryUsed());
  }
  ASSERT_LE(s.Size(), TextStore::kDefaultLimit);
  ASSERT_GT(s.Size(), TextStore::kDefaultLimit - 3);  // whole lines dropped
  EXPECT_EQ(s.Line(s.LineCount() - 2), "x");
  EXPECT_GE(peakUsed, s.Size());
  EXPECT_LT(double(peakUsed) / double(s.Size()), 2.0);
  if (!peakReset || before == 0) GTEST_SKIP() << "no peak resident size to measure here";
  const double peakPerByte = (statusKb("VmHWM:") - before) * 1024.0 / double(s.Size());
  EXPECT_LT(peakPerByte, 2.0);
  EXPECT_GT(peakPerByte, 0.9);  // the measure saw the store at all
}

}  // namespace
}  // namespace vx::fw
