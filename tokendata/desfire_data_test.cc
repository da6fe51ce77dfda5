// The token's data: its card files (CRC_A, property, PIN, header and data files, object
// records) and its JSON document, both ways.
#include "tokendata/desfire_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "tokendata/crc_a.h"
#include "tokendata/object_table.h"
#include "tokendata/token_json.h"

namespace varlo {
namespace {

using nlohmann::json;
using Bytes = SecureBytes;
using Spoil = std::function<void(Bytes&)>;
using JsonSpoil = std::function<void(json&)>;
constexpr std::uint64_t kUid = 0x04A1B2C3D4E5F6;

void PutU16(Bytes& bytes, std::size_t at, std::uint16_t value) {
  bytes[at] = static_cast<std::uint8_t>(value);
  bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

std::uint16_t Word(unsigned nibble, unsigned blocks) {
  return static_cast<std::uint16_t>(nibble << 12 | blocks);
}

Bytes PropertyFile(const std::string& label) {
  Bytes file(kPropertyFileSize, 0xEE);
  file[0] = 3;
  std::copy_n("kvyr", 4, file.begin() + 1);
  file[23] = static_cast<std::uint8_t>(label.size());
  std::copy(label.begin(), label.end(), file.begin() + 24);
  return file;
}

// A header file holding `records` in its first slots, with one slot more (so that every record
// is read) or `size` bytes long; CRC set.
Bytes HeaderFile(const std::vector<Bytes>& records, std::size_t size = 0,
                 std::uint8_t version = 2) {
  Bytes file(3 + 49 * (records.size() + 1), 0);
  file[2] = version;
  for (std::size_t k = 0; k < records.size(); ++k)
    std::copy(records[k].begin(), records[k].end(), file.begin() + 3 + 49 * k);
  file.resize(size != 0 ? size : std::max(file.size(), kMinHeaderFileSize));
  PutU16(file, 0, CrcA(std::span(file).subspan(2)));
  return file;
}

// Appends made-up stored bytes for an object of `size` content bytes to `area` and returns its
// 49-byte record: public, type 3, no application unless changed by the caller.
Bytes AddObject(Bytes& area, std::size_t size, const std::string& label) {
  const std::size_t blocks = (size + 2 + 15) / 16;
  Bytes record(kObjectRecordSize, 0);
  PutU16(record, 2, static_cast<std::uint16_t>(area.size() / 16));
  PutU16(record, 4, Word((blocks * 16 - size) % 16, static_cast<unsigned>(blocks)));
  for (std::size_t i = 0; i < blocks * 16; ++i)
    area.push_back(static_cast<std::uint8_t>(area.size() * 7 + 1));
  PutU16(record, 0, CrcA(std::span(area).last(blocks * 16)));
  record[6] = 2;
  record[7] = 3;
  record[10] = static_cast<std::uint8_t>(label.size());
  std::copy(label.begin(), label.end(), record.begin() + 11);
  return record;
}

template <typename Call>
std::string FailureOf(Call&& call) {
  try {
    call();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(accepted)";
}

// The objects in ascending label order.
std::vector<TokenObject> Objects(const DesfireData& data) {
  std::vector<TokenObject> objects;
  for (const auto& [handle, object] : data.objects)
    objects.push_back(object);
  std::sort(objects.begin(), objects.end(), [](auto& a, auto& b) { return a.label < b.label; });
  return objects;
}
TEST(CrcATest, PublishedValues) {
  EXPECT_EQ(CrcA(Bytes{'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 0xBF05);
  EXPECT_EQ(CrcA(Bytes{0x00, 0x00}), 0x1EA0);
  EXPECT_EQ(CrcA(Bytes{0x12, 0x34}), 0xCF26);
  EXPECT_EQ(CrcA(Bytes{}), 0x6363);
}

TEST(DecodeObjectSizeTest, OverheadNibble) {
  EXPECT_EQ(DecodeObjectSize(Word(0, 2)), 16u);
  EXPECT_EQ(DecodeObjectSize(Word(1, 2)), 15u);
  EXPECT_EQ(DecodeObjectSize(Word(5, 1)), 11u);
  EXPECT_EQ(DecodeObjectSize(Word(0, 0)), 0u);
  EXPECT_EQ(DecodeObjectSize(Word(1, 1)), 15u);           // below 16: no further 16 taken off
  EXPECT_EQ(DecodeObjectSize(Word(1, 0)), std::nullopt);  // more overhead than bytes stored
}

// A token with a public object (25 bytes, type 3) and a private binary one (40 bytes) in one
// header file.
class CardFilesTest : public ::testing::Test {
 protected:
  CardFilesTest()
      : public_(AddObject(area_, 25, "public")), private_(AddObject(area_, 40, "private")) {
    private_[6] = 1;
    private_[7] = 1;
    private_[8] = 5;
  }
  CardFiles Files() const {
    return {{0x00, HeaderFile({public_, private_})},
            {0x01, area_},
            {kPinFileNumber, Bytes(kPinDataSize, 0xA5)},
            {kPropertyFileNumber, PropertyFile("Token label")}};
  }
  Bytes area_;
  Bytes public_;
  Bytes private_;
};

TEST_F(CardFilesTest, ParsesACompleteTokenAndCopiesIt) {
  DesfireData data(kUid, Files());
  data.pinErrorCount = 3;
  const std::vector<TokenObject> objects = {
      {"private", "1.3.6.1.4.1.6147.9117.1.1234.8.5", true, 1, 40,
       Bytes(area_.begin() + 32, area_.end())},
      {"public", "", false, 3, 25, Bytes(area_.begin(), area_.begin() + 32)}};
  const DesfireData copy(data);
  for (const DesfireData* token : {static_cast<const DesfireData*>(&data), &copy}) {
    EXPECT_TRUE(token->initialized);
    EXPECT_EQ(token->uid, kUid);
    EXPECT_EQ(token->label, "Token label");
    EXPECT_EQ(token->pinData, Bytes(kPinDataSize, 0xA5));
    EXPECT_EQ(token->pinErrorCount, 3u);
    EXPECT_EQ(Objects(*token), objects);
  }
  EXPECT_EQ(copy.objects, data.objects);
}

TEST_F(CardFilesTest, PropertyAndPinFiles) {
  CardFiles files = Files();
  files[kPropertyFileNumber] = PropertyFile(std::string(32, 'x'));
  EXPECT_EQ(DesfireData(kUid, files).label, std::string(32, 'x'));
  // Each logged and left the token uninitialized, without label or objects.
  const std::vector<Spoil> faults = {
      [](Bytes& f) { f.pop_back(); },  // "Key file property file size missmatch."
      [](Bytes& f) { f[4] = 'x'; },    // "Kf magic word missing."
      [](Bytes& f) { f[0] = 2; },      // "Keyfile version != KF_V3."
      [](Bytes& f) { f[23] = 33; },    // "Invalid token label size"
      [](Bytes& f) { f[23] = 0; },     // an empty label: not initialized
  };
  for (std::size_t i = 0; i < faults.size(); ++i) {
    files = Files();
    faults[i](files[kPropertyFileNumber]);
    const DesfireData data(kUid, files);
    EXPECT_FALSE(data.initialized) << i;
    EXPECT_EQ(data.label, "") << i;
    EXPECT_TRUE(data.objects.empty()) << i;
  }
  for (std::size_t size : {0, 47, 49}) {
    files = Files();
    files[kPinFileNumber].resize(size);
    EXPECT_EQ(FailureOf([&] { DesfireData(kUid, files); }), "PIN data size mismatch.") << size;
  }
}

TEST_F(CardFilesTest, MissingFilesLeaveTheTokenUninitialized) {
  const std::vector<std::function<void(CardFiles&)>> faults = {
      [](CardFiles& f) { f.erase(0x00); },  // "Header or data file missing."
      [](CardFiles& f) { f.erase(0x01); },
      [](CardFiles& f) { f[0x01].clear(); },
      // "Property file or PIN file missing - not initialized."
      [](CardFiles& f) { f.erase(kPropertyFileNumber); },
      [](CardFiles& f) { f.erase(kPinFileNumber), f[kIgnoredFileNumber] = Bytes(48, 1); },
  };
  for (std::size_t i = 0; i < faults.size(); ++i) {
    CardFiles files = Files();
    faults[i](files);
    EXPECT_FALSE(DesfireData(kUid, files).initialized) << i;
  }
  CardFiles files = Files();
  files[kIgnoredFileNumber] = Bytes(7, 0x55);
  EXPECT_TRUE(DesfireData(kUid, files).initialized);
}

TEST_F(CardFilesTest, RecordFaults) {
  auto failure = [this](const Spoil& spoil) {
    Bytes record = private_;  // at position 2, three blocks long, in an area of five
    spoil(record);
    return FailureOf([&] { ParseObjectRecord(record, area_); });
  };
  const std::vector<std::pair<Spoil, std::string>> faults = {
      {[](Bytes& r) { r[6] = 0; }, "Object invalid: no flags set."},
      {[](Bytes& r) { r[6] = 3; }, "Object invalid: invalid flag value."},
      {[](Bytes& r) { r[6] = 4, r[7] = 0; }, "Object invalid: invalid flag value."},
      {[](Bytes& r) { r[7] = 0; }, "Unsupported object type."},
      {[](Bytes& r) { r[7] = 2; }, "Unsupported object type."},
      {[](Bytes& r) { r[7] = 5, PutU16(r, 4, Word(3, 0)); }, "Unsupported object type."},
      {[](Bytes& r) { r[8] = 0; }, "Application id for binary object missing."},
      {[](Bytes& r) { r[10] = 39; }, "Object invalid: label size exceeds record."},
      {[](Bytes& r) { PutU16(r, 4, Word(3, 0)); }, "Object invalid: object size out of range."},
      {[](Bytes& r) { PutU16(r, 4, Word(2, 4)), r[0] ^= 1; },
       "Object invalid: object data out of range."},
      {[](Bytes& r) { PutU16(r, 2, 0xFFFF), PutU16(r, 4, Word(0, 0xFFF)); },
       "Object invalid: object data out of range."},
      {[](Bytes& r) { PutU16(r, 2, 4), PutU16(r, 4, Word(0, 1)); },  // the last block: in range
       "Object invalid: crc(encrypted object data) missmatch."},
      {[](Bytes& r) { r[1] ^= 1; }, "Object invalid: crc(encrypted object data) missmatch."},
  };
  for (const auto& [spoil, text] : faults)
    EXPECT_EQ(failure(spoil), text);
  // Codes without a meaning here are passed on; a label may fill the record.
  const Bytes longLabel = AddObject(area_, 0, std::string(38, 'L'));
  EXPECT_EQ(ParseObjectRecord(longLabel, area_).label, std::string(38, 'L'));
  EXPECT_EQ(failure([](Bytes& r) { r[7] = 0x80, r[8] = 0; }), "(accepted)");
}

TEST_F(CardFilesTest, HeaderFiles) {
  // The labels of the objects read, or the failure.
  auto read = [this](const Bytes& header) {
    std::string labels;
    try {
      ParseObjectTable(header, area_, [&](const TokenObject& o) { labels += o.label + ";"; });
    } catch (const std::runtime_error& e) {
      return std::string(e.what());
    }
    return labels;
  };
  // Slots are read only when they end before the end of the file; empty slots are skipped.
  EXPECT_EQ(read(HeaderFile({public_, private_}, 101)), "public;");
  EXPECT_EQ(read(HeaderFile({public_, private_}, 102)), "public;private;");
  EXPECT_EQ(read(HeaderFile({Bytes(49), private_, Bytes(49), public_}, 400)), "private;public;");

  EXPECT_EQ(read(HeaderFile({public_}, 100, 0)), "Header file invalid: too small.");
  EXPECT_EQ(read(HeaderFile({public_}, 0, 0)), "Header file invalid: no version set.");
  Bytes v1 = HeaderFile({public_}, 0, 1);
  v1[0] ^= 1;  // the version is checked before the CRC
  EXPECT_EQ(read(v1), "Header file invalid: V1 is not supported.");
  EXPECT_EQ(read(HeaderFile({public_}, 0, 3)), "Header file invalid: unknown header version.");
  for (std::size_t at : {0, 1, 120}) {
    Bytes header = HeaderFile({public_}, 121);
    header[at] ^= 0x40;  // the CRC covers the fill after the last slot too
    EXPECT_EQ(read(header), "Header file invalid: crc missmatch.") << at;
  }
  // Through the card files: logged, not initialized, objects before the fault kept.
  CardFiles files = Files();
  Bytes noFlags = private_;
  noFlags[6] = 0;
  files[0x00] = HeaderFile({public_, noFlags});
  const DesfireData data(kUid, files);
  EXPECT_FALSE(data.initialized);
  ASSERT_EQ(data.objects.size(), 1u);
  EXPECT_EQ(data.objects.begin()->second.label, "public");
}

TEST(CardFilesLayoutTest, HeaderFilesInOrderOverOneJoinedDataArea) {
  Bytes area;
  const Bytes a = AddObject(area, 14, "a");  // one block
  const Bytes b = AddObject(area, 30, "b");  // two blocks, split over data files 1 and 3
  const Bytes c = AddObject(area, 5, "c");   // in file 0x20: a data file, joined last
  const CardFiles files = {{0x00, HeaderFile({a, b})},
                           {0x01, Bytes(area.begin(), area.begin() + 20)},
                           {0x02, HeaderFile({c})},
                           {0x03, Bytes(area.begin() + 20, area.begin() + 48)},
                           {kPinFileNumber, Bytes(kPinDataSize)},
                           {kPropertyFileNumber, PropertyFile("T")},
                           {0x20, Bytes(area.begin() + 48, area.end())}};
  const DesfireData token(kUid, files);
  EXPECT_TRUE(token.initialized);
  ASSERT_EQ(Objects(token).size(), 3u);  // each record's CRC checked its slice of the area
  EXPECT_EQ(Objects(token)[1].value, Bytes(area.begin() + 16, area.begin() + 48));
}

TEST(AddObjectTest, HandlesAreRandomAndUnique) {
  DesfireData first;
  DesfireData second;
  for (int i = 0; i < 2000; ++i) {
    first.AddObject(TokenObject{});
    second.AddObject(TokenObject{});
  }
  EXPECT_EQ(first.objects.size(), 2000u);
  EXPECT_FALSE(first.objects.contains(0));
  EXPECT_NE(first.objects.begin()->first, second.objects.begin()->first);
}

// Damaged card files (a byte changed, a file cut or lengthened, a file added; header CRCs
// mostly mended so that the records are reached): no crash, no sanitizer report, and what is
// accepted keeps to the format's limits.
TEST_F(CardFilesTest, DamagedFilesStayWithinTheFormat) {
  std::mt19937 random(20261206);
  auto pick = [&random](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
  };
  for (int round = 0; round < 4000; ++round) {
    CardFiles files = Files();
    if (round % 3 == 0)
      files[static_cast<std::uint8_t>(pick(40))] =
          Bytes(pick(200), static_cast<std::uint8_t>(round));
    for (auto& [number, bytes] : files) {
      if (pick(2) == 0 && !bytes.empty())
        bytes[pick(bytes.size())] = static_cast<std::uint8_t>(pick(256));
      if (round % 4 == 1 && pick(2) == 0)
        bytes.resize(pick(bytes.size() + 60), 0x11);
      if (number == 0x00 && bytes.size() > 2 && round % 5 != 0)
        PutU16(bytes, 0, CrcA(std::span(bytes).subspan(2)));
    }
    try {
      const DesfireData data(kUid, files);
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

// The failure of reading the spoilt document, or what was read: "(uid only)" for an uninitialized
// token with its UID and nothing else, "(no objects)" for an initialized one without objects.
std::string ReadFailure(const JsonSpoil& spoil) {
  json document = json::parse(kDocument);
  spoil(document);
  try {
    const DesfireData data(document);
    if (!data.initialized && data.uid == kUid && data.label.empty() && data.pinData.empty() &&
        data.objects.empty())
      return "(uid only)";
    return data.initialized && data.objects.empty() ? "(no objects)" : "(accepted)";
  } catch (const std::runtime_error& e) {
    return e.what();
  }
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
  EXPECT_EQ(Objects(back), Objects(token));
  EXPECT_FALSE(back.objects.contains(7));  // new handles
}

TEST(TokenJsonTest, UninitializedTokensAndTokensWithoutObjects) {
  DesfireData data = SampleToken();
  data.initialized = false;
  EXPECT_EQ(data.ToJson(), R"({"uid":"9uXUw7KhBAA="})");
  EXPECT_EQ(ReadFailure([&](json& d) { d = json::parse(data.ToJson()); }), "(uid only)");
  data = SampleToken();
  data.objects.clear();
  EXPECT_FALSE(json::parse(data.ToJson()).contains("objects"));
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

TEST(TokenJsonTest, BadDocuments) {
  const std::vector<std::pair<JsonSpoil, std::string>> faults = {
      {[](json& d) { d.erase("objects"); }, "(no objects)"},
      {[](json& d) { d["objects"] = json::array(); }, "(no objects)"},
      {[](json& d) { d["objects"] = nullptr; }, "(no objects)"},
      // An unreadable label is logged as "Non-initialized json token: " and the failure.
      {[](json& d) { d.erase("label"); }, "(uid only)"},
      {[](json& d) { d["label"] = "not base64!"; }, "(uid only)"},
      {[](json& d) { d["label"] = 5; }, "(uid only)"},
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
  const std::vector<std::pair<JsonSpoil, std::string>> faults = {
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
    EXPECT_EQ(ReadFailure([&spoil = spoil](json& d) { spoil(d["objects"][1]); }), text);
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
