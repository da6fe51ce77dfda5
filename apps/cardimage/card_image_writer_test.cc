#include "apps/cardimage/card_image_writer.h"

#include <cryptopp/modes.h>
#include <cryptopp/twofish.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "card/application_key.h"

namespace varlo::cardimage {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Bytes = std::vector<std::uint8_t>;

Bytes Decrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> cipher) {
  const std::array<std::uint8_t, 16> iv{};
  CryptoPP::CBC_Mode<CryptoPP::Twofish>::Decryption d(key.data(), key.size(), iv.data());
  Bytes plain(cipher.size());
  d.ProcessData(plain.data(), cipher.data(), cipher.size());
  return plain;
}

SecureBytes Text(std::string_view text) {
  return SecureBytes(text.begin(), text.end());
}

TokenDescription SmallToken() {
  TokenDescription token;
  token.uid = 1;
  token.label = "L";
  token.pin = Text("1");
  return token;
}

TEST(CardImageWriterTest, CrcAMatchesTheIsoCheckValues) {
  const std::string digits = "123456789";
  EXPECT_EQ(CrcA(std::span(reinterpret_cast<const std::uint8_t*>(digits.data()), 9)), 0xBF05);
  EXPECT_EQ(CrcA(Bytes{0x00, 0x00}), 0x1EA0);
  EXPECT_EQ(CrcA(Bytes{0x12, 0x34}), 0xCF26);
  EXPECT_EQ(CrcA(Bytes{}), 0x6363);
}

TEST(CardImageWriterTest, SizeNibbleIsTheOverheadModuloSixteen) {
  EXPECT_EQ(SizeNibble(0), 0);   // 16 stored, overhead 16
  EXPECT_EQ(SizeNibble(14), 2);  // 16 stored
  EXPECT_EQ(SizeNibble(15), 1);  // 32 stored, overhead 17
  EXPECT_EQ(SizeNibble(16), 0);  // 32 stored, overhead 16
  EXPECT_EQ(SizeNibble(30), 2);  // 32 stored
  EXPECT_EQ(SizeNibble(11), 5);  // 16 stored
}

TEST(CardImageWriterTest, UidBlobIsTheCardByteOrder) {
  EXPECT_THAT(UidBlob(0x0011223344556677), ElementsAre(0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77));
}

TEST(CardImageWriterTest, PropertyFileCarriesVersionMagicAndLabel) {
  const Bytes file = PropertyFile("ab");
  ASSERT_EQ(file.size(), 96u);
  EXPECT_THAT(Bytes(file.begin(), file.begin() + 5), ElementsAre(3, 'k', 'v', 'y', 'r'));
  EXPECT_EQ(file[23], 2);
  EXPECT_EQ(file[24], 'a');
  EXPECT_EQ(file[25], 'b');
  EXPECT_THROW(PropertyFile(std::string(33, 'x')), std::invalid_argument);
}

TEST(CardImageWriterTest, PinFileHoldsTheObjectKeyAndItsCrcUnderThePinKey) {
  const SecureBytes objectKey(32, 0x5A);
  const SecureBytes pin = Text("1234");
  const Bytes file = PinFile(pin, 0x04A1B2C3D4E5F6, objectKey);
  ASSERT_EQ(file.size(), 48u);
  const Bytes plain = Decrypt(PinKey(pin, 0x04A1B2C3D4E5F6), file);
  EXPECT_EQ(Bytes(plain.begin(), plain.begin() + 32), Bytes(32, 0x5A));
  const std::uint16_t crc = CrcA(objectKey);
  EXPECT_EQ(plain[32], crc & 0xFF);
  EXPECT_EQ(plain[33], crc >> 8);
}

TEST(CardImageWriterTest, LaysRecordsAndDataOverSeveralFiles) {
  TokenDescription token;
  token.uid = 0x04A1B2C3D4E5F6;
  token.label = "T";
  token.pin = Text("0000");
  for (int i = 0; i < 5; ++i) {
    token.objects.push_back({"o" + std::to_string(i), 7, i % 2 == 0, 3, SecureBytes(20, 1)});
  }
  const CardImage image = MakeCardImage(token, {.recordsPerHeader = 2, .dataFileSize = 40});
  // Records 2, 2, 1 in header files 0, 2, 4: each 3 + 49 × 3 bytes, last slot empty.
  for (std::uint8_t h : {0, 2, 4}) {
    ASSERT_TRUE(image.files.contains(h));
    const Bytes& header = image.files.at(h);
    EXPECT_EQ(header.size(), 150u);
    EXPECT_EQ(header[2], 2);
    EXPECT_EQ(header[0] | header[1] << 8, CrcA(std::span(header).subspan(2)));
  }
  EXPECT_FALSE(image.files.contains(6));
  // Five objects of 32 stored bytes: 160 bytes in data files of 40.
  for (std::uint8_t d : {1, 3, 5, 7})
    EXPECT_EQ(image.files.at(d).size(), 40u);
  EXPECT_FALSE(image.files.contains(9));
  // The second record of header 2 is object 3: position 6 blocks, 2 blocks, nibble 12.
  const Bytes& header = image.files.at(2);
  const std::size_t slot = 3 + 49;
  EXPECT_EQ(header[slot + 2], 6);
  EXPECT_EQ(header[slot + 4] | header[slot + 5] << 8, 2 | 12 << 12);
  EXPECT_EQ(header[slot + 6], 2);  // public
  EXPECT_EQ(header[slot + 7], 3);
  EXPECT_EQ(header[slot + 8], 7);
  EXPECT_EQ(header[slot + 10], 2);
  EXPECT_EQ(header[slot + 11], 'o');
  EXPECT_EQ(header[slot + 12], '3');
}

