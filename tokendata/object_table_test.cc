#include "tokendata/object_table.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tokendata/test_card_files.h"

namespace varlo {
namespace {

using testing::Bytes;
using ::testing::ElementsAre;

std::uint16_t Word(unsigned nibble, unsigned blocks) {
  return static_cast<std::uint16_t>(nibble << 12 | blocks);
}

template <typename Parse>
std::string FailureOf(Parse&& parse) {
  try {
    parse();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(accepted)";
}

TEST(DecodeObjectSizeTest, OverheadNibble) {
  EXPECT_EQ(DecodeObjectSize(Word(0, 2)), 16u);
  EXPECT_EQ(DecodeObjectSize(Word(1, 2)), 15u);
  EXPECT_EQ(DecodeObjectSize(Word(5, 1)), 11u);
  EXPECT_EQ(DecodeObjectSize(Word(0, 0)), 0u);
  EXPECT_EQ(DecodeObjectSize(Word(1, 1)), 15u);  // below 16: no further 16 taken off
  EXPECT_EQ(DecodeObjectSize(Word(15, 0xFFF)), 16u * 0xFFF - 15);
  // More overhead than bytes stored would give a size below zero.
  EXPECT_EQ(DecodeObjectSize(Word(1, 0)), std::nullopt);
  EXPECT_EQ(DecodeObjectSize(Word(15, 0)), std::nullopt);
  for (std::size_t size = 0; size < 4000; ++size) {
    ASSERT_EQ(DecodeObjectSize(testing::LengthWordFor(size)), size) << "size " << size;
  }
}

class ObjectRecordTest : public ::testing::Test {
 protected:
  ObjectRecordTest() {
    data_.Add(40, "first");  // three blocks
    record_ = data_.Add(20, "second", 1, true, 5);
  }
  std::string Failure() {
    return FailureOf([&] { ParseObjectRecord(record_.Encode(), data_.Area()); });
  }

  testing::DataAreaBuilder data_;
  testing::ObjectRecord record_;
};

TEST_F(ObjectRecordTest, ParsesEveryField) {
  TokenObject object = ParseObjectRecord(record_.Encode(), data_.Area());
  EXPECT_EQ(object.label, "second");
  EXPECT_EQ(object.application, "1.3.6.1.4.1.6147.9117.1.1234.8.5");
  EXPECT_TRUE(object.isPrivate);
  EXPECT_EQ(object.type, 1u);
  EXPECT_EQ(object.size, 20u);
  EXPECT_EQ(object.value, Bytes(data_.Area().begin() + 48, data_.Area().end()));

  record_ = {record_.crc, record_.position,    record_.lengthWord, 2, 0x80, 0,
             38,          std::string(38, 'L')};
  object = ParseObjectRecord(record_.Encode(), data_.Area());
  EXPECT_FALSE(object.isPrivate);
  EXPECT_EQ(object.type, 0x80u);  // codes without a meaning here are passed on
  EXPECT_EQ(object.application, "");
  EXPECT_EQ(object.label, std::string(38, 'L'));
}

TEST_F(ObjectRecordTest, Rejects) {
  const testing::ObjectRecord good = record_;
  const std::vector<std::pair<std::function<void(testing::ObjectRecord&)>, std::string>> faults = {
      {[](auto& r) { r.flags = 0; }, "Object invalid: no flags set."},
      {[](auto& r) { r.flags = 3; }, "Object invalid: invalid flag value."},
      {[](auto& r) { r.flags = 4, r.type = 0; }, "Object invalid: invalid flag value."},
      {[](auto& r) { r.type = 0; }, "Unsupported object type."},
      {[](auto& r) { r.type = 2; }, "Unsupported object type."},
      {[](auto& r) { r.type = 5; }, "Unsupported object type."},
      {[](auto& r) { r.application = 0; }, "Application id for binary object missing."},
      {[](auto& r) { r.labelLength = 39; }, "Object invalid: label size exceeds record."},
      {[](auto& r) { r.lengthWord = Word(3, 0); }, "Object invalid: object size out of range."},
      {[](auto& r) { r.lengthWord = Word(2, 3); }, "Object invalid: object data out of range."},
      {[](auto& r) { r.position = 0xFFFF, r.lengthWord = Word(0, 0xFFF); },
       "Object invalid: object data out of range."},
      {[](auto& r) { r.position = 4, r.lengthWord = Word(0, 1); },  // the last block: in range
       "Object invalid: crc(encrypted object data) missmatch."},
      {[](auto& r) { r.crc ^= 0x0100; }, "Object invalid: crc(encrypted object data) missmatch."},
  };
  for (const auto& [spoil, text] : faults) {
    record_ = good;
    spoil(record_);
    EXPECT_EQ(Failure(), text);
  }
}

class ObjectTableTest : public ::testing::Test {
 protected:
  ObjectTableTest() : records_{data_.Add(10, "one").Encode(), data_.Add(30, "two").Encode()} {}

  std::vector<std::string> Labels(const Bytes& header) {
    std::vector<std::string> labels;
    ParseObjectTable(header, data_.Area(),
                     [&](const TokenObject& object) { labels.push_back(object.label); });
    return labels;
  }

  testing::DataAreaBuilder data_;
  std::vector<Bytes> records_;
};

TEST_F(ObjectTableTest, ReadsSlotsThatEndBeforeTheEndOfTheFile) {
  EXPECT_THAT(Labels(testing::HeaderFile(records_, 101)), ElementsAre("one"));
  EXPECT_THAT(Labels(testing::HeaderFile(records_, 102)), ElementsAre("one", "two"));
  const Bytes empty(kObjectRecordSize, 0);
  EXPECT_THAT(Labels(testing::HeaderFile({empty, records_[1], empty, records_[0]}, 400)),
              ElementsAre("two", "one"));
}

TEST_F(ObjectTableTest, RejectsBadHeaders) {
  auto failure = [&](const Bytes& header) { return FailureOf([&] { Labels(header); }); };
  EXPECT_EQ(failure(testing::HeaderFile(records_, 100)), "Header file invalid: too small.");
  EXPECT_EQ(failure(testing::HeaderFile(records_, 0, 0)), "Header file invalid: no version set.");
  EXPECT_EQ(failure(testing::HeaderFile(records_, 0, 1)),
            "Header file invalid: V1 is not supported.");
  EXPECT_EQ(failure(testing::HeaderFile(records_, 0, 3)),
            "Header file invalid: unknown header version.");
  for (std::size_t at : {std::size_t{0}, std::size_t{1}, std::size_t{120}}) {
    Bytes header = testing::HeaderFile(records_, 121);
    header[at] ^= 0x40;  // the CRC covers the fill after the last slot too
    EXPECT_EQ(failure(header), "Header file invalid: crc missmatch.") << "byte " << at;
  }
}

TEST_F(ObjectTableTest, HandsOnObjectsBeforeAFaultyRecord) {
  records_[1][6] = 0;  // no flags
  std::vector<std::string> labels;
  EXPECT_THROW(ParseObjectTable(testing::HeaderFile(records_), data_.Area(),
                                [&](const TokenObject& object) { labels.push_back(object.label); }),
               std::runtime_error);
  EXPECT_THAT(labels, ElementsAre("one"));
}

}  // namespace
}  // namespace varlo
