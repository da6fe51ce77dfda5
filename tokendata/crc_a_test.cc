#include "tokendata/crc_a.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>
#include <vector>

namespace varlo {
namespace {

std::uint16_t BitwiseCrcA(const std::vector<std::uint8_t>& bytes) {
  std::uint16_t crc = 0x6363;
  for (std::uint8_t byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1) != 0 ? static_cast<std::uint16_t>((crc >> 1) ^ 0x8408)
                           : static_cast<std::uint16_t>(crc >> 1);
    }
  }
  return crc;
}

TEST(CrcATest, MatchesPublishedCheckValue) {
  constexpr std::string_view kDigits = "123456789";
  std::vector<std::uint8_t> bytes(kDigits.begin(), kDigits.end());
  EXPECT_EQ(CrcA(bytes), 0xBF05);
}

TEST(CrcATest, EmptyInputGivesInitialValue) {
  EXPECT_EQ(CrcA({}), 0x6363);
}

TEST(CrcATest, IsoExampleFrames) {
  // ISO/IEC 14443-3 Annex B: 0x00 0x00 -> CRC bytes 0xA0 0x1E; 0x12 0x34 -> 0x26 0xCF.
  EXPECT_EQ(CrcA(std::vector<std::uint8_t>{0x00, 0x00}), 0x1EA0);
  EXPECT_EQ(CrcA(std::vector<std::uint8_t>{0x12, 0x34}), 0xCF26);
}

TEST(CrcATest, NibbleTableAgreesWithBitwiseDefinitionOnEveryByte) {
  std::vector<std::uint8_t> bytes;
  for (int i = 0; i < 256; ++i) {
    bytes.push_back(static_cast<std::uint8_t>(i));
    EXPECT_EQ(CrcA(bytes), BitwiseCrcA(bytes)) << "length " << bytes.size();
  }
}

}  // namespace
}  // namespace varlo