TEST(CardImageWriterTest, TokenWithoutObjectsStillHasHeaderAndDataFiles) {
  TokenDescription token = SmallToken();
  const CardImage image = MakeCardImage(token);
  EXPECT_EQ(image.files.at(0).size(), 101u);
  EXPECT_EQ(image.files.at(1), Bytes(16, 0));
  EXPECT_EQ(image.appKey, ApplicationKey());
}

TEST(CardImageWriterTest, RefusesWhatTheModuleCouldNotReadBack) {
  auto make = [](auto change) {
    TokenDescription token = SmallToken();
    token.objects.push_back({"x", 1, false, 1, {}});
    change(token);
    return MakeCardImage(token);
  };
  auto fails = [&](auto change, const std::string& text) {
    try {
      make(change);
      ADD_FAILURE() << "no failure for " << text;
    } catch (const std::invalid_argument& e) {
      EXPECT_THAT(e.what(), HasSubstr(text));
    }
  };
  fails([](TokenDescription& t) { t.uid = 0; }, "uid");
  fails([](TokenDescription& t) { t.uid = 1ull << 56; }, "uid");
  fails([](TokenDescription& t) { t.label.clear(); }, "label is empty");
  fails([](TokenDescription& t) { t.pin.clear(); }, "PIN");
  fails([](TokenDescription& t) { t.objects[0].type = 5; }, "type 5");
  fails([](TokenDescription& t) { t.objects[0].application = 0; }, "application");
  fails([](TokenDescription& t) { t.objects[0].label.assign(39, 'x'); }, "label longer");
  TokenDescription many = SmallToken();
  many.objects.assign(16, ObjectDescription{"x", 1, false, 1, {}});
  EXPECT_THROW(MakeCardImage(many, {.recordsPerHeader = 1, .dataFileSize = 0}),
               std::invalid_argument);
  many.objects.pop_back();
  EXPECT_THROW(MakeCardImage(many, {.recordsPerHeader = 1, .dataFileSize = 16}),
               std::invalid_argument);  // 15 data files
  EXPECT_NO_THROW(MakeCardImage(many, {.recordsPerHeader = 1, .dataFileSize = 32}));
  EXPECT_NO_THROW(
      make([](TokenDescription& t) { t.objects[0].content.resize(kMaxObjectContent); }));
  fails([](TokenDescription& t) { t.objects[0].content.resize(kMaxObjectContent + 1); }, "content");
}

TEST(CardImageWriterTest, CardImageJsonRoundTrips) {
  CardImage image;
  image.uid = 0x04A1B2C3D4E5F6;
  image.appKey.fill(0x11);
  image.files = {{0, {1, 2}}, {31, {}}, {29, {0xFF}}};
  const nlohmann::json json = image.ToJson();
  EXPECT_EQ(json["uid"], "04a1b2c3d4e5f6");
  EXPECT_EQ(json["files"]["29"], "ff");
  const CardImage back = CardImage::FromJson(json);
  EXPECT_EQ(back.uid, image.uid);
  EXPECT_EQ(back.appKey, image.appKey);
  EXPECT_EQ(back.files, image.files);

  nlohmann::json noKey = json;
  noKey.erase("appKey");
  EXPECT_EQ(CardImage::FromJson(noKey).appKey, ApplicationKey());
  nlohmann::json badFile = json;
  badFile["files"]["32"] = "00";
  EXPECT_THROW(CardImage::FromJson(badFile), std::invalid_argument);
  nlohmann::json badUid = json;
  badUid["uid"] = "04a1";
  EXPECT_THROW(CardImage::FromJson(badUid), std::invalid_argument);
}

TEST(CardImageWriterTest, ReadsTokenDescriptions) {
  const auto json = nlohmann::json::parse(R"({
    "uid": "04A1B2C3D4E5F6", "label": "Work", "pin": "1234",
    "objects": [
      {"label": "cert", "application": 5, "type": 1, "content": "0a0B"},
      {"label": "note", "private": true, "type": 3, "text": "hi"}
    ]})");
  const TokenDescription token = TokenDescriptionFromJson(json);
  EXPECT_EQ(token.uid, 0x04A1B2C3D4E5F6u);
  EXPECT_EQ(token.label, "Work");
  EXPECT_EQ(token.pin, Text("1234"));
  ASSERT_EQ(token.objects.size(), 2u);
  EXPECT_EQ(token.objects[0].application, 5);
  EXPECT_FALSE(token.objects[0].isPrivate);
  EXPECT_EQ(token.objects[0].content, (SecureBytes{0x0A, 0x0B}));
  EXPECT_TRUE(token.objects[1].isPrivate);
  EXPECT_EQ(token.objects[1].content, Text("hi"));

  nlohmann::json both = json;
  both["objects"][0]["text"] = "x";
  EXPECT_THROW(TokenDescriptionFromJson(both), std::invalid_argument);
  nlohmann::json badPrivate = json;
  badPrivate["objects"][1]["private"] = 1;
  EXPECT_THROW(TokenDescriptionFromJson(badPrivate), std::invalid_argument);
  nlohmann::json noPin = json;
  noPin.erase("pin");
  EXPECT_THROW(TokenDescriptionFromJson(noPin), std::invalid_argument);
}

}  // namespace
}  // namespace varlo::cardimage
