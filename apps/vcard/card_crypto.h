// The card's own ciphers for DESFire authentication: 2K3DES (DES-EDE2, K1 = key bytes 0-7,
// K2 = key bytes 8-15) and AES-128 block operations from Crypto++, with the chaining done here.
// Deliberately separate from the module's authenticators, so that a mistake in either side's
// chaining shows up as a failed authentication instead of passing unnoticed.
//
// Two chainings over a block operation F (each block-sized; c[-1] = iv):
// - ChainForward:  out[i] = F(in[i] ^ out[i-1])   (CBC enciphering when F enciphers)
// - ChainBackward: out[i] = F(in[i]) ^ in[i-1]    (CBC deciphering when F deciphers)
// AES authentication is plain CBC: the card sends with ChainForward(encipher) and receives with
// ChainBackward(decipher). Legacy DESFire (2K3DES, native command 0x0A) has the reader decipher
// everything it sends; the card therefore sends with ChainForward(encipher) and undoes the
// reader's chaining with ChainBackward(encipher).
#ifndef VARLO_APPS_VCARD_CARD_CRYPTO_H_
#define VARLO_APPS_VCARD_CARD_CRYPTO_H_

#include <cstdint>
#include <span>

#include "common/secure_bytes.h"

namespace varlo::vcard {

enum class CardCipher { k2K3DES, kAES128 };
enum class BlockOp { kEncipher, kDecipher };

// Block size in bytes: 8 for 2K3DES, 16 for AES-128.
std::size_t BlockSize(CardCipher cipher);

// `key` is 16 bytes, `iv` one block, `data` a non-empty multiple of the block size; otherwise
// std::invalid_argument.
SecureBytes ChainForward(CardCipher cipher, BlockOp op, std::span<const std::uint8_t> key,
                         std::span<const std::uint8_t> iv, std::span<const std::uint8_t> data);
SecureBytes ChainBackward(CardCipher cipher, BlockOp op, std::span<const std::uint8_t> key,
                          std::span<const std::uint8_t> iv, std::span<const std::uint8_t> data);

}  // namespace varlo::vcard

#endif  // VARLO_APPS_VCARD_CARD_CRYPTO_H_
