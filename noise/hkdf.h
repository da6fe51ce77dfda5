// HMAC (RFC 2104) and the HKDF of the Noise specification over one hash function.
//
// The chaining key and HMAC keys are HashLen bytes; outputs are written one after another into
// a caller's buffer of exactly 2 or 3 * HashLen bytes. Intermediate values live in wiped
// buffers. Failures throw a C string before anything is written.
#ifndef VARLO_NOISE_HKDF_H_
#define VARLO_NOISE_HKDF_H_

#include <cstdint>
#include <initializer_list>
#include <span>

#include "noise/blake2b.h"
#include "noise/blake2s.h"
#include "noise/sha256.h"
#include "noise/sha512.h"

namespace varlo::noise {

template <typename HashType>
class Hkdf {
 public:
  static constexpr std::size_t HashLen = HashType::kHashLen;
  static constexpr std::size_t BlockLen = HashType::kBlockLen;

  // output = HMAC-HASH(key, data); key and output must be HashLen bytes.
  void HmacHash(std::span<const std::uint8_t> key, std::span<const std::uint8_t> data,
                std::span<std::uint8_t> output);

  // output1 || output2 = HKDF(chaining_key, input_key_material, 2).
  void ExtractAndExpand2(std::span<const std::uint8_t> chaining_key,
                         std::span<const std::uint8_t> input_key_material,
                         std::span<std::uint8_t> output);
  // output1 || output2 || output3 = HKDF(chaining_key, input_key_material, 3).
  void ExtractAndExpand3(std::span<const std::uint8_t> chaining_key,
                         std::span<const std::uint8_t> input_key_material,
                         std::span<std::uint8_t> output);

 private:
  // HMAC over the concatenation of `parts`; no size checks.
  void Hmac(std::span<const std::uint8_t> key,
            std::initializer_list<std::span<const std::uint8_t>> parts,
            std::span<std::uint8_t> output);
  void Expand(std::span<const std::uint8_t> chaining_key,
              std::span<const std::uint8_t> input_key_material, std::span<std::uint8_t> output,
              std::size_t count);

  HashType hash_;
};

extern template class Hkdf<Sha256>;
extern template class Hkdf<Sha512>;
extern template class Hkdf<Blake2s>;
extern template class Hkdf<Blake2b>;

}  // namespace varlo::noise

#endif  // VARLO_NOISE_HKDF_H_
