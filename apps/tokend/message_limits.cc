#include "apps/tokend/message_limits.h"

#include <string>

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

PipeRecordLayer::PipeRecordLayer(std::shared_ptr<ravcore::network::PipeStream> stream) {
  // The reader keeps the stream alive, so its callbacks may hold a plain pointer to it.
  ravcore::network::PipeStream* pipe = stream.get();
  reader_ = std::make_shared<mbc::MessageBasedStreamReader>(
      stream, [pipe](ravcore::network::IStream&) { return pipe->IsDataAvailable(); },
      mbc::PipeStreamWrapper::kMaxRecordLength,
      [pipe](unsigned long code) {
        pipe->Break(code);
        throw ProtocolError("record longer than " +
                            std::to_string(mbc::PipeStreamWrapper::kMaxRecordLength) + " bytes");
      });
  writer_ = std::make_shared<mbc::MessageBasedStreamWriter>(stream);
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
