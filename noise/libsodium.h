// Process-wide libsodium initialisation.
//
// The first call to Libsodium::Instance() runs sodium_init (safe to repeat, and safe from any
// thread) and records whether the CPU offers AES-256-GCM. A failing sodium_init throws, like
// every failure of the Noise framework, a C string; nothing then runs on the uninitialised
// library, and the next call to Instance() tries again. Whoever starts the framework logs the
// failure where it catches it (the module's service connection, the service's module session).
#ifndef VARLO_NOISE_LIBSODIUM_H_
#define VARLO_NOISE_LIBSODIUM_H_

#include <memory>

namespace varlo::noise {

class Libsodium {
 public:
  using InitFunction = int (*)();

  Libsodium();
  // With `init` in place of sodium_init (tests make it fail).
  explicit Libsodium(InitFunction init);

  static const std::shared_ptr<const Libsodium>& Instance();

  bool IsAesGcmAvailable() const { return aes_gcm_available_; }

 private:
  bool aes_gcm_available_ = false;
};

}  // namespace varlo::noise

#endif  // VARLO_NOISE_LIBSODIUM_H_
