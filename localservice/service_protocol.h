// The plaintext protocol between the module and the local token service, shared by both ends.
//
// Every message is a 7-byte header and a payload, integers little-endian:
//   0  u8   protocol version (1)
//   1  u8   module identifier (1)
//   2  u32  task id: chosen by the module for a request, echoed by the service in its reply
//   6  u8   command
//   7  ...  payload
// Commands: 0 get all tokens (reply: token records), 1 store token (one token record),
// 2 remove token (UID u64, then u32 0), 3 clear all tokens (service to module, no payload).
// A token record is the UID (u64), the length L of the JSON text (u32) and the token's JSON
// document (L bytes of UTF-8, no terminator).
//
// Both ends derive the Noise pre-shared key from two constants of the module: it is the same in
// every copy of the module, so it keeps strangers off the channel but authenticates nobody.
#ifndef VARLO_LOCALSERVICE_SERVICE_PROTOCOL_H_
#define VARLO_LOCALSERVICE_SERVICE_PROTOCOL_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "common/secure_bytes.h"

namespace varlo::service_protocol {

// The service's pipe.
inline constexpr std::u16string_view kPipeName =
    u"\\\\.\\pipe\\{969D51FF-A05A-4534-932D-014340F25540}";
inline constexpr std::string_view kPipeLeafName = "{969D51FF-A05A-4534-932D-014340F25540}";

inline constexpr std::uint8_t kProtocolVersion = 1;
inline constexpr std::uint8_t kModuleIdentifier = 1;
inline constexpr std::size_t kHeaderSize = 7;
inline constexpr std::size_t kTokenRecordHeaderSize = 12;
inline constexpr std::size_t kRemovePayloadSize = 12;

enum class Command : std::uint8_t {
  GetAllTokens = 0,
  StoreToken = 1,
  RemoveToken = 2,
  ClearAll = 3
};

struct Header {
  std::uint8_t version = 0;
  std::uint8_t module = 0;
  std::uint32_t taskId = 0;
  std::uint8_t command = 0;
};

// The header of `message`; nullopt when it is shorter than 7 bytes.
std::optional<Header> ReadHeader(std::span<const std::uint8_t> message);

// A whole message: version 1, module 1, `taskId`, `command`, then `payload`. The buffer wipes
// itself, since the payload may be a token.
SecureBytes BuildMessage(std::uint32_t taskId, Command command,
                         std::span<const std::uint8_t> payload = {});

// Appends one token record (UID, length, JSON text) to `out`.
void AppendTokenRecord(SecureBytes& out, std::uint64_t uid, std::string_view json);

// The 12-byte payload of a remove request.
std::vector<std::uint8_t> RemovePayload(std::uint64_t uid);
// The UID of a remove payload; nullopt unless it is 12 bytes.
std::optional<std::uint64_t> ReadRemovePayload(std::span<const std::uint8_t> payload);

struct TokenRecord {
  std::uint64_t uid = 0;
  std::string_view json;  // points into the parsed bytes
};

// Splits `payload` into token records; each length is checked against the bytes that remain.
// nullopt when a record is cut short.
std::optional<std::vector<TokenRecord>> ReadTokenRecords(std::span<const std::uint8_t> payload);

// The 32-byte Noise pre-shared key: PBKDF2-HMAC-SHA1 (10000 iterations) of the module's two
// constants. Computed on every call and held only in the returned, self-wiping buffer.
SecureBytes DerivePreSharedKey();

std::uint64_t ReadU64(std::span<const std::uint8_t> bytes);
std::uint32_t ReadU32(std::span<const std::uint8_t> bytes);
void AppendU64(SecureBytes& out, std::uint64_t value);
void AppendU32(SecureBytes& out, std::uint32_t value);

}  // namespace varlo::service_protocol

#endif  // VARLO_LOCALSERVICE_SERVICE_PROTOCOL_H_
