// The bytes of a received-data box: kept in fixed-size chunks (no copy of
// what is held when more arrives) with a sparse index of where lines start.
// CR LF ends a line, even when the CR and the LF arrive in different appends.
// The index marks one line start in kMarkEveryLines, or sooner once
// kMarkEveryBytes have passed since the last mark; a line is found from the
// mark before it by a short scan for CR LF. So the index costs one 16-byte
// mark per 64 lines at most (a twelfth of a byte per byte for 3-byte lines,
// an eighth for empty ones, where an entry per line would cost several times
// the text), and a lookup scans fewer than kMarkEveryBytes bytes and
// kMarkEveryLines lines: a line longer than that is followed by a mark, so
// its end is known without a scan.
// Like a terminal's scrollback it keeps only the newest bytes, up to a limit:
// the oldest whole lines go first, so what stays begins at a line start,
// unless one line alone is longer than the limit.
//
// Offsets are absolute: counted from the first byte appended since Clear, so
// they stay valid while older bytes are dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

namespace vx::fw {

class TextStore {
 public:
  static constexpr std::uint64_t kDefaultLimit = 64ull << 20;
  static constexpr unsigned kTabStop = 8;

  explicit TextStore(std::uint64_t limit = kDefaultLimit) : limit_(limit) {}

  void Append(const char* bytes, std::size_t count);
  void Clear();
  // The bytes kept.
  std::uint64_t Size() const { return end_ - base_; }
  std::size_t LineCount() const { return static_cast<std::size_t>(lines_ - marks_.front().line); }
  // Lines dropped from the front since the store was made; a view that does
  // not follow the end moves up by as many lines to keep showing the same ones.
  std::uint64_t DroppedLines() const { return marks_.front().line; }
  std::uint64_t LineStart(std::size_t index) const { return FindLineStart(marks_.front().line + index); }
  // Where a line's text ends: its CR LF excluded, and for the last line a CR
  // that may yet turn out to begin one.
  std::uint64_t LineEnd(std::size_t index) const;
  // The width of the longest line since the store was last emptied (lines
  // dropped since may have been the longest), in display columns: a byte is
  // one column, a TAB advances to the next multiple of kTabStop.
  std::uint64_t LongestLine() const { return longestLine_; }

  // Where in a line the display column `column` falls: the byte that covers
  // it (a TAB may cover several columns) and the column at which that byte
  // begins. Past the line's end: its end and its width.
  struct Position {
    std::uint64_t byte;
    std::uint64_t column;
  };
  Position SeekColumn(std::size_t line, std::uint64_t column) const;
  // The column at which a line's first byte shows (0 but for a line whose
  // beginning was dropped, which keeps its tab stops where they were).
  std::uint64_t LineStartColumn(std::size_t line) const { return line == 0 ? firstLineColumn_ : 0; }

  void CopyOut(std::uint64_t from, std::size_t count, char* out) const;
  std::string Text() const;
  std::string Line(std::size_t index) const;

  // The memory the store holds, in bytes: the chunk pages written (the
  // dropped part of the oldest chunk and the spare one included) and the
  // index. Never much above Size(), however short the lines.
  std::uint64_t MemoryUsed() const;

  static constexpr std::uint64_t kMarkEveryLines = 64;
  static constexpr std::uint64_t kMarkEveryBytes = 4096;

 private:
  // A line start the index knows: the line's number counted since Clear.
  struct Mark {
    std::uint64_t line;
    std::uint64_t offset;
  };
  void EndLine(std::uint64_t nextStart, std::uint64_t width);
  void Trim();
  // Where line `line` (counted since Clear, and kept) starts.
  std::uint64_t FindLineStart(std::uint64_t line) const;
  // The start of the line after the one that holds `from`, which must have
  // ended: one past the first CR LF whose CR is at or after `from`.
  std::uint64_t NextLineStart(std::uint64_t from) const;
  std::uint64_t ColumnAfter(std::uint64_t column, std::uint64_t from, std::uint64_t to) const;
  // The first TAB in [from, to), or `to`.
  std::uint64_t FindTab(std::uint64_t from, std::uint64_t to) const;
  const char* At(std::uint64_t offset) const;

  static constexpr std::size_t kChunk = 1 << 20;
  std::uint64_t limit_;
  std::deque<std::unique_ptr<char[]>> chunks_;
  std::unique_ptr<char[]> spare_;  // the chunk dropped last, for the next to use
  std::uint64_t firstChunk_ = 0;  // the chunk number of chunks_.front()
  std::uint64_t base_ = 0;        // the first byte kept
  std::uint64_t end_ = 0;         // one past the last byte
  // The first is always the first line kept, at base_; then in order.
  std::deque<Mark> marks_{Mark{0, 0}};
  std::uint64_t lines_ = 1;      // lines begun since Clear, the open last one included
  std::uint64_t openStart_ = 0;  // where the open last line starts (or, cut, its first byte kept)
  std::uint64_t firstLineColumn_ = 0;
  std::uint64_t openColumns_ = 0;  // the column after the last byte of the last line
  std::uint64_t longestLine_ = 0;
  bool lastWasCR_ = false;
};

// The column after `count` bytes shown from `column`, TABs advancing to stops.
std::uint64_t AdvanceColumns(std::uint64_t column, const char* bytes, std::size_t count);

}  // namespace vx::fw
