// Helpers shared by the Noise framework's tests.
#ifndef VARLO_NOISE_TEST_UTIL_H_
#define VARLO_NOISE_TEST_UTIL_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/hex.h"
#include "common/secure_bytes.h"
#include "noise/curve25519.h"

namespace varlo::noise::testing {

using Bytes = std::vector<std::uint8_t>;

// The C string a call throws, "<nothing thrown>" or "<other exception>".
template <typename F>
std::string Thrown(F&& call) {
  try {
    call();
  } catch (const char* message) {
    return message;
  } catch (...) {
    return "<other exception>";
  }
  return "<nothing thrown>";
}

inline Bytes Hex(std::string_view text) {
  return FromHex(text).value();
}

inline SecureBytes SecureHex(std::string_view text) {
  return ToSecure(Hex(text));
}

inline Bytes Filled(std::size_t size, std::uint8_t value) {
  return Bytes(size, value);
}

// Curve25519 whose ephemeral key pairs are fixed: the given private keys in turn.
class FixedEphemeralDh : public Curve25519 {
 public:
  explicit FixedEphemeralDh(std::vector<Bytes> private_keys)
      : private_keys_(std::move(private_keys)) {}
  using Curve25519::GenerateKeyPair;
  std::shared_ptr<KeyPair> GenerateKeyPair() override {
    return GenerateKeyPair(private_keys_.at(next_++));
  }

 private:
  std::vector<Bytes> private_keys_;
  std::size_t next_ = 0;
};

}  // namespace varlo::noise::testing

#endif  // VARLO_NOISE_TEST_UTIL_H_
