// CRC_A: the CRC-16 of ISO/IEC 14443-3 Type A.
//
// Polynomial x^16 + x^12 + x^5 + 1 processed least significant bit first (reflected 0x8408),
// initial value 0x6363, no final XOR. The card stores it least significant byte first. Over the
// ASCII digits "123456789" it gives 0xBF05.
#ifndef VARLO_TOKENDATA_CRC_A_H_
#define VARLO_TOKENDATA_CRC_A_H_

#include <cstdint>
#include <span>

namespace varlo {

std::uint16_t CrcA(std::span<const std::uint8_t> bytes);

}  // namespace varlo

#endif  // VARLO_TOKENDATA_CRC_A_H_
