#include "noise/aead.h"

namespace varlo::noise::aead {

std::size_t Encrypt(EncryptFunction encrypt, std::span<const std::uint8_t> key, const Nonce& nonce,
                    std::span<const std::uint8_t> ad, std::span<const std::uint8_t> plaintext,
                    std::span<std::uint8_t> ciphertext, std::size_t offset) {
  if (key.size() != Cipher::kKeySize) {
    throw "Encryption failed, key length error";
  }
  if (offset > ciphertext.size() ||
      ciphertext.size() - offset < plaintext.size() + Cipher::kTagSize) {
    throw "Encryption failed, ciphertext length";
  }
  unsigned long long written = 0;
  if (encrypt(ciphertext.data() + offset, &written, plaintext.data(), plaintext.size(), ad.data(),
              ad.size(), nullptr, nonce.data(), key.data()) != 0) {
    throw "Encryption failed.";
  }
  if (written != plaintext.size() + Cipher::kTagSize) {
    throw "Encryption failed, length";
  }
  return static_cast<std::size_t>(written);
}

std::size_t Decrypt(DecryptFunction decrypt, std::span<const std::uint8_t> key, const Nonce& nonce,
                    std::span<const std::uint8_t> ad, std::span<const std::uint8_t> ciphertext,
                    std::span<std::uint8_t> plaintext, std::size_t offset) {
  if (key.size() != Cipher::kKeySize) {
    throw "Encryption failed, key length error";
  }
  // The ciphertext is the range from the offset on; it must at least hold the tag.
  if (offset > ciphertext.size() || ciphertext.size() - offset < Cipher::kTagSize) {
    throw "Encryption failed, ciphertext length";
  }
  const std::size_t sealed = ciphertext.size() - offset;
  if (plaintext.size() < sealed - Cipher::kTagSize) {
    throw "Encryption failed, plaintext length";
  }
  unsigned long long read = 0;
  if (decrypt(plaintext.data(), &read, nullptr, ciphertext.data() + offset, sealed, ad.data(),
              ad.size(), nonce.data(), key.data()) != 0) {
    throw "Decryption failed.";
  }
  if (read != sealed - Cipher::kTagSize) {
    throw "Decryption failed, length";
  }
  return static_cast<std::size_t>(read);
}

}  // namespace varlo::noise::aead
