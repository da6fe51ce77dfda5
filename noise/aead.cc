#include "noise/aead.h"

namespace varlo::noise {

SodiumAead::SodiumAead(EncryptFunction encrypt, DecryptFunction decrypt, CounterOrder order)
    : sodium_(Libsodium::Instance()), encrypt_(encrypt), decrypt_(decrypt), order_(order) {}

std::array<std::uint8_t, Cipher::kNonceSize> SodiumAead::EncodeNonce(std::uint64_t counter) const {
  std::array<std::uint8_t, kNonceSize> bytes{};
  for (int i = 0; i < 8; ++i) {
    const int shift = order_ == CounterOrder::kBigEndian ? 56 - 8 * i : 8 * i;
    bytes[4 + i] = static_cast<std::uint8_t>(counter >> shift);
  }
  return bytes;
}

std::size_t SodiumAead::Encrypt(std::span<const std::uint8_t> key, std::uint64_t nonce,
                                std::span<const std::uint8_t> ad,
                                std::span<const std::uint8_t> plaintext,
                                std::span<std::uint8_t> ciphertext, std::size_t offset) const {
  if (key.size() != kKeySize) {
    throw "Encryption failed, key length error";
  }
  if (offset > ciphertext.size() || ciphertext.size() - offset < plaintext.size() + kTagSize) {
    throw "Encryption failed, ciphertext length";
  }
  const auto npub = EncodeNonce(nonce);
  unsigned long long written = 0;
  if (encrypt_(ciphertext.data() + offset, &written, plaintext.data(), plaintext.size(), ad.data(),
               ad.size(), nullptr, npub.data(), key.data()) != 0) {
    throw "Encryption failed.";
  }
  if (written != plaintext.size() + kTagSize) {
    throw "Encryption failed, length";
  }
  return static_cast<std::size_t>(written);
}

std::size_t SodiumAead::Decrypt(std::span<const std::uint8_t> key, std::uint64_t nonce,
                                std::span<const std::uint8_t> ad,
                                std::span<const std::uint8_t> ciphertext,
                                std::span<std::uint8_t> plaintext, std::size_t offset) const {
  if (key.size() != kKeySize) {
    throw "Encryption failed, key length error";
  }
  // The ciphertext is the range from the offset on; it must at least hold the tag, and its
  // plaintext goes to the start of `plaintext`.
  if (offset > ciphertext.size() || ciphertext.size() - offset < kTagSize) {
    throw "Encryption failed, ciphertext length";
  }
  const std::size_t sealed = ciphertext.size() - offset;
  if (plaintext.size() < sealed - kTagSize) {
    throw "Encryption failed, plaintext length";
  }
  const auto npub = EncodeNonce(nonce);
  unsigned long long read = 0;
  if (decrypt_(plaintext.data(), &read, nullptr, ciphertext.data() + offset, sealed, ad.data(),
               ad.size(), npub.data(), key.data()) != 0) {
    throw "Decryption failed.";
  }
  if (read != sealed - kTagSize) {
    throw "Decryption failed, length";
  }
  return static_cast<std::size_t>(read);
}

}  // namespace varlo::noise
