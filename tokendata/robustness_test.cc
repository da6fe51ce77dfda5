// Mutated card files and documents for both readers: no crash, no sanitizer report, and what is
// accepted keeps within the formats' limits.
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "tokendata/desfire_data.h"
#include "tokendata/test_card_files.h"

namespace varlo {
namespace {

using nlohmann::json;
using testing::Bytes;

CardFiles ValidCard() {
  testing::DataAreaBuilder area;
  Bytes a = area.Add(30, "a").Encode();
  Bytes empty = area.Add(0, "").Encode();
  Bytes b = area.Add(200, std::string(38, 'l'), 1, true, 9).Encode();
  const Bytes& data = area.Area();
  return {{0x00, testing::HeaderFile({a, empty})},
          {0x02, testing::HeaderFile({b}, 160)},
          {0x01, Bytes(data.begin(), data.begin() + 40)},
          {0x03, Bytes(data.begin() + 40, data.end())},
          {kPinFileNumber, testing::PinFile()},
          {kPropertyFileNumber, testing::PropertyFile("label")}};
}

class RobustnessTest : public ::testing::Test {
 protected:
  std::size_t Pick(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_);
  }
  std::mt19937 random_{20261206};
};

TEST_F(RobustnessTest, MutatedCardFiles) {
  for (int round = 0; round < 4000; ++round) {
    CardFiles files = ValidCard();
    for (int n = round % 3; n >= 0; --n) {
      auto file = std::next(files.begin(), static_cast<long>(Pick(files.size())));
      Bytes& bytes = file->second;
      switch (Pick(4)) {
        case 0:
          bytes.resize(Pick(bytes.size() + 60));
          break;
        case 1:
          files[static_cast<std::uint8_t>(Pick(40))] = Bytes(Pick(200), std::uint8_t(Pick(256)));
          break;
        default:  // a byte changed; in a header file, with its CRC mended to reach the records
          if (bytes.size() < 2) {
            break;
          }
          bytes[Pick(bytes.size())] = static_cast<std::uint8_t>(Pick(256));
          if (file->first < kPinFileNumber && file->first % 2 == 0 && Pick(4) != 0) {
            const std::uint16_t crc = CrcA(std::span(bytes).subspan(2));
            bytes[0] = static_cast<std::uint8_t>(crc);
            bytes[1] = static_cast<std::uint8_t>(crc >> 8);
          }
      }
    }
    try {
      DesfireData data(1, files);
      EXPECT_LE(data.label.size(), kMaxTokenLabelSize);
      for (const auto& [handle, object] : data.objects) {
        EXPECT_LE(object.label.size(), kMaxObjectLabelSize);
        EXPECT_EQ(object.value.size() % 16, 0u);
        EXPECT_LT(object.size, object.value.size() + 16);
      }
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "PIN data size mismatch.");
    }
  }
}

TEST_F(RobustnessTest, MutatedDocuments) {
  const std::string original = DesfireData(1, ValidCard()).ToJson();
  const json parsed = json::parse(original);
  const json values[] = {json(),         json(true),       json(-1),        json(1e300),
                         json(1u << 31), json("AAAA"),     json::array(),   json::object(),
                         json("=="),     json::array({1}), json("\xc3\xa9")};
  for (int round = 0; round < 2000; ++round) {
    json document;
    if (round % 2 == 0) {  // text: most give no JSON, some a document of odd shape
      std::string text = original;
      text[Pick(text.size())] = "{}[]\":,019-.etn=A"[Pick(17)];
      document = json::parse(text, nullptr, false);
    } else {  // a member of the token or of an object gets a value of another kind, or goes
      document = parsed;
      json& target = Pick(2) == 0 ? document : document["objects"][Pick(2)];
      auto member = std::next(target.begin(), static_cast<long>(Pick(target.size())));
      if (Pick(5) == 0) {
        target.erase(member);
      } else {
        *member = values[Pick(std::size(values))];
      }
    }
    try {
      DesfireData data(document);
      // What was accepted can be written and read back.
      DesfireData again(json::parse(data.ToJson()));
      EXPECT_EQ(again.initialized, data.initialized);
      EXPECT_EQ(again.objects.size(), data.objects.size());
    } catch (const std::exception&) {
    }
  }
}

}  // namespace
}  // namespace varlo
