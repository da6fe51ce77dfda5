#include "tokendata/object_table.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
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

std::uint16_t Word(unsigned nibble, unsigned blocks) {
  return static_cast<std::uint16_t>(nibble << 12 | blocks);
}

TEST(DecodeObjectSizeTest, OverheadNibbleCases) {
  EXPECT_EQ(DecodeObjectSize(Word(0, 2)), 16u);
  EXPECT_EQ(DecodeObjectSize(Word(1, 2)), 15u);
  EXPECT_EQ(DecodeObjectSize(Word(5, 1)), 11u);
  EXPECT_EQ(DecodeObjectSize(Word(0, 0)), 0u);
  EXPECT_EQ(DecodeObjectSize(Word(0, 1)), 0u);
  EXPECT_EQ(DecodeObjectSize(Word(1, 1)), 15u);  // below 16, so no further 16 taken off
  EXPECT_EQ(DecodeObjectSize(Word(2, 1)), 14u);
  EXPECT_EQ(DecodeObjectSize(Word(15, 0xFFF)), 16u * 0xFFF - 15);
}

TEST(DecodeObjectSizeTest, MoreOverheadThanStoredBytesIsRejected) {
  EXPECT_EQ(DecodeObjectSize(Word(1, 0)), std::nullopt);
  EXPECT_EQ(DecodeObjectSize(Word(15, 0)), std::nullopt);
}

TEST(DecodeObjectSizeTest, InvertsTheWritersEncodingForEveryContentSize) {
  for (std::size_t size = 0; size < 4000; ++size) {
    EXPECT_EQ(DecodeObjectSize(testing::LengthWordFor(size)), size) << "size " << size;
  }
}

class ObjectRecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    data_.Add(40, "first");
    record_ = data_.Add(20, "second");
  }

  std::string FailureOf(const ObjectRecord& record) {
    try {
      ParseObjectRecord(record.Encode(), data_.Area());
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "(accepted)";
  }

  DataAreaBuilder data_;
  ObjectRecord record_;
};

TEST_F(ObjectRecordTest, ParsesEveryField) {
  record_.flags = 1;
  record_.type = 1;
  record_.application = 5;
  TokenObject object = ParseObjectRecord(record_.Encode(), data_.Area());
  EXPECT_EQ(object.label, "second");
  EXPECT_EQ(object.application, "1.3.6.1.4.1.6147.9117.1.1234.8.5");
  EXPECT_TRUE(object.isPrivate);
  EXPECT_EQ(object.type, 1u);
  EXPECT_EQ(object.size, 20u);
  // 40 content bytes take 48 stored bytes, so the second object starts at block 3.
  Bytes expected(data_.Area().begin() + 48, data_.Area().begin() + 48 + 32);
  EXPECT_EQ(object.value, expected);
}

TEST_F(ObjectRecordTest, PublicObjectWithoutApplication) {
  record_.type = 0x80;  // codes without a meaning here are passed on
  TokenObject object = ParseObjectRecord(record_.Encode(), data_.Area());
  EXPECT_FALSE(object.isPrivate);
  EXPECT_EQ(object.type, 0x80u);
  EXPECT_EQ(object.application, "");
}

TEST_F(ObjectRecordTest, LabelOfFullRecordLength) {
  record_.label = std::string(38, 'L');
  record_.labelLength = 38;
  EXPECT_EQ(ParseObjectRecord(record_.Encode(), data_.Area()).label, std::string(38, 'L'));
}

TEST_F(ObjectRecordTest, RejectsBadFlags) {
  record_.flags = 0;
  EXPECT_EQ(FailureOf(record_), "Object invalid: no flags set.");
  record_.flags = 3;
  EXPECT_EQ(FailureOf(record_), "Object invalid: invalid flag value.");
  record_.type = 0;  // flags are checked first
  EXPECT_EQ(FailureOf(record_), "Object invalid: invalid flag value.");
}

TEST_F(ObjectRecordTest, RejectsUnsupportedTypes) {
  for (std::uint8_t type : {0, 2, 5}) {
    record_.type = type;
    EXPECT_EQ(FailureOf(record_), "Unsupported object type.") << "type " << int{type};
  }
  record_.type = 1;
  record_.application = 0;
  EXPECT_EQ(FailureOf(record_), "Application id for binary object missing.");
}

