// Reads records (a 4-byte little-endian length, then the bytes) from a byte stream.
//
// Each `Read` takes what the stream has now, if its availability test says there is any, and
// returns at most one complete record; the rest stays buffered for the next call. A record
// that announces more than the reader's maximum length cannot be a message of this channel:
// the reader wipes its buffer, reports the stream as broken (ERROR_BROKEN_PIPE, 109) through
// the broken-stream handler (default: close the stream) and throws "Connection lost.", rather
// than buffer an unbounded amount of input. Calls are serialised.
#ifndef RAVCORE_NETWORK_MBC_MESSAGE_BASED_STREAM_READER_H_
#define RAVCORE_NETWORK_MBC_MESSAGE_BASED_STREAM_READER_H_

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>

#include "common/secure_bytes.h"
#include "ravcore/network/istream.h"
#include "ravcore/network/mbc/interfaces.h"

namespace ravcore::network::mbc {

class MessageBasedStreamReader : public IMessageReader {
 public:
  using AvailabilityTest = std::function<bool(IStream&)>;
  using BrokenStreamHandler = std::function<void(unsigned long code)>;

  static constexpr std::uint32_t kNoLimit = std::numeric_limits<std::uint32_t>::max();

  MessageBasedStreamReader(std::shared_ptr<IStream> stream, AvailabilityTest availability,
                           std::uint32_t maxRecordLength = kNoLimit,
                           BrokenStreamHandler onBroken = nullptr);

  Message Read() override;
  bool IsMidMessage() override;

 private:
  std::shared_ptr<IStream> stream_;
  AvailabilityTest availability_;
  std::uint32_t maxRecordLength_;
  BrokenStreamHandler onBroken_;
  varlo::SecureBytes buffer_;
  std::mutex mutex_;
};

}  // namespace ravcore::network::mbc

#endif  // RAVCORE_NETWORK_MBC_MESSAGE_BASED_STREAM_READER_H_
