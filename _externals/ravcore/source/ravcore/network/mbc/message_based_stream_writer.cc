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

}  // namespace

MessageBasedStreamWriter::MessageBasedStreamWriter(std::shared_ptr<IStream> stream)
    : stream_(std::move(stream)) {}

void MessageBasedStreamWriter::Write(const Message& message) {
  std::lock_guard lock(mutex_);
  if (message.IsEmpty())
    throw std::invalid_argument("Message is empty.");
  if (message.Size() > std::numeric_limits<std::uint32_t>::max()) {
    throw std::invalid_argument("Message is too long.");
  }
  const auto length = static_cast<std::uint32_t>(message.Size());
  const std::array<std::uint8_t, 4> header = {
      static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
      static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 24)};
  WriteAll(*stream_, header);
  WriteAll(*stream_, message.Bytes());
}

}  // namespace ravcore::network::mbc
