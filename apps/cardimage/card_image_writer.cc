#include "apps/cardimage/card_image_writer.h"

#include <cryptopp/modes.h>
#include <cryptopp/osrng.h>
#include <cryptopp/pwdbased.h>
#include <cryptopp/sha.h>
#include <cryptopp/twofish.h>

#include <algorithm>
#include <stdexcept>
#include <string_view>

#include "card/application_key.h"
#include "common/hex.h"

namespace varlo::cardimage {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kKeySize = 32;
constexpr std::size_t kPinFileSize = 48;
constexpr std::size_t kPropertyFileSize = 96;
constexpr std::size_t kRecordSize = 49;
constexpr std::size_t kHeaderPrefix = 3;  // CRC, version
constexpr std::size_t kBlock = 16;
constexpr std::uint32_t kPinIterations = 100000;
constexpr std::uint8_t kPrivateFlag = 1;
constexpr std::uint8_t kPublicFlag = 2;

void PutU16(Bytes& out, std::size_t offset, std::uint16_t value) {
  out[offset] = static_cast<std::uint8_t>(value);
  out[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

std::vector<std::uint8_t> TwofishCbcEncrypt(std::span<const std::uint8_t> key,
                                            std::span<const std::uint8_t> plain) {
  const std::array<std::uint8_t, kBlock> iv{};
  CryptoPP::CBC_Mode<CryptoPP::Twofish>::Encryption cipher(key.data(), key.size(), iv.data());
  Bytes out(plain.size());
  cipher.ProcessData(out.data(), plain.data(), plain.size());
  return out;
}

void Require(bool condition, const std::string& text) {
  if (!condition)
    throw std::invalid_argument(text);
}

std::size_t BlocksFor(std::size_t size) {
  return (size + 2 + kBlock - 1) / kBlock;
}

Bytes ObjectRecord(const ObjectDescription& object, std::uint16_t crc, std::size_t position,
                   std::size_t blocks) {
  Bytes record(kRecordSize, 0);
  PutU16(record, 0, crc);
  PutU16(record, 2, static_cast<std::uint16_t>(position));
  PutU16(record, 4,
         static_cast<std::uint16_t>(blocks | std::size_t{SizeNibble(object.content.size())} << 12));
  record[6] = object.isPrivate ? kPrivateFlag : kPublicFlag;
  record[7] = object.type;
  PutU16(record, 8, object.application);
  record[10] = static_cast<std::uint8_t>(object.label.size());
  std::copy(object.label.begin(), object.label.end(), record.begin() + 11);
  return record;
}

void CheckObject(const ObjectDescription& object, std::size_t index) {
  const std::string which = "object " + std::to_string(index) + ": ";
  Require(object.label.size() <= kMaxObjectLabel,
          which + "label longer than " + std::to_string(kMaxObjectLabel) + " bytes");
  Require(object.type != 0 && object.type != 2 && object.type != 5,
          which + "type " + std::to_string(object.type) + " is not supported");
  Require(object.type != 1 || object.application != 0,
          which + "type 1 needs an application number");
  Require(object.content.size() <= kMaxObjectContent,
          which + "content longer than " + std::to_string(kMaxObjectContent) + " bytes");
}

std::string TextMember(const nlohmann::json& object, const char* name, const std::string& where) {
  auto it = object.find(name);
  Require(it != object.end() && it->is_string(), where + "\"" + name + "\" must be a text");
  return it->get<std::string>();
}

Bytes HexMember(const nlohmann::json& object, const char* name, std::size_t digits,
                const std::string& where) {
  const std::string text = TextMember(object, name, where);
  auto bytes = FromHex(text);
  Require(bytes.has_value() && (digits == 0 || text.size() == digits),
          where + "\"" + name + "\" must be " +
              (digits == 0 ? std::string("hex digits") : std::to_string(digits) + " hex digits"));
  return *bytes;
}

// A whole JSON number from 0 to `max` (nlohmann keeps numbers written by code as signed).
bool InRange(const nlohmann::json& number, std::int64_t max) {
  if (!number.is_number_integer())
    return false;
  const std::int64_t value = number.get<std::int64_t>();
  return value >= 0 && value <= max;
}

std::uint64_t UidFromBytes(std::span<const std::uint8_t> bytes) {
  std::uint64_t uid = 0;
  for (std::uint8_t b : bytes)
    uid = uid << 8 | b;
  return uid;
}

}  // namespace

std::array<std::uint8_t, 7> UidBlob(std::uint64_t uid) {
  std::array<std::uint8_t, 7> blob{};
  for (std::size_t i = 0; i < blob.size(); ++i) {
    blob[i] = static_cast<std::uint8_t>(uid >> (8 * (6 - i)));
  }
  return blob;
}

std::uint16_t CrcA(std::span<const std::uint8_t> bytes) {
  std::uint16_t crc = 0x6363;
  for (std::uint8_t b : bytes) {
    crc ^= b;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0x8408) : crc >> 1;
    }
  }
  return crc;
}

