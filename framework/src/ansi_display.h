// How the system's 8-bit text looks on screen. Received bytes are Windows'
// "ANSI" code page, Windows-1252: 0x80-0x9F are its own characters (the euro
// sign, curly quotes, ...), the rest above 0x7F is Latin-1. Control bytes and
// the five code points 1252 leaves undefined show as a visible placeholder, so
// that a byte never vanishes or turns into an empty box; a TAB advances to the
// next tab stop. Every byte other than TAB fills exactly one column.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vx::fw {

inline constexpr char16_t kPlaceholderChar = u'\uFFFD';

// The character a byte shows as (a TAB's columns are the caller's to lay out).
char16_t ShownChar(unsigned char byte);

// The `count` columns from column `first` of a row whose bytes begin at
// column `column` (at most `first`): TABs expanded, bytes mapped, padded with
// nothing past the bytes' end.
std::u16string LayOutColumns(const char* bytes, std::size_t size, std::uint64_t column, std::uint64_t first,
                             std::size_t count);

}  // namespace vx::fw
