#include "noise/symmetric_state.h"

#include <algorithm>
#include <array>

#include "noise/handshake_state.h"

namespace varlo::noise {

template <typename C, typename D, typename H>
SymmetricState<C, D, H>::SymmetricState(std::span<const std::uint8_t> protocol_name)
    : ck_(HashLen), h_(HashLen) {
  if (protocol_name.size() <= HashLen) {
    std::copy(protocol_name.begin(), protocol_name.end(), h_.begin());
  } else {
    hash_.AppendData(protocol_name);
    hash_.GetHashAndReset(h_);
  }
  ck_ = h_;
}

template <typename C, typename D, typename H>
void SymmetricState<C, D, H>::MixKey(std::span<const std::uint8_t> input_key_material) {
  if (!input_key_material.empty() && input_key_material.size() != Cipher::kKeySize) {
    throw "MixKey failed, length error";
  }
  std::array<std::uint8_t, 2 * HashLen> output;
  hkdf_.ExtractAndExpand2(ck_, input_key_material, output);
  std::copy_n(output.begin(), HashLen, ck_.begin());
  cipher_state_.InitializeKey(std::span(output).subspan(HashLen, Cipher::kKeySize));
  Wipe(output);
}

template <typename C, typename D, typename H>
void SymmetricState<C, D, H>::MixHash(std::span<const std::uint8_t> data) {
  hash_.AppendData(h_);
  hash_.AppendData(data);
  hash_.GetHashAndReset(h_);
}

template <typename C, typename D, typename H>
void SymmetricState<C, D, H>::MixKeyAndHash(std::span<const std::uint8_t> input_key_material) {
  if (!input_key_material.empty() && input_key_material.size() != Cipher::kKeySize) {
    throw "MixKeyAndHash failed, length error";
  }
  std::array<std::uint8_t, 3 * HashLen> output;
  hkdf_.ExtractAndExpand3(ck_, input_key_material, output);
  std::copy_n(output.begin(), HashLen, ck_.begin());
  MixHash(std::span(output).subspan(HashLen, HashLen));
  cipher_state_.InitializeKey(std::span(output).subspan(2 * HashLen, Cipher::kKeySize));
  Wipe(output);
}

template <typename C, typename D, typename H>
std::size_t SymmetricState<C, D, H>::EncryptAndHash(std::span<const std::uint8_t> plaintext,
                                                    std::span<std::uint8_t> ciphertext) {
  std::size_t written = cipher_state_.EncryptWithAd(h_, plaintext, ciphertext, 0);
  MixHash(ciphertext.first(written));
  return written;
}

template <typename C, typename D, typename H>
std::size_t SymmetricState<C, D, H>::DecryptAndHash(std::span<const std::uint8_t> ciphertext,
                                                    std::span<std::uint8_t> plaintext) {
  std::size_t read = cipher_state_.DecryptWithAd(h_, ciphertext, plaintext, 0);
  MixHash(ciphertext);
  return read;
}

template <typename C, typename D, typename H>
std::pair<std::shared_ptr<CipherState<C>>, std::shared_ptr<CipherState<C>>>
SymmetricState<C, D, H>::Split() {
  std::array<std::uint8_t, 2 * HashLen> output;
  hkdf_.ExtractAndExpand2(ck_, {}, output);
  auto c1 = std::make_shared<CipherState<C>>();
  auto c2 = std::make_shared<CipherState<C>>();
  c1->InitializeKey(std::span(output).first(Cipher::kKeySize));
  c2->InitializeKey(std::span(output).subspan(HashLen, Cipher::kKeySize));
  Wipe(output);
  return {std::move(c1), std::move(c2)};
}

#define VARLO_NOISE_INSTANTIATE_SYMMETRIC_STATE(C, D, H) template class SymmetricState<C, D, H>;
VARLO_NOISE_HANDSHAKE_STATES(VARLO_NOISE_INSTANTIATE_SYMMETRIC_STATE)
#undef VARLO_NOISE_INSTANTIATE_SYMMETRIC_STATE

}  // namespace varlo::noise
