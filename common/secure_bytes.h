// Byte containers for key material and message plaintext.
//
// `SecureBytes` is a std::vector whose allocator overwrites every buffer with zeros before it
// gives the memory back, so wiping is a property of the type: a secret held in one is wiped on
// destruction, on reallocation when it grows, and on clear-and-shrink. Copies are wiped too.
#ifndef VARLO_COMMON_SECURE_BYTES_H_
#define VARLO_COMMON_SECURE_BYTES_H_

#include <sodium.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace varlo {

template <typename T>
struct ZeroizingAllocator {
  using value_type = T;

  ZeroizingAllocator() noexcept = default;
  template <typename U>
  ZeroizingAllocator(const ZeroizingAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept {
    // sodium_memzero is not optimised away, unlike a plain memset before free.
    sodium_memzero(p, n * sizeof(T));
    std::allocator<T>{}.deallocate(p, n);
  }

  template <typename U>
  bool operator==(const ZeroizingAllocator<U>&) const noexcept {
    return true;
  }
};

using SecureBytes = std::vector<std::uint8_t, ZeroizingAllocator<std::uint8_t>>;
// Text that is secret as a whole (a token document). A text short enough to sit inside the
// string object itself lives where the object lives and is not wiped.
using SecureString = std::basic_string<char, std::char_traits<char>, ZeroizingAllocator<char>>;

// Wipes a buffer that is not a SecureBytes (a stack array, a foreign buffer) in place.
inline void Wipe(std::span<std::uint8_t> bytes) noexcept {
  sodium_memzero(bytes.data(), bytes.size());
}

inline SecureBytes ToSecure(std::span<const std::uint8_t> bytes) {
  return SecureBytes(bytes.begin(), bytes.end());
}

}  // namespace varlo

#endif  // VARLO_COMMON_SECURE_BYTES_H_
