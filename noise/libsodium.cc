#include "noise/libsodium.h"

#include <sodium.h>

namespace varlo::noise {

Libsodium::Libsodium() : Libsodium(&sodium_init) {}

Libsodium::Libsodium(InitFunction init) {
  if (init() < 0) {
    throw "Failed to initialize libsodium: sodium_init failed.";
  }
  aes_gcm_available_ = crypto_aead_aes256gcm_is_available() == 1;
}

const std::shared_ptr<const Libsodium>& Libsodium::Instance() {
  static const std::shared_ptr<const Libsodium> instance = std::make_shared<Libsodium>();
  return instance;
}

}  // namespace varlo::noise
