#include "apps/tokend/message_limits.h"

#include <atomic>
#include <string>
#include <utility>

#include "apps/tokend/module_requests.h"
#include "ravcore/network/mbc/message_based_stream_reader.h"
#include "ravcore/network/mbc/message_based_stream_writer.h"
#include "ravcore/network/mbc/message_splitting_wrapper.h"
#include "ravcore/network/mbc/pipe_stream_wrapper.h"

namespace varlo::tokend {
namespace {

using mbc::MessageSplittingWrapper;

std::uint32_t ReadU32(const SecureBytes& bytes, std::size_t offset) {
  return service_protocol::ReadU32(std::span(bytes).subspan(offset));
}

}  // namespace

// Bytes taken from the pipe and bytes handed up as records; what lies between is buffered.
struct PipeRecordLayer::Progress {
  std::atomic<std::uint64_t> read{0};
  std::atomic<std::uint64_t> consumed{0};
};

// The pipe stream as the record reader sees it, counting what it reads.
class PipeRecordLayer::CountingStream : public ravcore::network::IStream {
 public:
  CountingStream(std::shared_ptr<ravcore::network::PipeStream> stream,
                 std::shared_ptr<Progress> progress)
      : stream_(std::move(stream)), progress_(std::move(progress)) {}

  void Close() override { stream_->Close(); }
  SecureBytes Read() override {
    SecureBytes bytes = stream_->Read();
    progress_->read += bytes.size();
    return bytes;
  }
  int Write(std::span<const std::uint8_t> data, std::uint64_t offset,
            std::uint64_t length) override {
    return stream_->Write(data, offset, length);
  }
  int Write(std::span<const std::uint8_t> data) override { return stream_->Write(data); }

 private:
  std::shared_ptr<ravcore::network::PipeStream> stream_;
  std::shared_ptr<Progress> progress_;
};

PipeRecordLayer::PipeRecordLayer(std::shared_ptr<ravcore::network::PipeStream> stream)
    : progress_(std::make_shared<Progress>()) {
  // The reader keeps the stream alive, so its callbacks may hold a plain pointer to it.
  ravcore::network::PipeStream* pipe = stream.get();
  auto counting = std::make_shared<CountingStream>(stream, progress_);
  reader_ = std::make_shared<mbc::MessageBasedStreamReader>(
      counting,
      [pipe, progress = progress_](ravcore::network::IStream&) {
        // Past the limit a whole record is buffered already: hand it up before reading on.
        if (progress->read - progress->consumed > kReadAhead)
          return false;
        return pipe->IsDataAvailable();
      },
      mbc::PipeStreamWrapper::kMaxRecordLength,
      [pipe](unsigned long code) {
        pipe->Break(code);
        throw ProtocolError("record longer than " +
                            std::to_string(mbc::PipeStreamWrapper::kMaxRecordLength) + " bytes");
      });
  writer_ = std::make_shared<mbc::MessageBasedStreamWriter>(stream);
}

mbc::Message PipeRecordLayer::Read() {
  mbc::Message record = reader_->Read();
  if (!record.IsEmpty())
    progress_->consumed += 4 + record.Size();
  return record;
}

mbc::Message MessageLengthGuard::Read() {
  mbc::Message frame = reader_->Read();
  const SecureBytes& bytes = frame.Bytes();
  // The splitting layer's own test for a start frame: long enough, version 1, type 0.
  if (!frame.IsEmpty() && bytes.size() >= MessageSplittingWrapper::kStartFrameSize &&
      ReadU32(bytes, 0) == MessageSplittingWrapper::kFrameVersion &&
      bytes[8] == MessageSplittingWrapper::kStartFrame) {
    const std::uint32_t announced = ReadU32(bytes, 9);
    if (announced > limit_) {
      throw ProtocolError("message of " + std::to_string(announced) + " bytes announced; at most " +
                          std::to_string(limit_));
    }
  }
  return frame;
}

}  // namespace varlo::tokend
