#include "tokendata/crc_a.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace varlo {
namespace {

TEST(CrcATest, PublishedValues) {
  const std::vector<std::uint8_t> digits = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(CrcA(digits), 0xBF05);
  // ISO/IEC 14443-3 Annex B examples: frames 00 00 and 12 34.
  EXPECT_EQ(CrcA(std::vector<std::uint8_t>{0x00, 0x00}), 0x1EA0);
  EXPECT_EQ(CrcA(std::vector<std::uint8_t>{0x12, 0x34}), 0xCF26);
}

TEST(CrcATest, NibbleTableAgreesWithBitwiseDefinition) {
  std::vector<std::uint8_t> bytes;
  std::uint16_t expected = 0x6363;
  for (int i = 0; i < 256; ++i) {
    bytes.push_back(static_cast<std::uint8_t>(i));
    expected ^= bytes.back();
    for (int bit = 0; bit < 8; ++bit) {
      expected = static_cast<std::uint16_t>((expected >> 1) ^ ((expected & 1) ? 0x8408 : 0));
    }
    ASSERT_EQ(CrcA(bytes), expected) << "length " << bytes.size();
  }
}

}  // namespace
}  // namespace varlo
