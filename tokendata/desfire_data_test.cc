#include "tokendata/desfire_data.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "tokendata/test_card_files.h"

namespace varlo {
namespace {

using testing::Bytes;
using testing::DataAreaBuilder;
using testing::HeaderFile;
using testing::ObjectRecord;
using testing::PinFile;
using testing::PropertyFile;

constexpr std::uint64_t kUid = 0x04A1B2C3D4E5F6;

std::vector<std::string> ObjectLabels(const DesfireData& data) {
  std::vector<std::string> labels;
  for (const auto& [handle, object] : data.objects) {
    labels.push_back(object.label);
  }
  std::sort(labels.begin(), labels.end());
  return labels;
}

std::set<std::uint64_t> Handles(const DesfireData& data) {
  std::set<std::uint64_t> handles;
  for (const auto& [handle, object] : data.objects) {
    handles.insert(handle);
  }
  return handles;
}

// A complete token: a public object and a private binary object in one header file.
class CardFilesTest : public ::testing::Test {
 protected:
  CardFilesTest() {
    publicRecord_ = data_.Add(25, "public", 3);
    privateRecord_ = data_.Add(40, "private", 1, true, 5);
  }

  CardFiles Files() const {
    return {{0x00, HeaderFile({publicRecord_.Encode(), privateRecord_.Encode()})},
            {0x01, data_.Area()},
            {kPinFileNumber, PinFile()},
            {kPropertyFileNumber, PropertyFile("Token label")}};
  }

