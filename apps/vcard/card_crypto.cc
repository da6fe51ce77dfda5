#include "apps/vcard/card_crypto.h"

#include <cryptopp/aes.h>
#include <cryptopp/des.h>

#include <memory>
#include <stdexcept>

namespace varlo::vcard {

namespace {

std::unique_ptr<CryptoPP::BlockTransformation> MakeBlockOp(CardCipher cipher, BlockOp op,
                                                           std::span<const std::uint8_t> key) {
  if (key.size() != 16)
    throw std::invalid_argument("card key must be 16 bytes");
  const bool encipher = op == BlockOp::kEncipher;
  if (cipher == CardCipher::k2K3DES) {
    if (encipher)
      return std::make_unique<CryptoPP::DES_EDE2::Encryption>(key.data(), key.size());
    return std::make_unique<CryptoPP::DES_EDE2::Decryption>(key.data(), key.size());
  }
  if (encipher)
    return std::make_unique<CryptoPP::AES::Encryption>(key.data(), key.size());
  return std::make_unique<CryptoPP::AES::Decryption>(key.data(), key.size());
}

void CheckSizes(std::size_t block, std::span<const std::uint8_t> iv,
                std::span<const std::uint8_t> data) {
  if (iv.size() != block)
    throw std::invalid_argument("iv must be one block");
  if (data.empty() || data.size() % block != 0) {
    throw std::invalid_argument("data must be a non-empty multiple of the block size");
  }
}

}  // namespace

std::size_t BlockSize(CardCipher cipher) {
  return cipher == CardCipher::k2K3DES ? 8 : 16;
}

SecureBytes ChainForward(CardCipher cipher, BlockOp op, std::span<const std::uint8_t> key,
                         std::span<const std::uint8_t> iv, std::span<const std::uint8_t> data) {
  const std::size_t block = BlockSize(cipher);
  CheckSizes(block, iv, data);
  auto f = MakeBlockOp(cipher, op, key);
  SecureBytes out(data.size());
  SecureBytes x(block);
  const std::uint8_t* previous = iv.data();
  for (std::size_t at = 0; at < data.size(); at += block) {
    for (std::size_t i = 0; i < block; ++i)
      x[i] = data[at + i] ^ previous[i];
    f->ProcessBlock(x.data(), out.data() + at);
    previous = out.data() + at;
  }
  return out;
}

SecureBytes ChainBackward(CardCipher cipher, BlockOp op, std::span<const std::uint8_t> key,
                          std::span<const std::uint8_t> iv, std::span<const std::uint8_t> data) {
  const std::size_t block = BlockSize(cipher);
  CheckSizes(block, iv, data);
  auto f = MakeBlockOp(cipher, op, key);
  SecureBytes out(data.size());
  const std::uint8_t* previous = iv.data();
  for (std::size_t at = 0; at < data.size(); at += block) {
    f->ProcessBlock(data.data() + at, out.data() + at);
    for (std::size_t i = 0; i < block; ++i)
      out[at + i] ^= previous[i];
    previous = data.data() + at;
  }
  return out;
}

}  // namespace varlo::vcard
