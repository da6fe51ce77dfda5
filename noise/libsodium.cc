#include "noise/libsodium.h"

#include <sodium.h>

#include <cstdio>

namespace varlo::noise {

Libsodium::Libsodium() {
  if (sodium_init() < 0) {
    // Standard output, not the log: the log may itself depend on this library.
    std::puts("Failed to initialize libsodium");
  }
  aes_gcm_available_ = crypto_aead_aes256gcm_is_available() == 1;
}

const std::shared_ptr<const Libsodium>& Libsodium::Instance() {
  static const std::shared_ptr<const Libsodium> instance = std::make_shared<Libsodium>();
  return instance;
}

}  // namespace varlo::noise
