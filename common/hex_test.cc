#include "common/hex.h"

#include <gtest/gtest.h>

namespace varlo {
namespace {

TEST(HexTest, RoundTripsEveryByteValue) {
  std::vector<std::uint8_t> all(256);
  for (int i = 0; i < 256; ++i)
    all[i] = static_cast<std::uint8_t>(i);
  auto text = ToHex(all);
  EXPECT_EQ(text.substr(0, 8), "00010203");
  EXPECT_EQ(FromHex(text), all);
}

TEST(HexTest, AcceptsUpperCaseAndRejectsMalformedText) {
  EXPECT_EQ(FromHex("AbCd"), (std::vector<std::uint8_t>{0xAB, 0xCD}));
  EXPECT_EQ(FromHex(""), std::vector<std::uint8_t>{});
  EXPECT_FALSE(FromHex("abc"));
  EXPECT_FALSE(FromHex("zz"));
  EXPECT_FALSE(FromHex("0 "));
}

}  // namespace
}  // namespace varlo