TEST_F(ObjectRecordTest, RejectsLabelLongerThanTheRecord) {
  record_.labelLength = 39;
  EXPECT_EQ(FailureOf(record_), "Object invalid: label size exceeds record.");
}

TEST_F(ObjectRecordTest, RejectsSizeBelowZero) {
  record_.lengthWord = Word(3, 0);
  EXPECT_EQ(FailureOf(record_), "Object invalid: object size out of range.");
}

TEST_F(ObjectRecordTest, RejectsDataBeyondTheDataArea) {
  const std::size_t blocks = data_.Area().size() / 16;
  record_.position = static_cast<std::uint16_t>(blocks - 1);
  record_.lengthWord = Word(2, 1);  // exactly the last block: accepted unless the CRC differs
  EXPECT_EQ(FailureOf(record_), "Object invalid: crc(encrypted object data) missmatch.");
  record_.lengthWord = Word(2, 2);
  EXPECT_EQ(FailureOf(record_), "Object invalid: object data out of range.");
  record_.position = 0xFFFF;
  record_.lengthWord = Word(0, 0xFFF);
  EXPECT_EQ(FailureOf(record_), "Object invalid: object data out of range.");
}

TEST_F(ObjectRecordTest, RejectsCrcMismatch) {
  record_.crc ^= 0x0100;
  EXPECT_EQ(FailureOf(record_), "Object invalid: crc(encrypted object data) missmatch.");
}

class ObjectTableTest : public ::testing::Test {
 protected:
  ObjectTableTest() {
    records_.push_back(data_.Add(10, "one").Encode());
    records_.push_back(data_.Add(30, "two").Encode());
  }

  std::vector<std::string> Labels(const Bytes& header) {
    std::vector<std::string> labels;
    ParseObjectTable(header, data_.Area(),
                     [&](const TokenObject& object) { labels.push_back(object.label); });
    return labels;
  }

  std::string FailureOf(const Bytes& header) {
    try {
      Labels(header);
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "(accepted)";
  }

  DataAreaBuilder data_;
  std::vector<Bytes> records_;
};

TEST_F(ObjectTableTest, ReadsSlotsThatEndBeforeTheEndOfTheFile) {
  EXPECT_THAT(Labels(HeaderFile(records_, 101)), ::testing::ElementsAre("one"));
  EXPECT_THAT(Labels(HeaderFile(records_, 102)), ::testing::ElementsAre("one", "two"));
  EXPECT_THAT(Labels(HeaderFile(records_, 150)), ::testing::ElementsAre("one", "two"));
}

TEST_F(ObjectTableTest, SkipsEmptySlots) {
  std::vector<Bytes> records = {Bytes(kObjectRecordSize, 0), records_[1], Bytes(49, 0),
                                records_[0]};
  EXPECT_THAT(Labels(HeaderFile(records, 400)), ::testing::ElementsAre("two", "one"));
}

TEST_F(ObjectTableTest, RejectsBadHeaders) {
  EXPECT_EQ(FailureOf(HeaderFile(records_, 100)), "Header file invalid: too small.");
  EXPECT_EQ(FailureOf(HeaderFile(records_, 0, 0)), "Header file invalid: no version set.");
  EXPECT_EQ(FailureOf(HeaderFile(records_, 0, 1)), "Header file invalid: V1 is not supported.");
  EXPECT_EQ(FailureOf(HeaderFile(records_, 0, 3)), "Header file invalid: unknown header version.");
  Bytes header = HeaderFile(records_);
  header.back() ^= 0x01;  // a fill byte: covered by the CRC too
  EXPECT_EQ(FailureOf(header), "Header file invalid: crc missmatch.");
  header = HeaderFile(records_);
  header[0] ^= 0x80;
  EXPECT_EQ(FailureOf(header), "Header file invalid: crc missmatch.");
}

TEST_F(ObjectTableTest, HandsOnObjectsBeforeAFaultyRecord) {
  records_[1][6] = 0;  // no flags
  std::vector<std::string> labels;
  EXPECT_THROW(ParseObjectTable(HeaderFile(records_), data_.Area(),
                                [&](const TokenObject& object) { labels.push_back(object.label); }),
               std::runtime_error);
  EXPECT_THAT(labels, ::testing::ElementsAre("one"));
}

}  // namespace
}  // namespace varlo
