// Received blocks into the display, as the dialog takes them: each block's
// bytes up to its first zero byte are appended. Checks that the store keeps
// exactly those bytes and finds exactly their CR LF line breaks.
#include "framework/src/text_store.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vx::fw::TextStore store;
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
    expected.append(block, shown);
    at += n;
  }
  if (store.Text() != expected) std::abort();
  std::size_t lines = 1;
  for (std::size_t i = 1; i < expected.size(); ++i) lines += expected[i - 1] == '\r' && expected[i] == '\n';
  if (store.LineCount() != lines) std::abort();
  std::string rebuilt;
  for (std::size_t i = 0; i < store.LineCount(); ++i) rebuilt += (i ? "\r\n" : "") + store.Line(i);
  if (rebuilt != expected) std::abort();
  return 0;
}
