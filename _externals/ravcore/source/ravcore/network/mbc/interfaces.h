// The interfaces of the message layers.
//
// A wrapper is one layer: it is attached to the reader and writer of the layer below and is
// itself a reader and/or a writer for the layer above. A stack entry knows how to create one
// wrapper; a stack is the finished pile, read and written at its top.
#ifndef RAVCORE_NETWORK_MBC_INTERFACES_H_
#define RAVCORE_NETWORK_MBC_INTERFACES_H_

#include <chrono>
#include <memory>
#include <span>

#include "platform/pipe/pipe_wait.h"
#include "ravcore/network/mbc/message.h"

namespace ravcore::network::mbc {

class IMessageReader {
 public:
  virtual ~IMessageReader() = default;
  // The next complete message, or the empty marker when none has arrived.
  virtual Message Read() = 0;
  // True when part of a message has been read and the rest is still to come. Call it from the
  // reading thread.
  virtual bool IsMidMessage() { return false; }
  // Waits at most `limit` until a `Read` may find something: bytes have arrived below or a
  // layer holds a whole message already, the peer has gone, the stream was closed, or `stop`
  // (may be null) is signalled. True when the wait ended early, false when the limit passed.
  // Wrappers forward it to the layer below. A reader that cannot tell when data comes waits
  // out the limit (or until `stop`), so that its callers fall back to polling at that pace.
  virtual bool WaitForData(std::chrono::milliseconds limit,
                           const varlo::platform::WakeEvent* stop) {
    return varlo::platform::WaitForWake(stop, limit);
  }
};

class IMessageWriter {
 public:
  virtual ~IMessageWriter() = default;
  virtual void Write(const Message& message) = 0;
  // Writes the messages in order, as `Write` would one after another. Layers that can hand
  // them down together do so, so that short messages reach the stream in one write.
  virtual void WriteBatch(std::span<const Message> messages) {
    for (const Message& message : messages)
      Write(message);
  }
};

class IWrapper {
 public:
  virtual ~IWrapper() = default;
  // The reader and writer this layer uses below it.
  virtual std::shared_ptr<IMessageReader> GetReader() = 0;
  virtual std::shared_ptr<IMessageWriter> GetWriter() = 0;
  // Takes the layer below; either may be null.
  virtual void Attach(std::shared_ptr<IMessageReader> reader,
                      std::shared_ptr<IMessageWriter> writer) = 0;
};

class IStack : public IMessageReader, public IMessageWriter {};

class IStackEntry {
 public:
  virtual ~IStackEntry() = default;
  // A new wrapper attached to the given layer below.
  virtual std::shared_ptr<IWrapper> Create(std::shared_ptr<IMessageReader> lowerReader,
                                           std::shared_ptr<IMessageWriter> lowerWriter) = 0;
};

}  // namespace ravcore::network::mbc

#endif  // RAVCORE_NETWORK_MBC_INTERFACES_H_
