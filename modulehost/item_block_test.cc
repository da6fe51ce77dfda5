#include "modulehost/item_block.h"

#include <gtest/gtest.h>

#include "items/crc32.h"

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

// A text item "NAME" = "TEXT" as a whole block: "SR", length, item, CRC-32, "BW".
std::vector<std::uint8_t> TextBlock(std::string_view name, std::string_view text) {
  std::string item(1, static_cast<char>(kItemText));
  auto put32 = [](std::string& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
      out += static_cast<char>(value >> (8 * i));
  };
  for (std::string_view part : {name, text}) {
    put32(item, static_cast<std::uint32_t>(part.size() + 1));
    item += part;
    item += '\0';
  }
  std::string block = "SR";
  put32(block, static_cast<std::uint32_t>(item.size()));
  block += item;
  put32(block, Crc32(std::span(reinterpret_cast<const std::uint8_t*>(item.data()), item.size())));
  block += "BW";
  return {block.begin(), block.end()};
}

// A module's names and texts reach the host's JSON output as UTF-8 whatever bytes they hold:
// writing the document out never fails.
TEST(ItemBlockTest, ShowsMalformedUtf8AsReplacementCharacters) {
  struct Case {
    std::string_view name, text, shownName, shownText;
  } cases[] = {
      {"tcm", "Varlo \xC3\xA9", "tcm", "Varlo \xC3\xA9"},
      {"obje\xBDs", "a\xFF", "obje\xEF\xBF\xBDs", "a\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    const auto root = ReadItemBlock(TextBlock(c.name, c.text));
    ASSERT_TRUE(root) << c.name;
    const nlohmann::json shown = ToJson(*root);
    EXPECT_NO_THROW((void)shown.dump()) << c.name;
    EXPECT_EQ(shown["name"], c.shownName);
    EXPECT_EQ(shown["value"], c.shownText);
  }
}

}  // namespace
}  // namespace varlo::host
