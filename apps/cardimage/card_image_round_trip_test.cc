// Card images written by the writer read back through the module's own parser and token.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

#include "apps/cardimage/card_image_writer.h"
#include "token/token.h"
#include "tokendata/desfire_data.h"

namespace varlo::cardimage {
namespace {

constexpr std::uint64_t kUid = 0x04A1B2C3D4E5F6;
const std::string kApplicationPrefix = "1.3.6.1.4.1.6147.9117.1.1234.8.";

SecureBytes Secure(const std::string& text) {
  return SecureBytes(text.begin(), text.end());
}

// Content sizes 0 to 100 cover every overhead nibble several times over.
TokenDescription EveryContentSize() {
  TokenDescription token;
  token.uid = kUid;
  token.label = std::string(32, 'L');
  token.pin = Secure("pin with spaces and ümlauts");
  const std::uint8_t types[] = {1, 3, 4, 6, 255};
  for (std::size_t size = 0; size <= 100; ++size) {
    ObjectDescription object;
    object.label = "object " + std::to_string(size);
    if (size == 38)
      object.label = std::string(38, 'x');  // the longest label a record holds
    object.isPrivate = size % 2 == 1;
    object.type = types[size % std::size(types)];
    object.application =
        object.type == 1 || size % 3 == 0 ? static_cast<std::uint16_t>(size * 655) : 0;
    if (object.type == 1 && object.application == 0)
      object.application = 1;
    for (std::size_t i = 0; i < size; ++i) {
      object.content.push_back(static_cast<std::uint8_t>(i * 37 + size));
    }
    token.objects.push_back(std::move(object));
  }
  return token;
}

void ExpectSameToken(const TokenDescription& description, const CardFiles& files) {
  DesfireData data(description.uid, files);
  ASSERT_TRUE(data.initialized);
  EXPECT_EQ(data.uid, description.uid);
  EXPECT_EQ(data.label, description.label);
  ASSERT_EQ(data.objects.size(), description.objects.size());

  Token token(data, nullptr);
  token.CheckPIN(description.pin);
  std::map<std::string, std::uint64_t> handles;
  for (const auto& [handle, object] : token.objects)
    handles[object.label] = handle;
  ASSERT_EQ(handles.size(), description.objects.size()) << "labels are unique";
  for (const ObjectDescription& expected : description.objects) {
    SCOPED_TRACE(expected.label);
    const std::uint64_t handle = handles.at(expected.label);
    const TokenObject object = token.GetObject(handle);
    EXPECT_EQ(object.isPrivate, expected.isPrivate);
    EXPECT_EQ(object.type, expected.type);
    EXPECT_EQ(object.application, expected.application == 0
                                      ? std::string()
                                      : kApplicationPrefix + std::to_string(expected.application));
    EXPECT_EQ(object.size, expected.content.size());
    EXPECT_EQ(token.ReadObject(handle), expected.content);
  }
}

TEST(CardImageRoundTripTest, EverySizeOverSeveralHeaderAndDataFiles) {
  const TokenDescription token = EveryContentSize();
  // 101 records in 15 header files of 7 (the last 0x1C); the data area in 500-byte files, so
  // objects straddle file boundaries.
  const CardImage image = MakeCardImage(token, {.recordsPerHeader = 7, .dataFileSize = 500});
  EXPECT_TRUE(image.files.contains(0x1C) && image.files.contains(0x03));
  ExpectSameToken(token, image.files);
}

TEST(CardImageRoundTripTest, SmallTokensWithAGivenObjectKeyThroughTheImageJson) {
  TokenDescription token{1, "x", Secure("1"), {}, SecureBytes(32, 0xA5), {}};
  ExpectSameToken(token, MakeCardImage(token).files);
  token.objects = {{"p", 0, true, 3, Secure("private")}, {"", 65535, false, 1, Secure("public")}};
  const CardImage image = MakeCardImage(token);
  EXPECT_EQ(image.files.size(), 4u);  // property, PIN, one header, one data file
  const auto stored = StoredObject(Secure("private"), *token.objectKey);
  EXPECT_TRUE(std::equal(stored.begin(), stored.end(), image.files.at(0x01).begin()));
  ExpectSameToken(token, CardImage::FromJson(nlohmann::json::parse(image.ToJson().dump())).files);
}

}  // namespace
}  // namespace varlo::cardimage
