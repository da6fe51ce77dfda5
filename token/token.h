// A token: what the module host sees of one card.
//
// A `Token` is the card's parsed data (`DesfireData`) plus the key of the private objects,
// which a correct PIN unlocks. It answers every question a table operation puts to one token:
// session id, capabilities, object search, object metadata and plain data, and the PIN check
// with its error count and lock. All cryptography of the data objects lives here:
//   - PIN key: PBKDF2-HMAC-SHA-256(PIN bytes, salt = UID blob, 100000 iterations, 32 bytes);
//     it deciphers the 48-byte PIN data, whose first 32 bytes (checked by a CRC_A) are the
//     object key of the private objects;
//   - public objects: key SHA-256(UID blob);
//   - objects and PIN data: Twofish-CBC with a zero IV, no padding.
//
// Every failure is a `ModuleException` carrying the host's result code.
//
// Lifecycle: the token list creates a token and holds it through a shared pointer; the
// constructor calls the event relay once (the host hears of a new token) and the destructor
// calls it once more (the token went away), on whichever thread that happens. A token has no
// lock: callers serialise access (the table operations run under the module lock).
#ifndef VARLO_TOKEN_TOKEN_H_
#define VARLO_TOKEN_TOKEN_H_

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/secure_bytes.h"
#include "include/varlo_module.h"
#include "tokendata/desfire_data.h"

namespace varlo {

class CItem;

// Tells the host that the set of tokens changed. Called without arguments.
using EventRelay = std::function<void()>;

inline constexpr std::size_t kSessionIdSize = 7;
using SessionId = std::array<std::uint8_t, kSessionIdSize>;

// One search condition of `Token::FindObjects`.
struct SearchCondition {
  std::uint32_t fieldKey = 0;  // KEY_LABEL, KEY_ATTRIBUTES or KEY_APPID
  // KEY_LABEL and KEY_APPID: the text; absent when the host gave none (met by no object).
  std::optional<std::string> text;
  // KEY_ATTRIBUTES: OBJECT_ATTRIBUTE_PRIVATE (1) or OBJECT_ATTRIBUTE_PUBLIC (2).
  std::uint8_t attributes = 0;

  // The condition a host record states: a text for VALUE_TYPE_TEXT with a non-null pointer,
  // the value byte for VALUE_TYPE_BYTE. The text is copied.
  static SearchCondition FromHost(const ModuleSearchCondition& condition);
};

class Token : public DesfireData {
 public:
  // Number of PBKDF2 rounds behind the PIN key.
  static constexpr std::uint32_t kPinIterations = 100000;
  // Wrong PINs after which the PIN data is replaced by the lock pattern.
  static constexpr std::uint64_t kMaxPinFailures = 5;

  // Takes `data` (moved in where the caller can spare it), keeps `relay` and calls it once (an
  // empty relay is not called).
  Token(DesfireData data, EventRelay relay);
  // Calls the relay once more, before the members are released.
  ~Token() override;
  Token(const Token&) = delete;
  Token& operator=(const Token&) = delete;

  // The UID's low seven bytes, most significant first: the card's UID in its own byte order.
  // UID 0: "UID missing - cannot derive key from PIN." (RESULT_FAILURE).
  SessionId GetUidAsBlob() const;
  // Writes the session id (the UID blob) into the caller's 7 bytes; fails as GetUidAsBlob.
  void GetTokenSessionId(std::span<std::uint8_t, kSessionIdSize> sessionId) const;
  // The packed capability block ("SR" ... "BW", vector "tcr").
  std::vector<std::uint8_t> GetTokenCapabilities() const;
  // Handles of the objects meeting every condition, ascending. Not initialized:
  // "Operation isn't allowed on uninitialized token." (RESULT_WRONG_STATE).
  std::vector<std::uint64_t> FindObjects(const std::vector<SearchCondition>& conditions) const;
  // A copy of one object; not initialized as above, unknown handle: "Object not found."
  // (RESULT_OBJECT_NOT_FOUND).
  TokenObject GetObject(std::uint64_t handle) const;
  // The object's plain data, checked against its CRC_A. A private object needs a PIN
  // accepted before: "PIN is required to read private object." (RESULT_PIN_REQUIRED).
  SecureBytes ReadObject(std::uint64_t handle) const;
  // Checks a PIN. Success stores the object key and resets the error count; a wrong PIN
  // counts, and the fifth failure locks the PIN. Failures: not initialized (as above),
  // "PIN is locked." (RESULT_PIN_LOCKED), "PIN is incorrect." (RESULT_PIN_INCORRECT).
  void CheckPIN(std::span<const std::uint8_t> pin);

  // True once a PIN was accepted: private objects can be read.
  bool HasObjectKey() const { return !objectKey_.empty(); }
  // True when the PIN data is not 48 bytes or is the lock pattern (48 × 0x42).
  bool IsPinLocked() const;

  SecureBytes DeriveKeyFromPIN(std::span<const std::uint8_t> pin) const;
  SecureBytes GenerateKeyPublicObjects() const;
  // Twofish-CBC, 256-bit key, zero IV; the plain text is as long as the cipher text.
  // "Key length mismatch." / "Cipher data is not multiple of block size." (RESULT_FAILURE).
  static SecureBytes TwoFishDecrypt(std::span<const std::uint8_t> key,
                                    std::span<const std::uint8_t> cipher);

 private:
  void RequireInitialized() const;
  void CountPinFailure();
  void Notify() noexcept;

  EventRelay relay_;
  SecureBytes objectKey_;
};

namespace detail {
// Packs a capability tree, size query first; a tree that cannot be packed fails with "Failed
// packing token capabilities item vector." (RESULT_FAILURE).
std::vector<std::uint8_t> PackCapabilities(const CItem& root);
}  // namespace detail

}  // namespace varlo

#endif  // VARLO_TOKEN_TOKEN_H_
