#include "tokendata/desfire_data.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "tokendata/test_card_files.h"

namespace varlo {
namespace {

using testing::Bytes;

constexpr std::uint64_t kUid = 0x04A1B2C3D4E5F6;

std::multiset<std::string> Labels(const DesfireData& data) {
  std::multiset<std::string> labels;
  for (const auto& [handle, object] : data.objects) {
    labels.insert(object.label);
  }
  return labels;
}

// A complete token: a public object and a private binary object in one header file.
class CardFilesTest : public ::testing::Test {
 protected:
  CardFilesTest()
      : publicRecord_(data_.Add(25, "public", 3)),
        privateRecord_(data_.Add(40, "private", 1, true, 5)) {}

  CardFiles Files() const {
    return {{0x00, testing::HeaderFile({publicRecord_.Encode(), privateRecord_.Encode()})},
            {0x01, data_.Area()},
            {kPinFileNumber, testing::PinFile()},
            {kPropertyFileNumber, testing::PropertyFile("Token label")}};
  }

  testing::DataAreaBuilder data_;
  testing::ObjectRecord publicRecord_;
  testing::ObjectRecord privateRecord_;
};

TEST_F(CardFilesTest, ParsesACompleteToken) {
  DesfireData data(kUid, Files());
  EXPECT_TRUE(data.initialized);
  EXPECT_EQ(data.uid, kUid);
  EXPECT_EQ(data.label, "Token label");
  EXPECT_EQ(data.pinData, testing::PinFile());
  EXPECT_EQ(data.pinErrorCount, 0u);
  ASSERT_EQ(Labels(data), (std::multiset<std::string>{"private", "public"}));
  for (const auto& [handle, object] : data.objects) {
    const auto start = data_.Area().begin() + (object.isPrivate ? 32 : 0);
    EXPECT_EQ(object.value, Bytes(start, start + (object.isPrivate ? 48 : 32))) << object.label;
    EXPECT_EQ(object.size, object.isPrivate ? 40u : 25u);
  }
}

TEST_F(CardFilesTest, CopyKeepsEveryField) {
  DesfireData data(kUid, Files());
  data.pinErrorCount = 3;
  DesfireData copy(data);
  EXPECT_EQ(copy.uid, data.uid);
  EXPECT_EQ(copy.label, data.label);
  EXPECT_TRUE(copy.initialized);
  EXPECT_EQ(copy.pinData, data.pinData);
  EXPECT_EQ(copy.pinErrorCount, 3u);
  EXPECT_EQ(copy.objects, data.objects);
}

TEST_F(CardFilesTest, PropertyFile) {
  CardFiles files = Files();
  files[kPropertyFileNumber] = testing::PropertyFile(std::string(32, 'x'));
  EXPECT_EQ(DesfireData(kUid, files).label, std::string(32, 'x'));

  const std::vector<std::pair<std::string, std::function<void(Bytes&)>>> faults = {
      {"size", [](Bytes& f) { f.pop_back(); }},
      {"magic", [](Bytes& f) { f[4] = 'x'; }},
      {"version", [](Bytes& f) { f[0] = 2; }},
      {"label length 33", [](Bytes& f) { f[23] = 33; }},
      {"label length 0", [](Bytes& f) { f[23] = 0; }},
  };
  for (const auto& [name, spoil] : faults) {
    files = Files();
    spoil(files[kPropertyFileNumber]);
    DesfireData data(kUid, files);
    EXPECT_FALSE(data.initialized) << name;
    EXPECT_EQ(data.label, "") << name;
    EXPECT_TRUE(data.objects.empty()) << name;
  }
}

TEST_F(CardFilesTest, PinFileOfWrongSizeThrows) {
  for (std::size_t size : {0, 47, 49}) {
    CardFiles files = Files();
    files[kPinFileNumber].resize(size);
    try {
      DesfireData data(kUid, files);
      ADD_FAILURE() << "accepted a PIN file of " << size << " bytes";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "PIN data size mismatch.");
    }
  }
}

TEST_F(CardFilesTest, MissingOrEmptyFilesLeaveTokenUninitialized) {
  for (std::uint8_t number : {0x00, 0x01, int{kPinFileNumber}, int{kPropertyFileNumber}}) {
    CardFiles files = Files();
    files.erase(number);
    EXPECT_FALSE(DesfireData(kUid, files).initialized) << "without file " << int{number};
  }
  CardFiles files = Files();
  files[0x01].clear();  // an empty data area counts as missing
  EXPECT_FALSE(DesfireData(kUid, files).initialized);

  files = Files();
  files[kIgnoredFileNumber] = Bytes(7, 0x55);
  EXPECT_TRUE(DesfireData(kUid, files).initialized);
  files.erase(kPinFileNumber);
  EXPECT_FALSE(DesfireData(kUid, files).initialized);
}

TEST_F(CardFilesTest, BadObjectsLeaveTokenUninitializedWithObjectsBefore) {
  privateRecord_.crc ^= 1;
  DesfireData data(kUid, Files());
  EXPECT_FALSE(data.initialized);
  EXPECT_EQ(Labels(data), std::multiset<std::string>{"public"});

  CardFiles files = Files();
  files[0x00][2] = 1;  // header version
  EXPECT_FALSE(DesfireData(kUid, files).initialized);
}

TEST(CardFilesLayoutTest, HeaderFilesInOrderOverOneJoinedDataArea) {
  testing::DataAreaBuilder data;
  testing::ObjectRecord a = data.Add(14, "a");  // one block
  testing::ObjectRecord b = data.Add(30, "b");  // two blocks, split over data files 1 and 3
  testing::ObjectRecord c = data.Add(5, "c");   // in data file 0x21, joined last
  const Bytes& area = data.Area();
  CardFiles files = {{0x00, testing::HeaderFile({a.Encode(), b.Encode()})},
                     {0x01, Bytes(area.begin(), area.begin() + 20)},
                     {0x02, testing::HeaderFile({c.Encode()})},
                     {0x03, Bytes(area.begin() + 20, area.begin() + 48)},
                     {kPinFileNumber, testing::PinFile()},
                     {kPropertyFileNumber, testing::PropertyFile("T")},
                     {0x21, Bytes(area.begin() + 48, area.end())}};
  DesfireData token(kUid, files);
  EXPECT_TRUE(token.initialized);
  ASSERT_EQ(Labels(token), (std::multiset<std::string>{"a", "b", "c"}));
  for (const auto& [handle, object] : token.objects) {
    const std::size_t start = object.label == "a" ? 0 : object.label == "b" ? 16 : 48;
    const std::size_t length = object.label == "b" ? 32 : 16;
    EXPECT_EQ(object.value, Bytes(area.begin() + start, area.begin() + start + length))
        << object.label;
  }
}

TEST(AddObjectTest, HandlesAreRandomAndUnique) {
  DesfireData first;
  DesfireData second;
  std::set<std::uint64_t> handles;
  for (int i = 0; i < 2000; ++i) {
    TokenObject object;
    object.label = std::to_string(i);
    handles.insert(first.AddObject(object));
    second.AddObject(object);
  }
  EXPECT_EQ(handles.size(), 2000u);
  EXPECT_EQ(first.objects.size(), 2000u);
  EXPECT_NE(first.objects.begin()->first, second.objects.begin()->first);
}

}  // namespace
}  // namespace varlo
