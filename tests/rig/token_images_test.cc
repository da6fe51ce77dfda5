#include "tests/rig/token_images.h"

#include <gtest/gtest.h>

#include <string_view>

namespace varlo::testrig {
namespace {

std::uint16_t Crc(std::initializer_list<std::uint8_t> bytes) {
  return CrcA(std::span(bytes.begin(), bytes.size()));
}

TEST(TokenImagesTest, CrcAMatchesPublishedValues) {
  const std::string_view digits = "123456789";
  EXPECT_EQ(CrcA(std::span(reinterpret_cast<const std::uint8_t*>(digits.data()), digits.size())),
            0xBF05);
  EXPECT_EQ(Crc({}), 0x6363);
  EXPECT_EQ(Crc({0x00, 0x00}), 0x1EA0);
  EXPECT_EQ(Crc({0x12, 0x34}), 0xCF26);
}

TEST(TokenImagesTest, BlankTokenHasTheThreeFiles) {
  auto image = BlankTokenImage("04010203040506", "Test token");
  ASSERT_EQ(image.files.size(), 3u);
  const auto& property = image.files.at(0x1F);
  ASSERT_EQ(property.size(), 96u);
  EXPECT_EQ(property[0], 3);
  EXPECT_EQ(std::string(property.begin() + 1, property.begin() + 5), "kvyr");
  EXPECT_EQ(property[23], 10);
  EXPECT_EQ(std::string(property.begin() + 24, property.begin() + 34), "Test token");
  EXPECT_EQ(image.files.at(0x1D), std::vector<std::uint8_t>(48, 0x13));
  const auto& header = image.files.at(0x00);
  ASSERT_EQ(header.size(), 101u);
  EXPECT_EQ(header[2], 2);
  EXPECT_EQ(header[0] | header[1] << 8, CrcA(std::span(header).subspan(2)));
  EXPECT_THROW(BlankTokenImage("04010203040506", std::string(33, 'x')), std::invalid_argument);
}

}  // namespace
}  // namespace varlo::testrig
