// Helpers shared by the Noise framework's tests.
#ifndef VARLO_NOISE_TEST_UTIL_H_
#define VARLO_NOISE_TEST_UTIL_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/hex.h"
#include "common/secure_bytes.h"

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

// first, first + 1, ... (mod 256).
inline Bytes Counting(std::size_t length, std::uint8_t first = 0) {
  Bytes bytes(length);
  for (std::size_t i = 0; i < length; ++i) {
    bytes[i] = static_cast<std::uint8_t>(first + i);
  }
  return bytes;
}

}  // namespace varlo::noise::testing

#endif  // VARLO_NOISE_TEST_UTIL_H_
