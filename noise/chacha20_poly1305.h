// ChaCha20-Poly1305 in its IETF form (the Noise cipher "ChaChaPoly") over libsodium; the counter
// goes into the nonce little-endian.
#ifndef VARLO_NOISE_CHACHA20_POLY1305_H_
#define VARLO_NOISE_CHACHA20_POLY1305_H_

#include <sodium.h>

#include "noise/aead.h"

namespace varlo::noise {

class ChaCha20Poly1305 final : public SodiumAead {
 public:
  ChaCha20Poly1305()
      : SodiumAead(crypto_aead_chacha20poly1305_ietf_encrypt,
                   crypto_aead_chacha20poly1305_ietf_decrypt, CounterOrder::kLittleEndian) {}
};

}  // namespace varlo::noise

#endif  // VARLO_NOISE_CHACHA20_POLY1305_H_
