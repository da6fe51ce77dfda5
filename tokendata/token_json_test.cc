#include "tokendata/token_json.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tokendata/desfire_data.h"
#include "tokendata/test_card_files.h"

namespace varlo {
namespace {

using Bytes = std::vector<std::uint8_t>;
using nlohmann::json;

constexpr char kDocument[] =
    R"({"uid":"9uXUw7KhBAA=","label":"VG9r",)"
    R"("pindata":"ExMTExMTExMTExMTExMTExMTExMTExMTExMTExMTExMTExMTExMTExMTExMTExMT",)"
    R"("pinerrcount":2,"objects":[)"
    R"({"label":"pub","private":false,"type":3,"size":14,"value":"AAECAwQFBgcICQoLDA0ODw=="},)"
    R"({"label":"bin","application":"1.3.6.1.4.1.6147.9117.1.1234.8.5","private":true,)"
    R"("type":1,"size":20,"value":"qqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqo="}]})";

TokenObject PublicObject() {
  TokenObject object;
  object.label = "pub";
  object.type = 3;
  object.size = 14;
  for (std::uint8_t i = 0; i < 16; ++i) {
    object.value.push_back(i);
  }
  return object;
}

TokenObject BinaryObject() {
  TokenObject object;
  object.label = "bin";
  object.application = "1.3.6.1.4.1.6147.9117.1.1234.8.5";
  object.isPrivate = true;
  object.type = 1;
  object.size = 20;
  object.value = Bytes(32, 0xAA);
  return object;
}

DesfireData SampleToken() {
  DesfireData data;
  data.uid = 0x04A1B2C3D4E5F6;
  data.label = "Tok";
  data.initialized = true;
  data.pinData = Bytes(48, 0x13);
  data.pinErrorCount = 2;
  data.objects[7] = PublicObject();
  data.objects[9] = BinaryObject();
  return data;
}

std::vector<TokenObject> ObjectsByLabel(const DesfireData& data) {
  std::vector<TokenObject> objects;
  for (const auto& [handle, object] : data.objects) {
    objects.push_back(object);
  }
  std::sort(objects.begin(), objects.end(),
            [](const TokenObject& a, const TokenObject& b) { return a.label < b.label; });
  return objects;
}

std::string FailureOf(const std::function<void()>& step) {
  try {
    step();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(accepted)";
}

TEST(Base64Test, StandardAlphabetWithPaddingDecodedStrictly) {
  EXPECT_EQ(EncodeBase64(Bytes{}), "");
  EXPECT_EQ(EncodeBase64(Bytes{'f'}), "Zg==");
  EXPECT_EQ(EncodeBase64(Bytes{'f', 'o', 'o', 'b', 'a', 'r'}), "Zm9vYmFy");
  EXPECT_EQ(EncodeBase64(Bytes{0xFB, 0xFF}), "+/8=");
  EXPECT_EQ(DecodeBase64("+/8="), (Bytes{0xFB, 0xFF}));
  EXPECT_EQ(DecodeBase64("Zm9v\r\nYmFy"), (Bytes{'f', 'o', 'o', 'b', 'a', 'r'}));
  for (const char* bad : {"Zg", "Zh==", "Zm9v!", "-_8=", "Zg==Zg=="}) {
    EXPECT_EQ(DecodeBase64(bad), std::nullopt) << bad;
  }
}

TEST(TokenJsonTest, WritesMembersInOrderCompactly) {
  EXPECT_EQ(SampleToken().ToJson(), kDocument);
}

TEST(TokenJsonTest, UninitializedTokenWritesUidOnly) {
  DesfireData data = SampleToken();
  data.initialized = false;
  EXPECT_EQ(data.ToJson(), R"({"uid":"9uXUw7KhBAA="})");
  DesfireData back(json::parse(data.ToJson()));
  EXPECT_FALSE(back.initialized);
  EXPECT_EQ(back.uid, 0x04A1B2C3D4E5F6u);
  EXPECT_TRUE(back.objects.empty());
}

TEST(TokenJsonTest, TokenWithoutObjectsHasNoObjectArray) {
  DesfireData data = SampleToken();
  data.objects.clear();
  std::string text = data.ToJson();
  EXPECT_EQ(text.find("objects"), std::string::npos);
  DesfireData back(json::parse(text));
  EXPECT_TRUE(back.initialized);
  EXPECT_TRUE(back.objects.empty());

  json withEmptyArray = json::parse(text);
  withEmptyArray["objects"] = json::array();
  DesfireData fromEmptyArray(withEmptyArray);
  EXPECT_TRUE(fromEmptyArray.initialized);
  EXPECT_TRUE(fromEmptyArray.objects.empty());
}

TEST(TokenJsonTest, CardTokenSurvivesTheRoundTrip) {
  testing::DataAreaBuilder area;
  testing::ObjectRecord pub = area.Add(100, "certificate");
  testing::ObjectRecord key = area.Add(7, "key", 1, true, 42);
  CardFiles files = {{0x00, testing::HeaderFile({pub.Encode(), key.Encode()})},
                     {0x01, area.Area()},
                     {kPinFileNumber, testing::PinFile()},
                     {kPropertyFileNumber, testing::PropertyFile("My token")}};
  DesfireData card(0x04A1B2C3D4E5F6, files);
  ASSERT_TRUE(card.initialized);
  card.pinErrorCount = 2;
  DesfireData stored(json::parse(card.ToJson()));
  EXPECT_TRUE(stored.initialized);
  EXPECT_EQ(stored.uid, card.uid);
  EXPECT_EQ(stored.label, "My token");
  EXPECT_EQ(stored.pinData, card.pinData);
  EXPECT_EQ(stored.pinErrorCount, 2u);
  EXPECT_EQ(ObjectsByLabel(stored), ObjectsByLabel(card));
}

TEST(TokenJsonTest, PinErrorCount) {
  json document = json::parse(kDocument);
  document.erase("pinerrcount");
  EXPECT_EQ(DesfireData(document).pinErrorCount, 0u);
  document["pinerrcount"] = -1;  // a signed 32-bit number, sign-extended
  EXPECT_EQ(DesfireData(document).pinErrorCount, ~std::uint64_t{0});
  document["pinerrcount"] = 4;
  EXPECT_EQ(DesfireData(document).pinErrorCount, 4u);
}

TEST(TokenJsonTest, ObjectLabelThatIsNotUtf8CannotBeWritten) {
  DesfireData data = SampleToken();
  data.objects[7].label = "\xFF\xFE";
  EXPECT_EQ(FailureOf([&] { data.ToJson(); }), "Failed to convert token json object to string.");
}

TEST(TokenJsonTest, UnreadableLabelGivesUninitializedToken) {
  for (json label : {json(), json("not base64!"), json(5)}) {
    json document = json::parse(kDocument);
    if (label.is_null()) {
      document.erase("label");
    } else {
      document["label"] = label;
    }
    DesfireData data(document);
    EXPECT_FALSE(data.initialized) << label;
    EXPECT_EQ(data.uid, 0x04A1B2C3D4E5F6u) << label;
    EXPECT_TRUE(data.pinData.empty()) << label;
    EXPECT_TRUE(data.objects.empty()) << label;
  }
}

TEST(TokenJsonTest, BadDocumentsThrow) {
  const std::vector<std::pair<std::function<void(json&)>, std::string>> faults = {
      {[](json& d) { d.erase("uid"); }, "Failed getting binary data"},
      {[](json& d) { d["uid"] = "9uXUw7Kh#AA="; }, "Failed getting binary data"},
      {[](json& d) { d["uid"] = 12; }, "Failed getting binary data"},
      {[](json& d) { d["uid"] = EncodeBase64(Bytes(7, 1)); },
       "Json value size missmatches 64bit integer."},
      {[](json& d) { d["uid"] = EncodeBase64(Bytes(9, 1)); },
       "Json value size missmatches 64bit integer."},
      {[](json& d) { d = json::array(); }, "Failed getting binary data"},
      {[](json& d) { d.erase("pindata"); }, "Failed getting binary data"},
      {[](json& d) { d["pindata"] = EncodeBase64(Bytes(47, 0x13)); }, "PIN data size mismatch."},
      {[](json& d) { d["objects"].push_back("text"); }, "Invalid json type in token ibject array."},
      {[](json& d) { d["objects"] = json::object(); }, "Token object array has invalid json type."},
  };
  for (const auto& [spoil, text] : faults) {
    json document = json::parse(kDocument);
    spoil(document);
    EXPECT_EQ(FailureOf([&] { DesfireData{document}; }), text) << document;
  }
  json document = json::parse(kDocument);
  document["objects"] = nullptr;  // taken as no objects
  EXPECT_TRUE(DesfireData(document).initialized);
}

TEST(TokenJsonTest, BadObjectElementsThrow) {
  const json good = json::parse(kDocument)["objects"][1];
  const std::vector<std::pair<std::function<void(json&)>, std::string>> faults = {
      {[](json& e) { e.erase("label"); }, "Object label missing in json."},
      {[](json& e) { e["label"] = 1; }, "Object label missing in json."},
      {[](json& e) { e.erase("private"); }, "Object attributes missing in json."},
      {[](json& e) { e["private"] = 1; }, "Object attributes missing in json."},
      {[](json& e) { e.erase("type"); }, "Object type missing in json."},
      {[](json& e) { e["type"] = "1"; }, "Object type missing in json."},
      {[](json& e) { e["type"] = 0; }, "Unsupported object type."},
      {[](json& e) { e["type"] = 2; }, "Unsupported object type."},
      {[](json& e) { e["type"] = 5; }, "Unsupported object type."},
      {[](json& e) { e.erase("application"); }, "Application id for binary object missing."},
      {[](json& e) { e["application"] = 5; }, "Application id for binary object missing."},
      {[](json& e) { e.erase("size"); }, "Object size missing in json."},
      {[](json& e) { e["size"] = true; }, "Object size missing in json."},
      {[](json& e) { e["size"] = std::nan(""); }, "Object size missing in json."},
      {[](json& e) { e["type"] = std::nan(""); }, "Object type missing in json."},
      {[](json& e) { e.erase("value"); }, "Failed getting binary data"},
      {[](json& e) { e["value"] = "qqq"; }, "Failed getting binary data"},
  };
  for (const auto& [spoil, text] : faults) {
    json element = good;
    spoil(element);
    EXPECT_EQ(FailureOf([&] { TokenObjectFromJson(element); }), text) << element;
    json document = json::parse(kDocument);
    document["objects"][1] = element;
    EXPECT_EQ(FailureOf([&] { DesfireData{document}; }), text) << element;
  }
  json element = good;
  element["type"] = 0xFFFFFFFFu;
  element["size"] = -2;
  TokenObject object = TokenObjectFromJson(element);
  EXPECT_EQ(object.type, 0xFFFFFFFFu);
  EXPECT_EQ(object.size, ~std::uint64_t{1});  // sign-extended, taken as it stands
}

TEST(TokenJsonTest, ByteMembersNeedAnObject) {
  EXPECT_EQ(FailureOf([] { PutBytes(nullptr, "x", Bytes{1}); }), "Unexpected nullptr.");
  EXPECT_EQ(FailureOf([] { PutUint64(nullptr, "x", 1); }), "Unexpected nullptr.");
  EXPECT_EQ(FailureOf([] { GetBytes(nullptr, "x"); }), "Unexpected nullptr.");
  OrderedJson target = OrderedJson::object();
  PutUint64(&target, "n", 0x0102030405060708);
  json source = json::parse(target.dump());
  EXPECT_EQ(GetBytes(&source, "n"), (Bytes{8, 7, 6, 5, 4, 3, 2, 1}));
}

}  // namespace
}  // namespace varlo