std::uint8_t SizeNibble(std::size_t size) {
  const std::size_t overhead = BlocksFor(size) * kBlock - size;  // 2 to 17
  return static_cast<std::uint8_t>(overhead % kBlock);
}

std::vector<std::uint8_t> PropertyFile(const std::string& label) {
  Require(label.size() <= kMaxTokenLabel,
          "token label longer than " + std::to_string(kMaxTokenLabel) + " bytes");
  Bytes file(kPropertyFileSize, 0);
  file[0] = 3;
  const std::string_view magic = "kvyr";
  std::copy(magic.begin(), magic.end(), file.begin() + 1);
  file[23] = static_cast<std::uint8_t>(label.size());
  std::copy(label.begin(), label.end(), file.begin() + 24);
  return file;
}

SecureBytes PublicObjectKey(std::uint64_t uid) {
  const auto blob = UidBlob(uid);
  SecureBytes key(CryptoPP::SHA256::DIGESTSIZE);
  CryptoPP::SHA256().CalculateDigest(key.data(), blob.data(), blob.size());
  return key;
}

SecureBytes PinKey(std::span<const std::uint8_t> pin, std::uint64_t uid) {
  const auto blob = UidBlob(uid);
  SecureBytes key(kKeySize);
  CryptoPP::PKCS5_PBKDF2_HMAC<CryptoPP::SHA256> kdf;
  kdf.DeriveKey(key.data(), key.size(), 0, pin.data(), pin.size(), blob.data(), blob.size(),
                kPinIterations);
  return key;
}

std::vector<std::uint8_t> PinFile(std::span<const std::uint8_t> pin, std::uint64_t uid,
                                  std::span<const std::uint8_t> objectKey) {
  Require(objectKey.size() == kKeySize, "object key must be 32 bytes");
  SecureBytes plain(kPinFileSize, 0);
  std::copy(objectKey.begin(), objectKey.end(), plain.begin());
  const std::uint16_t crc = CrcA(objectKey);
  plain[32] = static_cast<std::uint8_t>(crc);
  plain[33] = static_cast<std::uint8_t>(crc >> 8);
  return TwofishCbcEncrypt(PinKey(pin, uid), plain);
}

std::vector<std::uint8_t> StoredObject(std::span<const std::uint8_t> content,
                                       std::span<const std::uint8_t> key) {
  Require(key.size() == kKeySize, "object key must be 32 bytes");
  SecureBytes plain(BlocksFor(content.size()) * kBlock, 0);
  const std::uint16_t crc = CrcA(content);
  plain[0] = static_cast<std::uint8_t>(crc);
  plain[1] = static_cast<std::uint8_t>(crc >> 8);
  std::copy(content.begin(), content.end(), plain.begin() + 2);
  return TwofishCbcEncrypt(key, plain);
}

