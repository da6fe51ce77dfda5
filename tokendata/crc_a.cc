#include "tokendata/crc_a.h"

#include <array>

namespace varlo {
namespace {

constexpr std::uint16_t kInitialValue = 0x6363;
constexpr std::uint16_t kReflectedPolynomial = 0x8408;

// Remainders of the 16 possible low nibbles, so the CRC advances four bits per step.
constexpr std::array<std::uint16_t, 16> MakeNibbleTable() {
  std::array<std::uint16_t, 16> table{};
  for (std::uint16_t nibble = 0; nibble < 16; ++nibble) {
    std::uint16_t crc = nibble;
    for (int bit = 0; bit < 4; ++bit) {
      crc = (crc & 1) != 0 ? static_cast<std::uint16_t>((crc >> 1) ^ kReflectedPolynomial)
                           : static_cast<std::uint16_t>(crc >> 1);
    }
    table[nibble] = crc;
  }
  return table;
}

constexpr std::array<std::uint16_t, 16> kNibbleTable = MakeNibbleTable();

}  // namespace

std::uint16_t CrcA(std::span<const std::uint8_t> bytes) {
  std::uint16_t crc = kInitialValue;
  for (std::uint8_t byte : bytes) {
    crc ^= byte;
    crc = static_cast<std::uint16_t>((crc >> 4) ^ kNibbleTable[crc & 0x0F]);
    crc = static_cast<std::uint16_t>((crc >> 4) ^ kNibbleTable[crc & 0x0F]);
  }
  return crc;
}

}  // namespace varlo
