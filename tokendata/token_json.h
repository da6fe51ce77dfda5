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

// Zeroes every string value of `document` in place, up to each string's capacity: the Base64 of
// card data, which the JSON library frees without wiping. Member names are left as they are.
// Nesting costs heap, not stack: a document from the service may be deep.
template <typename Json>
void WipeStrings(Json& document) noexcept {
  try {
    std::vector<Json*> pending{&document};
    while (!pending.empty()) {
      Json* value = pending.back();
      pending.pop_back();
      if (value->is_string()) {
        auto& text = value->template get_ref<typename Json::string_t&>();
        text.resize(text.capacity());
        Wipe(std::span(reinterpret_cast<std::uint8_t*>(text.data()), text.size()));
      } else if (value->is_structured()) {
        for (Json& child : *value)
          pending.push_back(&child);
      }
    }
  } catch (...) {
    // Out of memory for the list of values to visit: what was not reached stays as it is.
  }
}

// Wipes a document's strings when it goes out of scope, however the scope is left.
template <typename Json>
class StringsWiper {
 public:
  explicit StringsWiper(Json& document) : document_(document) {}
  ~StringsWiper() { WipeStrings(document_); }
  StringsWiper(const StringsWiper&) = delete;
  StringsWiper& operator=(const StringsWiper&) = delete;

 private:
  Json& document_;
};

// An empty document object with room for `members` members. An ordered object is a vector of
// (const name, value) pairs, which it copies, not moves, when it grows: room made up front keeps
// copies of card data from being left behind.
OrderedJson OrderedObject(std::size_t members);

// The compact text of `document`, as dump() writes it, written straight into a self-wiping
// string (dump() grows a plain one, leaving partial copies behind).
SecureString DumpToSecure(const OrderedJson& document);

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
