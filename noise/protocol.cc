#include "noise/protocol.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>
#include <utility>

#include "noise/handshake_state.h"

namespace varlo::noise {
namespace {

// Splits at every "_"; "a__b" gives an empty middle part.
std::vector<std::string_view> SplitName(std::string_view name) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    std::size_t end = name.find('_', start);
    if (end == std::string_view::npos) {
      parts.push_back(name.substr(start));
      return parts;
    }
    parts.push_back(name.substr(start, end - start));
    start = end + 1;
  }
}

std::string_view PartOrEmpty(const std::vector<std::string_view>& parts, std::size_t index) {
  return index < parts.size() ? parts[index] : std::string_view{};
}

template <typename CipherType, typename HashType>
std::shared_ptr<HandshakeStateInterface> MakeState(std::shared_ptr<const Protocol> protocol,
                                                   bool initiator,
                                                   std::span<const std::uint8_t> prologue,
                                                   std::span<const std::uint8_t> s,
                                                   std::span<const std::uint8_t> rs,
                                                   std::span<const SecureBytes> psks) {
  return std::make_shared<HandshakeState<CipherType, Curve25519, HashType>>(
      std::move(protocol), initiator, prologue, s, rs, psks);
}

struct Instantiation {
  const CipherFunction& cipher;
  const HashFunction& hash;
  decltype(&MakeState<Aes256Gcm, Sha256>) make;
};

const std::array<Instantiation, 8>& Instantiations() {
  static const std::array<Instantiation, 8> table = {{
      {CipherFunction::AesGcm(), HashFunction::Sha256(), &MakeState<Aes256Gcm, Sha256>},
      {CipherFunction::AesGcm(), HashFunction::Sha512(), &MakeState<Aes256Gcm, Sha512>},
      {CipherFunction::AesGcm(), HashFunction::Blake2s(), &MakeState<Aes256Gcm, Blake2s>},
      {CipherFunction::AesGcm(), HashFunction::Blake2b(), &MakeState<Aes256Gcm, Blake2b>},
      {CipherFunction::ChaChaPoly(), HashFunction::Sha256(), &MakeState<ChaCha20Poly1305, Sha256>},
      {CipherFunction::ChaChaPoly(), HashFunction::Sha512(), &MakeState<ChaCha20Poly1305, Sha512>},
      {CipherFunction::ChaChaPoly(), HashFunction::Blake2s(),
       &MakeState<ChaCha20Poly1305, Blake2s>},
      {CipherFunction::ChaChaPoly(), HashFunction::Blake2b(),
       &MakeState<ChaCha20Poly1305, Blake2b>},
  }};
  return table;
}

}  // namespace

std::shared_ptr<Protocol> Protocol::Parse(std::string_view name) {
  if (name.size() < MinNameLength || name.size() > MaxNameLength) {
    throw "Protcol parse failed, Invalid protocol name";
  }
  const std::vector<std::string_view> parts = SplitName(name);
  if (parts[0] != "Noise") {
    throw "Invalid Noise protocol name.";
  }

  // A second upper-case letter means a two-letter pattern; the rest is modifiers.
  const std::string_view pattern_part = PartOrEmpty(parts, 1);
  std::size_t pattern_length = pattern_part.size();
  if (pattern_part.size() >= 3) {
    pattern_length =
        std::isupper(static_cast<unsigned char>(pattern_part[1])) != 0 ? std::size_t{2} : 1;
  }
  auto pattern = HandshakePattern::Find(pattern_part.substr(0, pattern_length));
  if (pattern == nullptr) {
    throw "Invalid Noise handshake pattern name.";
  }
  std::vector<PatternModifiers> modifiers = ParseModifiers(pattern_part.substr(pattern_length));

  if (DhFunction::Find(PartOrEmpty(parts, 2)) == nullptr) {
    throw "Unknown DH function.";
  }
  const CipherFunction* cipher = CipherFunction::Find(PartOrEmpty(parts, 3));
  if (cipher == nullptr) {
    throw "Unknown Cipher Function.";
  }
  const HashFunction* hash = HashFunction::Find(PartOrEmpty(parts, 4));
  if (hash == nullptr) {
    throw "Unknown Hash Function.";
  }
  if (parts.size() == 6) {
    throw "Invalid Noise protocol name.";
  }

  auto protocol =
      std::make_shared<Protocol>(std::move(pattern), cipher, hash, std::move(modifiers));
  // Only the canonical spelling is accepted: no trailing parts, no repeated modifiers.
  const std::vector<std::uint8_t> canonical = protocol->GetName();
  if (!std::equal(canonical.begin(), canonical.end(), name.begin(), name.end())) {
    throw "no valid protocol name.";
  }
  return protocol;
}

Protocol::Protocol(std::shared_ptr<const HandshakePattern> pattern, const CipherFunction* cipher,
                   const HashFunction* hash, std::vector<PatternModifiers> modifiers)
    : pattern_(std::move(pattern)),
      cipher_(cipher),
      dh_(&DhFunction::Curve25519()),
      hash_(hash),
      modifiers_(std::move(modifiers)) {
  if (pattern_ == nullptr) {
    throw "Protocol failed, missing HandshakePattern";
  }
  if (cipher_ == nullptr) {
    throw "Protocol failed, missing cipher";
  }
  if (hash_ == nullptr) {
    throw "Protocol failed, missing hash";
  }
  if (modifiers_.empty()) {
    modifiers_.push_back(PatternModifiers::None);
  }

  std::string name = "Noise_" + pattern_->name;
  if (modifiers_.front() != PatternModifiers::None) {
    for (PatternModifiers modifier : modifiers_) {
      const char* word = ModifierName(modifier);
      if (word == nullptr) {
        throw "Get protocol name failed, invalid modifiers";
      }
      name += word;
      if (modifier != modifiers_.back()) {
        name += '+';
      }
    }
  }
  name += '_';
  name += dh_->Name();
  name += '_';
  name += cipher_->Name();
  name += '_';
  name += hash_->Name();
  if (name.size() > MaxNameLength) {
    throw "Get protocol name failed, protocol name size";
  }
  name_.assign(name.begin(), name.end());
}

std::vector<std::uint8_t> Protocol::GetName() const {
  return name_;
}

bool Protocol::HasModifier(PatternModifiers modifier) const {
  return std::find(modifiers_.begin(), modifiers_.end(), modifier) != modifiers_.end();
}

std::shared_ptr<HandshakeStateInterface> Protocol::Create(bool initiator,
                                                          std::span<const std::uint8_t> prologue,
                                                          std::span<const std::uint8_t> s,
                                                          std::span<const std::uint8_t> rs,
                                                          std::span<const SecureBytes> psks) const {
  for (const Instantiation& entry : Instantiations()) {
    if (&entry.cipher == cipher_ && &entry.hash == hash_) {
      return entry.make(shared_from_this(), initiator, prologue, s, rs, psks);
    }
  }
  throw "Creating Protocol failed, unknown combination of hash and cipher functions";
}

}  // namespace varlo::noise
