// A Noise protocol: handshake pattern, modifiers, DH, cipher and hash functions, parsed from a
// full protocol name such as "Noise_IXpsk2_25519_ChaChaPoly_BLAKE2b".
//
// A Protocol is immutable and always held through std::shared_ptr (Create hands a reference to
// itself to every handshake state it makes), so build it with Parse or std::make_shared. Any
// number of threads may share one. Failures throw a C string with the message text.
#ifndef VARLO_NOISE_PROTOCOL_H_
#define VARLO_NOISE_PROTOCOL_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "common/secure_bytes.h"
#include "noise/functions.h"
#include "noise/handshake_pattern.h"

namespace varlo::noise {

class HandshakeStateInterface;

class Protocol : public std::enable_shared_from_this<Protocol> {
 public:
  // Largest Noise message, handshake or transport.
  static constexpr std::size_t MaxMessageLength = 65535;
  // Shortest and longest accepted protocol names ("Noise_N_448_AESGCM_SHA256" is the shortest).
  static constexpr std::size_t MinNameLength = 25;
  static constexpr std::size_t MaxNameLength = 255;

  static std::shared_ptr<Protocol> Parse(std::string_view name);

  // Throws when pattern, cipher or hash is missing. The DH function is always "25519".
  Protocol(std::shared_ptr<const HandshakePattern> pattern, const CipherFunction* cipher,
           const HashFunction* hash, std::vector<PatternModifiers> modifiers);

  // The canonical name, as bytes: also the first input of the handshake hash.
  std::vector<std::uint8_t> GetName() const;

  // A new handshake state for this protocol.
  //   s:  own static private key, or empty;
  //   rs: remote static public key, or empty;
  //   psks: the pre-shared keys in the order the handshake uses them (32 bytes each).
  std::shared_ptr<HandshakeStateInterface> Create(bool initiator,
                                                  std::span<const std::uint8_t> prologue,
                                                  std::span<const std::uint8_t> s,
                                                  std::span<const std::uint8_t> rs,
                                                  std::span<const SecureBytes> psks) const;

  const HandshakePattern& GetPattern() const { return *pattern_; }
  const CipherFunction& GetCipher() const { return *cipher_; }
  const DhFunction& GetDh() const { return *dh_; }
  const HashFunction& GetHash() const { return *hash_; }
  // In name order; {None} when the name has no modifier.
  const std::vector<PatternModifiers>& GetModifiers() const { return modifiers_; }
  bool HasModifier(PatternModifiers modifier) const;

 private:
  std::shared_ptr<const HandshakePattern> pattern_;
  const CipherFunction* cipher_;
  const DhFunction* dh_;
  const HashFunction* hash_;
  std::vector<PatternModifiers> modifiers_;
  std::vector<std::uint8_t> name_;
};

}  // namespace varlo::noise

#endif  // VARLO_NOISE_PROTOCOL_H_
