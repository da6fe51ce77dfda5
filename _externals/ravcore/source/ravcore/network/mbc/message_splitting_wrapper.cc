#include "ravcore/network/mbc/message_splitting_wrapper.h"

#include <algorithm>
#include <array>
#include <limits>
#include <span>
#include <stdexcept>
#include <vector>

#include "ravcore/network/network_exception.h"

namespace ravcore::network::mbc {
namespace {

void PutU32(std::uint8_t* out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t GetU32(const std::uint8_t* in) {
  return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
         static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}

// Frames handed down at once: about 256 KiB, one trip to the stream for what the pipe holds.
constexpr std::size_t kFramesPerBatch = 4;

// Room reserved for a reassembly up front: enough for the largest message of this system, while
// a start frame alone cannot make the reader claim much memory.
constexpr std::size_t kMaxReserve = 2u << 20;

std::array<std::uint8_t, 4> Le32(std::uint32_t value) {
  std::array<std::uint8_t, 4> bytes;
  PutU32(bytes.data(), value);
  return bytes;
}

// A frame: the header for `type`, then `body`. Frame buffers wipe themselves.
Message Frame(std::uint8_t type, std::span<const std::uint8_t> body) {
  varlo::SecureBytes frame(MessageSplittingWrapper::kHeaderSize + body.size());
  PutU32(&frame[0], MessageSplittingWrapper::kFrameVersion);
  PutU32(&frame[4], MessageSplittingWrapper::kFrameMagic);
  frame[8] = type;
  std::copy(body.begin(), body.end(), frame.begin() + MessageSplittingWrapper::kHeaderSize);
  return Message(std::move(frame));
}

}  // namespace

MessageSplittingWrapper::MessageSplittingWrapper(std::uint32_t maxMessageLength)
    : maxMessageLength_(maxMessageLength) {}

void MessageSplittingWrapper::Attach(std::shared_ptr<IMessageReader> reader,
                                     std::shared_ptr<IMessageWriter> writer) {
  lowerReader_ = std::move(reader);
  lowerWriter_ = std::move(writer);
}

void MessageSplittingWrapper::Write(const Message& message) {
  std::lock_guard lock(writeMutex_);
  if (message.IsEmpty())
    throw NetworkException("Message is empty.");
  if (message.Size() > std::numeric_limits<std::uint32_t>::max()) {
    throw std::invalid_argument("Message is too long.");
  }
  const auto total = static_cast<std::uint32_t>(message.Size());

  // Frames go down in batches, the start frame with the first data frames, so that a short
  // message reaches the stream in one write and a long one in few.
  std::vector<Message> batch;
  batch.push_back(Frame(kStartFrame, Le32(total)));
  std::span<const std::uint8_t> rest(message.Bytes());
  while (!rest.empty()) {
    const std::size_t piece = std::min<std::size_t>(rest.size(), kMaxFrameSize - kHeaderSize);
    batch.push_back(Frame(kDataFrame, rest.first(piece)));
    rest = rest.subspan(piece);
    if (batch.size() == kFramesPerBatch) {
      lowerWriter_->WriteBatch(batch);
      batch.clear();
    }
  }
  if (!batch.empty())
    lowerWriter_->WriteBatch(batch);
}

bool MessageSplittingWrapper::IsMidMessage() {
  std::lock_guard lock(readMutex_);
  return receiving_ || (lowerReader_ && lowerReader_->IsMidMessage());
}

Message MessageSplittingWrapper::Read() {
  std::lock_guard lock(readMutex_);
  for (;;) {
    Message frame = lowerReader_->Read();
    if (frame.IsEmpty())
      return frame;
    const varlo::SecureBytes& bytes = frame.Bytes();
    const bool isFrame = bytes.size() >= kHeaderSize && GetU32(&bytes[0]) == kFrameVersion;
    const std::uint8_t type = isFrame ? bytes[8] : 0xFF;
    if (!receiving_ && isFrame && type == kStartFrame && bytes.size() >= kStartFrameSize) {
      ResetReassembly();
      const std::uint32_t announced = GetU32(&bytes[9]);
      if (announced > maxMessageLength_)
        throw NetworkException("Announced message length exceeds the limit.");
      expectedLength_ = announced;
      reassembly_.reserve(std::min<std::size_t>(announced, kMaxReserve));
      receiving_ = true;
    } else if (receiving_ && isFrame && type == kDataFrame) {
      const auto body = std::span(bytes).subspan(kHeaderSize);
      // Doubling, but never past the announced length: a long message would otherwise hold up
      // to twice its size while it is handed up.
      const std::size_t needed = reassembly_.size() + body.size();
      if (needed > reassembly_.capacity() && needed <= expectedLength_)
        reassembly_.reserve(std::min<std::size_t>(2 * reassembly_.capacity(), expectedLength_));
      AppendBytes(reassembly_, body);
    } else {
      // Not a frame in the expected place: hand it up as it is.
      ResetReassembly();
      return frame;
    }
    if (receiving_ && reassembly_.size() >= expectedLength_) {
      Message whole(std::move(reassembly_));
      ResetReassembly();
      return whole;
    }
  }
}

void MessageSplittingWrapper::ResetReassembly() {
  reassembly_.clear();
  reassembly_.shrink_to_fit();  // gives the memory back wiped
  expectedLength_ = 0;
  receiving_ = false;
}

}  // namespace ravcore::network::mbc
