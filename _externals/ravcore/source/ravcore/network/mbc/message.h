// The unit of every message layer: a byte string, or the empty marker meaning "no message".
//
// Readers return the empty marker when nothing complete has arrived yet; a real message may
// hold zero bytes. The bytes live in a self-wiping buffer.
#ifndef RAVCORE_NETWORK_MBC_MESSAGE_H_
#define RAVCORE_NETWORK_MBC_MESSAGE_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>

#include "common/secure_bytes.h"

namespace ravcore::network::mbc {

// Appends `bytes` to `to` with memcpy. A SecureBytes is a vector with its own allocator, for
// which the library builds, copies and moves elements one by one; on the message paths that
// costs more than the cryptography, so they copy through here.
inline void AppendBytes(varlo::SecureBytes& to, std::span<const std::uint8_t> bytes) {
  if (bytes.empty())
    return;
  const std::size_t size = to.size();
  if (to.capacity() - size < bytes.size()) {
    varlo::SecureBytes grown;
    grown.reserve(std::max(size + bytes.size(), 2 * to.capacity()));
    grown.resize(size + bytes.size());
    if (size > 0)
      std::memcpy(grown.data(), to.data(), size);
    to.swap(grown);  // the old buffer is wiped as `grown` goes
  } else {
    to.resize(size + bytes.size());
  }
  std::memcpy(to.data() + size, bytes.data(), bytes.size());
}

class Message {
 public:
  // The empty marker.
  Message() = default;
  explicit Message(varlo::SecureBytes bytes) : bytes_(std::move(bytes)), empty_(false) {}
  explicit Message(std::span<const std::uint8_t> bytes) : empty_(false) {
    AppendBytes(bytes_, bytes);
  }

  static Message Empty() { return Message(); }

  // True for the empty marker ("no message"), not for a message of zero bytes.
  bool IsEmpty() const { return empty_; }
  const varlo::SecureBytes& Bytes() const { return bytes_; }
  varlo::SecureBytes& Bytes() { return bytes_; }
  std::size_t Size() const { return bytes_.size(); }

 private:
  varlo::SecureBytes bytes_;
  bool empty_ = true;
};

}  // namespace ravcore::network::mbc

#endif  // RAVCORE_NETWORK_MBC_MESSAGE_H_
