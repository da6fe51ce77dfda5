// AES-256-GCM (the Noise cipher "AESGCM") over libsodium; the counter goes into the nonce
// big-endian. Needs the CPU's AES instructions: the constructor throws
// "AES-GCM is not available on this CPU." without them.
#ifndef VARLO_NOISE_AES256_GCM_H_
#define VARLO_NOISE_AES256_GCM_H_

#include <sodium.h>

#include "noise/aead.h"

namespace varlo::noise {

class Aes256Gcm final : public SodiumAead {
 public:
  Aes256Gcm()
      : SodiumAead(crypto_aead_aes256gcm_encrypt, crypto_aead_aes256gcm_decrypt,
                   CounterOrder::kBigEndian) {
    if (!Sodium().IsAesGcmAvailable()) {
      throw "AES-GCM is not available on this CPU.";
    }
  }
};

}  // namespace varlo::noise

#endif  // VARLO_NOISE_AES256_GCM_H_
