#include "ravcore/network/mbc/message_based_stream_writer.h"

#include <array>
#include <cstdint>
#include <limits>
#include <stdexcept>

namespace ravcore::network::mbc {
namespace {

void WriteAll(IStream& stream, std::span<const std::uint8_t> bytes) {
  std::uint64_t offset = 0;
  while (offset < bytes.size()) {
    offset += static_cast<std::uint64_t>(stream.Write(bytes, offset, bytes.size() - offset));
  }
}

constexpr std::size_t kLengthSize = 4;

std::array<std::uint8_t, kLengthSize> LengthOf(const Message& message) {
  const auto length = static_cast<std::uint32_t>(message.Size());
  return {static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
          static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 24)};
}

}  // namespace

MessageBasedStreamWriter::MessageBasedStreamWriter(std::shared_ptr<IStream> stream)
    : stream_(std::move(stream)) {}

void MessageBasedStreamWriter::Write(const Message& message) {
  WriteBatch(std::span(&message, 1));
}

void MessageBasedStreamWriter::WriteBatch(std::span<const Message> messages) {
  std::lock_guard lock(mutex_);
  for (const Message& message : messages) {
    if (message.IsEmpty())
      throw std::invalid_argument("Message is empty.");
    if (message.Size() > std::numeric_limits<std::uint32_t>::max())
      throw std::invalid_argument("Message is too long.");
  }
  // Consecutive records are joined into one write while they fit.
  while (!messages.empty()) {
    std::size_t count = 0;
    std::size_t joined = 0;
    while (count < messages.size() &&
           joined + kLengthSize + messages[count].Size() <= kJoinedWriteMax) {
      joined += kLengthSize + messages[count++].Size();
    }
    if (count == 0) {  // one long record: its length, then its bytes straight from the message
      const auto header = LengthOf(messages.front());
      WriteAll(*stream_, header);
      WriteAll(*stream_, messages.front().Bytes());
      messages = messages.subspan(1);
      continue;
    }
    varlo::SecureBytes records;
    records.reserve(joined);
    for (const Message& message : messages.first(count)) {
      AppendBytes(records, LengthOf(message));
      AppendBytes(records, message.Bytes());
    }
    WriteAll(*stream_, records);
    messages = messages.subspan(count);
  }
}

}  // namespace ravcore::network::mbc
