// Random and mutated inputs for both readers: no crash, no sanitizer report, and whatever is
// accepted obeys the format's limits.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tokendata/desfire_data.h"
#include "tokendata/test_card_files.h"
#include "tokendata/token_json.h"

namespace varlo {
namespace {

using nlohmann::json;
using testing::Bytes;

CardFiles ValidCard() {
  testing::DataAreaBuilder area;
  std::vector<Bytes> records;
  records.push_back(area.Add(30, "a").Encode());
  records.push_back(area.Add(0, "empty").Encode());
  records.push_back(area.Add(200, std::string(38, 'l'), 1, true, 9).Encode());
  records.push_back(area.Add(15, "b", 7, true).Encode());
  const Bytes& data = area.Area();
  return {{0x00, testing::HeaderFile({records[0], records[1]})},
          {0x02, testing::HeaderFile({records[2], records[3]}, 160)},
          {0x01, Bytes(data.begin(), data.begin() + 40)},
          {0x03, Bytes(data.begin() + 40, data.end())},
          {kPinFileNumber, testing::PinFile()},
          {kPropertyFileNumber, testing::PropertyFile("label")}};
}

void Mutate(CardFiles& files, std::mt19937& random) {
  auto pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
  };
  auto it = std::next(files.begin(), static_cast<long>(pick(files.size())));
  Bytes& file = it->second;
  switch (pick(6)) {
    case 0:  // flip bytes
      for (std::size_t n = pick(4) + 1; n > 0 && !file.empty(); --n) {
        file[pick(file.size())] ^= static_cast<std::uint8_t>(pick(255) + 1);
      }
      break;
    case 1:
      file.resize(pick(file.size() + 60));
      break;
    case 2:
      files.erase(it);
      break;
    case 3:
      files[static_cast<std::uint8_t>(pick(40))] =
          Bytes(pick(200), static_cast<std::uint8_t>(pick(256)));
      break;
    case 4: {  // a record field changed, header CRC repaired so the record itself is tested
      if (it->first % 2 == 0 && it->first < kPinFileNumber && file.size() >= kMinHeaderFileSize) {
        file[3 + pick(2) * kObjectRecordSize + pick(kObjectRecordSize)] =
            static_cast<std::uint8_t>(pick(256));
        const std::uint16_t crc = CrcA(std::span(file).subspan(2));
        file[0] = static_cast<std::uint8_t>(crc);
        file[1] = static_cast<std::uint8_t>(crc >> 8);
      }
      break;
    }
    default:
      if (!file.empty()) {
        file[pick(file.size())] = static_cast<std::uint8_t>(pick(256));
      }
  }
}

TEST(RobustnessTest, MutatedCardFiles) {
  std::mt19937 random(20261206);
  int initialized = 0;
  for (int round = 0; round < 4000; ++round) {
    CardFiles files = ValidCard();
    for (int n = round % 3 + 1; n > 0; --n) {
      Mutate(files, random);
    }
    std::size_t dataAreaSize = 0;
    for (const auto& [number, content] : files) {
      if (number % 2 == 1 || number > kPinFileNumber) {
        dataAreaSize += content.size();
      }
    }
    try {
      DesfireData data(0x0102030405060708, files);
      if (data.initialized) {
        ++initialized;
        EXPECT_FALSE(data.label.empty());
        EXPECT_EQ(data.pinData.size(), kPinDataSize);
      }
      EXPECT_LE(data.label.size(), kMaxTokenLabelSize);
      for (const auto& [handle, object] : data.objects) {
        EXPECT_LE(object.label.size(), kMaxObjectLabelSize);
        EXPECT_EQ(object.value.size() % 16, 0u);
        EXPECT_LE(object.value.size(), dataAreaSize);
        EXPECT_LE(object.size + 1, object.value.size() + 16);
      }
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "PIN data size mismatch.");
    }
  }
  EXPECT_GT(initialized, 0);  // some mutations leave the token intact
}

TEST(RobustnessTest, MutatedJsonDocuments) {
  DesfireData card(0x04A1B2C3D4E5F6, ValidCard());
  ASSERT_TRUE(card.initialized);
  const std::string original = card.ToJson();
  constexpr char kAlphabet[] = "{}[]\":,0123456789-+.eE truefalsn\\=/AZaz";
  std::mt19937 random(7);
  auto pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
  };
  int accepted = 0;
  const json originalDocument = json::parse(original);
  const std::vector<json> values = {
      json(),       json(true), json(-1),      json(3),        json(1e300),      json(4294967296),
      json("AAAA"), json("=="), json::array(), json::object(), json::array({1}), json("\xc3\xa9")};
  for (int round = 0; round < 4000; ++round) {
    json document;
    if (round % 2 == 0) {
      // Text mutations: most give no JSON at all, some a document of odd shape.
      std::string text = original;
      for (int n = round % 4 + 1; n > 0; --n) {
        const std::size_t at = pick(text.size());
        switch (pick(3)) {
          case 0:
            text[at] = kAlphabet[pick(sizeof kAlphabet - 1)];
            break;
          case 1:
            text.erase(at, pick(8) + 1);
            break;
          default:
            text.insert(at, 1, kAlphabet[pick(sizeof kAlphabet - 1)]);
        }
      }
      document = json::parse(text, nullptr, false);
      if (document.is_discarded()) {
        continue;
      }
    } else {
      // Member mutations: a member of the token or of one object gets a value of any kind.
      document = originalDocument;
      json& target = pick(2) == 0 ? document : document["objects"][pick(4)];
      std::vector<std::string> names;
      for (const auto& [name, value] : target.items()) {
        names.push_back(name);
      }
      names.push_back("unknown");
      const std::string& name = names[pick(names.size())];
      if (pick(5) == 0) {
        target.erase(name);
      } else {
        target[name] = values[pick(values.size())];
      }
    }
    try {
      DesfireData data(document);
      ++accepted;
      // What was accepted can be written and read back unchanged.
      DesfireData again(json::parse(data.ToJson()));
      EXPECT_EQ(again.uid, data.uid);
      EXPECT_EQ(again.initialized, data.initialized);
      EXPECT_EQ(again.objects.size(), data.objects.size());
    } catch (const std::exception&) {
    }
  }
  EXPECT_GT(accepted, 0);
}

}  // namespace
}  // namespace varlo
