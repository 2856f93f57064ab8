// Received blocks into the display, as the dialog takes them: each block's
// bytes up to its first zero byte are appended. Checks that the store keeps
// exactly those bytes and finds exactly their CR LF line breaks, and that a
// store with a small bound keeps the newest of them, from a line start unless
// one line alone fills it.
#include "framework/text_store.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kBound = 257;
  vx::fw::TextStore store, bounded(kBound);
  std::string expected;
  std::size_t at = 0;
  while (at < size) {
    // The first byte of each record sizes the block (up to 2048, sometimes huge).
    std::size_t want = data[at++];
    want = want == 255 ? size : want * 8 + 1;
    std::size_t n = std::min(want, size - at);
    const char* block = reinterpret_cast<const char*>(data + at);
    std::size_t shown = strnlen(block, n);
    store.Append(block, shown);
    bounded.Append(block, shown);
    expected.append(block, shown);
    at += n;
  }
  if (store.Text() != expected) std::abort();
  std::size_t lines = 1;
  for (std::size_t i = 1; i < expected.size(); ++i) lines += expected[i - 1] == '\r' && expected[i] == '\n';
  if (store.LineCount() != lines) std::abort();
  // The last line leaves out a CR that may yet begin a CR LF.
  std::string rebuilt;
  for (std::size_t i = 0; i < store.LineCount(); ++i) rebuilt += (i ? "\r\n" : "") + store.Line(i);
  if (!expected.empty() && expected.back() == '\r') rebuilt += '\r';
  if (rebuilt != expected) std::abort();

  const std::string kept = bounded.Text();
  const std::size_t from = expected.size() - kept.size();
  if (kept.size() > kBound || expected.compare(from, std::string::npos, kept) != 0) std::abort();
  const bool atLineStart = from == 0 || (from >= 2 && expected[from - 2] == '\r' && expected[from - 1] == '\n');
  if (!atLineStart && kept.size() != kBound) std::abort();
  if (bounded.LineCount() + bounded.DroppedLines() != lines) std::abort();
  return 0;
}
