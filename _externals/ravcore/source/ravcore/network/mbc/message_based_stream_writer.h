// Writes each message to a byte stream as one record: a 4-byte little-endian length, then the
// bytes. Calls are serialised, so records of concurrent writers never interleave.
#ifndef RAVCORE_NETWORK_MBC_MESSAGE_BASED_STREAM_WRITER_H_
#define RAVCORE_NETWORK_MBC_MESSAGE_BASED_STREAM_WRITER_H_

#include <memory>
#include <mutex>

#include "ravcore/network/istream.h"
#include "ravcore/network/mbc/interfaces.h"

namespace ravcore::network::mbc {

class MessageBasedStreamWriter : public IMessageWriter {
 public:
  explicit MessageBasedStreamWriter(std::shared_ptr<IStream> stream);

  // std::invalid_argument "Message is empty." for the empty marker; stream failures pass
  // through.
  void Write(const Message& message) override;

 private:
  std::shared_ptr<IStream> stream_;
  std::mutex mutex_;
};

}  // namespace ravcore::network::mbc

#endif  // RAVCORE_NETWORK_MBC_MESSAGE_BASED_STREAM_WRITER_H_
