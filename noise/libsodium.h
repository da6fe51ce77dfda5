// Process-wide libsodium initialisation.
//
// The first call to Libsodium::Instance() runs sodium_init (safe to repeat, and safe from any
// thread) and records whether the CPU offers AES-256-GCM. A failing sodium_init is written to
// standard output and construction carries on.
#ifndef VARLO_NOISE_LIBSODIUM_H_
#define VARLO_NOISE_LIBSODIUM_H_

#include <memory>

namespace varlo::noise {

class Libsodium {
 public:
  Libsodium();

  static const std::shared_ptr<const Libsodium>& Instance();

  bool IsAesGcmAvailable() const { return aes_gcm_available_; }

 private:
  bool aes_gcm_available_ = false;
};

}  // namespace varlo::noise

#endif  // VARLO_NOISE_LIBSODIUM_H_