  DataAreaBuilder data_;
  ObjectRecord publicRecord_;
  ObjectRecord privateRecord_;
};

TEST_F(CardFilesTest, ParsesACompleteToken) {
  DesfireData data(kUid, Files());
  EXPECT_TRUE(data.initialized);
  EXPECT_EQ(data.uid, kUid);
  EXPECT_EQ(data.label, "Token label");
  EXPECT_EQ(data.pinData, PinFile());
  EXPECT_EQ(data.pinErrorCount, 0u);
  ASSERT_EQ(data.objects.size(), 2u);
  for (const auto& [handle, object] : data.objects) {
    if (object.isPrivate) {
      EXPECT_EQ(object.label, "private");
      EXPECT_EQ(object.application, "1.3.6.1.4.1.6147.9117.1.1234.8.5");
      EXPECT_EQ(object.type, 1u);
      EXPECT_EQ(object.size, 40u);
      EXPECT_EQ(object.value, Bytes(data_.Area().begin() + 32, data_.Area().end()));
    } else {
      EXPECT_EQ(object.label, "public");
      EXPECT_EQ(object.application, "");
      EXPECT_EQ(object.type, 3u);
      EXPECT_EQ(object.size, 25u);
      EXPECT_EQ(object.value, Bytes(data_.Area().begin(), data_.Area().begin() + 32));
    }
  }
}

TEST_F(CardFilesTest, HandlesAreRandomPerParse) {
  DesfireData first(kUid, Files());
  DesfireData second(kUid, Files());
  EXPECT_EQ(first.objects.size(), 2u);
  EXPECT_NE(Handles(first), Handles(second));
}

TEST_F(CardFilesTest, CopyKeepsEveryField) {
  DesfireData data(kUid, Files());
  data.pinErrorCount = 3;
  DesfireData copy(data);
  EXPECT_EQ(copy.uid, data.uid);
  EXPECT_EQ(copy.label, data.label);
  EXPECT_EQ(copy.initialized, data.initialized);
  EXPECT_EQ(copy.pinData, data.pinData);
  EXPECT_EQ(copy.pinErrorCount, 3u);
  EXPECT_EQ(copy.objects, data.objects);
}

TEST_F(CardFilesTest, LabelOfThirtyTwoBytes) {
  CardFiles files = Files();
  files[kPropertyFileNumber] = PropertyFile(std::string(32, 'x'));
  DesfireData data(kUid, files);
  EXPECT_TRUE(data.initialized);
  EXPECT_EQ(data.label, std::string(32, 'x'));
}

TEST_F(CardFilesTest, BadPropertyFileLeavesTokenUninitialized) {
  const std::vector<std::pair<std::string, std::function<void(Bytes&)>>> faults = {
      {"size", [](Bytes& f) { f.pop_back(); }},
      {"magic", [](Bytes& f) { f[4] = 'x'; }},
      {"version", [](Bytes& f) { f[0] = 2; }},
      {"label length 33", [](Bytes& f) { f[23] = 33; }},
      {"label length 0", [](Bytes& f) { f[23] = 0; }},
  };
  for (const auto& [name, spoil] : faults) {
    CardFiles files = Files();
    spoil(files[kPropertyFileNumber]);
    DesfireData data(kUid, files);
    EXPECT_FALSE(data.initialized) << name;
    EXPECT_EQ(data.label, "") << name;
    EXPECT_TRUE(data.objects.empty()) << name;
    EXPECT_EQ(data.uid, kUid) << name;
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

TEST_F(CardFilesTest, MissingFilesLeaveTokenUninitialized) {
  for (std::uint8_t missing :
       {kPinFileNumber, kPropertyFileNumber, std::uint8_t{0x00}, std::uint8_t{0x01}}) {
    CardFiles files = Files();
    files.erase(missing);
    DesfireData data(kUid, files);
    EXPECT_FALSE(data.initialized) << "without file " << int{missing};
    EXPECT_TRUE(data.objects.empty()) << "without file " << int{missing};
  }
  CardFiles files = Files();
  files[0x01].clear();  // an empty data area counts as missing
  EXPECT_FALSE(DesfireData(kUid, files).initialized);
}

TEST_F(CardFilesTest, FileThirtyIsIgnored) {
  CardFiles files = Files();
  files[kIgnoredFileNumber] = Bytes(7, 0x55);
  EXPECT_TRUE(DesfireData(kUid, files).initialized);
  files.erase(kPinFileNumber);
  EXPECT_FALSE(DesfireData(kUid, files).initialized);
}

TEST_F(CardFilesTest, FaultyRecordKeepsObjectsBeforeIt) {
  privateRecord_.crc ^= 1;
  DesfireData data(kUid, Files());
  EXPECT_FALSE(data.initialized);
  EXPECT_THAT(ObjectLabels(data), ::testing::ElementsAre("public"));
  EXPECT_EQ(data.label, "Token label");
}

TEST_F(CardFilesTest, BadHeaderFileLeavesTokenUninitialized) {
  CardFiles files = Files();
  files[0x00][2] = 1;
  EXPECT_FALSE(DesfireData(kUid, files).initialized);
}

TEST(CardFilesLayoutTest, HeaderFilesInOrderOverOneJoinedDataArea) {
  DataAreaBuilder data;
  ObjectRecord a = data.Add(14, "a");  // one block
  ObjectRecord b = data.Add(30, "b");  // two blocks, split over data files 0x01 and 0x03
  ObjectRecord c = data.Add(5, "c");   // in data file 0x21, after the others
  const Bytes& area = data.Area();
  CardFiles files = {{0x00, HeaderFile({a.Encode(), b.Encode()})},
                     {0x01, Bytes(area.begin(), area.begin() + 20)},
                     {0x02, HeaderFile({c.Encode()})},
                     {0x03, Bytes(area.begin() + 20, area.begin() + 48)},
                     {kPinFileNumber, PinFile()},
                     {kPropertyFileNumber, PropertyFile("T")},
                     {0x21, Bytes(area.begin() + 48, area.end())}};
  DesfireData token(kUid, files);
  EXPECT_TRUE(token.initialized);
  ASSERT_EQ(token.objects.size(), 3u);
  for (const auto& [handle, object] : token.objects) {
    const std::size_t start = object.label == "a" ? 0 : object.label == "b" ? 16 : 48;
    const std::size_t length = object.label == "b" ? 32 : 16;
    EXPECT_EQ(object.value, Bytes(area.begin() + start, area.begin() + start + length))
        << object.label;
  }
  // The second header file alone cannot see the object of the first.
  files.erase(0x00);
  EXPECT_TRUE(DesfireData(kUid, files).initialized);
  EXPECT_EQ(DesfireData(kUid, files).objects.size(), 1u);
}

TEST(AddObjectTest, HandlesAreUniqueAndObjectsKept) {
  DesfireData data;
  std::set<std::uint64_t> handles;
  for (int i = 0; i < 2000; ++i) {
    TokenObject object;
    object.label = std::to_string(i);
    handles.insert(data.AddObject(object));
  }
  EXPECT_EQ(handles.size(), 2000u);
  EXPECT_EQ(data.objects.size(), 2000u);
  for (std::uint64_t handle : handles) {
    EXPECT_TRUE(data.objects.contains(handle));
  }
}

TEST(AddObjectTest, StoresACopy) {
  DesfireData data;
  TokenObject object;
  object.label = "before";
  std::uint64_t handle = data.AddObject(object);
  object.label = "after";
  EXPECT_EQ(data.objects.at(handle).label, "before");
}

}  // namespace
}  // namespace varlo
