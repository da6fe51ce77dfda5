// Test-only builder of a token application's files: property, PIN, header and data files with
// correct CRCs, and handles to spoil any field of them.
#ifndef VARLO_TOKENDATA_TEST_CARD_FILES_H_
#define VARLO_TOKENDATA_TEST_CARD_FILES_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tokendata/crc_a.h"
#include "tokendata/desfire_data.h"
#include "tokendata/object_table.h"

namespace varlo::testing {

using Bytes = std::vector<std::uint8_t>;

inline Bytes PropertyFile(std::string_view label) {
  Bytes file(kPropertyFileSize, 0xEE);
  file[0] = 3;
  file[1] = 0x6B;
  file[2] = 0x76;
  file[3] = 0x79;
  file[4] = 0x72;
  file[23] = static_cast<std::uint8_t>(label.size());
  for (std::size_t i = 0; i < label.size() && 24 + i < file.size(); ++i) {
    file[24 + i] = static_cast<std::uint8_t>(label[i]);
  }
  return file;
}

inline Bytes PinFile() {
  Bytes file(kPinDataSize);
  for (std::size_t i = 0; i < file.size(); ++i) {
    file[i] = static_cast<std::uint8_t>(0xA0 + i);
  }
  return file;
}

// The fields of one 49-byte object record.
struct ObjectRecord {
  std::uint16_t crc = 0;
  std::uint16_t position = 0;
  std::uint16_t lengthWord = 0;
  std::uint8_t flags = 2;
  std::uint8_t type = 3;
  std::uint16_t application = 0;
  std::uint8_t labelLength = 0;
  std::string label;

  Bytes Encode() const {
    Bytes record(kObjectRecordSize, 0);
    auto put16 = [&](std::size_t offset, std::uint16_t v) {
      record[offset] = static_cast<std::uint8_t>(v);
      record[offset + 1] = static_cast<std::uint8_t>(v >> 8);
    };
    put16(0, crc);
    put16(2, position);
    put16(4, lengthWord);
    record[6] = flags;
    record[7] = type;
    put16(8, application);
    record[10] = labelLength;
    for (std::size_t i = 0; i < label.size() && 11 + i < record.size(); ++i) {
      record[11 + i] = static_cast<std::uint8_t>(label[i]);
    }
    return record;
  }
};

// The length word of an object of `size` content bytes: CRC, content and fill in whole blocks.
inline std::uint16_t LengthWordFor(std::size_t size) {
  const std::size_t blocks = (size + 2 + 15) / 16;
  const std::size_t nibble = (blocks * 16 - size) % 16;
  return static_cast<std::uint16_t>(nibble << 12 | blocks);
}

// A header file holding `records` in its first slots, `size` bytes long (0: just long enough
// for every record to be read), with its CRC set.
inline Bytes HeaderFile(const std::vector<Bytes>& records, std::size_t size = 0,
                        std::uint8_t version = kHeaderVersion) {
  if (size == 0) {
    size = std::max<std::size_t>(kMinHeaderFileSize, 3 + kObjectRecordSize * records.size() + 1);
  }
  Bytes file(size, 0);
  file[2] = version;
  for (std::size_t k = 0; k < records.size(); ++k) {
    for (std::size_t i = 0; i < kObjectRecordSize && 3 + kObjectRecordSize * k + i < size; ++i) {
      file[3 + kObjectRecordSize * k + i] = records[k][i];
    }
  }
  const std::uint16_t crc = CrcA(std::span(file).subspan(2));
  file[0] = static_cast<std::uint8_t>(crc);
  file[1] = static_cast<std::uint8_t>(crc >> 8);
  return file;
}

// Lays objects out in one data area and describes them with matching records.
class DataAreaBuilder {
 public:
  // Appends an object with `size` content bytes (its stored bytes are made up) and returns its
  // record, ready to be spoiled by the caller.
  ObjectRecord Add(std::size_t size, std::string label, std::uint8_t type = 3,
                   bool isPrivate = false, std::uint16_t application = 0) {
    ObjectRecord record;
    record.lengthWord = LengthWordFor(size);
    const std::size_t stored = 16 * (record.lengthWord & 0x0FFF);
    record.position = static_cast<std::uint16_t>(area_.size() / 16);
    for (std::size_t i = 0; i < stored; ++i) {
      area_.push_back(static_cast<std::uint8_t>(area_.size() * 7 + 1));
    }
    record.crc = CrcA(std::span(area_).subspan(area_.size() - stored));
    record.flags = isPrivate ? 1 : 2;
    record.type = type;
    record.application = application;
    record.labelLength = static_cast<std::uint8_t>(label.size());
    record.label = std::move(label);
    return record;
  }

  const Bytes& Area() const { return area_; }

 private:
  Bytes area_;
};

}  // namespace varlo::testing

#endif  // VARLO_TOKENDATA_TEST_CARD_FILES_H_
