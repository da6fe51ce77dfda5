// The token's JSON document, both ways.
#include "tokendata/token_json.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tokendata/desfire_data.h"

namespace varlo {
namespace {

using Bytes = std::vector<std::uint8_t>;
using nlohmann::json;
using Spoil = std::function<void(json&)>;

// UID 04 A1 B2 C3 D4 E5 F6 is written as the Base64 of F6 E5 D4 C3 B2 A1 04 00.
constexpr char kDocument[] =
    R"({"uid":"9uXUw7KhBAA=","label":"VG9r",)"
    R"("pindata":"ExMTExMTExMTExMTExMTExMTExMTExMTExMTExMTExMTExMTExMTExMTExMTExMT",)"
    R"("pinerrcount":2,"objects":[)"
    R"({"label":"pub","private":false,"type":3,"size":14,"value":"AAECAwQFBgcICQoLDA0ODw=="},)"
    R"({"label":"bin","application":"1.3.6.1.4.1.6147.9117.1.1234.8.5","private":true,)"
    R"("type":1,"size":20,"value":"qqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqqo="}]})";

DesfireData SampleToken() {
  DesfireData data;
  data.uid = 0x04A1B2C3D4E5F6;
  data.label = "Tok";
  data.initialized = true;
  data.pinData = Bytes(48, 0x13);
  data.pinErrorCount = 2;
  data.objects[7] = {"pub", "", false,
                     3,     14, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}};
  data.objects[9] = {"bin", "1.3.6.1.4.1.6147.9117.1.1234.8.5", true, 1, 20, Bytes(32, 0xAA)};
  return data;
}

std::vector<TokenObject> SortedObjects(const DesfireData& data) {
  std::vector<TokenObject> objects;
  for (const auto& [handle, object] : data.objects)
    objects.push_back(object);
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

std::string ReadFailure(const Spoil& spoil) {
  json document = json::parse(kDocument);
  spoil(document);
  return FailureOf([&] { DesfireData{document}; });
}

TEST(TokenJsonTest, WritesMembersInOrderCompactlyAndReadsThemBack) {
  const DesfireData token = SampleToken();
  ASSERT_EQ(token.ToJson(), kDocument);
  const DesfireData back(json::parse(kDocument));
  EXPECT_TRUE(back.initialized);
  EXPECT_EQ(back.uid, token.uid);
  EXPECT_EQ(back.label, token.label);
  EXPECT_EQ(back.pinData, token.pinData);
  EXPECT_EQ(back.pinErrorCount, 2u);
  EXPECT_EQ(SortedObjects(back), SortedObjects(token));
  EXPECT_FALSE(back.objects.contains(7));  // new handles
}

TEST(TokenJsonTest, UninitializedTokensAndTokensWithoutObjects) {
  DesfireData data = SampleToken();
  data.initialized = false;
  EXPECT_EQ(data.ToJson(), R"({"uid":"9uXUw7KhBAA="})");
  const DesfireData uidOnly(json::parse(data.ToJson()));
  EXPECT_FALSE(uidOnly.initialized);
  EXPECT_EQ(uidOnly.uid, 0x04A1B2C3D4E5F6u);

  data = SampleToken();
  data.objects.clear();
  json document = json::parse(data.ToJson());
  EXPECT_FALSE(document.contains("objects"));
  for (const json& objects : {json::array(), json(nullptr), json::array()}) {
    const DesfireData back(document);
    EXPECT_TRUE(back.initialized) << document;
    EXPECT_TRUE(back.objects.empty()) << document;
    document["objects"] = objects;  // then an empty array, then null
  }
}

TEST(TokenJsonTest, PinErrorCountIsASigned32BitNumber) {
  json document = json::parse(kDocument);
  document.erase("pinerrcount");
  EXPECT_EQ(DesfireData(document).pinErrorCount, 0u);  // no presence check: absent reads as 0
  document["pinerrcount"] = -1;
  const DesfireData minusOne(document);
  EXPECT_EQ(minusOne.pinErrorCount, ~std::uint64_t{0});
  EXPECT_EQ(json::parse(minusOne.ToJson())["pinerrcount"], -1);
}

TEST(TokenJsonTest, UnreadableLabelGivesAnUninitializedTokenWithItsUid) {
  for (const json& label : {json(), json("not base64!"), json(5)}) {
    json document = json::parse(kDocument);
    if (label.is_null())
      document.erase("label");
    else
      document["label"] = label;
    const DesfireData data(document);
    EXPECT_FALSE(data.initialized) << label;
    EXPECT_EQ(data.uid, 0x04A1B2C3D4E5F6u) << label;
    EXPECT_TRUE(data.pinData.empty() && data.objects.empty()) << label;
  }
}

TEST(TokenJsonTest, BadDocumentsThrow) {
  const std::vector<std::pair<Spoil, std::string>> faults = {
      {[](json& d) { d.erase("uid"); }, "Failed getting binary data"},
      {[](json& d) { d["uid"] = "9uXUw7Kh#AA="; }, "Failed getting binary data"},
      {[](json& d) { d = json::array(); }, "Failed getting binary data"},
      {[](json& d) { d["uid"] = EncodeBase64(Bytes(7, 1)); },
       "Json value size missmatches 64bit integer."},
      {[](json& d) { d["uid"] = EncodeBase64(Bytes(9, 1)); },
       "Json value size missmatches 64bit integer."},
      {[](json& d) { d.erase("pindata"); }, "Failed getting binary data"},
      {[](json& d) { d["pindata"] = EncodeBase64(Bytes(47, 0x13)); }, "PIN data size mismatch."},
      {[](json& d) { d["objects"].push_back("text"); }, "Invalid json type in token ibject array."},
      // Objects are not dropped silently when their array is damaged.
      {[](json& d) { d["objects"] = json::object(); }, "Token object array has invalid json type."},
  };
  for (const auto& [spoil, text] : faults)
    EXPECT_EQ(ReadFailure(spoil), text);
}

TEST(TokenJsonTest, BadObjectElementsThrow) {
  const std::vector<std::pair<Spoil, std::string>> faults = {
      {[](json& e) { e.erase("label"); }, "Object label missing in json."},
      {[](json& e) { e["label"] = 1, e.erase("private"); }, "Object label missing in json."},
      {[](json& e) { e["private"] = 1, e.erase("type"); }, "Object attributes missing in json."},
      {[](json& e) { e["type"] = "1"; }, "Object type missing in json."},
      {[](json& e) { e["type"] = std::nan(""); }, "Object type missing in json."},
      {[](json& e) { e["type"] = 0, e.erase("size"); }, "Unsupported object type."},
      {[](json& e) { e["type"] = 2; }, "Unsupported object type."},
      {[](json& e) { e["type"] = 5; }, "Unsupported object type."},
      {[](json& e) { e.erase("application"), e.erase("size"); },
       "Application id for binary object missing."},
      {[](json& e) { e["application"] = 5; }, "Application id for binary object missing."},
      {[](json& e) { e["size"] = true, e.erase("value"); }, "Object size missing in json."},
      {[](json& e) { e["size"] = std::nan(""); }, "Object size missing in json."},
      {[](json& e) { e.erase("value"); }, "Failed getting binary data"},
      {[](json& e) { e["value"] = "qqq"; }, "Failed getting binary data"},
  };
  for (const auto& [spoil, text] : faults)
    EXPECT_EQ(ReadFailure([&spoil](json& d) { spoil(d["objects"][1]); }), text);
  // Taken as they stand: no range or CRC check on a document.
  json element = json::parse(kDocument)["objects"][1];
  element["type"] = 0xFFFFFFFFu;
  element["size"] = -2;
  const TokenObject object = TokenObjectFromJson(element);
  EXPECT_EQ(object.type, 0xFFFFFFFFu);
  EXPECT_EQ(object.size, ~std::uint64_t{1});
}

TEST(TokenJsonTest, WriteFailuresAndByteMembers) {
  DesfireData data = SampleToken();
  data.objects[7].label = "\xFF\xFE";  // not UTF-8
  EXPECT_EQ(FailureOf([&] { data.ToJson(); }), "Failed to convert token json object to string.");
  EXPECT_EQ(FailureOf([] { PutBytes(nullptr, "x", Bytes{1}); }), "Unexpected nullptr.");
  EXPECT_EQ(FailureOf([] { GetBytes(nullptr, "x"); }), "Unexpected nullptr.");
  EXPECT_EQ(EncodeBase64(Bytes{0xFB, 0xFF}), "+/8=");  // standard alphabet, padded
  EXPECT_EQ(DecodeBase64("Zm9v\r\nYmFy"), (Bytes{'f', 'o', 'o', 'b', 'a', 'r'}));
  for (const char* bad : {"Zg", "Zh==", "-_8=", "Zg==Zg=="})
    EXPECT_EQ(DecodeBase64(bad), std::nullopt) << bad;
}

}  // namespace
}  // namespace varlo
