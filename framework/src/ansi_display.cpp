#include "ansi_display.h"

#include "framework/text_store.h"

#include <algorithm>

namespace vx::fw {
namespace {

// 0x80-0x9F of Windows-1252; 0 where the code page defines nothing.
constexpr char16_t kHigh[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

}  // namespace

char16_t ShownChar(unsigned char byte) {
  if (byte < 0x20 || byte == 0x7F) return kPlaceholderChar;
  if (byte >= 0x80 && byte < 0xA0) return kHigh[byte - 0x80] ? kHigh[byte - 0x80] : kPlaceholderChar;
  // The soft hyphen is drawn as a hyphen, as Windows draws it; as U+00AD a
  // text renderer would hide it and the columns after it would shift.
  if (byte == 0xAD) return u'\u2010';
  return static_cast<char16_t>(byte);
}

std::u16string LayOutColumns(const char* bytes, std::size_t size, std::uint64_t column, std::uint64_t first,
                             std::size_t count) {
  std::u16string out;
  out.reserve(count);
  const std::uint64_t last = first + count;
  for (std::size_t i = 0; i < size && column < last; ++i) {
    unsigned char byte = static_cast<unsigned char>(bytes[i]);
    std::uint64_t next = byte == '\t' ? column / TextStore::kTabStop * TextStore::kTabStop + TextStore::kTabStop
                                      : column + 1;
    for (std::uint64_t c = std::max(column, first); c < next && c < last; ++c) out += byte == '\t' ? u' ' : ShownChar(byte);
    column = next;
  }
  return out;
}

}  // namespace vx::fw
