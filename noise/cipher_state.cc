#include "noise/cipher_state.h"

#include <array>
#include <cstring>

namespace varlo::noise {

template <typename CipherType>
void CipherState<CipherType>::InitializeKey(std::span<const std::uint8_t> key) {
  if (key.size() != Cipher::kKeySize) {
    throw "Initialize Key failed, key length";
  }
  k_.assign(key.begin(), key.end());
  n_ = 0;
}

template <typename CipherType>
std::size_t CipherState<CipherType>::EncryptWithAd(std::span<const std::uint8_t> ad,
                                                   std::span<const std::uint8_t> plaintext,
                                                   std::span<std::uint8_t> ciphertext,
                                                   std::size_t offset) {
  if (n_ == MaxNonce) {
    throw "Nonce has reached its maximum vlaue.";
  }
  if (!HasKey()) {
    if (offset > ciphertext.size() || ciphertext.size() - offset < plaintext.size()) {
      throw "Encryption failed, ciphertext length";
    }
    if (!plaintext.empty()) {
      std::memmove(ciphertext.data() + offset, plaintext.data(), plaintext.size());
    }
    return plaintext.size();
  }
  // The nonce advances only once the cipher has succeeded, so a refused call can be retried.
  std::size_t written = cipher_.Encrypt(k_, n_, ad, plaintext, ciphertext, offset);
  ++n_;
  return written;
}

template <typename CipherType>
std::size_t CipherState<CipherType>::DecryptWithAd(std::span<const std::uint8_t> ad,
                                                   std::span<const std::uint8_t> ciphertext,
                                                   std::span<std::uint8_t> plaintext,
                                                   std::size_t offset) {
  if (n_ == MaxNonce) {
    throw "Nonce has reached its maximum vlaue.";
  }
  if (!HasKey()) {
    if (offset > ciphertext.size()) {
      throw "Encryption failed, ciphertext length";
    }
    const std::size_t length = ciphertext.size() - offset;
    if (plaintext.size() < length) {
      throw "Encryption failed, plaintext length";
    }
    if (length != 0) {
      std::memmove(plaintext.data(), ciphertext.data() + offset, length);
    }
    return length;
  }
  std::size_t read = cipher_.Decrypt(k_, n_, ad, ciphertext, plaintext, offset);
  ++n_;
  return read;
}

template <typename CipherType>
void CipherState<CipherType>::Rekey() {
  if (!HasKey()) {
    throw "Key is empty";
  }
  static constexpr std::array<std::uint8_t, Cipher::kKeySize> kZeros{};
  std::array<std::uint8_t, Cipher::kKeySize + Cipher::kTagSize> sealed;
  cipher_.Encrypt(k_, MaxNonce, {}, kZeros, sealed, 0);
  k_.assign(sealed.begin(), sealed.begin() + Cipher::kKeySize);
  Wipe(sealed);
}

template class CipherState<Aes256Gcm>;
template class CipherState<ChaCha20Poly1305>;

}  // namespace varlo::noise
