#include "text_store.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace vx::fw {

void TextStore::Append(const char* bytes, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    std::size_t offset = static_cast<std::size_t>(size_ % kChunk);
    if (offset == 0 && chunks_.size() * kChunk == size_) chunks_.push_back(std::unique_ptr<char[]>(new char[kChunk]));  // not zeroed: every byte is written before it is read
    std::size_t n = std::min(count - done, kChunk - offset);
    const char* p = bytes + done;
    std::memcpy(chunks_.back().get() + offset, p, n);
    if (lastWasCR_ && p[0] == '\n') StartLine(size_ + 1);
    for (const char* lf = p; (lf = static_cast<const char*>(std::memchr(lf, '\n', n - (lf - p)))) != nullptr; ++lf) {
      if (lf > p && lf[-1] == '\r') StartLine(size_ + static_cast<std::uint64_t>(lf - p) + 1);
    }
    lastWasCR_ = p[n - 1] == '\r';
    size_ += n;
    done += n;
  }
  // The open last line, less a CR that may yet turn out to begin its CR LF.
  longestLine_ = std::max(longestLine_, size_ - lineStarts_.back() - (lastWasCR_ ? 1 : 0));
}

void TextStore::StartLine(std::uint64_t start) {
  longestLine_ = std::max(longestLine_, start - 2 - lineStarts_.back());  // the line just ended, less its CR LF
  lineStarts_.push_back(start);
}

void TextStore::Clear() {
  chunks_.clear();
  size_ = 0;
  lineStarts_.assign(1, 0);
  longestLine_ = 0;
  lastWasCR_ = false;
}

std::uint64_t TextStore::LineEnd(std::size_t index) const {
  return index + 1 < lineStarts_.size() ? lineStarts_[index + 1] - 2 : size_;
}

void TextStore::CopyOut(std::uint64_t from, std::size_t count, char* out) const {
  while (count > 0) {
    std::size_t chunk = static_cast<std::size_t>(from / kChunk);
    std::size_t offset = static_cast<std::size_t>(from % kChunk);
    std::size_t n = std::min(count, kChunk - offset);
    std::memcpy(out, chunks_[chunk].get() + offset, n);
    out += n;
    from += n;
    count -= n;
  }
}

std::string TextStore::Text() const {
  std::string out(static_cast<std::size_t>(size_), '\0');
  CopyOut(0, out.size(), out.data());
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
