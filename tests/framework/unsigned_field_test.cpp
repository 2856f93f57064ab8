#include "framework/unsigned_field.h"

#include <gtest/gtest.h>

namespace vx::fw {
namespace {

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
