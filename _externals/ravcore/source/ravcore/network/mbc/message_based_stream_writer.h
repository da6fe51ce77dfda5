// Writes each message to a byte stream as one record: a 4-byte little-endian length, then the
// bytes. Calls are serialised, so records of concurrent writers never interleave. Records of up
// to 256 KiB in all (one record, or a batch) go to the stream in one write.
#ifndef RAVCORE_NETWORK_MBC_MESSAGE_BASED_STREAM_WRITER_H_
#define RAVCORE_NETWORK_MBC_MESSAGE_BASED_STREAM_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "ravcore/network/istream.h"
#include "ravcore/network/mbc/interfaces.h"

namespace ravcore::network::mbc {

class MessageBasedStreamWriter : public IMessageWriter {
 public:
  // Up to this many bytes of records go to the stream in one write: one trip to the stream's
  // thread costs more than copying them into one buffer.
  static constexpr std::size_t kJoinedWriteMax = 4 * 65536;

  explicit MessageBasedStreamWriter(std::shared_ptr<IStream> stream);

  // std::invalid_argument "Message is empty." for the empty marker; stream failures pass
  // through.
  void Write(const Message& message) override;
  // The same checks for every message before any is written.
  void WriteBatch(std::span<const Message> messages) override;

 private:
  void WriteRecords(std::span<const Message> messages);

  std::shared_ptr<IStream> stream_;
  std::mutex mutex_;
};

}  // namespace ravcore::network::mbc

#endif  // RAVCORE_NETWORK_MBC_MESSAGE_BASED_STREAM_WRITER_H_
