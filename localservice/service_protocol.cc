#include "localservice/service_protocol.h"

#include <cryptopp/pwdbased.h>
#include <cryptopp/sha.h>

#include <string_view>

namespace varlo::service_protocol {
namespace {

// The pre-shared key's password and salt, ASCII, braces and punctuation included.
constexpr std::string_view kKeyPassword = "{7E2F41A9-3B6C-4D8E-95F1-C0A4D7B3E862}";
constexpr std::string_view kKeySalt = "Rq4/=Ke2*pW7xNb0!;Vh8?Lm3Tc(Jd6Y";
constexpr unsigned kKeyIterations = 10000;
constexpr std::size_t kKeySize = 32;

}  // namespace

std::uint64_t ReadU64(std::span<const std::uint8_t> bytes) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < 8; ++i)
    value |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
  return value;
}

std::uint32_t ReadU32(std::span<const std::uint8_t> bytes) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i)
    value |= static_cast<std::uint32_t>(bytes[i]) << (8 * i);
  return value;
}

void AppendU64(SecureBytes& out, std::uint64_t value) {
  for (std::size_t i = 0; i < 8; ++i)
    out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void AppendU32(SecureBytes& out, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i)
    out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::optional<Header> ReadHeader(std::span<const std::uint8_t> message) {
  if (message.size() < kHeaderSize)
    return std::nullopt;
  return Header{message[0], message[1], ReadU32(message.subspan(2)), message[6]};
}

SecureBytes BuildMessage(std::uint32_t taskId, Command command,
                         std::span<const std::uint8_t> payload) {
  SecureBytes message;
  message.reserve(kHeaderSize + payload.size());
  message.push_back(kProtocolVersion);
  message.push_back(kModuleIdentifier);
  AppendU32(message, taskId);
  message.push_back(static_cast<std::uint8_t>(command));
  message.insert(message.end(), payload.begin(), payload.end());
  return message;
}

void AppendTokenRecord(SecureBytes& out, std::uint64_t uid, std::string_view json) {
  AppendU64(out, uid);
  AppendU32(out, static_cast<std::uint32_t>(json.size()));
  out.insert(out.end(), json.begin(), json.end());
}

std::vector<std::uint8_t> RemovePayload(std::uint64_t uid) {
  SecureBytes payload;
  AppendU64(payload, uid);
  AppendU32(payload, 0);
  return {payload.begin(), payload.end()};
}

std::optional<std::uint64_t> ReadRemovePayload(std::span<const std::uint8_t> payload) {
  if (payload.size() != kRemovePayloadSize)
    return std::nullopt;
  return ReadU64(payload);
}

std::optional<std::vector<TokenRecord>> ReadTokenRecords(std::span<const std::uint8_t> payload) {
  std::vector<TokenRecord> records;
  while (!payload.empty()) {
    if (payload.size() < kTokenRecordHeaderSize)
      return std::nullopt;
    const std::uint64_t uid = ReadU64(payload);
    const std::uint32_t length = ReadU32(payload.subspan(8));
    payload = payload.subspan(kTokenRecordHeaderSize);
    // Compared with what remains, never added to an offset, so no length can wrap.
    if (length > payload.size())
      return std::nullopt;
    records.push_back({uid, {reinterpret_cast<const char*>(payload.data()), length}});
    payload = payload.subspan(length);
  }
  return records;
}

SecureBytes DerivePreSharedKey() {
  SecureBytes key(kKeySize);
  CryptoPP::PKCS5_PBKDF2_HMAC<CryptoPP::SHA1> pbkdf2;
  pbkdf2.DeriveKey(key.data(), key.size(), 0,
                   reinterpret_cast<const CryptoPP::byte*>(kKeyPassword.data()),
                   kKeyPassword.size(), reinterpret_cast<const CryptoPP::byte*>(kKeySalt.data()),
                   kKeySalt.size(), kKeyIterations);
  return key;
}

}  // namespace varlo::service_protocol
