#include "framework/text_store.h"

#include <algorithm>
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
  const Mark& last = marks_.back();
  if (lines_ - last.line >= kMarkEveryLines || nextStart - last.offset >= kMarkEveryBytes)
    marks_.push_back({lines_, nextStart});
  ++lines_;
  openStart_ = nextStart;
  openColumns_ = 0;
}

void TextStore::Trim() {
  if (end_ - base_ <= limit_) return;
  const std::uint64_t keepFrom = end_ - limit_;
  const std::uint64_t firstBefore = marks_.front().line;
  while (marks_.size() > 1 && marks_[1].offset <= keepFrom) marks_.pop_front();
  if (openStart_ <= keepFrom) {
    // All that stays is in the open line (and no mark is past its start).
    marks_.front() = {lines_ - 1, openStart_};
  } else if (marks_.front().offset < keepFrom) {
    // The oldest whole lines go: the first kept is the first to start at or
    // after keepFrom, at the latest the next mark (or the open line).
    std::uint64_t line = marks_.front().line, at = marks_.front().offset;
    while (at < keepFrom) {
      ++line;
      if (marks_.size() > 1 && line == marks_[1].line)
        at = marks_[1].offset;
      else
        at = line == lines_ - 1 ? openStart_ : NextLineStart(at);
    }
    if (marks_.size() > 1 && line == marks_[1].line)
      marks_.pop_front();
    else
      marks_.front() = {line, at};
  }
  // A line that has become the first shows from column 0 ...
  if (marks_.front().line != firstBefore) firstLineColumn_ = 0;
  if (marks_.front().offset < keepFrom) {
    // ... but for one alone longer than the limit, which loses its oldest
    // bytes. What stays keeps its tab stops where they were, so the columns
    // of its bytes shift by whole stops only.
    std::uint64_t column = ColumnAfter(firstLineColumn_, openStart_, keepFrom);
    std::uint64_t shift = column - column % kTabStop;
    openColumns_ -= shift;
    firstLineColumn_ = column % kTabStop;
    marks_.front().offset = openStart_ = keepFrom;
  }
  base_ = marks_.front().offset;
  while ((firstChunk_ + 1) * kChunk <= base_) {
    spare_ = std::move(chunks_.front());
    chunks_.pop_front();
    ++firstChunk_;
  }
}

std::uint64_t TextStore::NextLineStart(std::uint64_t from) const {
  for (std::uint64_t at = from + 1;;) {
    // The LF of a CR LF that begins at or after `from`: from from + 1 on.
    const char* p = At(at);
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(end_ - at, kChunk - at % kChunk));
    const void* lf = std::memchr(p, '\n', n);
    if (!lf) {
      at += n;
      continue;
    }
    at += static_cast<std::uint64_t>(static_cast<const char*>(lf) - p);
    if (*At(at - 1) == '\r') return at + 1;
    ++at;
  }
}

std::uint64_t TextStore::FindLineStart(std::uint64_t line) const {
  if (line == lines_ - 1) return openStart_;
  // The last mark at or before the line, then line by line from there.
  auto mark = std::upper_bound(marks_.begin(), marks_.end(), line,
                               [](std::uint64_t l, const Mark& m) { return l < m.line; });
  --mark;
  std::uint64_t at = mark->offset;
  for (std::uint64_t l = mark->line; l < line; ++l) at = NextLineStart(at);
  return at;
}

std::uint64_t TextStore::MemoryUsed() const {
  std::uint64_t written = end_ - firstChunk_ * kChunk;
  return written + (spare_ ? kChunk : 0) + marks_.size() * sizeof(Mark);
}

void TextStore::Clear() {
  chunks_.clear();
  spare_.reset();
  firstChunk_ = base_ = end_ = 0;
  marks_.assign(1, Mark{0, 0});
  lines_ = 1;
  openStart_ = 0;
  firstLineColumn_ = openColumns_ = longestLine_ = 0;
  lastWasCR_ = false;
}

std::uint64_t TextStore::LineEnd(std::size_t index) const {
  const std::uint64_t line = marks_.front().line + index;
  return line + 1 < lines_ ? FindLineStart(line + 1) - 2 : end_ - (lastWasCR_ ? 1 : 0);
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
  if (index >= LineCount()) return {};
  std::uint64_t start = LineStart(index);
  std::string out(static_cast<std::size_t>(LineEnd(index) - start), '\0');
  CopyOut(start, out.size(), out.data());
  return out;
}

}  // namespace vx::fw
