// Bytes from the pipe through the bottom of the message stack: the stream reader cuts records
// (a 4-byte length, then the bytes), the splitting layer joins frames into messages.
//
// Input: the first byte sets how many bytes each read of the stream returns (1 to 256), so that
// records and frames arrive cut at every place; the rest is what the peer sent.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "ravcore/network/istream.h"
#include "ravcore/network/mbc/message_based_stream_reader.h"
#include "ravcore/network/mbc/message_splitting_wrapper.h"
#include "ravcore/network/network_exception.h"

namespace {

using namespace ravcore::network;

// The peer's bytes, handed out `chunk` at a time.
class ScriptedStream : public IStream {
 public:
  ScriptedStream(std::span<const std::uint8_t> bytes, std::size_t chunk)
      : bytes_(bytes), chunk_(chunk) {}
  void Close() override {}
  varlo::SecureBytes Read() override {
    const std::size_t n = std::min(chunk_, bytes_.size() - offset_);
    varlo::SecureBytes out(bytes_.begin() + static_cast<std::ptrdiff_t>(offset_),
                           bytes_.begin() + static_cast<std::ptrdiff_t>(offset_ + n));
    offset_ += n;
    return out;
  }
  int Write(std::span<const std::uint8_t>, std::uint64_t, std::uint64_t) override { return 0; }
  int Write(std::span<const std::uint8_t>) override { return 0; }
  bool Drained() const { return offset_ == bytes_.size(); }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t chunk_;
  std::size_t offset_ = 0;
};

// Limits as small as the service's, so that the refusals are reached.
constexpr std::uint32_t kMaxRecord = 1u << 17;
constexpr std::uint32_t kMaxMessage = 1u << 18;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1)
    return 0;
  auto stream =
      std::make_shared<ScriptedStream>(std::span(data + 1, size - 1), std::size_t{data[0]} + 1);
  auto records = std::make_shared<mbc::MessageBasedStreamReader>(
      stream, [](IStream&) { return true; }, kMaxRecord, [](unsigned long) {});
  mbc::MessageSplittingWrapper splitter(kMaxMessage);
  splitter.Attach(records, nullptr);
  try {
    // Every read consumes a chunk or delivers a record; stop once both are spent.
    for (std::size_t idle = 0; idle < 2;) {
      const mbc::Message message = splitter.Read();
      idle = message.IsEmpty() && stream->Drained() ? idle + 1 : 0;
    }
  } catch (const NetworkException&) {
    // an oversized record or message: the connection is dropped
  }
  return 0;
}
