#include "ravcore/network/mbc/message_splitting_wrapper.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

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

}  // namespace

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

  varlo::SecureBytes start(kStartFrameSize);
  PutU32(&start[0], kFrameVersion);
  PutU32(&start[4], kFrameMagic);
  start[8] = kStartFrame;
  PutU32(&start[9], total);
  lowerWriter_->Write(Message(std::move(start)));

  const std::size_t maxPiece = kMaxFrameSize - kHeaderSize;
  std::span<const std::uint8_t> rest(message.Bytes());
  while (!rest.empty()) {
    const std::size_t piece = std::min(rest.size(), maxPiece);
    varlo::SecureBytes frame(kHeaderSize + piece);
    PutU32(&frame[0], kFrameVersion);
    PutU32(&frame[4], kFrameMagic);
    frame[8] = kDataFrame;
    std::copy_n(rest.begin(), piece, frame.begin() + kHeaderSize);
    lowerWriter_->Write(Message(std::move(frame)));
    rest = rest.subspan(piece);
  }
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
      expectedLength_ = GetU32(&bytes[9]);
      receiving_ = true;
    } else if (receiving_ && isFrame && type == kDataFrame) {
      reassembly_.insert(reassembly_.end(), bytes.begin() + kHeaderSize, bytes.end());
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
