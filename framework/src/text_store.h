// The bytes of a received-data box: kept in fixed-size chunks (no copy of
// what is held when more arrives) with an index of where each line starts.
// CR LF ends a line, even when the CR and the LF arrive in different appends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vx::fw {

class TextStore {
 public:
  void Append(const char* bytes, std::size_t count);
  void Clear();
  std::uint64_t Size() const { return size_; }
  std::size_t LineCount() const { return lineStarts_.size(); }
  std::uint64_t LineStart(std::size_t index) const { return lineStarts_[index]; }
  // Where a line's text ends (its CR LF excluded).
  std::uint64_t LineEnd(std::size_t index) const;
  // The length of the longest line, its CR LF not counted.
  std::uint64_t LongestLine() const { return longestLine_; }
  void CopyOut(std::uint64_t from, std::size_t count, char* out) const;
  std::string Text() const;
  std::string Line(std::size_t index) const;

 private:
  void StartLine(std::uint64_t start);
  static constexpr std::size_t kChunk = 1 << 20;
  std::vector<std::unique_ptr<char[]>> chunks_;
  std::uint64_t size_ = 0;
  std::vector<std::uint64_t> lineStarts_{0};
  std::uint64_t longestLine_ = 0;
  bool lastWasCR_ = false;
};

// An unsigned number as a dialog field holds it: digits, with blanks allowed
// around them; no sign, no other characters, nothing past 32 bits.
bool ParseUnsignedField(const std::string& text, unsigned* value);

}  // namespace vx::fw
