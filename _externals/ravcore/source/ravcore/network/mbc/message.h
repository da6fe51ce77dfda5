// The unit of every message layer: a byte string, or the empty marker meaning "no message".
//
// Readers return the empty marker when nothing complete has arrived yet; a real message may
// hold zero bytes. The bytes live in a self-wiping buffer.
#ifndef RAVCORE_NETWORK_MBC_MESSAGE_H_
#define RAVCORE_NETWORK_MBC_MESSAGE_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "common/secure_bytes.h"

namespace ravcore::network::mbc {

class Message {
 public:
  // The empty marker.
  Message() = default;
  explicit Message(varlo::SecureBytes bytes) : bytes_(std::move(bytes)), empty_(false) {}
  explicit Message(std::span<const std::uint8_t> bytes)
      : bytes_(bytes.begin(), bytes.end()), empty_(false) {}

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
