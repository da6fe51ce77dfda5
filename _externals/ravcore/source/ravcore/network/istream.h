// A connected byte stream that the message layers read from and write to.
#ifndef RAVCORE_NETWORK_ISTREAM_H_
#define RAVCORE_NETWORK_ISTREAM_H_

#include <chrono>
#include <cstdint>
#include <span>

#include "common/secure_bytes.h"
#include "platform/pipe/pipe_wait.h"

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

  // Waits at most `limit` until a `Read` may find something (bytes, a gone peer, a closed
  // stream) or `stop` (may be null) is signalled. True when the wait ended early, false when
  // the limit passed. Never runs on a thread that the stream needs for its own reads and
  // writes. A stream that cannot tell when bytes arrive waits out the limit (or until `stop`).
  virtual bool WaitForData(std::chrono::milliseconds limit,
                           const varlo::platform::WakeEvent* stop) {
    return varlo::platform::WaitForWake(stop, limit);
  }
};

}  // namespace ravcore::network

#endif  // RAVCORE_NETWORK_ISTREAM_H_
