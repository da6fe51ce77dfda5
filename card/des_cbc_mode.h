// The DESFire send-mode chaining of legacy (native) 2K3DES authentication.
//
// Each 8-byte block is XORed with the chaining value and then put through the DES-EDE2
// *decryption* direction; the result is both the output block and the next chaining value.
// Deciphering a single card block and enciphering the reader's two blocks are therefore the
// same operation. One object processes one message: the chaining value starts at zero.
#ifndef VARLO_CARD_DES_CBC_MODE_H_
#define VARLO_CARD_DES_CBC_MODE_H_

#include <cstdint>
#include <span>

#include "common/secure_bytes.h"

namespace varlo {

class DesCbcMode {
 public:
  // `key`: 16 bytes, K1 then K2.
  explicit DesCbcMode(std::span<const std::uint8_t> key);
  virtual ~DesCbcMode() = default;

  // Throws std::runtime_error "Data is empty or not a multiple of block size." for data that
  // is empty or not whole 8-byte blocks.
  SecureBytes Process(std::span<const std::uint8_t> data);

 private:
  SecureBytes key_;
  SecureBytes chain_;
};

}  // namespace varlo

#endif  // VARLO_CARD_DES_CBC_MODE_H_
