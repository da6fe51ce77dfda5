#include "ravcore/network/mbc/message_based_stream_reader.h"

#include <algorithm>
#include <span>

#include "platform/pipe/pipe_client.h"
#include "ravcore/network/network_exception.h"

namespace ravcore::network::mbc {
namespace {

constexpr std::size_t kLengthSize = 4;

std::uint32_t GetU32(const std::uint8_t* in) {
  return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
         static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}

}  // namespace

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
  return buffer_.size() > start_;
}

bool MessageBasedStreamReader::WaitForData(std::chrono::milliseconds limit,
                                           const varlo::platform::WakeEvent* stop) {
  {
    std::lock_guard lock(mutex_);
    if (Inspect() != Front::kIncomplete)
      return true;  // the next Read answers without the stream
  }
  return stream_->WaitForData(limit, stop);
}

MessageBasedStreamReader::Front MessageBasedStreamReader::Inspect() const {
  const std::size_t unread = buffer_.size() - start_;
  if (unread < kLengthSize)
    return Front::kIncomplete;
  const std::uint32_t length = GetU32(&buffer_[start_]);
  if (length > maxRecordLength_)
    return Front::kOversized;
  return unread - kLengthSize < length ? Front::kIncomplete : Front::kWhole;
}

void MessageBasedStreamReader::Refill() {
  if (start_ > 0) {
    const std::size_t unread = buffer_.size() - start_;
    std::copy(buffer_.begin() + static_cast<std::ptrdiff_t>(start_), buffer_.end(),
              buffer_.begin());
    varlo::Wipe(std::span(buffer_).subspan(unread));
    buffer_.resize(unread);
    start_ = 0;
  }
  if (!availability_(*stream_))
    return;
  varlo::SecureBytes received = stream_->Read();
  if (buffer_.empty()) {
    buffer_.swap(received);  // the common case: no copy
  } else {
    AppendBytes(buffer_, received);
  }
}

void MessageBasedStreamReader::FailOversized() {
  buffer_.clear();
  buffer_.shrink_to_fit();  // gives the memory back wiped
  start_ = 0;
  constexpr unsigned long kBroken = varlo::platform::kErrorBrokenPipe;
  if (onBroken_) {
    onBroken_(kBroken);
  } else {
    stream_->Close();
  }
  throw NetworkException("Connection lost.", kBroken);
}

Message MessageBasedStreamReader::Read() {
  std::lock_guard lock(mutex_);
  Front front = Inspect();
  if (front == Front::kIncomplete) {
    Refill();
    front = Inspect();
  }
  if (front == Front::kOversized)
    FailOversized();
  if (front == Front::kIncomplete)
    return Message::Empty();
  const std::size_t length = GetU32(&buffer_[start_]);
  const std::span<std::uint8_t> record = std::span(buffer_).subspan(start_, kLengthSize + length);
  Message message(record.subspan(kLengthSize));
  varlo::Wipe(record);
  start_ += record.size();
  if (start_ == buffer_.size()) {
    buffer_.clear();  // all of it wiped already; the capacity serves the next read
    start_ = 0;
  }
  return message;
}

}  // namespace ravcore::network::mbc
