// CRC-32 of IEEE 802.3 (reflected polynomial 0xEDB88320, initial value 0xFFFFFFFF, final
// complement): the check value that closes a packed item block.
#ifndef VARLO_ITEMS_CRC32_H_
#define VARLO_ITEMS_CRC32_H_

#include <cstdint>
#include <span>

namespace varlo {

std::uint32_t Crc32(std::span<const std::uint8_t> bytes);

}  // namespace varlo

#endif  // VARLO_ITEMS_CRC32_H_
