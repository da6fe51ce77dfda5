#include "noise/functions.h"

#include <array>

namespace varlo::noise {

const DhFunction& DhFunction::Curve25519() {
  static const DhFunction function("25519");
  return function;
}

const DhFunction* DhFunction::Find(std::string_view name) {
  return name == Curve25519().Name() ? &Curve25519() : nullptr;
}

const CipherFunction& CipherFunction::AesGcm() {
  static const CipherFunction function("AESGCM");
  return function;
}

const CipherFunction& CipherFunction::ChaChaPoly() {
  static const CipherFunction function("ChaChaPoly");
  return function;
}

const CipherFunction* CipherFunction::Find(std::string_view name) {
  for (const CipherFunction* function : {&AesGcm(), &ChaChaPoly()}) {
    if (name == function->Name()) {
      return function;
    }
  }
  return nullptr;
}

const HashFunction& HashFunction::Sha256() {
  static const HashFunction function("SHA256");
  return function;
}

const HashFunction& HashFunction::Sha512() {
  static const HashFunction function("SHA512");
  return function;
}

const HashFunction& HashFunction::Blake2s() {
  static const HashFunction function("BLAKE2s");
  return function;
}

const HashFunction& HashFunction::Blake2b() {
  static const HashFunction function("BLAKE2b");
  return function;
}

const HashFunction* HashFunction::Find(std::string_view name) {
  for (const HashFunction* function : {&Sha256(), &Sha512(), &Blake2s(), &Blake2b()}) {
    if (name == function->Name()) {
      return function;
    }
  }
  return nullptr;
}

}  // namespace varlo::noise
