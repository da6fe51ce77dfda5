// The two lowest limits of the service's message stack, as layers of their own, so that a
// module that oversteps one is dropped with a log line that says which.
//
// `PipeRecordLayer` is the bottom layer, records on the pipe stream as PipeStreamWrapper reads
// and writes them; a record announced longer than the largest Noise message (65535 bytes)
// breaks the connection as there, but fails with a ProtocolError naming it rather than the
// "Connection lost." of a module that went away. It also reads no further ahead than
// kReadAhead bytes: the record reader takes all the pipe holds on every read but hands up one
// record, so a module that sends faster than the service handles its requests would otherwise
// pile up its input in the service's memory; held back, it waits in the pipe instead.
//
// `MessageLengthGuard` sits between the Noise layer and the splitting layer and refuses a
// start frame that announces a message longer than its limit, before the splitting layer
// begins to collect it (ProtocolError). The splitting layer hands a message up as soon as it
// holds the announced length, so with the announcement bounded no peer can make it buffer more
// than the limit and one frame. Everything else passes through unchanged.
#ifndef VARLO_APPS_TOKEND_MESSAGE_LIMITS_H_
#define VARLO_APPS_TOKEND_MESSAGE_LIMITS_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "ravcore/network/mbc/interfaces.h"
#include "ravcore/network/pipe_stream.h"

namespace varlo::tokend {

namespace mbc = ravcore::network::mbc;

class PipeRecordLayer : public mbc::IMessageReader,
                        public mbc::IMessageWriter,
                        public mbc::IWrapper {
 public:
  // Two records of the largest size with their length prefixes: always room for a whole one.
  static constexpr std::uint64_t kReadAhead = 2 * (65535 + 4);

  explicit PipeRecordLayer(std::shared_ptr<ravcore::network::PipeStream> stream);

  mbc::Message Read() override;
  bool IsMidMessage() override { return reader_->IsMidMessage(); }
  void Write(const mbc::Message& message) override { writer_->Write(message); }

  std::shared_ptr<mbc::IMessageReader> GetReader() override { return reader_; }
  std::shared_ptr<mbc::IMessageWriter> GetWriter() override { return writer_; }
  // The bottom layer has nothing below it.
  void Attach(std::shared_ptr<mbc::IMessageReader>, std::shared_ptr<mbc::IMessageWriter>) override {
  }

 private:
  struct Progress;
  class CountingStream;

  std::shared_ptr<Progress> progress_;
  std::shared_ptr<mbc::IMessageReader> reader_;
  std::shared_ptr<mbc::IMessageWriter> writer_;
};

// Stands in for a maximum message length of MessageSplittingWrapper itself: once that wrapper
// takes one, pass kMaxRequest to it and drop this layer.
class MessageLengthGuard : public mbc::IMessageReader,
                           public mbc::IMessageWriter,
                           public mbc::IWrapper {
 public:
  explicit MessageLengthGuard(std::size_t limit) : limit_(limit) {}

  mbc::Message Read() override;
  bool IsMidMessage() override { return reader_->IsMidMessage(); }
  void Write(const mbc::Message& message) override { writer_->Write(message); }

  std::shared_ptr<mbc::IMessageReader> GetReader() override { return reader_; }
  std::shared_ptr<mbc::IMessageWriter> GetWriter() override { return writer_; }
  void Attach(std::shared_ptr<mbc::IMessageReader> reader,
              std::shared_ptr<mbc::IMessageWriter> writer) override {
    reader_ = std::move(reader);
    writer_ = std::move(writer);
  }

 private:
  const std::size_t limit_;
  std::shared_ptr<mbc::IMessageReader> reader_;
  std::shared_ptr<mbc::IMessageWriter> writer_;
};

}  // namespace varlo::tokend

#endif  // VARLO_APPS_TOKEND_MESSAGE_LIMITS_H_
