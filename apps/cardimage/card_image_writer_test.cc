// What the writer alone decides: the PIN file's plain layout, how files are laid out, what it
// refuses, and its two JSON forms. That the module reads its images back is the round-trip
// test's business.
#include "apps/cardimage/card_image_writer.h"

#include <cryptopp/modes.h>
#include <cryptopp/twofish.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <stdexcept>
#include <string>
#include <tuple>

#include "card/application_key.h"

namespace varlo::cardimage {
namespace {

using ::testing::HasSubstr;
using Bytes = std::vector<std::uint8_t>;

SecureBytes Text(std::string_view text) {
  return SecureBytes(text.begin(), text.end());
}

TEST(CardImageWriterTest, PinFileHoldsTheObjectKeyAndItsCrcUnderThePinKey) {
  const SecureBytes objectKey(32, 0x5A);
  const Bytes file = PinFile(Text("1234"), 0x04A1B2C3D4E5F6, objectKey);
  ASSERT_EQ(file.size(), 48u);
  const SecureBytes key = PinKey(Text("1234"), 0x04A1B2C3D4E5F6);
  const std::array<std::uint8_t, 16> iv{};
  Bytes plain(48);
  CryptoPP::CBC_Mode<CryptoPP::Twofish>::Decryption(key.data(), key.size(), iv.data())
      .ProcessData(plain.data(), file.data(), file.size());
  EXPECT_EQ(Bytes(plain.begin(), plain.begin() + 32), Bytes(32, 0x5A));
  EXPECT_EQ(plain[32] | plain[33] << 8, CrcA(objectKey));
}

TEST(CardImageWriterTest, SpreadsRecordsAndDataOverFiles) {
  TokenDescription token{0x04A1B2C3D4E5F6, "T", Text("0000"), {}, {}, {}};
  for (int i = 0; i < 5; ++i)
    token.objects.push_back(
        {std::string("o").append(std::to_string(i)), 7, i % 2 == 0, 3, SecureBytes(20, 1)});
  const CardImage image = MakeCardImage(token, {.recordsPerHeader = 2, .dataFileSize = 40});
  // Records 2, 2, 1 in header files 0, 2, 4 of 3 + 49 × 3 bytes; 5 × 32 stored bytes in data
  // files of 40.
  std::string sizes;
  for (const auto& [number, content] : image.files)
    sizes += std::to_string(number) + ":" + std::to_string(content.size()) + " ";
  EXPECT_EQ(sizes, "0:150 1:40 2:150 3:40 4:150 5:40 7:40 29:48 31:96 ");
  EXPECT_EQ(image.appKey, ApplicationKey());
}

TEST(CardImageWriterTest, RefusesWhatTheModuleCouldNotReadBack) {
  const std::vector<std::pair<std::function<void(TokenDescription&)>, std::string>> faults = {
      {[](TokenDescription& t) { t.uid = 0; }, "uid"},
      {[](TokenDescription& t) { t.uid = 1ull << 56; }, "uid"},
      {[](TokenDescription& t) { t.label.clear(); }, "label is empty"},
      {[](TokenDescription& t) { t.label.assign(33, 'x'); }, "token label longer"},
      {[](TokenDescription& t) { t.pin.clear(); }, "PIN"},
      {[](TokenDescription& t) { t.objects[0].type = 5; }, "type 5"},
      {[](TokenDescription& t) { t.objects[0].application = 0; }, "application"},
      {[](TokenDescription& t) { t.objects[0].label.assign(39, 'x'); }, "label longer"},
      {[](TokenDescription& t) { t.objects[0].content.resize(kMaxObjectContent + 1); }, "content"},
      {[](TokenDescription& t) {
         t.objects.assign(16, {"x", 1, false, 1, {}});
       },
       "header files"},
      {[](TokenDescription& t) {
         t.objects.assign(15, {"x", 1, false, 1, {}});
       },
       "data files"},
  };
  for (const auto& [spoil, text] : faults) {
    TokenDescription token{1, "L", Text("1"), {{"x", 1, false, 1, {}}}, {}, {}};
    spoil(token);
    try {
      MakeCardImage(token, {.recordsPerHeader = 1, .dataFileSize = 16});
      ADD_FAILURE() << "no failure for " << text;
    } catch (const std::invalid_argument& e) {
      EXPECT_THAT(e.what(), HasSubstr(text));
    }
  }
}

TEST(CardImageWriterTest, JsonForms) {
  CardImage image;
  image.uid = 0x04A1B2C3D4E5F6;
  image.appKey.fill(0x11);
  image.files = {{0, {1, 2}}, {31, {}}, {29, {0xFF}}};
  const nlohmann::json json = image.ToJson();
  EXPECT_EQ(json["uid"], "04a1b2c3d4e5f6");  // the card's byte order
  const CardImage back = CardImage::FromJson(json);
  EXPECT_EQ(std::tie(back.uid, back.appKey, back.files),
            std::tie(image.uid, image.appKey, image.files));
  for (const auto& [member, value] : {std::pair{"uid", "04a1"}, {"files", "00"}}) {
    nlohmann::json bad = json;
    bad[member] = value;
    EXPECT_THROW(CardImage::FromJson(bad), std::invalid_argument) << member;
  }

  // The description's objects are read by the tool's tests; one may not have both forms.
  const auto both = nlohmann::json::parse(R"({"uid": "04A1B2C3D4E5F6", "label": "L", "pin": "1",
    "objects": [{"label": "x", "type": 3, "content": "0a", "text": "x"}]})");
  EXPECT_THROW(TokenDescriptionFromJson(both), std::invalid_argument);
}

}  // namespace
}  // namespace varlo::cardimage