CardImage MakeCardImage(const TokenDescription& token, const Layout& layout) {
  Require(token.uid != 0 && token.uid >> 56 == 0, "uid must be 7 bytes and not 0");
  Require(!token.label.empty(), "token label is empty (the module would not use the card)");
  Require(!token.pin.empty(), "PIN is empty");
  for (std::size_t i = 0; i < token.objects.size(); ++i)
    CheckObject(token.objects[i], i);

  const std::size_t count = token.objects.size();
  const std::size_t perHeader =
      layout.recordsPerHeader != 0 ? layout.recordsPerHeader : std::max<std::size_t>(count, 1);
  const std::size_t headerCount = std::max<std::size_t>((count + perHeader - 1) / perHeader, 1);
  Require(headerCount <= kMaxHeaderFiles,
          std::to_string(count) + " objects need " + std::to_string(headerCount) +
              " header files; at most " + std::to_string(kMaxHeaderFiles) + " exist");

  CardImage image;
  image.uid = token.uid;
  image.appKey = token.appKey.value_or(ApplicationKey());

  SecureBytes objectKey;
  if (token.objectKey) {
    objectKey = *token.objectKey;
  } else {
    objectKey.resize(kKeySize);
    CryptoPP::AutoSeededRandomPool().GenerateBlock(objectKey.data(), objectKey.size());
  }
  const SecureBytes publicKey = PublicObjectKey(token.uid);

  image.files[kPropertyFileNumber] = ToSecure(PropertyFile(token.label));
  image.files[kPinFileNumber] = ToSecure(PinFile(token.pin, token.uid, objectKey));

  // Objects are laid out one after the other in the data area.
  const std::size_t headerSize = kHeaderPrefix + kRecordSize * (perHeader + 1);
  std::vector<Bytes> headers(headerCount, Bytes(headerSize, 0));
  Bytes dataArea;
  for (std::size_t i = 0; i < count; ++i) {
    const ObjectDescription& object = token.objects[i];
    const Bytes stored = StoredObject(object.content, object.isPrivate ? objectKey : publicKey);
    const std::size_t position = dataArea.size() / kBlock;
    Require(position <= 0xFFFF, "objects do not fit the data area (1 MiB)");
    const Bytes record = ObjectRecord(object, CrcA(stored), position, stored.size() / kBlock);
    Bytes& header = headers[i / perHeader];
    std::copy(record.begin(), record.end(),
              header.begin() + kHeaderPrefix + kRecordSize * (i % perHeader));
    dataArea.insert(dataArea.end(), stored.begin(), stored.end());
  }
  // The module wants a data area even when no object uses it.
  if (dataArea.empty())
    dataArea.assign(kBlock, 0);

  for (std::size_t h = 0; h < headerCount; ++h) {
    Bytes& header = headers[h];
    header[2] = 2;
    const std::uint16_t crc = CrcA(std::span(header).subspan(2));
    PutU16(header, 0, crc);
    image.files[static_cast<std::uint8_t>(2 * h)] = ToSecure(header);
  }

  const std::size_t chunk = layout.dataFileSize != 0 ? layout.dataFileSize : dataArea.size();
  const std::size_t dataFiles = (dataArea.size() + chunk - 1) / chunk;
  Require(dataFiles <= kMaxDataFiles, "data area of " + std::to_string(dataArea.size()) +
                                          " bytes needs " + std::to_string(dataFiles) +
                                          " data files; at most " + std::to_string(kMaxDataFiles) +
                                          " exist");
  for (std::size_t d = 0; d < dataFiles; ++d) {
    const auto begin = dataArea.begin() + static_cast<std::ptrdiff_t>(d * chunk);
    const auto end =
        dataArea.begin() + static_cast<std::ptrdiff_t>(std::min(dataArea.size(), (d + 1) * chunk));
    image.files[static_cast<std::uint8_t>(2 * d + 1)] = SecureBytes(begin, end);
  }
  return image;
}

