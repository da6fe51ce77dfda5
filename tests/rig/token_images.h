// Card images of tokens for end-to-end tests, put together by hand from the token's card file
// formats (property file 0x1F, PIN file 0x1D, header files), for tests that need a card the
// module reads as an initialized token. Richer images (objects, PINs) come from the card-image
// writer library.
#ifndef VARLO_TESTS_RIG_TOKEN_IMAGES_H_
#define VARLO_TESTS_RIG_TOKEN_IMAGES_H_

#include <cstdint>
#include <span>
#include <string>

#include "tests/rig/pcsc_rig.h"

namespace varlo::testrig {

// CRC_A of ISO/IEC 14443-3 (reflected polynomial 0x8408, initial value 0x6363, no final XOR).
std::uint16_t CrcA(std::span<const std::uint8_t> bytes);

// A token with the given label (at most 32 bytes), no objects and no PIN set (PIN file of 48
// bytes 0x13): a property file (version 3, magic "kvyr"), the PIN file and one empty header
// file 0x00 (version 2, one empty record slot, CRC over the rest). `uid` is 14 hex digits.
CardImageContent BlankTokenImage(const std::string& uid, const std::string& label);

}  // namespace varlo::testrig

#endif  // VARLO_TESTS_RIG_TOKEN_IMAGES_H_
