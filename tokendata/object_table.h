// The object tables of a token application: header files whose 49-byte records describe the
// data objects, and the data area (all data files joined) that holds the objects' stored bytes.
//
// Header file: 2-byte CRC_A of bytes 2 to the end (least significant byte first), a version
// byte (2), then record slots of 49 bytes each. Every failure throws std::runtime_error with a
// fixed text; nothing here logs.
#ifndef VARLO_TOKENDATA_OBJECT_TABLE_H_
#define VARLO_TOKENDATA_OBJECT_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "tokendata/token_object.h"

namespace varlo {

inline constexpr std::size_t kObjectRecordSize = 49;
inline constexpr std::size_t kMinHeaderFileSize = 101;
inline constexpr std::uint8_t kHeaderVersion = 2;
// The most label bytes a record has room for (49 bytes less the 11 of the fixed fields).
inline constexpr std::size_t kMaxObjectLabelSize = 38;
// `application` of an object whose record names application number n: this prefix, then n.
inline constexpr char kApplicationIdPrefix[] = "1.3.6.1.4.1.6147.9117.1.1234.8.";

// The content length of an object from its record's length word (bits 0-11: 16-byte blocks
// stored; bits 12-15: stored length minus content length, modulo 16). nullopt when the word
// names more overhead than bytes stored.
std::optional<std::uint64_t> DecodeObjectSize(std::uint16_t lengthWord);

// The `application` text for an application number; empty for 0.
std::string ApplicationIdFromNumber(std::uint16_t number);

// Checks one 49-byte record and cuts its object's stored bytes out of `dataArea`.
TokenObject ParseObjectRecord(std::span<const std::uint8_t> record,
                              std::span<const std::uint8_t> dataArea);

// Checks a header file, then parses each readable, non-empty slot in order and hands the
// object to `add`, so objects before a faulty record have been handed on when it throws.
void ParseObjectTable(std::span<const std::uint8_t> headerFile,
                      std::span<const std::uint8_t> dataArea,
                      const std::function<void(const TokenObject&)>& add);

}  // namespace varlo

#endif  // VARLO_TOKENDATA_OBJECT_TABLE_H_
