// Key number 0 of the token application (2K3DES, 16 bytes): the key the module authenticates
// with, and the default key of the card-image tool and the virtual card. Cards provisioned for
// this module carry it; a card with another key reads as "not initialized".
#ifndef VARLO_CARD_APPLICATION_KEY_H_
#define VARLO_CARD_APPLICATION_KEY_H_

#include <array>
#include <cstdint>

namespace varlo {

// Kept as four 32-bit words so the key does not stand in the binary as one 16-byte run.
inline constexpr std::array<std::uint32_t, 4> kApplicationKeyWords = {0x5A17C3E2u, 0x9B04D86Fu,
                                                                      0x36E1A94Cu, 0xF2875B10u};

// The 16 key bytes, each word most significant byte first.
inline std::array<std::uint8_t, 16> ApplicationKey() {
  std::array<std::uint8_t, 16> key{};
  for (std::size_t w = 0; w < kApplicationKeyWords.size(); ++w) {
    for (std::size_t b = 0; b < 4; ++b) {
      key[w * 4 + b] = static_cast<std::uint8_t>(kApplicationKeyWords[w] >> (24 - 8 * b));
    }
  }
  return key;
}

}  // namespace varlo

#endif  // VARLO_CARD_APPLICATION_KEY_H_
