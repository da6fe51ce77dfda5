#include "ravcore/network/mbc/pipe_stream_wrapper.h"

namespace ravcore::network::mbc {

PipeStreamWrapper::PipeStreamWrapper(std::shared_ptr<PipeStream> stream)
    : stream_(std::move(stream)),
      reader_(std::make_shared<MessageBasedStreamReader>(
          stream_, [](IStream& s) { return s.IsDataAvailable(); }, kMaxRecordLength,
          // Captured weakly: the reader is owned by this wrapper, which owns the stream.
          [weak = std::weak_ptr<PipeStream>(stream_)](unsigned long code) {
            if (auto stream = weak.lock())
              stream->Break(code);
          })),
      writer_(std::make_shared<MessageBasedStreamWriter>(stream_)) {}

Message PipeStreamWrapper::Read() {
  return reader_->Read();
}

void PipeStreamWrapper::Write(const Message& message) {
  writer_->Write(message);
}

void PipeStreamWrapper::Attach(std::shared_ptr<IMessageReader>, std::shared_ptr<IMessageWriter>) {
  if (!stream_->IsConnected())
    stream_->Connect(pipeName_);
}

}  // namespace ravcore::network::mbc
