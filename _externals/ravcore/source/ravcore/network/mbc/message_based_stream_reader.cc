#include "ravcore/network/mbc/message_based_stream_reader.h"

#include "platform/pipe/pipe_client.h"
#include "ravcore/network/network_exception.h"

namespace ravcore::network::mbc {

MessageBasedStreamReader::MessageBasedStreamReader(std::shared_ptr<IStream> stream,
                                                   AvailabilityTest availability,
                                                   std::uint32_t maxRecordLength,
                                                   BrokenStreamHandler onBroken)
    : stream_(std::move(stream)),
      availability_(std::move(availability)),
      maxRecordLength_(maxRecordLength),
      onBroken_(std::move(onBroken)) {}

bool MessageBasedStreamReader::IsMidMessage() {
  std::lock_guard lock(mutex_);
  return !buffer_.empty();
}

Message MessageBasedStreamReader::Read() {
  std::lock_guard lock(mutex_);
  if (availability_(*stream_)) {
    varlo::SecureBytes received = stream_->Read();
    buffer_.insert(buffer_.end(), received.begin(), received.end());
  }
  if (buffer_.size() < 4)
    return Message::Empty();
  const std::uint32_t length =
      static_cast<std::uint32_t>(buffer_[0]) | static_cast<std::uint32_t>(buffer_[1]) << 8 |
      static_cast<std::uint32_t>(buffer_[2]) << 16 | static_cast<std::uint32_t>(buffer_[3]) << 24;
  if (length > maxRecordLength_) {
    buffer_.clear();
    buffer_.shrink_to_fit();
    constexpr unsigned long kBroken = varlo::platform::kErrorBrokenPipe;
    if (onBroken_) {
      onBroken_(kBroken);
    } else {
      stream_->Close();
    }
    throw NetworkException("Connection lost.", kBroken);
  }
  if (buffer_.size() - 4 < length)
    return Message::Empty();
  Message message(std::span<const std::uint8_t>(buffer_).subspan(4, length));
  buffer_.erase(buffer_.begin(), buffer_.begin() + 4 + length);
  if (buffer_.empty())
    buffer_.shrink_to_fit();  // gives the memory back wiped
  return message;
}

}  // namespace ravcore::network::mbc
