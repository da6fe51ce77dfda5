#include "noise/hkdf.h"

#include <array>

#include "common/secure_bytes.h"

namespace varlo::noise {

template <typename HashType>
void Hkdf<HashType>::Hmac(std::span<const std::uint8_t> key,
                          std::initializer_list<std::span<const std::uint8_t>> parts,
                          std::span<std::uint8_t> output) {
  // Keys are never longer than a block here (HashLen <= BlockLen), so they are only padded.
  std::array<std::uint8_t, BlockLen> pad{};
  std::array<std::uint8_t, HashLen> inner;
  for (std::size_t i = 0; i < BlockLen; ++i) {
    pad[i] = static_cast<std::uint8_t>((i < key.size() ? key[i] : 0) ^ 0x36);
  }
  hash_.AppendData(pad);
  for (auto part : parts) {
    hash_.AppendData(part);
  }
  hash_.GetHashAndReset(inner);
  for (std::size_t i = 0; i < BlockLen; ++i) {
    pad[i] = static_cast<std::uint8_t>((i < key.size() ? key[i] : 0) ^ 0x5c);
  }
  hash_.AppendData(pad);
  hash_.AppendData(inner);
  hash_.GetHashAndReset(output);
  Wipe(pad);
  Wipe(inner);
}

template <typename HashType>
void Hkdf<HashType>::HmacHash(std::span<const std::uint8_t> key, std::span<const std::uint8_t> data,
                              std::span<std::uint8_t> output) {
  if (key.size() != HashLen) {
    throw "HmacHash failed, key size";
  }
  if (output.size() != HashLen) {
    throw "HmacHash failed, hmac size";
  }
  Hmac(key, {data}, output);
}

template <typename HashType>
void Hkdf<HashType>::Expand(std::span<const std::uint8_t> chaining_key,
                            std::span<const std::uint8_t> input_key_material,
                            std::span<std::uint8_t> output, std::size_t count) {
  std::array<std::uint8_t, HashLen> temp_key;
  Hmac(chaining_key, {input_key_material}, temp_key);
  // output(i) = HMAC(temp_key, output(i-1) || i), with output(0) empty.
  std::span<const std::uint8_t> previous;
  for (std::size_t i = 1; i <= count; ++i) {
    const std::uint8_t counter[1] = {static_cast<std::uint8_t>(i)};
    auto block = output.subspan((i - 1) * HashLen, HashLen);
    Hmac(temp_key, {previous, counter}, block);
    previous = block;
  }
  Wipe(temp_key);
}

template <typename HashType>
void Hkdf<HashType>::ExtractAndExpand2(std::span<const std::uint8_t> chaining_key,
                                       std::span<const std::uint8_t> input_key_material,
                                       std::span<std::uint8_t> output) {
  if (chaining_key.size() != HashLen) {
    throw "ExtractAndExpand2 failed, chaining Key size";
  }
  if (output.size() != 2 * HashLen) {
    throw "ExtractAndExpand2 failed, output size";
  }
  Expand(chaining_key, input_key_material, output, 2);
}

template <typename HashType>
void Hkdf<HashType>::ExtractAndExpand3(std::span<const std::uint8_t> chaining_key,
                                       std::span<const std::uint8_t> input_key_material,
                                       std::span<std::uint8_t> output) {
  if (chaining_key.size() != HashLen) {
    throw "ExtractAndExpand3 failed, chaining Key size";
  }
  if (output.size() != 3 * HashLen) {
    throw "ExtractAndExpand3 failed, output size";
  }
  Expand(chaining_key, input_key_material, output, 3);
}

template class Hkdf<Sha256>;
template class Hkdf<Sha512>;
template class Hkdf<Blake2s>;
template class Hkdf<Blake2b>;

}  // namespace varlo::noise
