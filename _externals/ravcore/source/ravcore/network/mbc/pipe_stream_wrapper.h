// The bottom layer of a message stack: messages as length-prefixed records on a pipe stream.
//
// Records longer than the largest Noise message (65535 bytes) are refused as a broken
// connection: the stream's error subject hears ERROR_BROKEN_PIPE and the reader throws
// "Connection lost." (or whatever the owner's oversize handler throws, so that a service can
// tell such a peer from one that went away). `Attach` ignores the layer below (there is none) and
// connects the stream if it is not connected yet; normally the owner connects it before building
// the stack.
#ifndef RAVCORE_NETWORK_MBC_PIPE_STREAM_WRAPPER_H_
#define RAVCORE_NETWORK_MBC_PIPE_STREAM_WRAPPER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ravcore/network/mbc/interfaces.h"
#include "ravcore/network/mbc/message_based_stream_reader.h"
#include "ravcore/network/mbc/message_based_stream_writer.h"
#include "ravcore/network/pipe_stream.h"

namespace ravcore::network::mbc {

class PipeStreamWrapper : public IMessageReader, public IMessageWriter, public IWrapper {
 public:
  static constexpr std::uint32_t kMaxRecordLength = 65535;

  // Called after an oversized record has broken the stream; may throw its own exception.
  using OversizeHandler = std::function<void()>;

  explicit PipeStreamWrapper(std::shared_ptr<PipeStream> stream,
                             OversizeHandler onOversize = nullptr);

  Message Read() override;
  bool IsMidMessage() override { return reader_->IsMidMessage(); }
  bool WaitForData(std::chrono::milliseconds limit,
                   const varlo::platform::WakeEvent* stop) override {
    return reader_->WaitForData(limit, stop);
  }
  void Write(const Message& message) override;
  void WriteBatch(std::span<const Message> messages) override { writer_->WriteBatch(messages); }

  std::shared_ptr<IMessageReader> GetReader() override { return reader_; }
  std::shared_ptr<IMessageWriter> GetWriter() override { return writer_; }
  void Attach(std::shared_ptr<IMessageReader> reader,
              std::shared_ptr<IMessageWriter> writer) override;

 private:
  std::shared_ptr<PipeStream> stream_;
  std::shared_ptr<MessageBasedStreamReader> reader_;
  std::shared_ptr<MessageBasedStreamWriter> writer_;
  std::u16string pipeName_;
};

}  // namespace ravcore::network::mbc

#endif  // RAVCORE_NETWORK_MBC_PIPE_STREAM_WRAPPER_H_
