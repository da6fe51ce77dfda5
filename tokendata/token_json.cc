#include "tokendata/token_json.h"

#include <sodium.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <stdexcept>
#include <streambuf>
#include <utility>

namespace varlo {
namespace {

constexpr char kBase64Ignored[] = " \t\r\n";

const nlohmann::json* FindMember(const nlohmann::json& source, std::string_view name) {
  if (!source.is_object()) {
    return nullptr;
  }
  auto it = source.find(name);
  return it == source.end() ? nullptr : &*it;
}

// A number that a document can hold; parsed documents never hold NaN, built ones might.
bool IsNumber(const nlohmann::json* member) {
  return member != nullptr && member->is_number() &&
         !(member->is_number_float() && std::isnan(member->get<double>()));
}

std::int32_t SaturateToInt32(const nlohmann::json& number) {
  constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
  constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
  if (number.is_number_unsigned()) {
    auto value = number.get<std::uint64_t>();
    return value > static_cast<std::uint64_t>(kMax) ? kMax : static_cast<std::int32_t>(value);
  }
  if (number.is_number_integer()) {
    auto value = number.get<std::int64_t>();
    return value < kMin ? kMin : value > kMax ? kMax : static_cast<std::int32_t>(value);
  }
  auto value = number.get<double>();
  return value < kMin ? kMin : value > kMax ? kMax : static_cast<std::int32_t>(value);
}

// A stream buffer that appends everything written to it to a SecureString.
class SecureStringBuffer : public std::streambuf {
 public:
  explicit SecureStringBuffer(SecureString& text) : text_(text) {}

 protected:
  std::streamsize xsputn(const char* bytes, std::streamsize count) override {
    text_.append(bytes, static_cast<std::size_t>(count));
    return count;
  }
  int_type overflow(int_type c) override {
    if (!traits_type::eq_int_type(c, traits_type::eof()))
      text_.push_back(traits_type::to_char_type(c));
    return traits_type::not_eof(c);
  }

 private:
  SecureString& text_;
};

}  // namespace

OrderedJson OrderedObject(std::size_t members) {
  OrderedJson object = OrderedJson::object();
  object.get_ref<OrderedJson::object_t&>().reserve(members);
  return object;
}

SecureString DumpToSecure(const OrderedJson& document) {
  SecureString text;
  SecureStringBuffer buffer(text);
  std::ostream stream(&buffer);
  // No width set: compact, as dump() with its defaults; text that is not UTF-8 throws alike.
  stream << document;
  return text;
}

std::string EncodeBase64(std::span<const std::uint8_t> bytes) {
  constexpr int kVariant = sodium_base64_VARIANT_ORIGINAL;
  std::string text(sodium_base64_ENCODED_LEN(bytes.size(), kVariant), '\0');
  sodium_bin2base64(text.data(), text.size(), bytes.data(), bytes.size(), kVariant);
  text.pop_back();  // the terminating zero
  return text;
}

std::optional<SecureBytes> DecodeBase64(std::string_view text) {
  SecureBytes bytes(text.size() / 4 * 3 + 3);
  std::size_t size = 0;
  if (sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), kBase64Ignored, &size,
                        nullptr, sodium_base64_VARIANT_ORIGINAL) != 0) {
    return std::nullopt;
  }
  bytes.resize(size);
  return bytes;
}

void PutBytes(OrderedJson* target, std::string_view name, std::span<const std::uint8_t> bytes) {
  if (target == nullptr) {
    throw std::runtime_error("Unexpected nullptr.");
  }
  std::string text;
  try {
    text = EncodeBase64(bytes);
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("Failed to insert data: ") + e.what());
  }
  JsonStep("Failed to add binary data.", [&] { (*target)[std::string(name)] = std::move(text); });
}

void PutUint64(OrderedJson* target, std::string_view name, std::uint64_t value) {
  std::uint8_t bytes[8];
  for (std::size_t i = 0; i < sizeof bytes; ++i) {
    bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
  PutBytes(target, name, bytes);
}

SecureBytes GetBytes(const nlohmann::json* source, std::string_view name) {
  if (source == nullptr) {
    throw std::runtime_error("Unexpected nullptr.");
  }
  const nlohmann::json* member = FindMember(*source, name);
  if (member == nullptr || !member->is_string()) {
    throw std::runtime_error("Failed getting binary data");
  }
  auto bytes = DecodeBase64(member->get_ref<const std::string&>());
  if (!bytes) {
    throw std::runtime_error("Failed getting binary data");
  }
  return std::move(*bytes);
}

std::optional<std::int32_t> GetInt32(const nlohmann::json& source, std::string_view name) {
  const nlohmann::json* member = FindMember(source, name);
  if (!IsNumber(member)) {
    return std::nullopt;
  }
  return SaturateToInt32(*member);
}

OrderedJson TokenObjectToJson(const TokenObject& object) {
  OrderedJson element = OrderedObject(6);
  JsonStep("Failed to add object label to json.", [&] { element["label"] = object.label; });
  if (!object.application.empty()) {
    JsonStep("Failed to add object application id to json.",
             [&] { element["application"] = object.application; });
  }
  JsonStep("Failed to add object attributes to json.",
           [&] { element["private"] = object.isPrivate; });
  JsonStep("Failed to add object type to json.", [&] { element["type"] = object.type; });
  // Written as a 32-bit integer, as the reader takes it.
  JsonStep("Failed to add object size to json.",
           [&] { element["size"] = static_cast<std::int32_t>(object.size); });
  PutBytes(&element, "value", object.value);
  return element;
}

TokenObject TokenObjectFromJson(const nlohmann::json& element) {
  TokenObject object;
  const nlohmann::json* label = FindMember(element, "label");
  if (label == nullptr || !label->is_string()) {
    throw std::runtime_error("Object label missing in json.");
  }
  object.label = label->get<std::string>();

  const nlohmann::json* isPrivate = FindMember(element, "private");
  if (isPrivate == nullptr || !isPrivate->is_boolean()) {
    throw std::runtime_error("Object attributes missing in json.");
  }
  object.isPrivate = isPrivate->get<bool>();

  const nlohmann::json* type = FindMember(element, "type");
  if (!IsNumber(type)) {
    throw std::runtime_error("Object type missing in json.");
  }
  // Type codes are unsigned 32-bit; the writer puts them as such, so take them modulo 2^32.
  object.type = type->is_number_float() ? static_cast<std::uint32_t>(SaturateToInt32(*type))
                                        : static_cast<std::uint32_t>(type->get<std::uint64_t>());

  const nlohmann::json* application = FindMember(element, "application");
  if (application != nullptr && application->is_string()) {
    object.application = application->get<std::string>();
  }

  CheckObjectType(object);

  std::optional<std::int32_t> size = GetInt32(element, "size");
  if (!size) {
    throw std::runtime_error("Object size missing in json.");
  }
  // Sign-extended, as the document's 32-bit integer always has been.
  object.size = static_cast<std::uint64_t>(static_cast<std::int64_t>(*size));

  object.value = GetBytes(&element, "value");
  return object;
}

}  // namespace varlo
