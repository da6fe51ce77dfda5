// The pieces of the token's JSON document: Base64 byte members and the element of one object.
//
// The document, members in this order, compact:
//   {"uid": Base64 of the 8 uid bytes, least significant first,
//    "label": Base64, "pindata": Base64 of 48 bytes, "pinerrcount": 32-bit integer,
//    "objects": [{"label", "application" (only when set), "private", "type",
//                 "size" (32-bit integer), "value": Base64 of the stored bytes}, ...]}
// A token that is not initialized has "uid" only; "objects" is left out when there are none.
// Object handles are not kept: a document read back gets new ones.
//
// Documents are written as ordered objects so that members appear in the order they were put;
// they are read from plain parsed objects. Every failure throws std::runtime_error with a fixed
// text. Base64 is the standard alphabet with "=" padding; the reader also skips line breaks and
// blanks between the characters.
#ifndef VARLO_TOKENDATA_TOKEN_JSON_H_
#define VARLO_TOKENDATA_TOKEN_JSON_H_

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/secure_bytes.h"
#include "tokendata/token_object.h"

namespace varlo {

using OrderedJson = nlohmann::ordered_json;

// Runs one step of building a document; a failure of the JSON library is reported as `text`.
template <typename Step>
void JsonStep(const char* text, Step&& step) {
  try {
    std::forward<Step>(step)();
  } catch (const std::exception&) {
    throw std::runtime_error(text);
  }
}

std::string EncodeBase64(std::span<const std::uint8_t> bytes);
// nullopt for anything but complete, canonical Base64.
std::optional<SecureBytes> DecodeBase64(std::string_view text);

// Appends member `name` holding `bytes` as Base64.
void PutBytes(OrderedJson* target, std::string_view name, std::span<const std::uint8_t> bytes);
// Appends member `name` holding the 8 bytes of `value`, least significant first, as Base64.
void PutUint64(OrderedJson* target, std::string_view name, std::uint64_t value);
// The bytes of Base64 string member `name`; throws when it is absent or not Base64.
SecureBytes GetBytes(const nlohmann::json* source, std::string_view name);

// A number member read as a signed 32-bit integer (out-of-range values saturate, fractions are
// cut); nullopt when `name` is absent or not a number.
std::optional<std::int32_t> GetInt32(const nlohmann::json& source, std::string_view name);

OrderedJson TokenObjectToJson(const TokenObject& object);
TokenObject TokenObjectFromJson(const nlohmann::json& element);

}  // namespace varlo

#endif  // VARLO_TOKENDATA_TOKEN_JSON_H_
