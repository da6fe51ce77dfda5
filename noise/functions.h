// Descriptors of the DH, cipher and hash functions a Noise protocol name can choose.
//
// Each descriptor is a process-wide singleton that holds only its name; descriptors are compared
// by identity. A `Protocol` picks the implementing classes from them.
#ifndef VARLO_NOISE_FUNCTIONS_H_
#define VARLO_NOISE_FUNCTIONS_H_

#include <string_view>

namespace varlo::noise {

class DhFunction {
 public:
  static const DhFunction& Curve25519();
  // The descriptor of that name, or nullptr.
  static const DhFunction* Find(std::string_view name);

  std::string_view Name() const { return name_; }

  DhFunction(const DhFunction&) = delete;
  DhFunction& operator=(const DhFunction&) = delete;

 private:
  explicit DhFunction(std::string_view name) : name_(name) {}
  std::string_view name_;
};

class CipherFunction {
 public:
  static const CipherFunction& AesGcm();
  static const CipherFunction& ChaChaPoly();
  static const CipherFunction* Find(std::string_view name);

  std::string_view Name() const { return name_; }

  CipherFunction(const CipherFunction&) = delete;
  CipherFunction& operator=(const CipherFunction&) = delete;

 private:
  explicit CipherFunction(std::string_view name) : name_(name) {}
  std::string_view name_;
};

class HashFunction {
 public:
  static const HashFunction& Sha256();
  static const HashFunction& Sha512();
  static const HashFunction& Blake2s();
  static const HashFunction& Blake2b();
  static const HashFunction* Find(std::string_view name);

  std::string_view Name() const { return name_; }

  HashFunction(const HashFunction&) = delete;
  HashFunction& operator=(const HashFunction&) = delete;

 private:
  explicit HashFunction(std::string_view name) : name_(name) {}
  std::string_view name_;
};

}  // namespace varlo::noise

#endif  // VARLO_NOISE_FUNCTIONS_H_
