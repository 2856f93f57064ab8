// The received-data store: bytes kept whole and in order, lines found across
// appends and chunk boundaries.
#include "framework/src/text_store.h"

#include <gtest/gtest.h>

namespace vx::fw {
namespace {

TEST(TextStore, CrLfBreaksLinesEvenAcrossAppends) {
  TextStore s;
  s.Append("one\r", 4);
  s.Append("\ntwo\nthree\rfour\r\n", 17);
  s.Append("", 0);
  ASSERT_EQ(s.LineCount(), 3u);
  EXPECT_EQ(s.Line(0), "one");
  EXPECT_EQ(s.Line(1), "two\nthree\rfour");  // a lone LF or CR is a character, not a break
  EXPECT_EQ(s.Line(2), "");
  EXPECT_EQ(s.LongestLine(), 14u);  // measured even though it ended inside one append
  EXPECT_EQ(s.Text(), "one\r\ntwo\nthree\rfour\r\n");
}

TEST(TextStore, EveryByteValueIsKept) {
  TextStore s;
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  s.Append(all.data(), all.size());
  EXPECT_EQ(s.Text(), all);
  EXPECT_EQ(s.LineCount(), 1u);
}

TEST(TextStore, LargeContentCrossesChunksWithoutLosingLines) {
  TextStore s;
  std::string line(1000, 'x');
  line += "\r\n";
  std::string expected;
  // 3 MiB in odd-sized appends, so that both chunk edges and CR|LF splits occur.
  std::string stream;
  while (stream.size() < (3u << 20)) stream += line;
  for (std::size_t at = 0; at < stream.size();) {
    std::size_t n = std::min<std::size_t>(stream.size() - at, 4093);
    s.Append(stream.data() + at, n);
    at += n;
  }
  EXPECT_EQ(s.Size(), stream.size());
  EXPECT_EQ(s.LineCount(), stream.size() / line.size() + 1);
  EXPECT_EQ(s.Line(1047), std::string(1000, 'x'));
  EXPECT_EQ(s.LongestLine(), 1000u);
  EXPECT_TRUE(s.Text() == stream);
  s.Clear();
  EXPECT_EQ(s.Size(), 0u);
  EXPECT_EQ(s.LineCount(), 1u);
}

TEST(TextStore, OneEndlessLine) {
  TextStore s;
  std::string block(2048, 'z');
  for (int i = 0; i < 2048; ++i) s.Append(block.data(), block.size());
  EXPECT_EQ(s.LineCount(), 1u);
  EXPECT_EQ(s.LongestLine(), 2048u * 2048);
}

TEST(PacketSizeField, WhatCountsAsAnUnsignedNumber) {
  unsigned v = 7;
  EXPECT_TRUE(ParseUnsignedField("256", &v));
  EXPECT_EQ(v, 256u);
  EXPECT_TRUE(ParseUnsignedField("  12\t", &v));
  EXPECT_EQ(v, 12u);
  EXPECT_TRUE(ParseUnsignedField("4294967295", &v));
  EXPECT_EQ(v, 4294967295u);
  v = 7;
  for (const char* bad : {"", " ", "abc", "-5", "+5", "12x", "1 2", "4294967296", "99999999999999999999", "0x10"})
    EXPECT_FALSE(ParseUnsignedField(bad, &v)) << bad;
  EXPECT_EQ(v, 7u);  // untouched by a failed parse
}

}  // namespace
}  // namespace vx::fw
