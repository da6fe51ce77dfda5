#include "modulehost/item_block.h"

#include <gtest/gtest.h>

namespace varlo::host {
namespace {

// A boolean item "tcii" = true, packed as a root.
const std::vector<std::uint8_t> kBoolean = {0x53, 0x52, 0x0B, 0x00, 0x00, 0x00, 0x07, 0x05,
                                            0x00, 0x00, 0x00, 0x74, 0x63, 0x69, 0x69, 0x00,
                                            0x01, 0xD1, 0x55, 0x9B, 0x9C, 0x42, 0x57};

TEST(ItemBlockTest, ReadsAPackedBoolean) {
  auto root = ReadItemBlock(kBoolean);
  ASSERT_TRUE(root);
  EXPECT_EQ(root->type, 7);
  EXPECT_EQ(root->name, "tcii");
  EXPECT_TRUE(root->boolean);
  EXPECT_EQ(ToJson(*root),
            nlohmann::json::parse(R"({"name":"tcii","type":"boolean","value":true})"));
}

TEST(ItemBlockTest, RefusesDamagedBlocks) {
  for (std::size_t i = 0; i < kBoolean.size(); ++i) {
    auto damaged = kBoolean;
    damaged[i] ^= 0x01;
    EXPECT_FALSE(ReadItemBlock(damaged)) << "byte " << i;
  }
  for (std::size_t n = 0; n < kBoolean.size(); ++n) {
    EXPECT_FALSE(ReadItemBlock(std::span(kBoolean).first(n))) << "length " << n;
  }
}

}  // namespace
}  // namespace varlo::host
