#include "token/token.h"

#include <cryptopp/modes.h>
#include <cryptopp/sha.h>
#include <cryptopp/twofish.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <utility>

#include "common/module_exception.h"
#include "items/item.h"
#include "log/logger.h"
#include "token/pbkdf2_sha256.h"
#include "tokendata/crc_a.h"

namespace varlo {
namespace {

// Tokens belong to the token list's subsystem and log under its context.
constexpr char kLogContext[] = "TokenList";
constexpr std::size_t kKeySize = 32;
constexpr std::size_t kCipherBlock = 16;
constexpr std::uint8_t kPinLockedFill = 0x42;
constexpr std::uint8_t kNoPinUserFill = 0x13;
constexpr std::size_t kPinCrcOffset = 32;
constexpr std::size_t kObjectCrcSize = 2;
constexpr char kUninitialized[] = "Operation isn't allowed on uninitialized token.";

bool AllBytesAre(std::span<const std::uint8_t> bytes, std::uint8_t value) {
  return std::all_of(bytes.begin(), bytes.end(), [value](std::uint8_t b) { return b == value; });
}

std::uint16_t StoredCrc(std::span<const std::uint8_t> bytes) {
  return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

bool Meets(const TokenObject& object, const SearchCondition& condition) {
  switch (condition.fieldKey) {
    case KEY_LABEL:
      return condition.text.has_value() && *condition.text == object.label;
    case KEY_ATTRIBUTES:
      return condition.attributes ==
             (object.isPrivate ? OBJECT_ATTRIBUTE_PRIVATE : OBJECT_ATTRIBUTE_PUBLIC);
    case KEY_APPID:
      return condition.text.has_value() && *condition.text == object.application;
    default:
      return true;  // the table operation refuses unknown keys before
  }
}

}  // namespace

SearchCondition SearchCondition::FromHost(const ModuleSearchCondition& condition) {
  SearchCondition result;
  result.fieldKey = condition.fieldKey;
  if (condition.valueType == VALUE_TYPE_TEXT && condition.value.text != nullptr) {
    result.text = std::string(condition.value.text);
  } else if (condition.valueType == VALUE_TYPE_BYTE) {
    result.attributes = condition.value.byte;
  }
  return result;
}

Token::Token(DesfireData data, EventRelay relay)
    : DesfireData(std::move(data)), relay_(std::move(relay)) {
  TraceScope trace("Token::Token");
  Notify();
}

Token::~Token() {
  TraceScope trace("Token::~Token");
  Notify();
}

void Token::Notify() noexcept {
  if (!relay_)
    return;
  try {
    relay_();
  } catch (const std::exception& e) {
    // A failing relay must cost neither the token nor its destruction.
    LogError(kLogContext) << "Token::Notify " << e.what();
  } catch (...) {
    LogError(kLogContext) << "Token::Notify unknown exception from the event relay.";
  }
}

SessionId Token::GetUidAsBlob() const {
  TraceScope trace("Token::GetUidAsBlob");
  if (uid == 0) {
    throw ModuleException("UID missing - cannot derive key from PIN.", RESULT_FAILURE);
  }
  SessionId blob{};
  for (std::size_t i = 0; i < blob.size(); ++i) {
    blob[i] = static_cast<std::uint8_t>(uid >> (8 * (blob.size() - 1 - i)));
  }
  return blob;
}

void Token::GetTokenSessionId(std::span<std::uint8_t, kSessionIdSize> sessionId) const {
  TraceScope trace("Token::GetTokenSessionId");
  const SessionId blob = GetUidAsBlob();
  std::copy(blob.begin(), blob.end(), sessionId.begin());
}

std::vector<std::uint8_t> Token::GetTokenCapabilities() const {
  TraceScope trace("Token::GetTokenCapabilities");
  const bool noPinUser = pinData.size() == kPinDataSize && AllBytesAre(pinData, kNoPinUserFill);
  CItemVector capabilities("tcr");
  auto flag = [&capabilities](const char* name, bool value) {
    capabilities.Add(std::make_unique<CItemBoolean>(name, value));
  };
  flag("tcic2", false);
  flag("tcii", initialized);
  flag("tcinpu", noPinUser);
  capabilities.Add(std::make_unique<CItemBuffer>(
      "tcl", std::span(reinterpret_cast<const std::uint8_t*>(label.data()), label.size())));
  capabilities.Add(std::make_unique<CItemStringA>("tcm", "virtual DESFire"));
  flag("tcif", false);
  flag("tcioas", true);
  flag("tcioairo", true);
  flag("tccbi", false);
  flag("tcinpp", true);
  flag("tcipn", false);
  flag("tcispp", false);
  flag("tcips", false);
  flag("tcipcp", false);
  flag("tcirbp", false);
  flag("tcipil", IsPinLocked());
  flag("tcipicr", false);
  return detail::PackCapabilities(capabilities);
}

std::vector<std::uint8_t> detail::PackCapabilities(const CItem& root) {
  std::uint32_t size = 0;
  std::vector<std::uint8_t> block;
  bool packed = root.Pack(nullptr, &size);
  if (packed) {
    block.resize(size);
    packed = root.Pack(block.data(), &size);
  }
  if (!packed) {
    throw ModuleException("Failed packing token capabilities item vector.", RESULT_FAILURE);
  }
  return block;
}

void Token::RequireInitialized() const {
  if (!initialized) {
    throw ModuleException(kUninitialized, RESULT_WRONG_STATE);
  }
}

std::vector<std::uint64_t> Token::FindObjects(
    const std::vector<SearchCondition>& conditions) const {
  TraceScope trace("Token::FindObjects");
  RequireInitialized();
  std::vector<std::uint64_t> handles;
  for (const auto& [handle, object] : objects) {
    const bool all =
        std::all_of(conditions.begin(), conditions.end(),
                    [&object = object](const SearchCondition& c) { return Meets(object, c); });
    if (all)
      handles.push_back(handle);
  }
  return handles;
}

TokenObject Token::GetObject(std::uint64_t handle) const {
  RequireInitialized();
  auto it = objects.find(handle);
  if (it == objects.end()) {
    throw ModuleException("Object not found.", RESULT_OBJECT_NOT_FOUND);
  }
  return it->second;
}

SecureBytes Token::ReadObject(std::uint64_t handle) const {
  TraceScope trace("Token::ReadObject");
  const TokenObject object = GetObject(handle);
  SecureBytes key;
  if (object.isPrivate) {
    if (objectKey_.empty()) {
      throw ModuleException("PIN is required to read private object.", RESULT_PIN_REQUIRED);
    }
    key = objectKey_;
  } else {
    key = GenerateKeyPublicObjects();
  }
  SecureBytes plain = TwoFishDecrypt(key, object.value);
  // Plain layout: CRC_A of the data (2 bytes), the data, filler up to the block boundary.
  if (plain.size() < kObjectCrcSize || plain.size() - kObjectCrcSize < object.size) {
    throw ModuleException("Plain data is smaller than object size.", RESULT_FAILURE);
  }
  const std::uint16_t stored = StoredCrc(plain);
  SecureBytes data(plain.begin() + kObjectCrcSize,
                   plain.begin() + kObjectCrcSize + static_cast<std::ptrdiff_t>(object.size));
  if (CrcA(data) != stored) {
    throw ModuleException("Plain object data crc mismatch.", RESULT_OBJECT_CRC_MISMATCH);
  }
  return data;
}

void Token::CheckPIN(std::span<const std::uint8_t> pin) {
  TraceScope trace("Token::CheckPIN");
  RequireInitialized();
  if (IsPinLocked()) {
    throw ModuleException("PIN is locked.", RESULT_PIN_LOCKED);
  }
  const SecureBytes key = DeriveKeyFromPIN(pin);
  const SecureBytes plain = TwoFishDecrypt(key, pinData);
  if (plain.size() != kPinDataSize) {
    throw ModuleException("Plain PIN data size mismatch.", RESULT_FAILURE);
  }
  // Plain layout: object key (32 bytes), its CRC_A (2 bytes), 14 bytes not looked at.
  const std::span<const std::uint8_t> candidate(plain.data(), kKeySize);
  if (CrcA(candidate) == StoredCrc(std::span(plain).subspan(kPinCrcOffset))) {
    objectKey_.assign(candidate.begin(), candidate.end());
    pinErrorCount = 0;
    return;
  }
  CountPinFailure();
  throw ModuleException("PIN is incorrect.", RESULT_PIN_INCORRECT);
}

bool Token::IsPinLocked() const {
  return pinData.size() != kPinDataSize || AllBytesAre(pinData, kPinLockedFill);
}

void Token::CountPinFailure() {
  // Saturating: a count taken over as -1 from a JSON document must not wrap around to 0.
  if (pinErrorCount != UINT64_MAX)
    ++pinErrorCount;
  if (pinErrorCount >= kMaxPinFailures) {
    pinData.assign(kPinDataSize, kPinLockedFill);
  }
}

SecureBytes Token::DeriveKeyFromPIN(std::span<const std::uint8_t> pin) const {
  TraceScope trace("Token::DeriveKeyFromPIN");
  const SessionId salt = GetUidAsBlob();
  SecureBytes key(kKeySize);
  Pbkdf2HmacSha256(pin, salt, kPinIterations, key);
  return key;
}

SecureBytes Token::GenerateKeyPublicObjects() const {
  TraceScope trace("Token::GenerateKeyPublicObjects");
  const SessionId blob = GetUidAsBlob();
  SecureBytes key(CryptoPP::SHA256::DIGESTSIZE);
  CryptoPP::SHA256().CalculateDigest(key.data(), blob.data(), blob.size());
  return key;
}

SecureBytes Token::TwoFishDecrypt(std::span<const std::uint8_t> key,
                                  std::span<const std::uint8_t> cipher) {
  TraceScope trace("Token::TwoFishDecrypt");
  if (key.size() != kKeySize) {
    throw ModuleException("Key length mismatch.", RESULT_FAILURE);
  }
  if (cipher.empty() || cipher.size() % kCipherBlock != 0) {
    throw ModuleException("Cipher data is not multiple of block size.", RESULT_FAILURE);
  }
  const std::array<std::uint8_t, kCipherBlock> iv{};
  CryptoPP::CBC_Mode<CryptoPP::Twofish>::Decryption decryption(key.data(), key.size(), iv.data());
  SecureBytes plain(cipher.size());
  decryption.ProcessData(plain.data(), cipher.data(), cipher.size());
  return plain;
}

}  // namespace varlo
