#include "ravcore/network/mbc/pipe_stream_wrapper.h"

namespace ravcore::network::mbc {

PipeStreamWrapper::PipeStreamWrapper(std::shared_ptr<PipeStream> stream, OversizeHandler onOversize)
    : stream_(std::move(stream)) {
  // The reader keeps the stream alive, so its callback may hold a plain pointer to it. The
  // stream's Read itself answers "nothing" when nothing is there (and notices a gone peer), so
  // asking first would only cost a second trip to the stream's thread.
  PipeStream* pipe = stream_.get();
  reader_ = std::make_shared<MessageBasedStreamReader>(
      stream_, [](IStream&) { return true; }, kMaxRecordLength,
      [pipe, onOversize = std::move(onOversize)](unsigned long code) {
        pipe->Break(code);
        if (onOversize)
          onOversize();
      });
  writer_ = std::make_shared<MessageBasedStreamWriter>(stream_);
}

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
