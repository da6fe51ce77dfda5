// The hash function of a Noise protocol, as an interface.
//
// A hash object keeps a running state: AppendData feeds it, GetHashAndReset writes the digest
// and starts over with an empty input, so one object serves any number of messages.
#ifndef VARLO_NOISE_HASH_H_
#define VARLO_NOISE_HASH_H_

#include <cstddef>
#include <cstdint>
#include <span>

namespace varlo::noise {

class Hash {
 public:
  virtual ~Hash() = default;

  virtual std::uint32_t HashLen() const = 0;
  // Block length, used by HMAC.
  virtual std::uint32_t BlockLen() const = 0;

  virtual void AppendData(std::span<const std::uint8_t> data) = 0;
  // Feeds data[offset, offset + length); throws when the range lies outside `data`.
  void AppendData(std::span<const std::uint8_t> data, std::size_t offset, std::size_t length) {
    if (offset > data.size() || length > data.size() - offset) {
      throw "AppendData failed, range";
    }
    AppendData(data.subspan(offset, length));
  }

  // `output` must be exactly HashLen bytes.
  virtual void GetHashAndReset(std::span<std::uint8_t> output) = 0;
};

}  // namespace varlo::noise

#endif  // VARLO_NOISE_HASH_H_
