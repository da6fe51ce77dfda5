// Splits messages into frames of at most 64512 bytes for the layer below and joins them again.
//
// A message of N bytes goes down as a 13-byte start frame (version 1, magic 0x037C2DBD, type
// 0, N) followed by ceil(N / 64503) data frames (version, magic, type 1, the next piece). On
// reading, a message below that is not a frame in the expected place (too short, another
// version, an unexpected type) is handed up unchanged and any reassembly in progress is
// dropped, so a foreign message never blocks the reader. A start frame that announces more than
// the wrapper's message limit (none by default) fails the read with a NetworkException and
// drops any reassembly, so that the owner can drop a peer that would make it buffer without
// bound. Reads and writes have separate locks: a write may run while another thread reads.
#ifndef RAVCORE_NETWORK_MBC_MESSAGE_SPLITTING_WRAPPER_H_
#define RAVCORE_NETWORK_MBC_MESSAGE_SPLITTING_WRAPPER_H_

#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>

#include "common/secure_bytes.h"
#include "ravcore/network/mbc/interfaces.h"

namespace ravcore::network::mbc {

class MessageSplittingWrapper : public IMessageReader, public IMessageWriter, public IWrapper {
 public:
  static constexpr std::uint64_t kMaxFrameSize = 64512;
  static constexpr std::size_t kHeaderSize = 9;
  static constexpr std::size_t kStartFrameSize = 13;
  static constexpr std::uint32_t kFrameVersion = 1;
  static constexpr std::uint32_t kFrameMagic = 0x037C2DBD;
  static constexpr std::uint8_t kStartFrame = 0;
  static constexpr std::uint8_t kDataFrame = 1;

  static constexpr std::uint32_t kNoLimit = std::numeric_limits<std::uint32_t>::max();

  // `maxMessageLength`: the longest message a start frame may announce.
  explicit MessageSplittingWrapper(std::uint32_t maxMessageLength = kNoLimit);
  ~MessageSplittingWrapper() override = default;

  // "Announced message length exceeds the limit." (NetworkException, code 0) for a start
  // frame over the limit; failures below pass through.
  Message Read() override;
  bool IsMidMessage() override;
  bool WaitForData(std::chrono::milliseconds limit,
                   const varlo::platform::WakeEvent* stop) override {
    return lowerReader_->WaitForData(limit, stop);
  }
  void Write(const Message& message) override;

  std::shared_ptr<IMessageReader> GetReader() override { return lowerReader_; }
  std::shared_ptr<IMessageWriter> GetWriter() override { return lowerWriter_; }
  void Attach(std::shared_ptr<IMessageReader> reader,
              std::shared_ptr<IMessageWriter> writer) override;

 private:
  void ResetReassembly();

  std::shared_ptr<IMessageReader> lowerReader_;
  std::shared_ptr<IMessageWriter> lowerWriter_;
  const std::uint32_t maxMessageLength_;
  std::mutex readMutex_;
  std::mutex writeMutex_;
  varlo::SecureBytes reassembly_;
  std::uint32_t expectedLength_ = 0;
  bool receiving_ = false;
};

}  // namespace ravcore::network::mbc

#endif  // RAVCORE_NETWORK_MBC_MESSAGE_SPLITTING_WRAPPER_H_
