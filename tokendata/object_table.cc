#include "tokendata/object_table.h"

#include <algorithm>
#include <stdexcept>

#include "tokendata/crc_a.h"

namespace varlo {
namespace {

constexpr std::size_t kBlockSize = 16;
constexpr std::size_t kHeaderPrefixSize = 3;

// Record field offsets.
constexpr std::size_t kRecordCrc = 0;
constexpr std::size_t kRecordPosition = 2;
constexpr std::size_t kRecordLength = 4;
constexpr std::size_t kRecordFlags = 6;
constexpr std::size_t kRecordType = 7;
constexpr std::size_t kRecordApplication = 8;
constexpr std::size_t kRecordLabelLength = 10;
constexpr std::size_t kRecordLabel = 11;

constexpr std::uint8_t kFlagPrivate = 1;
constexpr std::uint8_t kFlagPublic = 2;

std::uint16_t ReadU16(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

[[noreturn]] void Fail(const char* text) {
  throw std::runtime_error(text);
}

void CheckHeader(std::span<const std::uint8_t> file) {
  if (file.size() < kMinHeaderFileSize) {
    Fail("Header file invalid: too small.");
  }
  switch (file[2]) {
    case 0:
      Fail("Header file invalid: no version set.");
    case 1:
      Fail("Header file invalid: V1 is not supported.");
    case kHeaderVersion:
      break;
    default:
      Fail("Header file invalid: unknown header version.");
  }
  if (CrcA(file.subspan(2)) != ReadU16(file, 0)) {
    Fail("Header file invalid: crc missmatch.");
  }
}

}  // namespace

std::optional<std::uint64_t> DecodeObjectSize(std::uint16_t lengthWord) {
  const std::uint64_t stored = kBlockSize * (lengthWord & 0x0FFFu);
  const std::uint64_t nibble = lengthWord >> 12;
  if (nibble > stored) {
    return std::nullopt;
  }
  std::uint64_t size = stored - nibble;
  // Overheads of 16 and 17 bytes are stored as nibbles 0 and 1.
  if (nibble <= 1 && size >= kBlockSize) {
    size -= kBlockSize;
  }
  return size;
}

std::string ApplicationIdFromNumber(std::uint16_t number) {
  return number == 0 ? std::string() : kApplicationIdPrefix + std::to_string(number);
}

TokenObject ParseObjectRecord(std::span<const std::uint8_t> record,
                              std::span<const std::uint8_t> dataArea) {
  if (record.size() != kObjectRecordSize) {
    Fail("Object invalid: record size mismatch.");
  }
  TokenObject object;
  switch (record[kRecordFlags]) {
    case 0:
      Fail("Object invalid: no flags set.");
    case kFlagPrivate:
      object.isPrivate = true;
      break;
    case kFlagPublic:
      object.isPrivate = false;
      break;
    default:
      Fail("Object invalid: invalid flag value.");
  }

  object.type = record[kRecordType];
  const std::size_t labelSize = record[kRecordLabelLength];
  if (labelSize > kMaxObjectLabelSize) {
    // The record has no room for more; a larger length would reach into the next record.
    Fail("Object invalid: label size exceeds record.");
  }
  auto labelBytes = record.subspan(kRecordLabel, labelSize);
  object.label.assign(labelBytes.begin(), labelBytes.end());
  object.application = ApplicationIdFromNumber(ReadU16(record, kRecordApplication));

  CheckObjectType(object);

  const std::uint16_t lengthWord = ReadU16(record, kRecordLength);
  const std::optional<std::uint64_t> size = DecodeObjectSize(lengthWord);
  if (!size) {
    Fail("Object invalid: object size out of range.");
  }
  object.size = *size;
  const std::uint64_t offset = kBlockSize * ReadU16(record, kRecordPosition);
  const std::uint64_t length = kBlockSize * (lengthWord & 0x0FFFu);
  if (offset + length > dataArea.size()) {
    Fail("Object invalid: object data out of range.");
  }
  auto value = dataArea.subspan(offset, length);
  object.value.assign(value.begin(), value.end());

  if (CrcA(object.value) != ReadU16(record, kRecordCrc)) {
    Fail("Object invalid: crc(encrypted object data) missmatch.");
  }
  return object;
}

void ParseObjectTable(std::span<const std::uint8_t> headerFile,
                      std::span<const std::uint8_t> dataArea,
                      const std::function<void(const TokenObject&)>& add) {
  CheckHeader(headerFile);
  // A slot is read only when it ends strictly before the end of the file, so a file of the
  // minimum size (room for two slots) yields one.
  for (std::size_t slotStart = kHeaderPrefixSize; slotStart + kObjectRecordSize < headerFile.size();
       slotStart += kObjectRecordSize) {
    auto record = headerFile.subspan(slotStart, kObjectRecordSize);
    if (std::all_of(record.begin(), record.end(), [](std::uint8_t b) { return b == 0; })) {
      continue;
    }
    add(ParseObjectRecord(record, dataArea));
  }
}

}  // namespace varlo
