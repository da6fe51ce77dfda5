// Writes the files of a token application ("card images") from a token description.
//
// A card image is what a DESFire card of this system holds: its UID, the token application's
// key 0 and the application's files by number. Its JSON form, shared by the tools and the tests:
//
//   {"uid": "<14 hex digits>", "appKey": "<32 hex digits, optional>",
//    "files": {"<decimal file number>": "<hex>"}}
//
// The UID is written in the card's own byte order (the first UID byte first).
//
// The writer builds every file on its own code path, independent of the module's parser:
//   0x1F  property file (96 bytes: version 3, magic "kvyr", label length, label)
//   0x1D  PIN file (48 bytes): the object key (32 bytes), its CRC_A and filler, Twofish-CBC
//         enciphered under PBKDF2-HMAC-SHA-256(PIN, UID, 100000 iterations)
//   0x00, 0x02, ...  header files: CRC_A, version 2, then 49-byte object records
//   0x01, 0x03, ...  data files: the concatenated data area, split into files of a chosen size
// Each object is stored as Twofish-CBC(CRC_A of the content, the content, zero fill to the next
// 16-byte boundary); private objects under the object key, public ones under SHA-256 of the
// UID. The record holds the CRC_A of the stored bytes, their position and length in 16-byte
// blocks, the overhead nibble, flags, type, application number and label.
//
// Typical use in a test:
//
//   varlo::cardimage::TokenDescription token;
//   token.uid = 0x04A1B2C3D4E5F6;
//   token.label = "My token";
//   token.pin = "1234";
//   token.objects.push_back({.label = "cert", .application = 5, .isPrivate = false,
//                            .type = 1, .content = {1, 2, 3}});
//   varlo::cardimage::CardImage image = varlo::cardimage::MakeCardImage(token);
//   // image.files is a map file number -> bytes, as DesfireData's card constructor takes it.
//
// Every function throws std::invalid_argument with a readable text for a description the
// module could not read back (label too long, unsupported type, too many objects, ...).
// All functions are safe to call from any thread.
#ifndef VARLO_APPS_CARDIMAGE_CARD_IMAGE_WRITER_H_
#define VARLO_APPS_CARDIMAGE_CARD_IMAGE_WRITER_H_

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/secure_bytes.h"

namespace varlo::cardimage {

// File number → file content (the same type as varlo::CardFiles): the PIN file is key material.
using Files = std::map<std::uint8_t, SecureBytes>;

inline constexpr std::uint8_t kPinFileNumber = 0x1D;
inline constexpr std::uint8_t kPropertyFileNumber = 0x1F;
inline constexpr std::size_t kMaxHeaderFiles = 15;  // 0x00, 0x02, ..., 0x1C
inline constexpr std::size_t kMaxDataFiles = 14;    // 0x01, 0x03, ..., 0x1B
inline constexpr std::size_t kMaxTokenLabel = 32;
inline constexpr std::size_t kMaxObjectLabel = 38;
inline constexpr std::size_t kMaxObjectContent = 4095 * 16 - 2;  // 12-bit block count

// One data object as the card should hold it.
struct ObjectDescription {
  std::string label;  // 0 to 38 bytes
  std::uint16_t application =
      0;  // 0: none; else the module shows "1.3.6.1.4.1.6147.9117.1.1234.8.<n>"
  bool isPrivate = false;
  std::uint8_t type = 1;  // not 0, 2 or 5; type 1 needs an application number
  SecureBytes content;    // the plain data, 0 to kMaxObjectContent bytes
};

struct TokenDescription {
  std::uint64_t uid = 0;  // the 7 UID bytes as a big-endian number; not 0
  std::string label;      // 1 to 32 bytes
  SecureBytes pin;        // the PIN bytes exactly as a host will pass them; not empty
  std::vector<ObjectDescription> objects;
  // The key of the private objects; a fresh random key when absent.
  std::optional<SecureBytes> objectKey;
  // Key 0 of the token application; varlo::ApplicationKey() when absent.
  std::optional<std::array<std::uint8_t, 16>> appKey;
};

// How the records and the data area are spread over files. Set the fields by name
// (`Layout layout; layout.dataFileSize = 64;`) or both at once: a designated initializer that
// leaves one out trips -Wmissing-field-initializers.
struct Layout {
  // Record slots per header file (at least 1). Objects fill the header files 0x00, 0x02, ...
  // in order; a header file is 3 + 49 × (slots + 1) bytes, its last slot always empty.
  // 0: all records in one header file.
  std::size_t recordsPerHeader = 0;
  // Bytes per data file; the last file holds the rest. 0: one data file.
  std::size_t dataFileSize = 0;
};

struct CardImage {
  std::uint64_t uid = 0;
  std::array<std::uint8_t, 16> appKey{};
  Files files;

  // The JSON form above; "appKey" is always written.
  nlohmann::json ToJson() const;
  // Reads the JSON form; throws std::invalid_argument on a malformed document.
  static CardImage FromJson(const nlohmann::json& document);
};

// Writes the card image of `token`. Throws std::invalid_argument when the module could not
// read the description back.
CardImage MakeCardImage(const TokenDescription& token, const Layout& layout = {});

// Reads a token description:
//   {"uid": "<14 hex digits>", "label": "...", "pin": "...",
//    "appKey": "<32 hex digits, optional>", "objectKey": "<64 hex digits, optional>",
//    "objects": [{"label": "...", "application": 5, "private": true, "type": 3,
//                 "content": "<hex>"  or  "text": "<plain text>"}]}
// "application" (default 0), "private" (default false) and "type" (default 1) are optional.
// Throws std::invalid_argument on a malformed document.
TokenDescription TokenDescriptionFromJson(const nlohmann::json& document);

// Building blocks, for tests that need one file on its own (or a damaged one).

// The 7-byte UID blob: the UID bytes in the card's order.
std::array<std::uint8_t, 7> UidBlob(std::uint64_t uid);
// CRC_A of ISO/IEC 14443-3 (initial 0x6363, reflected 0x8408, no final XOR), bit by bit.
std::uint16_t CrcA(std::span<const std::uint8_t> bytes);
std::vector<std::uint8_t> PropertyFile(const std::string& label);
// The PIN file: `objectKey` (32 bytes) with its CRC_A, enciphered under the PIN's key.
std::vector<std::uint8_t> PinFile(std::span<const std::uint8_t> pin, std::uint64_t uid,
                                  std::span<const std::uint8_t> objectKey);
// The stored (enciphered) form of an object's content under a 32-byte key.
std::vector<std::uint8_t> StoredObject(std::span<const std::uint8_t> content,
                                       std::span<const std::uint8_t> key);
// The key of the public objects: SHA-256 of the UID blob.
SecureBytes PublicObjectKey(std::uint64_t uid);
// The key that a PIN unlocks the PIN file with: PBKDF2-HMAC-SHA-256(PIN, UID blob, 100000).
SecureBytes PinKey(std::span<const std::uint8_t> pin, std::uint64_t uid);
// The overhead nibble of the length word for a content of `size` bytes.
std::uint8_t SizeNibble(std::size_t size);

}  // namespace varlo::cardimage

#endif  // VARLO_APPS_CARDIMAGE_CARD_IMAGE_WRITER_H_
