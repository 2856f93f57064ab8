// The bytes of a received-data box: kept in fixed-size chunks (no copy of
// what is held when more arrives) with an index of where each line starts.
// CR LF ends a line, even when the CR and the LF arrive in different appends.
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
  std::size_t LineCount() const { return lineStarts_.size(); }
  // Lines dropped from the front since the store was made; a view that does
  // not follow the end moves up by as many lines to keep showing the same ones.
  std::uint64_t DroppedLines() const { return droppedLines_; }
  std::uint64_t LineStart(std::size_t index) const { return lineStarts_[index]; }
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

 private:
  void EndLine(std::uint64_t nextStart, std::uint64_t width);
  void Trim();
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
  std::deque<std::uint64_t> lineStarts_{0};
  std::uint64_t droppedLines_ = 0;
  std::uint64_t firstLineColumn_ = 0;
  std::uint64_t openColumns_ = 0;  // the column after the last byte of the last line
  std::uint64_t longestLine_ = 0;
  bool lastWasCR_ = false;
};

// The column after `count` bytes shown from `column`, TABs advancing to stops.
std::uint64_t AdvanceColumns(std::uint64_t column, const char* bytes, std::size_t count);

// An unsigned number as a dialog field holds it: digits, with blanks allowed
// around them; no sign, no other characters, nothing past 32 bits.
bool ParseUnsignedField(const std::string& text, unsigned* value);

}  // namespace vx::fw
