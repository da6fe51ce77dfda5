// Reads records (a 4-byte little-endian length, then the bytes) from a byte stream.
//
// Each `Read` returns at most one complete record. It reads from the stream (what is there now,
// if the availability test says there is any) only when it holds no whole record, and it moves
// the unfinished rest of its buffer to the front only then, so buffering is linear in the bytes
// received and bounded by one record plus one read of the stream. A record that announces more
// than the reader's maximum length cannot be a message of this channel: the reader wipes its
// buffer, reports the stream as broken (ERROR_BROKEN_PIPE, 109) through the broken-stream
// handler (default: close the stream) and throws "Connection lost.", rather than buffer an
// unbounded amount of input. Delivered bytes are wiped from the buffer at once. Calls are
// serialised; `WaitForData` answers at once while a whole record is buffered and otherwise
// waits on the stream, without holding up a `Read`.
#ifndef RAVCORE_NETWORK_MBC_MESSAGE_BASED_STREAM_READER_H_
#define RAVCORE_NETWORK_MBC_MESSAGE_BASED_STREAM_READER_H_

#include <cstddef>
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
  bool WaitForData(std::chrono::milliseconds limit,
                   const varlo::platform::WakeEvent* stop) override;

 private:
  enum class Front { kIncomplete, kWhole, kOversized };

  // What the unread part of the buffer begins with. Under mutex_.
  Front Inspect() const;
  // Moves the unread bytes to the front of the buffer and appends what the stream has.
  void Refill();
  [[noreturn]] void FailOversized();

  std::shared_ptr<IStream> stream_;
  AvailabilityTest availability_;
  std::uint32_t maxRecordLength_;
  BrokenStreamHandler onBroken_;
  varlo::SecureBytes buffer_;
  std::size_t start_ = 0;  // buffer_[0, start_) is delivered and wiped
  std::mutex mutex_;
};

}  // namespace ravcore::network::mbc

#endif  // RAVCORE_NETWORK_MBC_MESSAGE_BASED_STREAM_READER_H_
