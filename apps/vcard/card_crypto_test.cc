#include "apps/vcard/card_crypto.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace varlo::vcard {
namespace {

// The ciphers and both chainings are checked by the virtual card's authentication tests against
// a reader written with Crypto++'s own modes; what remains is the refusal of bad sizes.
TEST(CardCryptoTest, RejectsBadSizes) {
  const std::vector<std::uint8_t> key(16, 1), iv8(8, 0), iv16(16, 0);
  const std::vector<std::uint8_t> seven(7, 0), empty;
  EXPECT_THROW(ChainForward(CardCipher::k2K3DES, BlockOp::kEncipher, key, iv8, seven),
               std::invalid_argument);
  EXPECT_THROW(ChainBackward(CardCipher::kAES128, BlockOp::kDecipher, key, iv16, empty),
               std::invalid_argument);
  EXPECT_THROW(ChainForward(CardCipher::kAES128, BlockOp::kEncipher, key, iv8, iv16),
               std::invalid_argument);
  EXPECT_THROW(ChainForward(CardCipher::kAES128, BlockOp::kEncipher, iv8, iv16, iv16),
               std::invalid_argument);
}

}  // namespace
}  // namespace varlo::vcard
