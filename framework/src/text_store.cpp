#include "text_store.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace vx::fw {

std::uint64_t AdvanceColumns(std::uint64_t column, const char* bytes, std::size_t count) {
  const char* end = bytes + count;
  for (const char* tab; (tab = static_cast<const char*>(std::memchr(bytes, '\t', end - bytes))) != nullptr;
       bytes = tab + 1)
    column = (column + (tab - bytes)) / TextStore::kTabStop * TextStore::kTabStop + TextStore::kTabStop;
  return column + (end - bytes);
}

void TextStore::Append(const char* bytes, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    std::size_t offset = static_cast<std::size_t>(end_ % kChunk);
    if (offset == 0 && (firstChunk_ + chunks_.size()) * kChunk == end_) {
      // Not zeroed: every byte is written before it is read. A full store
      // takes back the chunk it last dropped, whose pages are already mapped.
      chunks_.push_back(spare_ ? std::move(spare_) : std::unique_ptr<char[]>(new char[kChunk]));
    }
    std::size_t n = std::min(count - done, kChunk - offset);
    const char* p = bytes + done;
    const char* stop = p + n;
    std::memcpy(chunks_.back().get() + offset, p, n);
    const char* q = p;
    if (lastWasCR_ && p[0] == '\n') {
      EndLine(end_ + 1, openColumns_ - 1);  // the CR that ended the last append was a cell of its line
      q = p + 1;
    }
    while (q < stop) {
      const char* lf = static_cast<const char*>(std::memchr(q, '\n', stop - q));
      openColumns_ = AdvanceColumns(openColumns_, q, (lf ? lf : stop) - q);
      if (!lf) break;
      if (lf > p && lf[-1] == '\r')
        EndLine(end_ + static_cast<std::uint64_t>(lf - p) + 1, openColumns_ - 1);
      else
        openColumns_ += 1;  // a lone LF is a character of its line
      q = lf + 1;
    }
    lastWasCR_ = stop[-1] == '\r';
    end_ += n;
    done += n;
    Trim();
  }
  // The open last line, less a CR that may yet turn out to begin its CR LF.
  longestLine_ = std::max(longestLine_, openColumns_ - (lastWasCR_ ? 1 : 0));
}

void TextStore::EndLine(std::uint64_t nextStart, std::uint64_t width) {
  longestLine_ = std::max(longestLine_, width);
  lineStarts_.push_back(nextStart);
  openColumns_ = 0;
}

void TextStore::Trim() {
  if (end_ - base_ <= limit_) return;
  const std::uint64_t keepFrom = end_ - limit_;
  while (lineStarts_.size() > 1 && lineStarts_.front() < keepFrom) {
    lineStarts_.pop_front();
    ++droppedLines_;
    firstLineColumn_ = 0;
  }
  if (lineStarts_.front() < keepFrom) {
    // One line alone is longer than the limit: its oldest bytes go. What stays
    // keeps its tab stops where they were, so the columns of its bytes shift
    // by whole stops only.
    std::uint64_t column = ColumnAfter(firstLineColumn_, lineStarts_.front(), keepFrom);
    std::uint64_t shift = column - column % kTabStop;
    openColumns_ -= shift;
    firstLineColumn_ = column % kTabStop;
    lineStarts_.front() = keepFrom;
  }
  base_ = lineStarts_.front();
  while ((firstChunk_ + 1) * kChunk <= base_) {
    spare_ = std::move(chunks_.front());
    chunks_.pop_front();
    ++firstChunk_;
  }
}

void TextStore::Clear() {
  chunks_.clear();
  spare_.reset();
  firstChunk_ = base_ = end_ = 0;
  lineStarts_.assign(1, 0);
  firstLineColumn_ = openColumns_ = longestLine_ = 0;
  lastWasCR_ = false;
}

std::uint64_t TextStore::LineEnd(std::size_t index) const {
  return index + 1 < lineStarts_.size() ? lineStarts_[index + 1] - 2 : end_ - (lastWasCR_ ? 1 : 0);
}

const char* TextStore::At(std::uint64_t offset) const {
  return chunks_[static_cast<std::size_t>(offset / kChunk - firstChunk_)].get() + offset % kChunk;
}

std::uint64_t TextStore::FindTab(std::uint64_t from, std::uint64_t to) const {
  while (from < to) {
    const char* p = At(from);
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(to - from, kChunk - from % kChunk));
    if (const void* tab = std::memchr(p, '\t', n)) return from + static_cast<std::uint64_t>(static_cast<const char*>(tab) - p);
    from += n;
  }
  return to;
}

std::uint64_t TextStore::ColumnAfter(std::uint64_t column, std::uint64_t from, std::uint64_t to) const {
  for (;;) {
    std::uint64_t tab = FindTab(from, to);
    column += tab - from;
    if (tab == to) return column;
    column = column / kTabStop * kTabStop + kTabStop;
    from = tab + 1;
  }
}

TextStore::Position TextStore::SeekColumn(std::size_t line, std::uint64_t column) const {
  std::uint64_t at = LineStart(line);
  const std::uint64_t end = LineEnd(line);
  std::uint64_t col = LineStartColumn(line);
  if (column <= col) return {at, col};
  while (at < end) {
    std::uint64_t tab = FindTab(at, end);
    if (col + (tab - at) > column) return {at + (column - col), column};
    col += tab - at;
    at = tab;
    if (at == end) break;
    std::uint64_t next = col / kTabStop * kTabStop + kTabStop;
    if (next > column) return {at, col};
    col = next;
    ++at;
  }
  return {end, col};
}

void TextStore::CopyOut(std::uint64_t from, std::size_t count, char* out) const {
  while (count > 0) {
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, kChunk - from % kChunk));
    std::memcpy(out, At(from), n);
    out += n;
    from += n;
    count -= n;
  }
}

std::string TextStore::Text() const {
  std::string out(static_cast<std::size_t>(Size()), '\0');
  CopyOut(base_, out.size(), out.data());
  return out;
}

std::string TextStore::Line(std::size_t index) const {
  if (index >= lineStarts_.size()) return {};
  std::uint64_t start = lineStarts_[index];
  std::string out(static_cast<std::size_t>(LineEnd(index) - start), '\0');
  CopyOut(start, out.size(), out.data());
  return out;
}

bool ParseUnsignedField(const std::string& text, unsigned* value) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  std::size_t digits = i;
  unsigned long long v = 0;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
    v = v * 10 + static_cast<unsigned>(text[i] - '0');
    if (v > 0xFFFFFFFFull) return false;
    ++i;
  }
  if (i == digits) return false;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (i != text.size()) return false;
  *value = static_cast<unsigned>(v);
  return true;
}

}  // namespace vx::fw