nlohmann::json CardImage::ToJson() const {
  nlohmann::json files = nlohmann::json::object();
  for (const auto& [number, content] : this->files) {
    files[std::to_string(number)] = ToHex(content);
  }
  return nlohmann::json{{"uid", ToHex(UidBlob(uid))}, {"appKey", ToHex(appKey)}, {"files", files}};
}

CardImage CardImage::FromJson(const nlohmann::json& document) {
  const std::string where = "card image: ";
  Require(document.is_object(), where + "not a JSON object");
  CardImage image;
  image.uid = UidFromBytes(HexMember(document, "uid", 14, where));
  image.appKey = ApplicationKey();
  if (document.contains("appKey")) {
    const Bytes key = HexMember(document, "appKey", 32, where);
    std::copy(key.begin(), key.end(), image.appKey.begin());
  }
  auto files = document.find("files");
  Require(files != document.end() && files->is_object(), where + "\"files\" must be an object");
  for (const auto& [name, content] : files->items()) {
    const bool digits =
        !name.empty() && name.size() <= 2 &&
        std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
    Require(digits && std::stoi(name) <= 31,
            where + "file number \"" + name + "\" is not a decimal number from 0 to 31");
    Require(content.is_string(), where + "file " + name + " must be hex text");
    auto bytes = FromHex(content.get<std::string>());
    Require(bytes.has_value(), where + "file " + name + " must be hex text");
    image.files[static_cast<std::uint8_t>(std::stoi(name))] = ToSecure(*bytes);
  }
  return image;
}

TokenDescription TokenDescriptionFromJson(const nlohmann::json& document) {
  const std::string where = "token description: ";
  Require(document.is_object(), where + "not a JSON object");
  TokenDescription token;
  token.uid = UidFromBytes(HexMember(document, "uid", 14, where));
  token.label = TextMember(document, "label", where);
  const std::string pin = TextMember(document, "pin", where);
  token.pin.assign(pin.begin(), pin.end());
  if (document.contains("appKey")) {
    const Bytes key = HexMember(document, "appKey", 32, where);
    token.appKey.emplace();
    std::copy(key.begin(), key.end(), token.appKey->begin());
  }
  if (document.contains("objectKey")) {
    token.objectKey = ToSecure(HexMember(document, "objectKey", 64, where));
  }
  if (!document.contains("objects"))
    return token;
  const nlohmann::json& objects = document["objects"];
  Require(objects.is_array(), where + "\"objects\" must be an array");
  for (std::size_t i = 0; i < objects.size(); ++i) {
    const nlohmann::json& element = objects[i];
    const std::string at = where + "object " + std::to_string(i) + ": ";
    Require(element.is_object(), at + "not a JSON object");
    ObjectDescription object;
    object.label = TextMember(element, "label", at);
    if (element.contains("application")) {
      const auto& number = element["application"];
      Require(InRange(number, 0xFFFF), at + "\"application\" must be a number from 0 to 65535");
      object.application = number.get<std::uint16_t>();
    }
    if (element.contains("private")) {
      Require(element["private"].is_boolean(), at + "\"private\" must be true or false");
      object.isPrivate = element["private"].get<bool>();
    }
    if (element.contains("type")) {
      const auto& type = element["type"];
      Require(InRange(type, 0xFF), at + "\"type\" must be a number from 0 to 255");
      object.type = type.get<std::uint8_t>();
    }
    const bool hex = element.contains("content");
    const bool text = element.contains("text");
    Require(hex != text, at + "give exactly one of \"content\" (hex) and \"text\"");
    if (hex) {
      object.content = ToSecure(HexMember(element, "content", 0, at));
    } else {
      const std::string plain = TextMember(element, "text", at);
      object.content.assign(plain.begin(), plain.end());
    }
    token.objects.push_back(std::move(object));
  }
  return token;
}

}  // namespace varlo::cardimage
