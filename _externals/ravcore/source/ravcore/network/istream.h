// A connected byte stream that the message layers read from and write to.
#ifndef RAVCORE_NETWORK_ISTREAM_H_
#define RAVCORE_NETWORK_ISTREAM_H_

#include <cstdint>
#include <span>

#include "common/secure_bytes.h"

namespace ravcore::network {

class IStream {
 public:
  virtual ~IStream() = default;
  // Closes the connection; never fails.
  virtual void Close() = 0;
  // Everything readable now; empty when nothing is.
  virtual varlo::SecureBytes Read() = 0;
  // Writes data[offset, offset + length) once and returns how many bytes went out; the caller
  // loops for the rest.
  virtual int Write(std::span<const std::uint8_t> data, std::uint64_t offset,
                    std::uint64_t length) = 0;
  virtual int Write(std::span<const std::uint8_t> data) = 0;
};

}  // namespace ravcore::network

#endif  // RAVCORE_NETWORK_ISTREAM_H_
